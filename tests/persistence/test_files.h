#pragma once
// Scratch files for the persistence tests: a private directory removed with everything in it, and whole-file
// reads and writes.

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vemo {
namespace korvane {
namespace testing {

using bytes_t = std::vector<char>;

/// Names in a directory, "." and ".." excluded.
inline std::vector<std::string> directory_entries(std::string const& path) {
    std::vector<std::string> names;
    if (DIR* directory = ::opendir(path.c_str())) {
        while (dirent* entry = ::readdir(directory)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(directory);
    }
    return names;
}

class scratch_directory_t {
  public:
    explicit scratch_directory_t(char const* prefix = "korvane-persistence") {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        char* made = ::mkdtemp(pattern.data());
        path_ = made ? made : "";
    }
    scratch_directory_t(scratch_directory_t const&) = delete;
    scratch_directory_t& operator=(scratch_directory_t const&) = delete;
    ~scratch_directory_t() {
        for (std::string const& name : entries())
            ::unlink((path_ + "/" + name).c_str());
        ::rmdir(path_.c_str());
    }
    std::string file(char const* name) const { return path_ + "/" + name; }
    std::string const& path() const { return path_; }

    /// Names in the directory, "." and ".." excluded.
    std::vector<std::string> entries() const { return directory_entries(path_); }

  private:
    std::string path_;
};

inline bytes_t read_file(std::string const& path) {
    std::ifstream stream(path, std::ios::binary);
    return bytes_t(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

inline void write_file(std::string const& path, bytes_t const& bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace testing
} // namespace korvane
} // namespace vemo
