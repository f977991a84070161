#pragma once
// The module's classes: each function creates the class object (a new reference, or nullptr with the
// Python error set).

#include "python/binding.hpp"

namespace orvane::py {

PyObject* create_weight_store_type();
PyObject* create_cpu_decode_store_type();

// The module-level functions, in registration order (a table for PyModule_AddFunctions).
PyMethodDef* module_functions();

}  // namespace orvane::py
