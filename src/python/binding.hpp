#pragma once
// The binding layer over the CPython C API: argument parsing with positional and keyword arguments,
// converters with the module's error classes, per-instance borrow flags, a scoped release of the interpreter
// lock, and the translation of core errors into Python exceptions.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"

namespace orvane::py {

// Thrown once a Python exception has been set; `guard` turns it into a nullptr return.
struct ErrorAlreadySet {};

// Sets a Python exception of `type` with `message` and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raises the error of a failed core operation as the method's exception class.
template <class T>
T unwrap(Result<T>&& r, PyObject* type) {
    if (!r) raise(type, r.error());
    if constexpr (!std::is_void_v<T>) return std::move(*r);
}

// orvane.InternalError, derived from BaseException. Created by `create_internal_error_type` at import.
PyObject* internal_error_type();
PyObject* create_internal_error_type();

// Sets the Python exception for the exception in flight (called from a catch block).
void set_error_from_current_exception() noexcept;

// Runs f (returning a new reference or nullptr) and turns every C++ exception into a Python exception.
template <class F>
PyObject* guard(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// New references for results.
PyObject* none();
PyObject* to_py(bool v);
PyObject* to_py(uint64_t v);
PyObject* to_py_bytes(const void* data, std::size_t len);

// Per-instance borrow flag: 0 free, -1 taken exclusively, n > 0 taken shared n times. Only touched with the
// interpreter lock held.
struct BorrowFlag {
    Py_ssize_t state = 0;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag);
    ~ExclusiveBorrow() { flag_.state = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag);
    ~SharedBorrow() { --flag_.state; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

// Releases the interpreter lock for its scope.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Read-only view of a `bytes` argument.
struct BytesView {
    const uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Writable view of a `bytearray` argument (its current length is its capacity).
struct ByteArrayView {
    uint8_t* data = nullptr;
    std::size_t size = 0;
};

// Argument conversion. Each converter raises TypeError or OverflowError for an unusable object.
bool convert(PyObject* o, uint64_t& out);
bool convert(PyObject* o, uint8_t& out);
bool convert(PyObject* o, float& out);
bool convert(PyObject* o, double& out);
bool convert(PyObject* o, bool& out);
bool convert(PyObject* o, std::string& out);
bool convert(PyObject* o, BytesView& out);
bool convert(PyObject* o, ByteArrayView& out);
bool convert(PyObject* o, std::vector<uint64_t>& out);
bool convert(PyObject* o, std::vector<int64_t>& out);
bool convert(PyObject* o, std::vector<float>& out);
bool convert(PyObject* o, int64_t& out);

// The arguments of one call, matched to the parameter names (vectorcall convention).
class Args {
public:
    // Throws (TypeError set) for too many positional arguments, an unknown keyword, an argument given
    // twice, or a missing one among the first `required` parameters.
    Args(const char* function, std::span<const char* const> names, std::size_t required, PyObject* const* args,
         Py_ssize_t nargs, PyObject* kwnames);
    // The same for the tuple-and-dict convention of constructors.
    Args(const char* function, std::span<const char* const> names, std::size_t required, PyObject* args,
         PyObject* kwargs);

    // Whether parameter i was given a value other than None.
    bool has(std::size_t i) const { return values_[i] != nullptr && values_[i] != Py_None; }

    template <class T>
    T get(std::size_t i) const {
        T out{};
        if (!convert(values_[i], out)) rethrow_conversion(i);
        return out;
    }

    template <class T>
    std::optional<T> opt(std::size_t i) const {
        if (!has(i)) return std::nullopt;
        return get<T>(i);
    }

    template <class T>
    T get_or(std::size_t i, T fallback) const {
        if (!has(i)) return fallback;
        return get<T>(i);
    }

private:
    void match_positional(const char* function, Py_ssize_t nargs, PyObject* const* args);
    void match_keyword(const char* function, PyObject* key, PyObject* value);
    void check_required(const char* function, std::size_t required) const;

    // Re-raises a TypeError of parameter i as "argument '{name}': {message}"; other errors pass through.
    [[noreturn]] void rethrow_conversion(std::size_t i) const;

    static constexpr std::size_t kMaxParams = 32;
    std::span<const char* const> names_;
    PyObject* values_[kMaxParams] = {};
};

template <class T>
T* ptr_arg(uint64_t address) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(address));
}

// Creates a final (non-subclassable) heap type.
PyObject* make_type(const char* qualified_name, const char* doc, std::size_t basicsize, newfunc tp_new,
                    destructor tp_dealloc, PyMethodDef* methods);

// Instance layout shared by every class: the borrow flag and the owned native state.
template <class Native>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    Native* native;
};

template <class Native>
void dealloc_instance(PyObject* self) {
    auto* inst = reinterpret_cast<Instance<Native>*>(self);
    PyTypeObject* type = Py_TYPE(self);
    delete inst->native;
    inst->native = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

// Allocates an instance of `type` owning `native` (takes ownership, also on failure).
template <class Native>
PyObject* new_instance(PyTypeObject* type, Native* native) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        delete native;
        return nullptr;
    }
    auto* inst = reinterpret_cast<Instance<Native>*>(self);
    inst->borrow = BorrowFlag{};
    inst->native = native;
    return self;
}

template <class Native>
Instance<Native>& instance(PyObject* self) {
    return *reinterpret_cast<Instance<Native>*>(self);
}

}  // namespace orvane::py
