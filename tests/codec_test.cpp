// The stream codec on real files: stream bytes, back-to-back streams, progress
// figures, abort, short writes, damaged and oversized streams, files that cannot be opened.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive_entry.h"
#include "codec/zstream_codec.h"
#include "platform/result.h"
#include "test_support.h"

namespace {

constexpr int LEVEL = 6;

// Records every hook call and can raise the abort flag at a chosen progress call.
class ProbeCodec : public CZStreamCodec {
  public:
    std::vector<int> progress;
    std::string statuses;    // all of them, one after the other
    size_t abortAtCall = 0;  // 1-based; 0 never aborts
    int PercentOf(int64_t total, uLong consumed) {
        m_nTotal = total;
        total_in = consumed;
        return Percent();
    }
    void OnProgress(int percent) override {
        progress.push_back(percent);
        m_bAbort |= static_cast<int>(progress.size() == abortAtCall);
    }
    void OnStatus(const char* text) override { statuses += text; }
};

// The reference every stream must equal: zlib's one-call compression.
std::string Compress2(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()),
              data.size(), LEVEL);
    return out.substr(0, size);
}

// An archive of records with these sizes followed by the given streams, its directory read.
std::string Archive(const ScratchDir& dir, const std::vector<int32_t>& sizes,
                    const std::string& streams) {
    std::string records;
    for (int32_t size : sizes) {
        records += Record("f", size, 0);
    }
    WriteFile(dir / "in.tvr", records + Terminator() + streams);
    ResetArchiveState();
    EXPECT_EQ(ReadDirectory((dir / "in.tvr").c_str()), RESULT_OK);
    return dir / "in.tvr";
}

// Packs contents[0], or unpacks an archive of all the contents, into out.
int RunCodec(ProbeCodec& codec, const ScratchDir& dir, bool compress,
             const std::vector<std::string>& contents, const std::string& out) {
    if (compress) {
        WriteFile(dir / "in", contents[0]);
        return codec.CompressFile((dir / "in").c_str(), out.c_str(), LEVEL);
    }
    std::vector<int32_t> sizes;
    std::string streams;
    for (const std::string& content : contents) {
        sizes.push_back(static_cast<int32_t>(content.size()));
        streams += Compress2(content);
    }
    return codec.DecompressStreams(Archive(dir, sizes, streams).c_str(), out.c_str());
}

}  // namespace

TEST(Codec, CompressedStreamsEqualCompress2) {
    // Each source with the figures it must report, one per buffer read and a final one.
    const std::vector<std::pair<std::string, std::vector<int>>> cases = {
        {"", {100}},
        {SampleBytes(CODEC_BUFSIZE, 2), {100, 100}},
        {SampleBytes(2 * CODEC_BUFSIZE + 1, 9), {49, 99, 100, 100}}};
    for (const auto& [data, figures] : cases) {
        ScratchDir dir;
        WriteFile(dir / "out", "HEAD");  // streams are appended
        ProbeCodec codec;
        ASSERT_EQ(RunCodec(codec, dir, true, {data}, dir / "out"), RESULT_OK);
        EXPECT_EQ(ReadFile(dir / "out"), "HEAD" + Compress2(data)) << data.size();
        EXPECT_EQ(codec.progress, figures);
        EXPECT_EQ(codec.statuses, "Success");
    }
}

TEST(Codec, PercentInBothBranches) {
    // Above 10,000,000 the divisor is truncated first: 19,999,999 / 100 = 199,999.
    ProbeCodec codec;
    EXPECT_EQ(codec.PercentOf(0, 0), 100);
    EXPECT_EQ(codec.PercentOf(3, 1), 33);
    EXPECT_EQ(codec.PercentOf(10000000, 9999999), 99);
    EXPECT_EQ(codec.PercentOf(19999999, 199999 * 50), 50);
    EXPECT_EQ(codec.PercentOf(19999999, 199999 * 50 - 1), 49);
    EXPECT_EQ(codec.PercentOf(3000000000, 1500000000), 50);
}

// Each case runs once to its end, then once more with an abort.
TEST(Codec, RunsEndWithTheirStreamsOrAtTheAbortCall) {
    const std::string noise = SampleBytes(20000, 1, false);
    // Abort at the first call: this many calls in all; 0: abort at the final call.
    const std::vector<std::tuple<bool, std::vector<std::string>, size_t>> cases = {
        {true, {SampleBytes(5 * CODEC_BUFSIZE, 1)}, 2},
        {true, {""}, 0},
        {true, {SampleBytes(CODEC_BUFSIZE, 2)}, 0},
        // Streams back to back; one more call for the current one, one for each remaining.
        {false, {noise, SampleBytes(20000, 2), noise.substr(9000)}, 4},
        {false, {noise, ""}, 0}};
    for (const auto& [compress, contents, calls] : cases) {
        ScratchDir dir;
        ProbeCodec plain;
        ASSERT_EQ(RunCodec(plain, dir, compress, contents, dir / "out"), RESULT_OK);
        EXPECT_EQ(plain.statuses, "Success");
        EXPECT_TRUE(compress ||
                    ReadFile(dir / "out") ==
                        std::accumulate(contents.begin(), contents.end(), std::string()));
        ProbeCodec codec;
        codec.abortAtCall = calls != 0 ? 1 : plain.progress.size();
        EXPECT_EQ(RunCodec(codec, dir, compress, contents, dir / "out"), RESULT_ABORT);
        EXPECT_EQ(codec.progress.size(), calls != 0 ? calls : plain.progress.size());
        EXPECT_EQ(codec.statuses, "User Abort");
    }
}

TEST(Codec, DamagedOrMisfittingStreamsFailWithoutWritingPastTheirRecords) {
    const int32_t n = 30000;
    const std::string sound = Compress2(SampleBytes(n, 3));
    std::string badCheck = sound;
    badCheck.back() ^= 0x01;
    std::string badBlock = sound;
    badBlock[2] |= 0x06;  // block type 3, which does not exist
    const std::string bomb = Compress2(std::string(1 << 20, '\0'));
    const std::vector<std::tuple<std::string, std::vector<int32_t>, int>> cases = {
        {badBlock, {n}, Z_DATA_ERROR},
        {badCheck, {n}, Z_DATA_ERROR},
        // Asks for a preset dictionary, which no archive has.
        {std::string("\x78\xBB\0\0\0\0", 6) + sound.substr(2), {n}, Z_DATA_ERROR},
        {sound + sound.substr(0, sound.size() - 2), {n, n}, Z_BUF_ERROR},
        // The first failure counts, even when the last stream is sound.
        {badCheck + sound, {n, n}, Z_DATA_ERROR},
        {sound, {n + 1}, RESULT_DAMAGED},
        {sound + sound + sound, {n, n - 1, n}, RESULT_DAMAGED},
        {bomb, {10}, RESULT_DAMAGED}};
    for (const auto& [streams, sizes, expected] : cases) {
        ScratchDir dir;
        ProbeCodec codec;
        const std::string archive = Archive(dir, sizes, streams);
        EXPECT_EQ(codec.DecompressStreams(archive.c_str(), (dir / "out").c_str()), expected);
        EXPECT_EQ(codec.statuses, "Zlib Error");
        EXPECT_LE(std::filesystem::file_size(dir / "out"),
                  static_cast<uintmax_t>(std::accumulate(sizes.begin(), sizes.end(), 0)));
    }
}

TEST(Codec, FilesThatCannotBeOpenedOrWrittenFailBothOperations) {
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    ScratchDir dir;
    const std::string absent = dir / "absent", out = dir / "out";
    const auto before = openDescriptors();
    for (const std::string& source : {std::string("abc"), SampleBytes(200000, 1, false)}) {
        for (bool compress : {true, false}) {
            SCOPED_TRACE(std::to_string(source.size()) + (compress ? " pack" : " unpack"));
            ProbeCodec full;
            EXPECT_EQ(RunCodec(full, dir, compress, {source, source}, "/dev/full"), RESULT_FAIL);
            EXPECT_EQ(full.statuses, "Zlib Error");
            ProbeCodec nowhere;
            EXPECT_EQ(RunCodec(nowhere, dir, compress, {source}, dir / "missing/out"), RESULT_OPEN);
        }
    }
    ProbeCodec codec;
    EXPECT_EQ(codec.CompressFile(absent.c_str(), out.c_str(), LEVEL), RESULT_OPEN);
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(codec.DecompressStreams(absent.c_str(), out.c_str()), RESULT_OPEN);
    EXPECT_EQ(openDescriptors(), before);
}
