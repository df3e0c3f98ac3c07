#pragma once
// error_t: the error record every fallible operation of the index returns. It holds one message of static
// lifetime, or nothing. An error nobody handled is raised as std::runtime_error when the record dies,
// unless another exception is already unwinding the stack.

#include <exception>
#include <stdexcept>
#include <utility>

namespace vemo {
namespace korvane {

class error_t {
  public:
    error_t(char const* message = nullptr) noexcept : message_(message) {}
    error_t(error_t const&) = delete;
    error_t& operator=(error_t const&) = delete;
    error_t(error_t&& other) noexcept : message_(std::exchange(other.message_, nullptr)) {}
    error_t& operator=(error_t&& other) noexcept {
        message_ = std::exchange(other.message_, nullptr);
        return *this;
    }
    error_t& operator=(char const* message) noexcept {
        message_ = message;
        return *this;
    }
    ~error_t() noexcept(false) {
        if (message_ && std::uncaught_exceptions() == 0)
            raise();
    }

    explicit operator bool() const noexcept { return message_ != nullptr; }
    char const* what() const noexcept { return message_; }

    /// Hands the message to the caller and marks the error handled.
    char const* release() noexcept { return std::exchange(message_, nullptr); }

    /// Raises the held message, if any, as std::runtime_error and marks the error handled.
    void raise() noexcept(false) {
        if (message_)
            throw std::runtime_error(std::exchange(message_, nullptr));
    }

  private:
    char const* message_;
};

} // namespace korvane
} // namespace vemo
