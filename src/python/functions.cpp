// The module's functions.

#include "python/classes.hpp"
#include "syscheck/syscheck.hpp"

namespace orvane::py {

namespace {

PyObject* system_check(PyObject* /*module*/, PyObject* /*unused*/) {
    return guard([]() -> PyObject* {
        syscheck::run_startup_checks(0.0);
        return none();
    });
}

PyMethodDef kFunctions[] = {
    {"system_check", system_check, METH_NOARGS,
     "system_check()\n--\n\nPython-callable system check function."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() { return kFunctions; }

}  // namespace orvane::py
