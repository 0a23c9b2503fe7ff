// The paths large runs take through the files: an entry longer than one in-kernel
// copy piece, and a codec destination that already holds data or is already empty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_entry.h"
#include "codec/zstream_codec.h"
#include "platform/result.h"
#include "test_support.h"

namespace {

constexpr size_t KERNEL_COPY_PIECE = 16 * 1024 * 1024;

class QuietCodec : public CZStreamCodec {};

}  // namespace

TEST(BulkExtraction, EntriesAroundOneLongerThanACopyPieceKeepTheirOwnBytes) {
    ScratchDir dir;
    ScratchDir work;
    const std::vector<TestEntry> entries = {
        {"before.txt", SampleBytes(10001, 11), 1000000001},
        {"long.bin", SampleBytes(KERNEL_COPY_PIECE + 3, 12), 1000000002},
        {"after.bin", SampleBytes(4097, 13, false), 1000000003},
    };
    WriteFile(dir / "set.tvr", BuildArchive(entries));
    RunOptions options{work.path()};
    RunResult run = RunTovra({"1", dir / "set.tvr"}, options);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(work.List(), (std::vector<std::string>{"after.bin", "before.txt", "long.bin"}));
    for (const TestEntry& entry : entries) {
        EXPECT_TRUE(ReadFile(work / entry.name) == entry.content) << entry.name;
        EXPECT_EQ(MtimeOf(work / entry.name), entry.mtime) << entry.name;
    }
}

TEST(BulkExtraction, CodecDestinationIsEmptiedOnlyOfWhatItHeld) {
    const std::string content = SampleBytes(9000, 14);
    // Longer than the new content, empty, and absent: each ends as exactly the content.
    const char* const befores[] = {"an older and much longer file that must not show through", "",
                                   nullptr};
    for (const char* before : befores) {
        ResetArchiveState();
        ScratchDir dir;
        WriteFile(dir / "set.tvr", BuildArchive({{"a", content}}));
        std::string old = before == nullptr ? std::string() : std::string(before) + content;
        if (before != nullptr) {
            WriteFile(dir / "out", old);
        }
        ASSERT_EQ(ReadDirectory((dir / "set.tvr").c_str()), RESULT_OK);
        QuietCodec codec;
        EXPECT_EQ(codec.DecompressStreams((dir / "set.tvr").c_str(), (dir / "out").c_str()),
                  RESULT_OK);
        EXPECT_TRUE(ReadFile(dir / "out") == content) << (before ? before : "(absent)");
    }
}
