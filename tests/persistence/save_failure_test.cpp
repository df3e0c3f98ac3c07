// Saving never destroys an earlier good file and never reports success for bytes that did not reach it.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "file_limit.h"
#include "index_fixtures.h"
#include "test_files.h"

namespace vemo {
namespace korvane {
namespace {

using namespace testing;

TEST(SaveFailure, MissingDirectoryReportsTheSystemText) {
    scratch_directory_t directory;
    EXPECT_EQ(message_of(save_to(make_filled_index({}, 3), directory.file("absent/index.bin"))),
              std::strerror(ENOENT));
    EXPECT_TRUE(directory.entries().empty());
}

TEST(SaveFailure, FullDeviceIsAFailedSaveAndStaysADevice) {
    // The empty index fits the stream's buffer, so only the flush fails; the larger one fails in a write.
    for (std::size_t entries : {0, 200}) {
        EXPECT_EQ(message_of(save_to(make_filled_index({}, entries, 256), "/dev/full")),
                  "Failed to serialize into stream")
            << entries << " entries";
        struct stat status;
        ASSERT_EQ(::stat("/dev/full", &status), 0);
        EXPECT_TRUE(S_ISCHR(status.st_mode));
    }
}

TEST(SaveFailure, OpenSaveCloseCommitsOnlyAtTheClose) {
    scratch_directory_t directory;
    std::string const path = directory.file("index.bin");
    index_dense_t const first = make_filled_index({}, 10);
    ASSERT_EQ(message_of(save_to(first, path)), "");
    bytes_t const before = read_file(path);

    // The sequence of a caller that opens the file itself: the save leaves it open, the close commits.
    output_file_t file(path.c_str());
    ASSERT_EQ(message_of(file.open_if_not()), "");
    ASSERT_EQ(message_of(make_filled_index({}, 20).save(file)), "");
    EXPECT_TRUE(file.is_open());
    EXPECT_EQ(read_file(path), before);
    ASSERT_EQ(message_of(file.close()), "");
    EXPECT_NE(read_file(path), before);
    index_dense_t loaded = make_index({}, 1);
    ASSERT_EQ(message_of(load_from(loaded, path)), "");
    EXPECT_EQ(loaded.size(), 20u);
}

TEST(SaveFailure, FailingPartWayLeavesTheOldFileIntact) {
    scratch_directory_t directory;
    std::string const path = directory.file("index.bin");
    ASSERT_EQ(message_of(save_to(make_filled_index({}, 10), path)), "");
    bytes_t const before = read_file(path);
    index_dense_t const larger = make_filled_index({}, 300, 512);

    std::string saved, closed;
    {
        file_size_limit_t limit(before.size() + 4096);
        output_file_t file(path.c_str());
        saved = message_of(file.open_if_not());
        if (saved.empty())
            saved = message_of(larger.save(file));
        closed = message_of(file.close());
    }
    EXPECT_EQ(saved, "Failed to serialize into stream");
    EXPECT_EQ(closed, "") << "the close discards the failed file and adds no error";
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"index.bin"}) << "no temporary file is left";
}

TEST(SaveFailure, SavingOverAViewedFileKeepsTheViewAlive) {
    scratch_directory_t directory;
    std::string const path = directory.file("index.bin");
    index_dense_t original = make_filled_index({}, 40);
    ASSERT_EQ(message_of(save_to(original, path)), "");
    bytes_t const before = read_file(path);

    index_dense_t viewed = make_index({}, 1);
    ASSERT_EQ(message_of(view_of(viewed, path)), "");
    ASSERT_EQ(message_of(save_to(viewed, path)), "") << "a viewed index saves onto its own file";
    EXPECT_EQ(read_file(path), before);

    // Another index replaces the file; the view keeps reading the bytes it mapped.
    ASSERT_EQ(message_of(save_to(make_filled_index({}, 5, 8), path)), "");
    std::vector<float> const query = stored_vector(original, 120);
    EXPECT_EQ(search_keys(viewed, query, 5), search_keys(original, query, 5));
    EXPECT_EQ(stored_vector(viewed, 139), stored_vector(original, 139));
    index_dense_t loaded = make_index({}, 1);
    ASSERT_EQ(message_of(load_from(loaded, path)), "");
    EXPECT_EQ(loaded.size(), 5u);
}

} // namespace
} // namespace korvane
} // namespace vemo
