#include "python/binding.hpp"

#include <cstring>
#include <new>

#include <fmt/format.h>

namespace orvane::py {

namespace {
PyObject* g_internal_error = nullptr;

bool type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }
}  // namespace

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw ErrorAlreadySet{};
}

PyObject* internal_error_type() { return g_internal_error; }

PyObject* create_internal_error_type() {
    if (g_internal_error == nullptr) {
        g_internal_error = PyErr_NewExceptionWithDoc(
            "orvane.InternalError",
            "A violated internal precondition of native code (an index out of range, an inconsistent size, a "
            "kernel assertion). Derived from BaseException so that `except Exception` does not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return g_internal_error;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        // The Python exception is already set.
    } catch (const InternalError& e) {
        PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(g_internal_error ? g_internal_error : PyExc_SystemError, "unknown native exception");
    }
}

PyObject* none() { Py_RETURN_NONE; }
PyObject* to_py(bool v) { return PyBool_FromLong(v ? 1 : 0); }
PyObject* to_py(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py_bytes(const void* data, std::size_t len) {
    return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(len));
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state != 0) raise(PyExc_RuntimeError, "Already borrowed");
    flag_.state = -1;
}

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag_.state;
}

// ---- converters -----------------------------------------------------------------------------------

bool convert(PyObject* o, uint64_t& out) {
    PyObject* index = PyNumber_Index(o);  // TypeError for objects that are not integers
    if (index == nullptr) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);  // OverflowError when negative or too large
    Py_DECREF(index);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert(PyObject* o, int64_t& out) {
    PyObject* index = PyNumber_Index(o);
    if (index == nullptr) return false;
    const long long v = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert(PyObject* o, uint8_t& out) {
    uint64_t v = 0;
    if (!convert(o, v)) return false;
    if (v > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<uint8_t>(v);
    return true;
}

bool convert(PyObject* o, double& out) {
    const double v = PyFloat_AsDouble(o);  // any object convertible to float
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert(PyObject* o, float& out) {
    double v = 0.0;
    if (!convert(o, v)) return false;
    out = static_cast<float>(v);
    return true;
}

bool convert(PyObject* o, bool& out) {
    if (!PyBool_Check(o)) return type_error(fmt::format("'{}' object cannot be converted to 'PyBool'", type_name(o)));
    out = (o == Py_True);
    return true;
}

bool convert(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) return type_error(fmt::format("'{}' object cannot be converted to 'PyString'", type_name(o)));
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (s == nullptr) return false;
    out.assign(s, static_cast<std::size_t>(len));
    return true;
}

bool convert(PyObject* o, BytesView& out) {
    if (!PyBytes_Check(o)) return type_error(fmt::format("'{}' object cannot be converted to 'PyBytes'", type_name(o)));
    out.data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
    out.size = static_cast<std::size_t>(PyBytes_GET_SIZE(o));
    return true;
}

bool convert(PyObject* o, ByteArrayView& out) {
    if (!PyByteArray_Check(o))
        return type_error(fmt::format("'{}' object cannot be converted to 'PyByteArray'", type_name(o)));
    out.data = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(o));
    out.size = static_cast<std::size_t>(PyByteArray_GET_SIZE(o));
    return true;
}

namespace {
template <class T>
bool convert_sequence(PyObject* o, std::vector<T>& out) {
    if (PyUnicode_Check(o)) return type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(o))
        return type_error(fmt::format("'{}' object cannot be converted to 'Sequence'", type_name(o)));
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_GetItem(o, i);
        if (item == nullptr) return false;
        T v{};
        const bool ok = convert(item, v);
        Py_DECREF(item);
        if (!ok) return false;
        out.push_back(v);
    }
    return true;
}
}  // namespace

bool convert(PyObject* o, std::vector<uint64_t>& out) { return convert_sequence(o, out); }
bool convert(PyObject* o, std::vector<int64_t>& out) { return convert_sequence(o, out); }
bool convert(PyObject* o, std::vector<float>& out) { return convert_sequence(o, out); }

// ---- argument matching ----------------------------------------------------------------------------

Args::Args(const char* function, std::span<const char* const> names, std::size_t required, PyObject* const* args,
           Py_ssize_t nargs, PyObject* kwnames)
    : names_(names) {
    if (names.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters");
    match_positional(function, nargs, args);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) match_keyword(function, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    }
    check_required(function, required);
}

Args::Args(const char* function, std::span<const char* const> names, std::size_t required, PyObject* args,
           PyObject* kwargs)
    : names_(names) {
    if (names.size() > kMaxParams) raise(PyExc_SystemError, "too many parameters");
    match_positional(function, PyTuple_GET_SIZE(args), PySequence_Fast_ITEMS(args));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) match_keyword(function, key, value);
    }
    check_required(function, required);
}

void Args::match_positional(const char* function, Py_ssize_t nargs, PyObject* const* args) {
    if (static_cast<std::size_t>(nargs) > names_.size()) {
        raise(PyExc_TypeError, fmt::format("{}() takes {} positional arguments but {} were given", function,
                                           names_.size(), nargs));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
}

void Args::match_keyword(const char* function, PyObject* key, PyObject* value) {
    const char* kw = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (kw == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError, fmt::format("{}() keywords must be strings", function));
    }
    for (std::size_t j = 0; j < names_.size(); ++j) {
        if (std::strcmp(names_[j], kw) == 0) {
            if (values_[j] != nullptr)
                raise(PyExc_TypeError, fmt::format("{}() got multiple values for argument '{}'", function, kw));
            values_[j] = value;
            return;
        }
    }
    raise(PyExc_TypeError, fmt::format("{}() got an unexpected keyword argument '{}'", function, kw));
}

void Args::check_required(const char* function, std::size_t required) const {
    std::string missing;
    std::size_t count = 0;
    for (std::size_t j = 0; j < required && j < names_.size(); ++j) {
        if (values_[j] == nullptr) {
            missing += (count ? ", '" : "'") + std::string(names_[j]) + "'";
            ++count;
        }
    }
    if (count > 0) {
        raise(PyExc_TypeError, fmt::format("{}() missing {} required argument{}: {}", function, count,
                                           count == 1 ? "" : "s", missing));
    }
}

void Args::rethrow_conversion(std::size_t i) const {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyObject* text = value ? PyObject_Str(value) : nullptr;
        const char* reason = text ? PyUnicode_AsUTF8(text) : nullptr;
        std::string message = fmt::format("argument '{}': {}", names_[i], reason ? reason : "");
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PyErr_Clear();
        raise(PyExc_TypeError, message);
    }
    throw ErrorAlreadySet{};
}

// ---- types ----------------------------------------------------------------------------------------

PyObject* make_type(const char* qualified_name, const char* doc, std::size_t basicsize, newfunc tp_new,
                    destructor tp_dealloc, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    unsigned int flags = Py_TPFLAGS_DEFAULT;  // no Py_TPFLAGS_BASETYPE: the classes are final
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Spec type_spec = {qualified_name, static_cast<int>(basicsize), 0, flags, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    // A doc holding only the text signature means "no docstring": __doc__ is None, as for a class without one.
    const char* body = doc ? std::strstr(doc, "\n--\n\n") : nullptr;
    if (type != nullptr && body != nullptr && body[5] == '\0') {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
        if (PyDict_SetItemString(dict, "__doc__", Py_None) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
        PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    }
    return type;
}

}  // namespace orvane::py
