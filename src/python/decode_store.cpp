#include "decode/registry.hpp"
#include "python/classes.hpp"

namespace orvane::py {

namespace {

using Native = decode::CpuDecodeStore;

Native& native(PyObject* self) { return *instance<Native>(self).native; }
BorrowFlag& borrow(PyObject* self) { return instance<Native>(self).borrow; }

#define ORVANE_PARAMS(name, ...) static constexpr const char* name[] = {__VA_ARGS__}

PyObject* decode_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        ORVANE_PARAMS(names, "group_size", "parallel", "norm_bias_one");
        Args a("CpuDecodeStore", names, 0, args, kwargs);
        const uint64_t group_size = a.get_or<uint64_t>(0, 128);
        const bool parallel = a.get_or<bool>(1, true);
        const bool norm_bias_one = a.get_or<bool>(2, false);
        return new_instance(type, new Native(group_size, parallel, norm_bias_one));
    });
}

PyObject* store_weight_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "data_ptr", "rows", "cols", "num_bits");
        Args a("CpuDecodeStore.store_weight_f32", names, 4, args, nargs, kwnames);
        const auto data = ptr_arg<const float>(a.get<uint64_t>(0));
        const uint64_t rows = a.get<uint64_t>(1);
        const uint64_t cols = a.get<uint64_t>(2);
        const uint8_t num_bits = a.get<uint8_t>(3);
        ExclusiveBorrow b(borrow(self));
        return to_py(static_cast<uint64_t>(
            unwrap(native(self).store_weight_f32(data, rows, cols, num_bits), PyExc_ValueError)));
    });
}

PyObject* matmul(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "weight_id", "input_ptr", "output_ptr");
        Args a("CpuDecodeStore.matmul", names, 3, args, nargs, kwnames);
        const uint64_t weight_id = a.get<uint64_t>(0);
        const auto input = ptr_arg<const float>(a.get<uint64_t>(1));
        const auto output = ptr_arg<float>(a.get<uint64_t>(2));
        ExclusiveBorrow b(borrow(self));
        unwrap(native(self).matmul(weight_id, input, output), PyExc_ValueError);
        return none();
    });
}

PyObject* matmul_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "weight_ids", "input_ptr", "output_ptrs");
        Args a("CpuDecodeStore.matmul_batch", names, 3, args, nargs, kwnames);
        const std::vector<uint64_t> ids = a.get<std::vector<uint64_t>>(0);
        const auto input = ptr_arg<const float>(a.get<uint64_t>(1));
        const std::vector<uint64_t> out_addresses = a.get<std::vector<uint64_t>>(2);
        ExclusiveBorrow b(borrow(self));
        std::vector<std::size_t> weight_ids(ids.begin(), ids.end());
        std::vector<float*> outputs;
        outputs.reserve(out_addresses.size());
        for (uint64_t address : out_addresses) outputs.push_back(ptr_arg<float>(address));
        unwrap(native(self).matmul_batch(weight_ids, input, outputs), PyExc_ValueError);
        return none();
    });
}

PyObject* store_norm_weight(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "data_ptr", "size");
        Args a("CpuDecodeStore.store_norm_weight", names, 2, args, nargs, kwnames);
        const auto data = ptr_arg<const float>(a.get<uint64_t>(0));
        const uint64_t size = a.get<uint64_t>(1);
        ExclusiveBorrow b(borrow(self));
        return to_py(static_cast<uint64_t>(native(self).store_norm_weight(data, size)));
    });
}

PyObject* store_route_weight(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "data_ptr", "num_experts", "hidden_dim", "bias_ptr", "bias_len", "e_score_corr_ptr",
                      "e_score_corr_len");
        Args a("CpuDecodeStore.store_route_weight", names, 3, args, nargs, kwnames);
        const auto data = ptr_arg<const float>(a.get<uint64_t>(0));
        const uint64_t num_experts = a.get<uint64_t>(1);
        const uint64_t hidden_dim = a.get<uint64_t>(2);
        const std::optional<uint64_t> bias = a.opt<uint64_t>(3);
        const uint64_t bias_len = a.get_or<uint64_t>(4, 0);
        const std::optional<uint64_t> corr = a.opt<uint64_t>(5);
        const uint64_t corr_len = a.get_or<uint64_t>(6, 0);
        ExclusiveBorrow b(borrow(self));
        return to_py(static_cast<uint64_t>(native(self).store_route_weight(
            data, num_experts, hidden_dim, bias ? ptr_arg<const float>(*bias) : nullptr, bias_len,
            corr ? ptr_arg<const float>(*corr) : nullptr, corr_len)));
    });
}

PyObject* weight_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "weight_id");
        Args a("CpuDecodeStore.weight_bytes", names, 1, args, nargs, kwnames);
        const uint64_t weight_id = a.get<uint64_t>(0);
        SharedBorrow b(borrow(self));
        return to_py(static_cast<uint64_t>(native(self).weight_bytes(weight_id)));
    });
}

PyObject* num_weights(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(static_cast<uint64_t>(native(self).num_weights()));
    });
}

PyObject* total_bytes(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(static_cast<uint64_t>(native(self).total_bytes()));
    });
}

PyObject* num_route_weights(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(static_cast<uint64_t>(native(self).num_route_weights()));
    });
}

#define ORVANE_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS
#define ORVANE_NOARGS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_NOARGS

PyMethodDef kMethods[] = {
    {"store_weight_f32", ORVANE_FASTCALL(store_weight_f32),
     "store_weight_f32($self, data_ptr, rows, cols, num_bits)\n--\n\n"
     "Quantizes a row-major f32 [rows, cols] matrix to INT4 or INT8 and registers it; returns its weight id."},
    {"matmul", ORVANE_FASTCALL(matmul),
     "matmul($self, weight_id, input_ptr, output_ptr)\n--\n\n"
     "Multiplies registered weight `weight_id` by the f32 vector at `input_ptr` (cols floats) and writes rows "
     "floats to `output_ptr`."},
    {"matmul_batch", ORVANE_FASTCALL(matmul_batch),
     "matmul_batch($self, weight_ids, input_ptr, output_ptrs)\n--\n\n"
     "Multiplies several weights of the same input width by one f32 vector, quantized once; output i goes to "
     "output_ptrs[i]."},
    {"store_norm_weight", ORVANE_FASTCALL(store_norm_weight),
     "store_norm_weight($self, data_ptr, size)\n--\n\nCopies an f32 norm vector; returns its norm id."},
    {"store_route_weight", ORVANE_FASTCALL(store_route_weight),
     "store_route_weight($self, data_ptr, num_experts, hidden_dim, bias_ptr=None, bias_len=0, "
     "e_score_corr_ptr=None, e_score_corr_len=0)\n--\n\n"
     "Copies an f32 routing gate [num_experts, hidden_dim] with its optional biases; returns its route id."},
    {"num_weights", ORVANE_NOARGS(num_weights), "num_weights($self)\n--\n\nNumber of registered weights."},
    {"total_bytes", ORVANE_NOARGS(total_bytes),
     "total_bytes($self)\n--\n\nBytes of all registered weights and routing gates."},
    {"weight_bytes", ORVANE_FASTCALL(weight_bytes),
     "weight_bytes($self, weight_id)\n--\n\nBytes of one registered weight (packed values and scales)."},
    {"num_route_weights", ORVANE_NOARGS(num_route_weights),
     "num_route_weights($self)\n--\n\nNumber of registered routing gates."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_cpu_decode_store_type() {
    return make_type("orvane.CpuDecodeStore",
                     "CpuDecodeStore(group_size=128, parallel=True, norm_bias_one=False)\n--\n\n"
                     "CPU decode weight store — holds quantized non-MoE weights for fast matmul.",
                     sizeof(Instance<Native>), decode_store_new, dealloc_instance<Native>, kMethods);
}

}  // namespace orvane::py
