#include <array>
#include <cstring>

#include "moe/engine.hpp"
#include "moe/export.hpp"
#include "moe/reduce.hpp"
#include "python/classes.hpp"

namespace orvane::py {

namespace {

using Native = moe::MoeEngine;

Native& native(PyObject* self) { return *instance<Native>(self).native; }
BorrowFlag& borrow(PyObject* self) { return instance<Native>(self).borrow; }

#define ORVANE_PARAMS(name, ...) static constexpr const char* name[] = {__VA_ARGS__}

// Raises a failed engine call as ValueError or RuntimeError.
template <class T>
T check(moe::CallResult<T>&& r) {
    if (!r) {
        raise(r.error().kind == moe::CallError::Kind::Value ? PyExc_ValueError : PyExc_RuntimeError,
              r.error().message);
    }
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

std::span<std::byte> byte_span(const ByteArrayView& v) {
    return {reinterpret_cast<std::byte*>(v.data), v.size};
}

std::span<std::byte> pinned_span(uint64_t address, uint64_t length) {
    return {ptr_arg<std::byte>(address), static_cast<std::size_t>(length)};
}

PyObject* bytes_of(const std::vector<uint8_t>& data) { return to_py_bytes(data.data(), data.size()); }

// A tuple of four new bytes objects (w13 packed, w13 scales, w2 packed, w2 scales).
PyObject* tuple_of_four(const std::array<std::vector<uint8_t>, 4>& parts) {
    PyObject* tuple = PyTuple_New(4);
    if (tuple == nullptr) throw ErrorAlreadySet{};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = bytes_of(parts[static_cast<std::size_t>(i)]);
        if (item == nullptr) {
            Py_DECREF(tuple);
            throw ErrorAlreadySet{};
        }
        PyTuple_SET_ITEM(tuple, i, item);
    }
    return tuple;
}

// Runs a checked copy plan with the interpreter lock released around the copy only.
void run_released(const moe::CopyPlan& plan) {
    GilRelease release;
    plan.run();
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        ORVANE_PARAMS(names, "parallel", "num_threads", "skip_shared_experts");
        Args a("OrvaneEngine", names, 0, args, kwargs);
        const bool parallel = a.get_or<bool>(0, true);
        const std::optional<uint64_t> num_threads = a.opt<uint64_t>(1);
        const bool skip_shared = a.get_or<bool>(2, false);
        return new_instance(type, new Native(parallel, num_threads, skip_shared));
    });
}

PyObject* repack_experts_to_tiled(PyObject* self, PyObject*) {
    return guard([&] {
        ExclusiveBorrow b(borrow(self));
        check(native(self).repack_experts_to_tiled());
        return none();
    });
}

PyObject* load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "model_dir", "group_size", "max_layers", "start_layer", "num_bits", "cpu_num_bits",
                      "gpu_num_bits", "gguf_path", "gguf_native");
        Args a("OrvaneEngine.load", names, 1, args, nargs, kwnames);
        moe::LoadOptions o;
        o.model_dir = a.get<std::string>(0);
        o.group_size = a.opt<uint64_t>(1);
        o.max_layers = a.opt<uint64_t>(2);
        o.start_layer = a.opt<uint64_t>(3);
        o.num_bits = a.opt<uint8_t>(4);
        o.cpu_num_bits = a.opt<uint8_t>(5);
        o.gpu_num_bits = a.opt<uint8_t>(6);
        o.gguf_path = a.opt<std::string>(7);
        o.gguf_native = a.get_or<bool>(8, false);
        ExclusiveBorrow b(borrow(self));
        check(native(self).load(o));
        return none();
    });
}

PyObject* moe_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "activation_bf16", "expert_indices", "expert_weights");
        Args a("OrvaneEngine.moe_forward", names, 4, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const BytesView activation = a.get<BytesView>(1);
        const std::vector<uint64_t> ids = a.get<std::vector<uint64_t>>(2);
        const std::vector<float> weights = a.get<std::vector<float>>(3);
        ExclusiveBorrow b(borrow(self));
        const std::span<const float> out =
            check(native(self).moe_forward(layer, {activation.data, activation.size}, ids, weights));
        return to_py_bytes(out.data(), out.size() * sizeof(float));
    });
}

// Accessors of the loaded store's configuration.
template <class F>
PyObject* store_int(PyObject* self, F&& field) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        const weights::WeightStore* store = check(native(self).loaded_store());
        return to_py(static_cast<uint64_t>(field(*store)));
    });
}

PyObject* num_moe_layers(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(check(native(self).num_moe_layers()));
    });
}
PyObject* cpu_num_bits(PyObject* self, PyObject*) {
    return store_int(self, [](const weights::WeightStore& s) { return s.cpu_num_bits; });
}
PyObject* gpu_num_bits(PyObject* self, PyObject*) {
    return store_int(self, [](const weights::WeightStore& s) { return s.gpu_num_bits; });
}
PyObject* hidden_size(PyObject* self, PyObject*) {
    return store_int(self, [](const weights::WeightStore& s) { return s.config.hidden_size; });
}
PyObject* num_experts(PyObject* self, PyObject*) {
    return store_int(self, [](const weights::WeightStore& s) { return s.config.n_routed_experts; });
}
PyObject* top_k(PyObject* self, PyObject*) {
    return store_int(self, [](const weights::WeightStore& s) { return s.config.num_experts_per_tok; });
}
PyObject* group_size(PyObject* self, PyObject*) {
    return store_int(self, [](const weights::WeightStore& s) { return s.group_size; });
}
PyObject* intermediate_size(PyObject* self, PyObject*) {
    return store_int(self, [](const weights::WeightStore& s) { return s.config.moe_intermediate_size; });
}

PyObject* is_parallel(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(native(self).is_parallel());
    });
}

PyObject* is_marlin_format(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(check(moe::is_marlin_format(native(self).store())));
    });
}

PyObject* has_unified(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(check(native(self).has_unified()));
    });
}

PyObject* has_gguf(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(check(native(self).has_gguf()));
    });
}

PyObject* marlin_w2_padded_n(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        return to_py(check(moe::marlin_w2_padded_n(native(self).store())));
    });
}

PyObject* get_expert_kind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          const char* function, moe::WeightKind kind) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "start", "end");
        Args a(function, names, 1, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const std::optional<uint64_t> start = a.opt<uint64_t>(1);
        const std::optional<uint64_t> end = a.opt<uint64_t>(2);
        SharedBorrow b(borrow(self));
        const moe::ExpertSet set = check(moe::select_expert_range(
            native(self).store(), layer, start ? std::optional<std::size_t>(*start) : std::nullopt,
            end ? std::optional<std::size_t>(*end) : std::nullopt));
        return bytes_of(set.gather(kind));
    });
}

PyObject* get_expert_w13_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return get_expert_kind(self, args, nargs, kwnames, "OrvaneEngine.get_expert_w13_packed",
                           moe::WeightKind::W13Packed);
}
PyObject* get_expert_w13_scales(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return get_expert_kind(self, args, nargs, kwnames, "OrvaneEngine.get_expert_w13_scales",
                           moe::WeightKind::W13Scales);
}
PyObject* get_expert_w2_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return get_expert_kind(self, args, nargs, kwnames, "OrvaneEngine.get_expert_w2_packed",
                           moe::WeightKind::W2Packed);
}
PyObject* get_expert_w2_scales(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return get_expert_kind(self, args, nargs, kwnames, "OrvaneEngine.get_expert_w2_scales",
                           moe::WeightKind::W2Scales);
}

std::vector<std::size_t> to_sizes(const std::vector<uint64_t>& v) { return {v.begin(), v.end()}; }

PyObject* get_experts_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        ORVANE_PARAMS(names, "moe_layer_idx", "expert_ids", "weight_type");
        Args a("OrvaneEngine.get_experts_batch", names, 3, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const std::vector<std::size_t> ids = to_sizes(a.get<std::vector<uint64_t>>(1));
        const std::string weight_type = a.get<std::string>(2);
        SharedBorrow b(borrow(self));
        const moe::ExpertBatch batch =
            check(moe::select_experts_batch(native(self).store(), layer, ids, weight_type));
        PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(batch.bytes()));
        if (out == nullptr) return nullptr;
        batch.copy({reinterpret_cast<std::byte*>(PyBytes_AS_STRING(out)), batch.bytes()});
        return out;
    });
}

PyObject* get_experts_all_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "expert_ids");
        Args a("OrvaneEngine.get_experts_all_batch", names, 2, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const std::vector<std::size_t> ids = to_sizes(a.get<std::vector<uint64_t>>(1));
        SharedBorrow b(borrow(self));
        const moe::ExpertSet set = check(moe::select_experts(native(self).store(), layer, ids));
        std::array<std::vector<uint8_t>, 4> parts;
        for (std::size_t k = 0; k < 4; ++k) parts[k] = set.gather(moe::kWeightKinds[k]);
        return tuple_of_four(parts);
    });
}

PyObject* write_experts_all_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "w13p_buf", "w13s_buf", "w2p_buf", "w2s_buf");
        Args a("OrvaneEngine.write_experts_all_into", names, 5, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const moe::ExportTargets targets{byte_span(a.get<ByteArrayView>(1)), byte_span(a.get<ByteArrayView>(2)),
                                         byte_span(a.get<ByteArrayView>(3)), byte_span(a.get<ByteArrayView>(4))};
        SharedBorrow b(borrow(self));
        run_released(check(moe::plan_write_experts_all_into(native(self).store(), layer, targets)));
        return none();
    });
}

PyObject* write_experts_range_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "start", "end", "w13p_buf", "w13s_buf", "w2p_buf", "w2s_buf");
        Args a("OrvaneEngine.write_experts_range_into", names, 7, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const uint64_t start = a.get<uint64_t>(1);
        const uint64_t end = a.get<uint64_t>(2);
        const moe::ExportTargets targets{byte_span(a.get<ByteArrayView>(3)), byte_span(a.get<ByteArrayView>(4)),
                                         byte_span(a.get<ByteArrayView>(5)), byte_span(a.get<ByteArrayView>(6))};
        SharedBorrow b(borrow(self));
        run_released(check(moe::plan_write_experts_range_into(native(self).store(), layer, start, end, targets)));
        return none();
    });
}

PyObject* write_experts_range_into_pinned(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "start", "end", "w13p_ptr", "w13p_len", "w13s_ptr", "w13s_len",
                      "w2p_ptr", "w2p_len", "w2s_ptr", "w2s_len");
        Args a("OrvaneEngine.write_experts_range_into_pinned", names, 11, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const uint64_t start = a.get<uint64_t>(1);
        const uint64_t end = a.get<uint64_t>(2);
        uint64_t v[8];
        for (std::size_t i = 0; i < 8; ++i) v[i] = a.get<uint64_t>(3 + i);
        const moe::ExportTargets targets{pinned_span(v[0], v[1]), pinned_span(v[2], v[3]), pinned_span(v[4], v[5]),
                                         pinned_span(v[6], v[7])};
        SharedBorrow b(borrow(self));
        run_released(
            check(moe::plan_write_experts_range_into_pinned(native(self).store(), layer, start, end, targets)));
        return none();
    });
}

PyObject* reduce_sum_bf16(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "input_ptrs", "output_ptr", "num_elements");
        Args a("OrvaneEngine.reduce_sum_bf16", names, 3, args, nargs, kwnames);
        const std::vector<uint64_t> addresses = a.get<std::vector<uint64_t>>(0);
        auto* output = ptr_arg<uint16_t>(a.get<uint64_t>(1));
        const uint64_t num_elements = a.get<uint64_t>(2);
        SharedBorrow b(borrow(self));
        std::vector<const uint16_t*> inputs;
        inputs.reserve(addresses.size());
        for (uint64_t address : addresses) inputs.push_back(ptr_arg<const uint16_t>(address));
        moe::reduce_sum_bf16(inputs, output, num_elements);
        return none();
    });
}

PyObject* write_shared_expert_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "w13p_buf", "w13s_buf", "w2p_buf", "w2s_buf");
        Args a("OrvaneEngine.write_shared_expert_into", names, 5, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const moe::ExportTargets targets{byte_span(a.get<ByteArrayView>(1)), byte_span(a.get<ByteArrayView>(2)),
                                         byte_span(a.get<ByteArrayView>(3)), byte_span(a.get<ByteArrayView>(4))};
        SharedBorrow b(borrow(self));
        run_released(check(moe::plan_write_shared_expert_into(native(self).store(), layer, targets)));
        return none();
    });
}

PyObject* write_shared_expert_into_pinned(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "w13p_ptr", "w13p_len", "w13s_ptr", "w13s_len", "w2p_ptr", "w2p_len",
                      "w2s_ptr", "w2s_len");
        Args a("OrvaneEngine.write_shared_expert_into_pinned", names, 9, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        uint64_t v[8];
        for (std::size_t i = 0; i < 8; ++i) v[i] = a.get<uint64_t>(1 + i);
        const moe::ExportTargets targets{pinned_span(v[0], v[1]), pinned_span(v[2], v[3]), pinned_span(v[4], v[5]),
                                         pinned_span(v[6], v[7])};
        SharedBorrow b(borrow(self));
        run_released(check(moe::plan_write_shared_expert_into(native(self).store(), layer, targets)));
        return none();
    });
}

PyObject* get_shared_expert_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx");
        Args a("OrvaneEngine.get_shared_expert_weights", names, 1, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        SharedBorrow b(borrow(self));
        return tuple_of_four(check(moe::shared_expert_weights(native(self).store(), layer)));
    });
}

PyObject* submit_forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "activation_bf16", "topk_ids_i32", "topk_weights_f32", "batch_size");
        Args a("OrvaneEngine.submit_forward", names, 5, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const BytesView activation = a.get<BytesView>(1);
        const BytesView ids = a.get<BytesView>(2);
        const BytesView weights = a.get<BytesView>(3);
        const uint64_t batch_size = a.get<uint64_t>(4);
        SharedBorrow b(borrow(self));
        check(native(self).submit_forward(layer, {activation.data, activation.size}, {ids.data, ids.size},
                                          {weights.data, weights.size}, batch_size));
        return none();
    });
}

PyObject* sync_forward(PyObject* self, PyObject*) {
    return guard([&] {
        SharedBorrow b(borrow(self));
        const std::vector<uint16_t> result = check(native(self).sync_forward());
        return to_py_bytes(result.data(), result.size() * sizeof(uint16_t));
    });
}

PyObject* forward_moe_direct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "activation_ptr", "topk_ids_ptr", "topk_weights_ptr", "output_ptr",
                      "batch_size", "topk");
        Args a("OrvaneEngine.forward_moe_direct", names, 7, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const auto* activation = ptr_arg<const uint16_t>(a.get<uint64_t>(1));
        const auto* ids = ptr_arg<const int32_t>(a.get<uint64_t>(2));
        const auto* weights = ptr_arg<const float>(a.get<uint64_t>(3));
        auto* output = ptr_arg<uint16_t>(a.get<uint64_t>(4));
        const uint64_t batch_size = a.get<uint64_t>(5);
        const uint64_t topk = a.get<uint64_t>(6);
        ExclusiveBorrow b(borrow(self));
        check(native(self).forward_moe_direct(layer, activation, ids, weights, output, batch_size, topk));
        return none();
    });
}

PyObject* set_routing_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "scoring_func", "norm_topk_prob", "topk", "n_experts", "hidden_size", "num_moe_layers");
        Args a("OrvaneEngine.set_routing_config", names, 6, args, nargs, kwnames);
        moe::RoutingConfig config;
        config.scoring_func = a.get<std::string>(0);
        config.norm_topk_prob = a.get<bool>(1);
        config.topk = a.get<uint64_t>(2);
        config.n_experts = a.get<uint64_t>(3);
        config.hidden_size = a.get<uint64_t>(4);
        const uint64_t num_layers = a.get<uint64_t>(5);
        ExclusiveBorrow b(borrow(self));
        native(self).set_routing_config(std::move(config), num_layers);
        return none();
    });
}

PyObject* set_routing_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "gate_weight_bf16", "correction_bias_f32");
        Args a("OrvaneEngine.set_routing_weights", names, 2, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const BytesView gate = a.get<BytesView>(1);
        const std::optional<BytesView> bias = a.opt<BytesView>(2);
        ExclusiveBorrow b(borrow(self));
        std::optional<std::span<const uint8_t>> bias_span;
        if (bias) bias_span = std::span<const uint8_t>(bias->data, bias->size);
        check(native(self).set_routing_weights(layer, {gate.data, gate.size}, bias_span));
        return none();
    });
}

PyObject* forward_moe_routed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        ORVANE_PARAMS(names, "moe_layer_idx", "activation_ptr", "output_ptr");
        Args a("OrvaneEngine.forward_moe_routed", names, 3, args, nargs, kwnames);
        const uint64_t layer = a.get<uint64_t>(0);
        const auto* activation = ptr_arg<const uint16_t>(a.get<uint64_t>(1));
        auto* output = ptr_arg<uint16_t>(a.get<uint64_t>(2));
        ExclusiveBorrow b(borrow(self));
        check(native(self).forward_moe_routed(layer, activation, output));
        return none();
    });
}

#define ORVANE_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS
#define ORVANE_NOARGS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_NOARGS

PyMethodDef kMethods[] = {
    {"repack_experts_to_tiled", ORVANE_NOARGS(repack_experts_to_tiled),
     "repack_experts_to_tiled($self)\n--\n\nConverts the CPU experts to the tiled layout (needs sole ownership "
     "of the weight store)."},
    {"load", ORVANE_FASTCALL(load),
     "load($self, model_dir, group_size=None, max_layers=None, start_layer=None, num_bits=None, "
     "cpu_num_bits=None, gpu_num_bits=None, gguf_path=None, gguf_native=False)\n--\n\n"
     "Loads the experts of a model directory and starts the worker thread."},
    {"moe_forward", ORVANE_FASTCALL(moe_forward),
     "moe_forward($self, moe_layer_idx, activation_bf16, expert_indices, expert_weights)\n--\n\n"
     "One token's MoE layer; returns hidden_size f32 values as bytes."},
    {"num_moe_layers", ORVANE_NOARGS(num_moe_layers), "num_moe_layers($self)\n--\n\nLoaded MoE layers."},
    {"cpu_num_bits", ORVANE_NOARGS(cpu_num_bits), "cpu_num_bits($self)\n--\n\nWidth of the CPU experts."},
    {"gpu_num_bits", ORVANE_NOARGS(gpu_num_bits), "gpu_num_bits($self)\n--\n\nWidth of the Marlin experts."},
    {"hidden_size", ORVANE_NOARGS(hidden_size), "hidden_size($self)\n--\n\nThe model's hidden size."},
    {"num_experts", ORVANE_NOARGS(num_experts), "num_experts($self)\n--\n\nRouted experts per layer."},
    {"top_k", ORVANE_NOARGS(top_k), "top_k($self)\n--\n\nExperts chosen per token."},
    {"is_parallel", ORVANE_NOARGS(is_parallel), "is_parallel($self)\n--\n\nThe constructor's parallel option."},
    {"is_marlin_format", ORVANE_NOARGS(is_marlin_format),
     "is_marlin_format($self)\n--\n\nWhether Marlin-layout experts are loaded."},
    {"has_unified", ORVANE_NOARGS(has_unified),
     "has_unified($self)\n--\n\nWhether CPU-layout or Marlin-layout experts are loaded."},
    {"has_gguf", ORVANE_NOARGS(has_gguf), "has_gguf($self)\n--\n\nWhether GGUF-native experts are loaded."},
    {"group_size", ORVANE_NOARGS(group_size), "group_size($self)\n--\n\nThe effective quantization group size."},
    {"intermediate_size", ORVANE_NOARGS(intermediate_size),
     "intermediate_size($self)\n--\n\nThe routed experts' intermediate size."},
    {"marlin_w2_padded_n", ORVANE_NOARGS(marlin_w2_padded_n),
     "marlin_w2_padded_n($self)\n--\n\nOutput rows of the Marlin down matrix."},
    {"get_expert_w13_packed", ORVANE_FASTCALL(get_expert_w13_packed),
     "get_expert_w13_packed($self, moe_layer_idx, start=None, end=None)\n--\n\nMarlin w13 packed words of a "
     "range of experts."},
    {"get_expert_w13_scales", ORVANE_FASTCALL(get_expert_w13_scales),
     "get_expert_w13_scales($self, moe_layer_idx, start=None, end=None)\n--\n\nMarlin w13 scales of a range of "
     "experts."},
    {"get_expert_w2_packed", ORVANE_FASTCALL(get_expert_w2_packed),
     "get_expert_w2_packed($self, moe_layer_idx, start=None, end=None)\n--\n\nMarlin w2 packed words of a range "
     "of experts."},
    {"get_expert_w2_scales", ORVANE_FASTCALL(get_expert_w2_scales),
     "get_expert_w2_scales($self, moe_layer_idx, start=None, end=None)\n--\n\nMarlin w2 scales of a range of "
     "experts."},
    {"get_experts_batch", ORVANE_FASTCALL(get_experts_batch),
     "get_experts_batch($self, moe_layer_idx, expert_ids, weight_type)\n--\n\nOne kind of Marlin weights of the "
     "listed experts."},
    {"get_experts_all_batch", ORVANE_FASTCALL(get_experts_all_batch),
     "get_experts_all_batch($self, moe_layer_idx, expert_ids)\n--\n\nThe four Marlin buffers of the listed "
     "experts."},
    {"write_experts_all_into", ORVANE_FASTCALL(write_experts_all_into),
     "write_experts_all_into($self, moe_layer_idx, w13p_buf, w13s_buf, w2p_buf, w2s_buf)\n--\n\nCopies every "
     "expert of a layer into four bytearrays."},
    {"write_experts_range_into", ORVANE_FASTCALL(write_experts_range_into),
     "write_experts_range_into($self, moe_layer_idx, start, end, w13p_buf, w13s_buf, w2p_buf, w2s_buf)\n--\n\n"
     "Copies experts [start, end) into four bytearrays."},
    {"write_experts_range_into_pinned", ORVANE_FASTCALL(write_experts_range_into_pinned),
     "write_experts_range_into_pinned($self, moe_layer_idx, start, end, w13p_ptr, w13p_len, w13s_ptr, w13s_len, "
     "w2p_ptr, w2p_len, w2s_ptr, w2s_len)\n--\n\nCopies experts [start, end) into pinned staging memory."},
    {"reduce_sum_bf16", ORVANE_FASTCALL(reduce_sum_bf16),
     "reduce_sum_bf16($self, input_ptrs, output_ptr, num_elements)\n--\n\nSums BF16 buffers into one."},
    {"write_shared_expert_into", ORVANE_FASTCALL(write_shared_expert_into),
     "write_shared_expert_into($self, moe_layer_idx, w13p_buf, w13s_buf, w2p_buf, w2s_buf)\n--\n\nCopies the "
     "layer's shared expert into four bytearrays."},
    {"write_shared_expert_into_pinned", ORVANE_FASTCALL(write_shared_expert_into_pinned),
     "write_shared_expert_into_pinned($self, moe_layer_idx, w13p_ptr, w13p_len, w13s_ptr, w13s_len, w2p_ptr, "
     "w2p_len, w2s_ptr, w2s_len)\n--\n\nCopies the layer's shared expert into pinned staging memory."},
    {"get_shared_expert_weights", ORVANE_FASTCALL(get_shared_expert_weights),
     "get_shared_expert_weights($self, moe_layer_idx)\n--\n\nThe four Marlin buffers of the layer's shared "
     "expert."},
    {"submit_forward", ORVANE_FASTCALL(submit_forward),
     "submit_forward($self, moe_layer_idx, activation_bf16, topk_ids_i32, topk_weights_f32, batch_size)\n--\n\n"
     "Hands a batch to the worker thread."},
    {"sync_forward", ORVANE_NOARGS(sync_forward),
     "sync_forward($self)\n--\n\nThe BF16 result of the oldest uncollected batch."},
    {"forward_moe_direct", ORVANE_FASTCALL(forward_moe_direct),
     "forward_moe_direct($self, moe_layer_idx, activation_ptr, topk_ids_ptr, topk_weights_ptr, output_ptr, "
     "batch_size, topk)\n--\n\nA batch on host buffers, on the calling thread."},
    {"set_routing_config", ORVANE_FASTCALL(set_routing_config),
     "set_routing_config($self, scoring_func, norm_topk_prob, topk, n_experts, hidden_size, num_moe_layers)"
     "\n--\n\nDeclares the CPU routing configuration."},
    {"set_routing_weights", ORVANE_FASTCALL(set_routing_weights),
     "set_routing_weights($self, moe_layer_idx, gate_weight_bf16, correction_bias_f32=None)\n--\n\nStores a "
     "layer's router gate."},
    {"forward_moe_routed", ORVANE_FASTCALL(forward_moe_routed),
     "forward_moe_routed($self, moe_layer_idx, activation_ptr, output_ptr)\n--\n\nRoutes one token on the CPU "
     "and runs its experts."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_orvane_engine_type() {
    return make_type("orvane.OrvaneEngine", "OrvaneEngine(parallel=True, num_threads=None, skip_shared_experts=False)\n--\n\n",
                     sizeof(Instance<Native>), engine_new, dealloc_instance<Native>, kMethods);
}

std::shared_ptr<weights::WeightStore> engine_store(PyObject* engine) {
    return instance<Native>(engine).native->shared_store();
}

}  // namespace orvane::py
