#pragma once
// Makes writes past a file size fail (EFBIG) for the lifetime of the object, by lowering the soft
// RLIMIT_FSIZE and ignoring SIGXFSZ; both are restored on destruction. Affects the whole process, so the
// tests that use it write nothing else meanwhile.

#include <signal.h>
#include <sys/resource.h>

#include <cstddef>

namespace vemo {
namespace korvane {
namespace testing {

class file_size_limit_t {
  public:
    explicit file_size_limit_t(std::size_t bytes) noexcept {
        ::getrlimit(RLIMIT_FSIZE, &previous_limit_);
        previous_handler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = previous_limit_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~file_size_limit_t() noexcept {
        ::setrlimit(RLIMIT_FSIZE, &previous_limit_);
        ::signal(SIGXFSZ, previous_handler_);
    }
    file_size_limit_t(file_size_limit_t const&) = delete;
    file_size_limit_t& operator=(file_size_limit_t const&) = delete;

  private:
    rlimit previous_limit_{};
    void (*previous_handler_)(int) = SIG_DFL;
};

} // namespace testing
} // namespace korvane
} // namespace vemo
