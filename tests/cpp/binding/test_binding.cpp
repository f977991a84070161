// The binding layer's conventions inside an embedded interpreter: borrow flags, buffer strictness, the
// argument-error wrapping, the interpreter-lock release and the translation of native failures.

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "python/binding.hpp"

using namespace orvane::py;

namespace {

// The pending Python error as "TypeName: message", cleared.
std::string take_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string out;
    if (type != nullptr) {
        out = reinterpret_cast<PyTypeObject*>(type)->tp_name;
        PyObject* s = value ? PyObject_Str(value) : nullptr;
        if (s != nullptr) out += std::string(": ") + PyUnicode_AsUTF8(s);
        Py_XDECREF(s);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return out;
}

template <class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const ErrorAlreadySet&) {
        return take_error();
    }
    return "no error";
}

struct Owned {
    PyObject* o;
    explicit Owned(PyObject* p) : o(p) {}
    ~Owned() { Py_XDECREF(o); }
};

}  // namespace

TEST(Borrow, ExclusiveAndSharedRules) {
    BorrowFlag flag;
    {
        ExclusiveBorrow excl(flag);
        EXPECT_EQ(error_of([&] { ExclusiveBorrow again(flag); }), "RuntimeError: Already borrowed");
        EXPECT_EQ(error_of([&] { SharedBorrow shared(flag); }), "RuntimeError: Already mutably borrowed");
    }
    {
        SharedBorrow a(flag);
        SharedBorrow b(flag);  // shared uses coexist
        EXPECT_EQ(error_of([&] { ExclusiveBorrow excl(flag); }), "RuntimeError: Already borrowed");
    }
    EXPECT_EQ(flag.state, 0);
    EXPECT_EQ(error_of([&] { ExclusiveBorrow excl(flag); }), "no error");
}

TEST(Convert, ImmutableAndMutableBuffersAreStrict) {
    Owned bytes(PyBytes_FromStringAndSize("abcd", 4));
    Owned bytearray(PyByteArray_FromStringAndSize("abcdef", 6));
    Owned view(PyMemoryView_FromObject(bytes.o));

    BytesView bv;
    ASSERT_TRUE(convert(bytes.o, bv));
    EXPECT_EQ(bv.size, 4u);
    EXPECT_EQ(bv.data[0], 'a');
    EXPECT_FALSE(convert(bytearray.o, bv));
    EXPECT_EQ(take_error(), "TypeError: 'bytearray' object cannot be converted to 'PyBytes'");
    EXPECT_FALSE(convert(view.o, bv));
    EXPECT_EQ(take_error(), "TypeError: 'memoryview' object cannot be converted to 'PyBytes'");

    ByteArrayView av;
    ASSERT_TRUE(convert(bytearray.o, av));
    EXPECT_EQ(av.size, 6u);
    av.data[0] = 'z';
    EXPECT_EQ(PyByteArray_AS_STRING(bytearray.o)[0], 'z');  // written in place
    EXPECT_FALSE(convert(bytes.o, av));
    EXPECT_EQ(take_error(), "TypeError: 'bytes' object cannot be converted to 'PyByteArray'");
}

TEST(Args, TypeErrorsNameTheArgumentOverflowPassesThrough) {
    static constexpr const char* names[] = {"activation_bf16", "moe_layer_idx", "num_bits"};
    Owned bytearray(PyByteArray_FromStringAndSize("ab", 2));
    Owned minus_one(PyLong_FromLong(-1));
    Owned big(PyLong_FromLong(256));
    PyObject* argv[] = {bytearray.o, minus_one.o, big.o};
    Args a("f", names, 3, argv, 3, nullptr);
    EXPECT_EQ(error_of([&] { a.get<BytesView>(0); }),
              "TypeError: argument 'activation_bf16': 'bytearray' object cannot be converted to 'PyBytes'");
    EXPECT_EQ(error_of([&] { a.get<uint64_t>(1); }).rfind("OverflowError: ", 0), 0u);
    EXPECT_EQ(error_of([&] { a.get<uint8_t>(2); }).rfind("OverflowError: ", 0), 0u);
    EXPECT_EQ(a.get<int64_t>(1), -1);
}

TEST(Gil, ReleasedForTheScopeOnly) {
    EXPECT_EQ(PyGILState_Check(), 1);
    {
        GilRelease release;
        EXPECT_EQ(PyGILState_Check(), 0);
    }
    EXPECT_EQ(PyGILState_Check(), 1);
}

TEST(Guard, NativeFailuresBecomePythonExceptions) {
    ASSERT_NE(create_internal_error_type(), nullptr);
    EXPECT_EQ(guard([]() -> PyObject* { throw orvane::InternalError("index out of bounds"); }), nullptr);
    EXPECT_EQ(take_error(), "InternalError: index out of bounds");
    EXPECT_EQ(guard([]() -> PyObject* { throw std::bad_alloc(); }), nullptr);
    EXPECT_EQ(take_error().rfind("MemoryError", 0), 0u);
    EXPECT_EQ(guard([]() -> PyObject* { raise(PyExc_ValueError, "bad value"); }), nullptr);
    EXPECT_EQ(take_error(), "ValueError: bad value");
    EXPECT_TRUE(PyErr_GivenExceptionMatches(internal_error_type(), PyExc_BaseException));
    EXPECT_FALSE(PyErr_GivenExceptionMatches(internal_error_type(), PyExc_Exception));
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    PyConfig_SetBytesString(&config, &config.home, ORVANE_PYTHON_HOME);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    const int rc = RUN_ALL_TESTS();
    Py_Finalize();
    return rc;
}
