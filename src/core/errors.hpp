#pragma once
// Error model of the core library.
//
// Fallible operations (readers, loaders, registrations) return std::expected<T, std::string>; the binding
// turns the text into the method's Python exception. A violated internal precondition (an index out of
// range, a size mismatch, a kernel assertion) throws InternalError, which the binding raises as
// orvane.InternalError, a type that `except Exception` does not catch. Checks are real code: they stay in
// release builds.

#include <expected>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace orvane {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

template <class T>
using Result = std::expected<T, std::string>;

[[noreturn]] inline void fail(const std::string& message) { throw InternalError(message); }

[[noreturn]] inline void unreachable() { fail("internal error: entered unreachable code"); }

}  // namespace orvane

// Throws InternalError with the given message when the condition does not hold.
#define ORVANE_CHECK(cond, ...)                                          \
    do {                                                                 \
        if (!(cond)) ::orvane::fail(::fmt::format(__VA_ARGS__));         \
    } while (0)

// Throws InternalError "assertion failed: <condition>".
#define ORVANE_ASSERT(cond)                                              \
    do {                                                                 \
        if (!(cond)) ::orvane::fail("assertion failed: " #cond);         \
    } while (0)

// Equality assertion with both values in the message.
#define ORVANE_ASSERT_EQ(left, right)                                                          \
    do {                                                                                       \
        const auto& orvane_l_ = (left);                                                        \
        const auto& orvane_r_ = (right);                                                       \
        if (!(orvane_l_ == orvane_r_))                                                         \
            ::orvane::fail(::fmt::format("assertion `left == right` failed\n  left: {}\n right: {}", \
                                         orvane_l_, orvane_r_));                               \
    } while (0)
