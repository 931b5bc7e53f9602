// Failure conventions of the core.
//
// Orderly failures (input the caller may legitimately pass) come back as a
// Result carrying the final user-visible message; the binding raises it as
// ValueError. Violated preconditions throw InternalError, which the binding
// turns into the module's internal-error exception.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace veltrix {

class InternalError : public std::exception {
public:
    explicit InternalError(std::string message, const char* file = "", int line = 0)
        : message_(std::move(message)), file_(file), line_(line) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    std::string message_;
    const char* file_;
    int line_;
};

// The text of a failed equality assertion with a custom message.
std::string equality_assertion_text(const std::string& message, const std::string& left,
                                    const std::string& right);

[[noreturn]] void fail_internal(std::string message, const char* file, int line);

[[noreturn]] void fail_assert_eq(const std::string& message, std::uint64_t left,
                                 std::uint64_t right, const char* file, int line);

#define VELTRIX_FAIL(msg) ::veltrix::fail_internal((msg), __FILE__, __LINE__)

// Equality precondition between two unsigned integers, reported with both operands.
#define VELTRIX_ASSERT_EQ(left, right, msg)                                                  \
    do {                                                                                     \
        const auto veltrix_l_ = static_cast<std::uint64_t>(left);                            \
        const auto veltrix_r_ = static_cast<std::uint64_t>(right);                           \
        if (veltrix_l_ != veltrix_r_)                                                        \
            ::veltrix::fail_assert_eq((msg), veltrix_l_, veltrix_r_, __FILE__, __LINE__);     \
    } while (0)

struct Error {
    std::string message;
};

// A value or the message of an orderly failure.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const std::string& error() const { return std::get<1>(v_).message; }

private:
    std::variant<T, Error> v_;
};

}  // namespace veltrix
