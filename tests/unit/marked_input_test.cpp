// Where a chunk job's input stops for a marker: every segment must end just after each
// marker of the region and nowhere else, the edges of the reads it comes in included.
// A marker missed costs two cores their round; one made up would stop the run where no
// chunk ends.
#include "codec/marked_input.h"
#include "chunk_streams.h"

namespace {

const size_t PIECE = MarkedInput::PIECE_SIZE;

// A row: its name, the region's length, and where markers are put in it.
struct MarkerRow {
    std::string name;
    size_t size;
    std::vector<size_t> markers;
};

void PrintTo(const MarkerRow& row, std::ostream* out) {
    *out << row.name;
}

// clang-format off
const MarkerRow MARKER_ROWS[] = {
    {"none", 3 * PIECE, {}},
    {"at_the_start", PIECE, {0}},
    {"at_the_end", PIECE + 100, {PIECE + 96}},
    {"ending_a_read", 2 * PIECE, {PIECE - 4}},
    {"across_a_read_by_1", 2 * PIECE, {PIECE - 3}},
    {"across_a_read_by_2", 2 * PIECE, {PIECE - 2}},
    {"across_a_read_by_3", 2 * PIECE, {PIECE - 1}},
    {"starting_a_read", 2 * PIECE, {PIECE}},
    {"back_to_back", PIECE, {1000, 1004}},
    {"one_overwriting_another", PIECE, {2000, 2002}},
    {"many", 3 * PIECE, {5, 70000, PIECE - 2, 2 * PIECE - 1, 3 * PIECE - 4}},
};
// clang-format on

// Where each marker of data ends, found byte by byte.
std::vector<int64_t> MarkerEnds(const std::string& data) {
    std::vector<int64_t> ends;
    for (size_t at = data.find(MARKER); at != std::string::npos; at = data.find(MARKER, at + 1)) {
        ends.push_back(int64_t(at + MARKER.size()));
    }
    return ends;
}

class Markers : public testing::TestWithParam<MarkerRow> {};
TEST_P(Markers, EverySegmentEndsJustAfterAMarker) {
    const auto& [name, size, markers] = GetParam();
    // Bytes near the marker everywhere, so that only the whole marker counts: 0xFF in
    // every 16th place and zeros before it, but never two 0xFF in a row.
    std::string data(size, '\x5a');
    for (size_t at = 14; at + 2 < size; at += 16) {
        data[at - 2] = data[at - 1] = '\0';
        data[at] = '\xff';
    }
    for (size_t at : markers) {
        data.replace(at, MARKER.size(), MARKER);
    }
    ScratchDir dir;
    WriteFile(dir / "in", data);
    const int in = open((dir / "in").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    MarkedInput input;
    ASSERT_TRUE(input.Allocate());
    input.Begin(in, 0, int64_t(size));
    std::vector<int64_t> ends;
    for (;;) {
        const unsigned char* segment = nullptr;
        size_t length = 0;
        bool marked = false;
        ASSERT_TRUE(input.Segment(&segment, &length, &marked));
        if (length == 0) {
            break;
        }
        input.Consume(length);
        if (marked) {
            ends.push_back(input.Position());
        }
    }
    close(in);
    EXPECT_EQ(ends, MarkerEnds(data));
}
INSTANTIATE_TEST_SUITE_P(Unpack, Markers, testing::ValuesIn(MARKER_ROWS),
                         [](const auto& info) { return info.param.name; });

}  // namespace
