#include "python/classes.hpp"
#include "weights/store.hpp"

namespace orvane::py {

namespace {

using Native = weights::WeightStore;

PyObject* weight_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Args a("WeightStore", std::span<const char* const>(), 0, args, kwargs);
        return new_instance(type, new Native());
    });
}

PyMethodDef kMethods[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* create_weight_store_type() {
    return make_type("orvane.WeightStore",
                     "WeightStore()\n--\n\nManages loaded expert weights for all MoE layers.",
                     sizeof(Instance<Native>), weight_store_new, dealloc_instance<Native>, kMethods);
}

}  // namespace orvane::py
