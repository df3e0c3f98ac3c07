// The output file commits by rename only when every byte reached the disk; the input file reports the end
// of the data and how much is left.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "index/file_streams.h"
#include "file_limit.h"
#include "test_files.h"

namespace vemo {
namespace korvane {
namespace {

using testing::bytes_t;
using testing::read_file;
using testing::scratch_directory_t;
using testing::write_file;

char const* message_of(serialization_result_t& result) { return result.error.release(); }

TEST(OutputFile, ReplacesTargetOnlyOnClose) {
    scratch_directory_t directory;
    std::string const target = directory.file("index.bin");
    write_file(target, bytes_t{'o', 'l', 'd'});
    ::chmod(target.c_str(), 0640);

    output_file_t file(target.c_str());
    ASSERT_TRUE(file.open_if_not());
    ASSERT_TRUE(file.write("fresh", 5));
    EXPECT_EQ(read_file(target), (bytes_t{'o', 'l', 'd'})) << "the target changes only at the commit";
    EXPECT_EQ(directory.entries().size(), 2u);
    ASSERT_TRUE(file.close());

    EXPECT_EQ(read_file(target), (bytes_t{'f', 'r', 'e', 's', 'h'}));
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"index.bin"});
    struct stat status;
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u) << "the replacement keeps the old file's permissions";
    EXPECT_TRUE(file.close()) << "closing twice is harmless";
}

TEST(OutputFile, AbandonedOrFailedFileLeavesTargetAlone) {
    scratch_directory_t directory;
    std::string const target = directory.file("index.bin");
    write_file(target, bytes_t{'o', 'l', 'd'});
    {
        output_file_t abandoned(target.c_str());
        ASSERT_TRUE(abandoned.open_if_not());
        ASSERT_TRUE(abandoned.write("partial", 7));
    }
    EXPECT_EQ(read_file(target), (bytes_t{'o', 'l', 'd'}));
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"index.bin"});

    // A write that fails part-way: the file-size limit turns the flush of a large buffer into EFBIG.
    bytes_t const large(1 << 20, 'x');
    output_file_t failing(target.c_str());
    ASSERT_TRUE(failing.open_if_not());
    bool written;
    serialization_result_t closed;
    {
        testing::file_size_limit_t limit(4096);
        written = failing.write(large.data(), large.size());
        closed = failing.close();
    }
    EXPECT_FALSE(written);
    EXPECT_STREQ(failing.last_error(), std::strerror(EFBIG));
    EXPECT_TRUE(closed) << "the failed write was the failure; the close only discards";
    EXPECT_FALSE(failing.is_open());
    EXPECT_EQ(read_file(target), (bytes_t{'o', 'l', 'd'}));
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"index.bin"});
}

TEST(OutputFile, FailedFlushIsAFailedClose) {
    // Buffered writes to the full device succeed; the bytes are refused at the flush.
    output_file_t file("/dev/full");
    ASSERT_TRUE(file.open_if_not());
    ASSERT_TRUE(file.write("0123456789", 10));
    serialization_result_t closed = file.close();
    EXPECT_FALSE(closed);
    EXPECT_STREQ(message_of(closed), "Failed to serialize into stream");
    EXPECT_STREQ(file.last_error(), std::strerror(ENOSPC));
    struct stat status;
    ASSERT_EQ(::stat("/dev/full", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode)) << "a device is written in place, never replaced";
}

TEST(OutputFile, OpenFailuresCarryTheSystemText) {
    scratch_directory_t directory;
    std::string const missing = directory.file("no-such-directory/index.bin");
    output_file_t in_missing_directory(missing.c_str());
    serialization_result_t opened = in_missing_directory.open_if_not();
    EXPECT_STREQ(message_of(opened), std::strerror(ENOENT));

    output_file_t onto_directory(directory.path().c_str());
    opened = onto_directory.open_if_not();
    EXPECT_STREQ(message_of(opened), std::strerror(EISDIR));
    EXPECT_TRUE(directory.entries().empty());
}

TEST(OutputFile, SymbolicLinkKeepsPointingAtTheReplacedFile) {
    scratch_directory_t directory;
    std::string const target = directory.file("real.bin");
    std::string const link = directory.file("link.bin");
    write_file(target, bytes_t{'o', 'l', 'd'});
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

    output_file_t file(link.c_str());
    ASSERT_TRUE(file.open_if_not());
    ASSERT_TRUE(file.write("new", 3));
    ASSERT_TRUE(file.close());

    struct stat status;
    ASSERT_EQ(::lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(read_file(target), (bytes_t{'n', 'e', 'w'}));
}

TEST(InputFile, ReadsUntilTheEnd) {
    scratch_directory_t directory;
    std::string const path = directory.file("data.bin");
    write_file(path, bytes_t{1, 2, 3, 4, 5});

    std::string const absent = directory.file("absent.bin");
    input_file_t missing(absent.c_str());
    serialization_result_t opened = missing.open_if_not();
    EXPECT_STREQ(message_of(opened), std::strerror(ENOENT));

    input_file_t file(path.c_str());
    ASSERT_TRUE(file.open_if_not());
    EXPECT_EQ(file.remaining(), 5u);
    char bytes[8] = {};
    ASSERT_TRUE(file.read(bytes, 2));
    EXPECT_EQ(bytes[1], 2);
    EXPECT_EQ(file.remaining(), 3u);
    EXPECT_TRUE(file.read(bytes, 0));
    EXPECT_FALSE(file.read(bytes, 4));
    EXPECT_STREQ(file.last_error(), "End of file reached!");
    EXPECT_EQ(file.remaining(), 0u);
}

TEST(InputFile, StreamsOfUnknownLengthBoundNothing) {
    input_file_t file("/dev/zero");
    ASSERT_TRUE(file.open_if_not());
    EXPECT_EQ(file.remaining(), SIZE_MAX);
}

} // namespace
} // namespace korvane
} // namespace vemo
