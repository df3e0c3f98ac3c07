#pragma once
// The files an index is saved to and loaded from: a writer that never leaves a half-written file in place
// of a good one, a reader that knows how many bytes are left, and the options and result record the
// dense index's save, load and view share.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "metrics/error.h"

namespace vemo {
namespace korvane {

/// Options of saving, loading and viewing. The reader must be given the options the writer used.
struct index_dense_serialization_config_t {
    /// The matrix block is left out; the file starts with the dense header.
    bool skip_vectors = false;
    /// The matrix block starts with rows and bytes per row as 64-bit numbers instead of 32-bit ones.
    bool wide_matrix_dims = false;
};

/// Outcome of a save, load or view, and of every file operation they are built from.
struct serialization_result_t {
    error_t error;

    explicit operator bool() const noexcept { return !error; }
    serialization_result_t failed(char const* message) noexcept {
        error = message;
        return std::move(*this);
    }
};

/// Message of every write, flush or close that did not reach the file.
constexpr char const* failed_to_serialize_k = "Failed to serialize into stream";

/// The file an index is written to.
///
/// A regular file, or a path that does not exist yet, is written through a temporary file in the same
/// directory that replaces the target by a rename only in `close`, after every write, the flush, the sync
/// and the close succeeded. Until then the old file stays as it was, and a file that is being viewed
/// keeps its mapping. Any other target (a device, a pipe) is written in place.
///
/// The caller opens, writes and closes; `close` is the commit and reports its own failures (the flush,
/// the sync, the close or the rename). A file whose write failed was already reported by that write:
/// closing it only discards it. A file destroyed while open is discarded too.
class output_file_t {
  public:
    explicit output_file_t(char const* path) noexcept : path_(path) {}
    output_file_t(output_file_t const&) = delete;
    output_file_t& operator=(output_file_t const&) = delete;
    ~output_file_t() noexcept { discard_(); }

    /// Opens for writing unless already open; failure carries the system's error text. Only the path
    /// strings allocate (std::bad_alloc).
    serialization_result_t open_if_not();
    /// One write of `length` bytes; false when it did not go through, with the system's error text kept
    /// as `last_error`. A plain bool: the save reports its own message for a failed write.
    bool write(void const* begin, std::size_t length) noexcept;
    /// Flushes, syncs and closes, then puts the temporary file in place of the target. Closing a file that
    /// is not open succeeds and does nothing; closing one whose write failed discards it and adds no error.
    serialization_result_t close() noexcept;

    bool is_open() const noexcept { return stream_ != nullptr; }
    char const* path() const noexcept { return path_; }
    /// System's error text of the last failed write, or null.
    char const* last_error() const noexcept { return last_error_; }

  private:
    void discard_() noexcept;

    char const* path_ = nullptr;
    std::FILE* stream_ = nullptr;
    /// Temporary file being written; empty when writing in place.
    std::string temporary_path_;
    /// Path the temporary file is renamed to: the target, with symbolic links resolved.
    std::string final_path_;
    /// Set by the first failed write; a failed file is never committed.
    bool failed_ = false;
    char const* last_error_ = nullptr;
};

/// The file an index is loaded from.
class input_file_t {
  public:
    explicit input_file_t(char const* path) noexcept : path_(path) {}
    input_file_t(input_file_t const&) = delete;
    input_file_t& operator=(input_file_t const&) = delete;
    ~input_file_t() noexcept { close(); }

    /// Opens for reading unless already open; failure carries the system's error text.
    serialization_result_t open_if_not() noexcept;
    /// One read of `length` bytes; false when it did not complete, with "End of file reached!" at the end
    /// of the stream and the system's error text otherwise kept as `last_error`. The readers report their
    /// own message for each step.
    bool read(void* begin, std::size_t length) noexcept;
    void close() noexcept;

    /// Bytes left between the stream's position and the end of the file, when the stream is a regular file
    /// whose size is known; otherwise SIZE_MAX, which bounds nothing.
    std::size_t remaining() const noexcept;

    bool is_open() const noexcept { return stream_ != nullptr; }
    char const* path() const noexcept { return path_; }
    char const* last_error() const noexcept { return last_error_; }

  private:
    char const* path_ = nullptr;
    std::FILE* stream_ = nullptr;
    char const* last_error_ = nullptr;
};

} // namespace korvane
} // namespace vemo
