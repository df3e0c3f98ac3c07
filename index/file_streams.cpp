#include "index/file_streams.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vemo {
namespace korvane {
namespace {

char const* system_error_text(int error_number) noexcept { return std::strerror(error_number ? error_number : EIO); }

/// Distinguishes the temporary files of concurrent saves within one process; the process id separates
/// processes.
std::atomic<unsigned long> temporary_counter{0};

std::string directory_of(std::string const& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

/// A rename is durable only once the directory entry is; a failure here cannot undo the rename, so it
/// is not reported. Running out of memory for the directory's name is such a failure too: it must not
/// escape from the commit, which is noexcept.
void sync_directory(std::string const& path) noexcept {
    int descriptor = -1;
    try {
        descriptor = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } catch (std::bad_alloc const&) {
    }
    if (descriptor < 0)
        return;
    ::fsync(descriptor);
    ::close(descriptor);
}

bool is_regular_stream(std::FILE* stream) noexcept {
    struct stat status;
    return ::fstat(::fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

serialization_result_t output_file_t::open_if_not() {
    serialization_result_t result;
    if (stream_)
        return result;
    failed_ = false;
    last_error_ = nullptr;
    temporary_path_.clear();
    final_path_ = path_;

    // Decide between replacing the target through a rename and writing into it in place.
    bool replace = false;
    bool existing = false;
    mode_t existing_mode = 0;
    struct stat status;
    if (::lstat(path_, &status) == 0) {
        existing = true;
        existing_mode = status.st_mode;
        if (S_ISLNK(status.st_mode)) {
            // Replace the file the link names, not the link. A dangling link is written through in place.
            char* resolved = ::realpath(path_, nullptr);
            if (resolved) {
                final_path_ = resolved;
                std::free(resolved);
                replace = ::stat(final_path_.c_str(), &status) == 0 && S_ISREG(status.st_mode);
                existing_mode = status.st_mode;
            }
        } else
            replace = S_ISREG(status.st_mode);
    } else if (errno == ENOENT)
        replace = true;
    else
        return result.failed(system_error_text(errno));

    if (!replace) {
        errno = 0;
        stream_ = std::fopen(path_, "wb");
        if (!stream_)
            return result.failed(system_error_text(errno));
        return result;
    }

    int descriptor = -1;
    for (int attempt = 0; attempt != 64 && descriptor < 0; ++attempt) {
        temporary_path_ = final_path_ + ".tmp-" + std::to_string(::getpid()) + "-" +
                          std::to_string(temporary_counter.fetch_add(1));
        descriptor = ::open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0 && errno != EEXIST)
            break;
    }
    if (descriptor < 0) {
        int error_number = errno;
        temporary_path_.clear();
        return result.failed(system_error_text(error_number));
    }
    // The replacement keeps the permissions of the file it replaces; a new file gets the umask's.
    if (existing)
        ::fchmod(descriptor, existing_mode & 07777);
    stream_ = ::fdopen(descriptor, "wb");
    if (!stream_) {
        int error_number = errno;
        ::close(descriptor);
        ::unlink(temporary_path_.c_str());
        temporary_path_.clear();
        return result.failed(system_error_text(error_number));
    }
    return result;
}

bool output_file_t::write(void const* begin, std::size_t length) noexcept {
    if (!length)
        return true;
    errno = 0;
    if (!stream_ || std::fwrite(begin, length, 1, stream_) != 1) {
        failed_ = true;
        last_error_ = system_error_text(stream_ ? errno : EBADF);
        return false;
    }
    return true;
}

serialization_result_t output_file_t::close() noexcept {
    serialization_result_t result;
    if (!stream_)
        return result;

    // Buffered bytes reach the file only at the flush, and the disk only at the sync: either failing means
    // the save did not happen.
    bool const failed_before = failed_;
    bool complete = !failed_;
    if (complete && std::fflush(stream_) != 0) {
        complete = false;
        last_error_ = system_error_text(errno);
    }
    if (complete && is_regular_stream(stream_) && ::fsync(::fileno(stream_)) != 0) {
        complete = false;
        last_error_ = system_error_text(errno);
    }
    if (std::fclose(stream_) != 0 && complete) {
        complete = false;
        last_error_ = system_error_text(errno);
    }
    stream_ = nullptr;

    char const* message = failed_to_serialize_k;
    if (!temporary_path_.empty()) {
        if (complete && std::rename(temporary_path_.c_str(), final_path_.c_str()) != 0) {
            complete = false;
            message = system_error_text(errno);
        }
        if (complete)
            sync_directory(final_path_);
        else
            ::unlink(temporary_path_.c_str());
        temporary_path_.clear();
    }
    failed_ = failed_ || !complete;
    if (!complete && !failed_before)
        return result.failed(message);
    return result;
}

void output_file_t::discard_() noexcept {
    if (!stream_)
        return;
    std::fclose(stream_);
    stream_ = nullptr;
    if (!temporary_path_.empty()) {
        ::unlink(temporary_path_.c_str());
        temporary_path_.clear();
    }
}

serialization_result_t input_file_t::open_if_not() noexcept {
    serialization_result_t result;
    if (stream_)
        return result;
    errno = 0;
    stream_ = std::fopen(path_, "rb");
    if (!stream_)
        return result.failed(system_error_text(errno));
    return result;
}

bool input_file_t::read(void* begin, std::size_t length) noexcept {
    if (!length)
        return true;
    errno = 0;
    if (!stream_ || std::fread(begin, length, 1, stream_) != 1) {
        last_error_ = !stream_                ? system_error_text(EBADF)
                      : std::feof(stream_) ? "End of file reached!"
                                           : system_error_text(errno);
        return false;
    }
    return true;
}

void input_file_t::close() noexcept {
    if (stream_)
        std::fclose(stream_);
    stream_ = nullptr;
}

std::size_t input_file_t::remaining() const noexcept {
    if (!stream_)
        return 0;
    struct stat status;
    if (::fstat(::fileno(stream_), &status) != 0 || !S_ISREG(status.st_mode))
        return SIZE_MAX;
    off_t position = ::ftello(stream_);
    if (position < 0)
        return SIZE_MAX;
    std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
    std::uint64_t offset = static_cast<std::uint64_t>(position);
    return size > offset ? static_cast<std::size_t>(size - offset) : 0;
}

} // namespace korvane
} // namespace vemo
