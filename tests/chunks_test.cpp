// Unpacking a stream of many chunks on two cores gives, byte for byte, what one thread
// gives: the same status, figures, notes and files, for streams it takes and for those
// it must leave to zlib's verdict; and a stop while both workers inflate ends the run at
// once with nothing left behind.
#include "chunk_streams.h"

namespace {

const int ABORT = StatusOf(-7);

// A row: its name and its case, unpacked as the big entry between two small ones.
struct ChunksRow {
    std::string name;
    MakeCase make;
};

void PrintTo(const ChunksRow& row, std::ostream* out) {
    *out << row.name;
}

// clang-format off
const ChunksRow CHUNKS_ROWS[] = {
    {"five_chunks", FiveChunks},
    {"last_chunk_of_1_byte", LastChunkOfOneByte},
    {"false_marker_inside_a_chunk", FalseMarkerInsideAChunk},
    {"primed_blocks_of_the_zlib_only_build", PrimedBlocks},
    {"join_with_no_marker", JoinWithNoMarker},
    {"guess_lands_a_chunk_too_far", GuessLandsAChunkTooFar},
    {"run_passes_the_guess", RunPassesTheGuess},
    {"damage_in_chunk_1_of_5", DamageInChunk1Of5},
    {"damage_in_chunk_4_of_5", DamageInChunk4Of5},
    {"damage_in_the_trailer", DamageInTheTrailer},
};
// clang-format on

std::string ArchiveOf(const ChunkCase& made) {
    const std::string before = SampleBytes(3000, 4), after = SampleBytes(70000, 5);
    return Record("before", int32_t(before.size())) +
           Record("big", int32_t(made.data.size()), SOME_TIME + 60) +
           Record("after", int32_t(after.size())) + TERMINATOR + ZlibStream(before) + made.stream +
           ZlibStream(after);
}

RunResult UnpackWithThreads(const ScratchDir& dir, const std::string& threads) {
    RunOptions options;
    options.threads = threads;
    return RunTovra(dir, {"1", "a.tvr"}, options);
}

class Chunks : public testing::TestWithParam<ChunksRow> {};
TEST_P(Chunks, TwoWorkersAsOne) {
    const ChunkCase made = GetParam().make();
    if (made.stream.empty()) {
        GTEST_SKIP() << "no such stream in this build";
    }
    const std::string archive = ArchiveOf(made);
    ScratchDir two, one;
    WriteFile(two / "a.tvr", archive);
    WriteFile(one / "a.tvr", archive);
    const RunResult side = UnpackWithThreads(two, "2"), alone = UnpackWithThreads(one, "1");
    EXPECT_EQ(side.status, alone.status);
    EXPECT_EQ(side.out, alone.out);
    EXPECT_EQ(side.err, alone.err);
    EXPECT_EQ(Snapshot(two.path), Snapshot(one.path));
    // Either way right: the file whole when zlib reads the stream, else none at all.
    if (SplitStreams(archive).contents.size() == 3) {
        EXPECT_EQ(side.status, 0);
        EXPECT_TRUE(ReadFile(two / "big") == made.data);
    } else {
        EXPECT_NE(side.status, 0);
        EXPECT_EQ(Snapshot(two.path).size(), 1u) << "only the archive is left";
    }
}
INSTANTIATE_TEST_SUITE_P(Unpack, Chunks, testing::ValuesIn(CHUNKS_ROWS),
                         [](const auto& info) { return info.param.name; });

// A key typed before the run is read as the first round of two jobs begins.
TEST(Chunks, StopWhileBothWorkersAreBusy) {
    const ChunkCase made = FiveChunks();
    ScratchDir dir;
    WriteFile(dir / "a.tvr", ArchiveOf(made));
    RunOptions options;
    options.threads = "2";
    options.terminal = true;
    options.typedAhead = "x";
    const RunResult result = RunTovra(dir, {"1", "a.tvr"}, options);
    EXPECT_EQ(result.status, ABORT);
    EXPECT_NE(result.err.find("a.tvr: stopped by a key press"), std::string::npos) << result.err;
    EXPECT_TRUE(result.terminalRestored);
    EXPECT_EQ(Snapshot(dir.path).size(), 1u) << "only the archive is left";
}

}  // namespace
