#pragma once
// memory_mapped_file_t: a whole file mapped read-only and shared, for viewing an index in place. It is
// move-only: a viewed graph takes the mapping over and keeps it until the graph is reset or destroyed.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "metrics/error.h"

namespace vemo {
namespace korvane {

class memory_mapped_file_t {
  public:
    using byte_t = char;

    explicit memory_mapped_file_t(char const* path = nullptr) noexcept : path_(path) {}
    memory_mapped_file_t(memory_mapped_file_t const&) = delete;
    memory_mapped_file_t& operator=(memory_mapped_file_t const&) = delete;
    memory_mapped_file_t(memory_mapped_file_t&& other) noexcept { take_over_(other); }
    memory_mapped_file_t& operator=(memory_mapped_file_t&& other) noexcept {
        if (this != &other) {
            close();
            take_over_(other);
        }
        return *this;
    }
    ~memory_mapped_file_t() noexcept { close(); }

    /// Maps the file unless it has no path or is mapped already. Errors carry the system's text.
    error_t open_if_not() noexcept {
        if (!path_ || address_)
            return {};
        int descriptor = ::open(path_, O_RDONLY);
        if (descriptor < 0)
            return error_t(std::strerror(errno));
        struct stat file_stat;
        if (::fstat(descriptor, &file_stat) != 0) {
            error_t error(std::strerror(errno));
            ::close(descriptor);
            return error;
        }
        std::size_t const length = static_cast<std::size_t>(file_stat.st_size);
        void* mapping = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor, 0);
        if (mapping == MAP_FAILED) {
            error_t error(std::strerror(errno));
            ::close(descriptor);
            return error;
        }
        address_ = static_cast<byte_t*>(mapping);
        length_ = length;
        descriptor_ = descriptor;
        return {};
    }

    /// Unmaps and closes the file if it was opened; the path stays.
    void close() noexcept {
        if (address_) {
            ::munmap(address_, length_);
            ::close(descriptor_);
        }
        address_ = nullptr;
        length_ = 0;
        descriptor_ = -1;
    }

    char const* path() const noexcept { return path_; }
    byte_t const* data() const noexcept { return address_; }
    std::size_t size() const noexcept { return length_; }
    bool is_open() const noexcept { return address_ != nullptr; }
    explicit operator bool() const noexcept { return address_ != nullptr; }

  private:
    void take_over_(memory_mapped_file_t& other) noexcept {
        path_ = std::exchange(other.path_, nullptr);
        address_ = std::exchange(other.address_, nullptr);
        length_ = std::exchange(other.length_, 0);
        descriptor_ = std::exchange(other.descriptor_, -1);
    }

    /// Not owned; must outlive the call to open_if_not().
    char const* path_ = nullptr;
    /// Start of the read-only mapping; null while not open.
    byte_t* address_ = nullptr;
    /// Bytes mapped, the file's size at opening.
    std::size_t length_ = 0;
    /// Open descriptor of the mapped file; -1 while not open.
    int descriptor_ = -1;
};

} // namespace korvane
} // namespace vemo
