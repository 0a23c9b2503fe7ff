// Unpacking on two cores, run in this process: which streams the side-by-side path takes
// whole and which it declines, leaving them to the path of one thread and zlib's
// verdict. At the binary's boundary both give the same files; only here does it show
// that a stream meant for two cores was inflated on them, and that one of another
// writer or a damaged one was not taken.
#include "codec/chunked_inflate.h"
#include "chunk_streams.h"

namespace {

struct NoFigures final : ChunkFigures {
    Progress ShowUpTo(int64_t) override { return Progress::CONTINUE; }
};

// A row: its name, its case, and whether the path takes the stream.
struct SideBySideRow {
    std::string name;
    MakeCase make;
    ChunkedOutcome outcome;
};

void PrintTo(const SideBySideRow& row, std::ostream* out) {
    *out << row.name;
}

const ChunkedOutcome DONE = ChunkedOutcome::DONE, DECLINED = ChunkedOutcome::DECLINED;
// clang-format off
const SideBySideRow SIDE_BY_SIDE_ROWS[] = {
    {"five_chunks", FiveChunks, DONE},
    {"last_chunk_of_1_byte", LastChunkOfOneByte, DONE},
    {"false_marker_inside_a_chunk", FalseMarkerInsideAChunk, DONE},
    {"primed_blocks_of_the_zlib_only_build", PrimedBlocks, DONE},
    {"join_with_no_marker", JoinWithNoMarker, DONE},
    {"guess_lands_a_chunk_too_far", GuessLandsAChunkTooFar, DONE},
    {"run_passes_the_guess", RunPassesTheGuess, DONE},
    {"damage_in_chunk_1_of_5", DamageInChunk1Of5, DECLINED},
    {"damage_in_chunk_4_of_5", DamageInChunk4Of5, DECLINED},
    {"damage_in_the_trailer", DamageInTheTrailer, DECLINED},
};
// clang-format on

class SideBySide : public testing::TestWithParam<SideBySideRow> {};
TEST_P(SideBySide, Rows) {
    const auto& [name, make, outcome] = GetParam();
    ChunkedInflate chunked;
    if (!chunked.Ready()) {
        GTEST_SKIP() << "built without ISA-L: one thread unpacks";
    }
    const ChunkCase made = make();
    ASSERT_FALSE(made.stream.empty()) << "no such stream in this build";
    ScratchDir dir;
    // A stream after it, so that its end must be found exactly.
    WriteFile(dir / "in", made.stream + ZlibStream("next"));
    const int in = open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open((dir / "out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    const ChunkTarget target{in, int64_t(made.stream.size() + ZlibStream("next").size()), out,
                             int64_t(made.data.size())};
    NoFigures figures;
    int64_t end = -1;
    EXPECT_EQ(chunked.Inflate(target, 0, &figures, &end), outcome);
    if (outcome == DONE) {
        EXPECT_EQ(end, int64_t(made.stream.size()));
        EXPECT_TRUE(ReadFile(dir / "out") == made.data) << "the file is not the data";
    }
    close(in);
    close(out);
}
INSTANTIATE_TEST_SUITE_P(Unpack, SideBySide, testing::ValuesIn(SIDE_BY_SIDE_ROWS),
                         [](const auto& info) { return info.param.name; });

}  // namespace
