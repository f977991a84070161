// The `orvane` extension module: logging initialisation, then the classes and functions.

#include "core/logging.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace {

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "orvane",
    "Orvane — hybrid LLM MoE runtime",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds `object` (a new reference, or nullptr with an error set) to the module under `name`.
bool add(PyObject* module, const char* name, PyObject* object) {
    if (object == nullptr) return false;
    if (PyModule_AddObject(module, name, object) < 0) {
        Py_DECREF(object);
        return false;
    }
    return true;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_orvane() {
    try {
        orvane::log::init_from_env();
    } catch (...) {
        // A backend that cannot be configured keeps its existing set-up.
    }
    PyObject* module = PyModule_Create(&g_module);
    if (module == nullptr) return nullptr;
    PyObject* internal = orvane::py::create_internal_error_type();
    Py_XINCREF(internal);
    const bool ok = add(module, "OrvaneEngine", orvane::py::create_orvane_engine_type()) &&
                    add(module, "WeightStore", orvane::py::create_weight_store_type()) &&
                    add(module, "CpuDecodeStore", orvane::py::create_cpu_decode_store_type()) &&
                    PyModule_AddFunctions(module, orvane::py::module_functions()) == 0 &&
                    add(module, "InternalError", internal);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
