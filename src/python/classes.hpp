#pragma once
// The module's classes: each function creates the class object (a new reference, or nullptr with the
// Python error set).

#include <memory>

#include "python/binding.hpp"

namespace orvane::weights {
struct WeightStore;
}

namespace orvane::py {

PyObject* create_orvane_engine_type();
PyObject* create_weight_store_type();

// The weight store of an OrvaneEngine instance (null before its load), for lending to a decode graph.
std::shared_ptr<weights::WeightStore> engine_store(PyObject* engine);
PyObject* create_cpu_decode_store_type();

// The module-level functions, in registration order (a table for PyModule_AddFunctions).
PyMethodDef* module_functions();

}  // namespace orvane::py
