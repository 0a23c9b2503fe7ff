// Each packing job's check against engines that go wrong: the packer's own code, run
// in this process, so that in a sanitized build the sanitizer watches it.
#include "codec/pack_job.h"
#include "test_support.h"

namespace {

// Raw deflate of data by zlib at level 6, ended by Z_FINISH or by a sync flush.
std::string RawDeflate(const std::string& data, int flush) {
    return ZlibStream(data, 6, Z_DEFAULT_STRATEGY, -15, flush);
}

// An engine that writes what its row says instead of deflating the piece.
class MadeUpEngine : public DeflateEngine {
  public:
    explicit MadeUpEngine(std::string data) : m_data(std::move(data)) {
        EXPECT_TRUE(Walker().Init());
    }
    Result Deflate(PackJob* job) override {
        memcpy(job->output, m_data.data(), m_data.size());
        job->outputLength = m_data.size();
        return Result::OK;
    }

  private:
    std::string m_data;
};

// A row: its name, what the engine writes for the piece, whether the piece is the
// file's last, and whether the job must pass its check.
struct CheckRow {
    std::string name;
    std::string data;
    bool last;
    bool passes;
};

// A row is shown by its name: its data would fill the screen.
void PrintTo(const CheckRow& row, std::ostream* out) {
    *out << row.name;
}

const std::string PIECE = SampleBytes(100000, 21);
std::vector<CheckRow> CheckRows() {
    const std::string ended = RawDeflate(PIECE, Z_FINISH);
    const std::string flushed = RawDeflate(PIECE, Z_SYNC_FLUSH);
    std::string other = PIECE;
    other[5000] ^= 1;
    // clang-format off
    return {
        {"ended", ended, true, true},
        {"ended_not_the_last_piece", ended, false, true},
        {"flushed_not_the_last_piece", flushed, false, true},
        {"flushed_as_the_last_piece", flushed, true, false},
        {"other_data", RawDeflate(other, Z_FINISH), true, false},
        {"a_byte_short", RawDeflate(PIECE.substr(1), Z_FINISH), true, false},
        {"a_byte_more", RawDeflate(PIECE + "x", Z_FINISH), true, false},
        {"cut_short", ended.substr(0, ended.size() - 1), true, false},
        {"flush_cut_short", flushed.substr(0, flushed.size() - 4), false, false},
        {"bytes_after_the_end", ended + "\x03", true, false},
        {"nothing", "", true, false}};
    // clang-format on
}

// Whatever an engine writes, a job passes only with data that inflates back to its piece
// and ends as the piece must; a piece that ends in a last block but not the file is made
// to go on, so that a last empty block after it ends the stream.
class Check : public testing::TestWithParam<CheckRow> {};
TEST_P(Check, Rows) {
    const auto& [name, data, last, passes] = GetParam();
    std::vector<unsigned char> memory(PIECE.size() + data.size() + 16);
    PackJob job;
    job.input = memory.data();
    memcpy(job.input, PIECE.data(), PIECE.size());
    job.length = PIECE.size();
    job.last = last;
    job.output = job.input + PIECE.size();
    job.capacity = data.size() + 16;
    MadeUpEngine engine(data);
    job.Run(&engine);
    EXPECT_EQ(job.result.ok(), passes);
    if (passes && !last) {
        std::string stream(reinterpret_cast<const char*>(job.output), job.outputLength);
        const std::string zlib = "\x78\x9c" + stream + std::string("\x03\x00", 2);
        const uLong check =
            adler32(1, reinterpret_cast<const Bytef*>(PIECE.data()), uInt(PIECE.size()));
        std::string trailer(4, '\0');
        for (int k = 0; k < 4; ++k) {
            trailer[k] = char(check >> (24 - 8 * k));
        }
        EXPECT_EQ(InflateStreams(Record("x", 1) + TERMINATOR + zlib + trailer),
                  std::vector<std::string>{PIECE});
    }
}
INSTANTIATE_TEST_SUITE_P(Pack, Check, testing::ValuesIn(CheckRows()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
