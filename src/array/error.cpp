#include "array/error.hpp"

namespace veltrix {

std::string equality_assertion_text(const std::string& message, const std::string& left,
                                    const std::string& right) {
    return "assertion `left == right` failed: " + message + "\n  left: " + left +
           "\n right: " + right;
}

void fail_internal(std::string message, const char* file, int line) {
    throw InternalError(std::move(message), file, line);
}

void fail_assert_eq(const std::string& message, std::uint64_t left, std::uint64_t right,
                    const char* file, int line) {
    throw InternalError(
        equality_assertion_text(message, std::to_string(left), std::to_string(right)), file, line);
}

}  // namespace veltrix
