// Packing's output: chunks joined into one stream at every kind of ending, and the
// zlib-only build's archives byte for byte those it has always made.
#include "test_support.h"

namespace {

// A file of two chunks, its first ending with k padding bits: the stream is the header,
// the first chunk's data as libdeflate makes it but for its last block's mark, the empty
// stored block k calls for (a byte more where k is 0 or too few for its header), the
// second chunk's data and the trailer; zlib reads it back.
// A row: its name, the file (SampleBytes of its seed and kind), and the stored block
// expected. The seeds were found by deflating SampleBytes(PACKING_PIECE, seed) with
// libdeflate 1.14 at level 6.
struct JoinRow {
    std::string name;
    uint32_t seed;  // 0: all zeros
    bool text;
    std::string suffix;
};

void PrintTo(const JoinRow& row, std::ostream* out) {
    *out << row.name;
}

const std::string IN_PADDING("\0\0\xff\xff", 4), PAST_PADDING("\0\0\0\xff\xff", 5);
// clang-format off
const std::vector<JoinRow> JOIN_ROWS = {
    {"text_ending_on_a_byte_seed_32", 32, true, PAST_PADDING},
    {"text_one_bit_of_padding_seed_5", 5, true, PAST_PADDING},
    {"text_two_bits_of_padding_seed_12", 12, true, PAST_PADDING},
    {"text_three_bits_of_padding_seed_6", 6, true, IN_PADDING},
    {"text_seven_bits_of_padding_seed_1", 1, true, IN_PADDING},
    {"noise_in_stored_blocks", 3, false, PAST_PADDING},
    {"all_zeros", 0, true, PAST_PADDING}};
// clang-format on

class Join : public testing::TestWithParam<JoinRow> {};
TEST_P(Join, Rows) {
#ifndef TOVRA_LIBDEFLATE
    GTEST_SKIP() << "built without libdeflate: no chunks";
#else
    // Made as the row runs: the rows are copied at every start of the test program.
    const JoinRow& row = GetParam();
    const size_t file = PACKING_PIECE + 20000;
    const std::string content =
        row.seed == 0 ? std::string(file, '\0') : SampleBytes(file, row.seed, row.text);
    const std::string& suffix = row.suffix;
    ScratchDir dir;
    WriteFile(dir / "f", content);
    ASSERT_EQ(RunTovra(dir, {"0", "out.tvr", "f"}).status, 0);
    const Streams streams = SplitStreams(ReadFile(dir / "out.tvr"));
    ASSERT_EQ(streams.contents, std::vector<std::string>{content}) << "zlib does not read it";
    const std::string first = LibdeflateStream(content.substr(0, PACKING_PIECE), false);
    const std::string second = LibdeflateStream(content.substr(PACKING_PIECE), false);
    const std::string& stream = streams.bytes[0];
    ASSERT_EQ(stream.size(), 2 + first.size() + suffix.size() + second.size() + 4);
    int changed = 0;  // bits: only the last block's mark
    for (size_t k = 0; k < first.size(); ++k) {
        changed += __builtin_popcount(unsigned(uint8_t(stream[2 + k] ^ first[k])));
    }
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(stream.substr(2 + first.size(), suffix.size()), suffix);
    EXPECT_TRUE(stream.substr(2 + first.size() + suffix.size(), second.size()) == second);
#endif
}
INSTANTIATE_TEST_SUITE_P(Pack, Join, testing::ValuesIn(JOIN_ROWS),
                         [](const auto& info) { return info.param.name; });

// The zlib-only build's archives of generated files, as the build before chunks made
// them: sizes about its 256 KiB blocks, a tree of many files, and a few MiB of mixed
// data. A row: its name, the files, and the archive's size and CRC-32 as the build of
// ba57f74 with -DTOVRA_ISAL=OFF -DTOVRA_LIBDEFLATE=OFF packed them.
struct GoldenRow {
    std::string name;
    std::vector<TestEntry> (*files)();  // made as the row runs, not at every start
    std::string golden;
};

void PrintTo(const GoldenRow& row, std::ostream* out) {
    *out << row.name;
}

std::vector<TestEntry> BlockEdgeFiles() {
    const size_t block = size_t{256} << 10;
    std::vector<TestEntry> edges;
    for (size_t size : {block - 1, block, block + 1, 2 * block + 1, 3 * block - 1}) {
        edges.push_back({"e" + std::to_string(size), SampleBytes(size, uint32_t(size))});
    }
    return edges;
}

std::vector<TestEntry> TreeFiles() {
    std::vector<TestEntry> tree;
    for (int k = 0; k < 40; ++k) {
        tree.push_back(
            {"t" + std::to_string(100 + k), SampleBytes(size_t(k) * 997, k, k % 3 != 0)});
    }
    return tree;
}

std::vector<TestEntry> MixedFiles() {
    std::vector<TestEntry> mixed;
    for (int k = 0; k < 4; ++k) {
        mixed.push_back(
            {"m" + std::to_string(k), SampleBytes(size_t{900000} + k, 50 + k, k % 2 == 0)});
    }
    mixed.push_back({"m4", std::string(size_t{1} << 20, '\0') + SampleBytes(300000, 60)});
    return mixed;
}

const std::vector<GoldenRow> GOLDEN_ROWS = {{"block_edges", BlockEdgeFiles, "233121 489e4fa3"},
                                            {"tree", TreeFiles, "335930 8263f9ec"},
                                            {"mixed", MixedFiles, "2035148 791c618f"}};

class ZlibOnlyArchive : public testing::TestWithParam<GoldenRow> {};
TEST_P(ZlibOnlyArchive, Rows) {
    if (CHUNKS_BUILT) {
        GTEST_SKIP() << "built with libdeflate: these are the zlib-only build's archives";
    }
    const GoldenRow& row = GetParam();
    ScratchDir dir;
    for (const TestEntry& file : row.files()) {
        WriteFile(dir / file.name, file.content, file.mtime);
    }
    ASSERT_EQ(RunTovra(dir, {"0", "out.tvr", "[emt]*"}).status, 0);
    const std::string archive = ReadFile(dir / "out.tvr");
    const uLong crc = crc32_z(0, reinterpret_cast<const Bytef*>(archive.data()), archive.size());
    char digest[40];
    snprintf(digest, sizeof digest, "%zu %08lx", archive.size(), crc);
    EXPECT_EQ(digest, row.golden);
}
INSTANTIATE_TEST_SUITE_P(Pack, ZlibOnlyArchive, testing::ValuesIn(GOLDEN_ROWS),
                         [](const auto& info) { return info.param.name; });

}  // namespace
