#pragma once
// A test buffer whose last byte lies right before an inaccessible page, so that a kernel reading or
// writing even one byte past the end faults at once, with or without AddressSanitizer.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

class guarded_buffer_t {
  public:
    explicit guarded_buffer_t(std::size_t bytes) : bytes_(bytes) {
        std::size_t const page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        data_pages_ = (bytes + page - 1) / page * page;
        mapping_bytes_ = data_pages_ + page;
        void* mapping = mmap(nullptr, mapping_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED)
            throw std::runtime_error("mmap failed");
        mapping_ = static_cast<unsigned char*>(mapping);
        if (mprotect(mapping_ + data_pages_, page, PROT_NONE) != 0)
            throw std::runtime_error("mprotect failed");
    }
    ~guarded_buffer_t() { munmap(mapping_, mapping_bytes_); }
    guarded_buffer_t(guarded_buffer_t const&) = delete;
    guarded_buffer_t& operator=(guarded_buffer_t const&) = delete;

    /// First byte of the buffer; the byte after the last one is the guard page.
    void* data() noexcept { return mapping_ + data_pages_ - bytes_; }
    template <typename element_at> element_at* as() noexcept { return static_cast<element_at*>(data()); }
    std::size_t size() const noexcept { return bytes_; }

  private:
    std::size_t bytes_ = 0;
    std::size_t data_pages_ = 0;
    std::size_t mapping_bytes_ = 0;
    unsigned char* mapping_ = nullptr;
};
