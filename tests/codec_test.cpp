// The stream codec on real files: stream bytes, back-to-back streams, progress
// figures, abort, short writes, damaged and oversized streams, files that cannot be opened.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive_entry.h"
#include "codec/zstream_codec.h"
#include "platform/result.h"
#include "test_support.h"

namespace {

constexpr int LEVEL = 6;
constexpr int BOUNDED_SECONDS = 60;
const char SUCCESS[] = "Success";
const char ZLIB_ERROR[] = "Zlib Error";
const char USER_ABORT[] = "User Abort";

// Records every hook call and can raise the abort flag at a chosen progress call.
class ProbeCodec : public CZStreamCodec {
  public:
    std::vector<int> progress;
    std::vector<std::string> statuses;
    size_t abortAtCall = 0;  // 1-based; 0 never aborts

    int PercentOf(int64_t total, uLong consumed) {
        m_nTotal = total;
        total_in = consumed;
        return Percent();
    }

  protected:
    void OnProgress(int percent) override {
        progress.push_back(percent);
        if (progress.size() == abortAtCall) {
            m_bAbort = 1;
        }
    }
    void OnStatus(const char* text) override { statuses.push_back(text); }
};

// The reference every stream must equal: zlib's one-call compression.
std::string Compress2(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    int result = compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                           reinterpret_cast<const Bytef*>(data.data()), data.size(), LEVEL);
    EXPECT_EQ(result, Z_OK);
    out.resize(size);
    return out;
}

std::string StreamWithDictionary(const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(deflateInit(&stream, LEVEL), Z_OK);
    const std::string dictionary = "dictionary";
    deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary.data()),
                         static_cast<uInt>(dictionary.size()));
    std::string out(deflateBound(&stream, data.size()) + 16, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string Concat(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& part : parts) {
        all += part;
    }
    return all;
}

// An archive file whose streams start after a directory-sized prefix, with the entry
// table filled as reading that directory would fill it.
class StreamArchive {
  public:
    StreamArchive(const ScratchDir& dir, const std::vector<int32_t>& sizes,
                  const std::string& streams)
        : m_path(dir / "streams.tvr") {
        ResetArchiveState();
        for (size_t k = 0; k < sizes.size(); ++k) {
            g_entries[k].m_size = sizes[k];
        }
        g_entries[sizes.size()].m_size = TERMINATOR_SIZE;
        g_nEntries = static_cast<int>(sizes.size());
        g_lDataOffset = static_cast<int32_t>(ENTRY_RECORD_SIZE * (sizes.size() + 1));
        WriteFile(m_path, std::string(g_lDataOffset, 'D') + streams);
    }
    const char* path() const { return m_path.c_str(); }

  private:
    std::string m_path;
};

// The contents' own sizes and level-6 streams.
StreamArchive ArchiveOf(const ScratchDir& dir, const std::vector<std::string>& contents) {
    std::vector<int32_t> sizes;
    std::string streams;
    for (const std::string& content : contents) {
        sizes.push_back(static_cast<int32_t>(content.size()));
        streams += Compress2(content);
    }
    return StreamArchive(dir, sizes, streams);
}

size_t OpenDescriptorCount() {
    size_t count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
         it != std::filesystem::directory_iterator(); ++it) {
        ++count;
    }
    return count;
}

uintmax_t SizeOf(const std::string& path) {
    return std::filesystem::file_size(path);
}

}  // namespace

TEST(CodecCompress, EmptyFileGivesOneCompleteStream) {
    ScratchDir dir;
    WriteFile(dir / "empty", "");
    ProbeCodec codec;
    EXPECT_EQ(codec.CompressFile((dir / "empty").c_str(), (dir / "out").c_str(), LEVEL), 0);
    EXPECT_EQ(ReadFile(dir / "out"), Compress2(""));
    EXPECT_EQ(codec.progress, std::vector<int>{100});
    EXPECT_EQ(codec.statuses, std::vector<std::string>{SUCCESS});
}

TEST(CodecCompress, StreamsEqualOneCallCompression) {
    const std::vector<std::string> sources = {
        SampleBytes(4095, 1),      SampleBytes(4096, 2),
        SampleBytes(4097, 3),      SampleBytes(3 * 4096, 4, false),
        SampleBytes(100000, 5),    SampleBytes(50001, 6, false),
        std::string(300000, '\0'),
    };
    for (const std::string& source : sources) {
        ScratchDir dir;
        WriteFile(dir / "in", source);
        ProbeCodec codec;
        ASSERT_EQ(codec.CompressFile((dir / "in").c_str(), (dir / "out").c_str(), LEVEL), 0);
        EXPECT_EQ(ReadFile(dir / "out"), Compress2(source)) << source.size();
        // At least one figure per buffer read (more when the output fills first), then
        // the closing one.
        size_t reads = (source.size() + CODEC_BUFSIZE - 1) / CODEC_BUFSIZE;
        EXPECT_GE(codec.progress.size(), reads + 1) << source.size();
        EXPECT_TRUE(std::is_sorted(codec.progress.begin(), codec.progress.end()));
        EXPECT_EQ(codec.progress.back(), 100);
        EXPECT_EQ(codec.statuses, std::vector<std::string>{SUCCESS});
    }
}

TEST(CodecCompress, FiguresAroundOneBuffer) {
    const std::vector<std::pair<size_t, std::vector<int>>> cases = {
        {4095, {100, 100}}, {4096, {100, 100}}, {4097, {99, 100, 100}}, {8193, {49, 99, 100, 100}}};
    for (const auto& c : cases) {
        ScratchDir dir;
        WriteFile(dir / "in", SampleBytes(c.first, 9));
        ProbeCodec codec;
        ASSERT_EQ(codec.CompressFile((dir / "in").c_str(), (dir / "out").c_str(), LEVEL), 0);
        EXPECT_EQ(codec.progress, c.second) << c.first;
    }
}

TEST(CodecCompress, AppendsToWhatTheFileHolds) {
    ScratchDir dir;
    const std::string first = SampleBytes(9000, 1);
    const std::string second = SampleBytes(5000, 2, false);
    WriteFile(dir / "a", first);
    WriteFile(dir / "b", second);
    WriteFile(dir / "out", "HEAD");
    ProbeCodec codec;
    ASSERT_EQ(codec.CompressFile((dir / "a").c_str(), (dir / "out").c_str(), LEVEL), 0);
    ASSERT_EQ(codec.CompressFile((dir / "b").c_str(), (dir / "out").c_str(), LEVEL), 0);
    EXPECT_EQ(ReadFile(dir / "out"), "HEAD" + Compress2(first) + Compress2(second));
}

TEST(CodecCompress, LargeSourceUsesTheTruncatedDivisor) {
    // Total = 100 * d + 99 with d = 25 buffers: after 25 reads the truncated divisor
    // gives exactly 1, where exact arithmetic would still give 0.
    const int64_t divisor = 25 * CODEC_BUFSIZE;
    const int64_t total = 100 * divisor + 99;
    ScratchDir dir;
    WriteFile(dir / "zeros", "");
    ASSERT_EQ(truncate((dir / "zeros").c_str(), total), 0);
    ProbeCodec codec;
    ASSERT_EQ(codec.CompressFile((dir / "zeros").c_str(), (dir / "out").c_str(), LEVEL), 0);
    ASSERT_GT(codec.progress.size(), 25u);
    EXPECT_EQ(codec.progress[23], 0);
    EXPECT_EQ(codec.progress[24], 1);
    EXPECT_EQ(codec.progress.back(), 100);
    EXPECT_EQ(ReadFile(dir / "out"), Compress2(std::string(total, '\0')));
}

TEST(CodecPercent, BothBranches) {
    ProbeCodec codec;
    EXPECT_EQ(codec.PercentOf(0, 0), 100);
    EXPECT_EQ(codec.PercentOf(3, 1), 33);
    EXPECT_EQ(codec.PercentOf(10000000, 9999999), 99);
    EXPECT_EQ(codec.PercentOf(10000000, 10000000), 100);
    // Above 10,000,000 the divisor is truncated first: 19,999,999 / 100 = 199,999.
    EXPECT_EQ(codec.PercentOf(19999999, 199999 * 50), 50);
    EXPECT_EQ(codec.PercentOf(19999999, 199999 * 50 - 1), 49);
    EXPECT_EQ(codec.PercentOf(19999999, 19999999), 100);
    EXPECT_EQ(codec.PercentOf(int64_t{3000000000}, 3000000000u), 100);
    EXPECT_EQ(codec.PercentOf(int64_t{3000000000}, 1500000000u), 50);
}

TEST(CodecDecompress, StreamsBackToBackInOneCall) {
    const std::vector<std::vector<std::string>> archives = {
        {SampleBytes(5000, 1, false), SampleBytes(70000, 2)},
        {SampleBytes(9000, 3, false), "", SampleBytes(20000, 4)},
        {"a", "bc", "def"},
    };
    for (const auto& contents : archives) {
        ScratchDir dir;
        StreamArchive archive = ArchiveOf(dir, contents);
        ProbeCodec codec;
        EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), 0);
        EXPECT_EQ(ReadFile(dir / "out"), Concat(contents));
        EXPECT_EQ(g_nEntries, 0);
        EXPECT_GE(codec.progress.size(), contents.size());
        EXPECT_EQ(codec.statuses, std::vector<std::string>{SUCCESS});
    }
}

TEST(CodecDecompress, StreamsOfAnyWriter) {
    ScratchDir dir;
    const std::string data = SampleBytes(30000, 11);
    const std::vector<std::pair<int, int>> writers = {{0, Z_DEFAULT_STRATEGY},
                                                      {1, Z_DEFAULT_STRATEGY},
                                                      {9, Z_DEFAULT_STRATEGY},
                                                      {6, Z_FILTERED},
                                                      {6, Z_HUFFMAN_ONLY},
                                                      {6, Z_RLE},
                                                      {6, Z_FIXED}};
    std::vector<int32_t> sizes;
    std::string streams;
    for (const auto& writer : writers) {
        sizes.push_back(static_cast<int32_t>(data.size()));
        streams += ZlibStream(data, writer.first, writer.second);
    }
    StreamArchive archive(dir, sizes, streams);
    ProbeCodec codec;
    EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), 0);
    std::string expected;
    for (size_t k = 0; k < writers.size(); ++k) {
        expected += data;
    }
    EXPECT_EQ(ReadFile(dir / "out"), expected);
}

TEST(CodecDecompress, FiguresAreEachStreamsShareOfTheRegion) {
    ScratchDir dir;
    const std::string content = SampleBytes(40000, 5, false);
    StreamArchive one = ArchiveOf(dir, {content});
    ProbeCodec single;
    ASSERT_EQ(single.DecompressStreams(one.path(), (dir / "out").c_str()), 0);
    EXPECT_EQ(single.progress.back(), 100);

    // Two equal streams: each ends at half the region, the figures restart between them.
    StreamArchive two = ArchiveOf(dir, {content, content});
    ProbeCodec pair;
    ASSERT_EQ(pair.DecompressStreams(two.path(), (dir / "out").c_str()), 0);
    EXPECT_EQ(pair.progress.back(), 50);
    EXPECT_EQ(*std::max_element(pair.progress.begin(), pair.progress.end()), 50);
    EXPECT_EQ(ReadFile(dir / "out"), content + content);
}

TEST(CodecAbort, CompressStopsAfterOneMoreFigure) {
    ScratchDir dir;
    WriteFile(dir / "in", SampleBytes(5 * CODEC_BUFSIZE, 1));
    ProbeCodec codec;
    codec.abortAtCall = 1;
    EXPECT_EQ(codec.CompressFile((dir / "in").c_str(), (dir / "out").c_str(), LEVEL), RESULT_ABORT);
    EXPECT_EQ(codec.progress.size(), 2u);
    EXPECT_EQ(codec.statuses, std::vector<std::string>{USER_ABORT});
}

TEST(CodecAbort, CompressAbortSeenOnlyByTheFinalFigure) {
    for (size_t size : {size_t{0}, size_t{CODEC_BUFSIZE}}) {
        ScratchDir dir;
        WriteFile(dir / "in", SampleBytes(size, 2));
        ProbeCodec codec;
        codec.abortAtCall = size == 0 ? 1 : 2;
        EXPECT_EQ(codec.CompressFile((dir / "in").c_str(), (dir / "out").c_str(), LEVEL),
                  RESULT_ABORT)
            << size;
        EXPECT_EQ(codec.progress.size(), codec.abortAtCall);
        EXPECT_EQ(codec.statuses, std::vector<std::string>{USER_ABORT});
    }
}

TEST(CodecAbort, DecompressFinishesTheCountWithoutReading) {
    ScratchDir dir;
    StreamArchive archive = ArchiveOf(
        dir,
        {SampleBytes(20000, 1, false), SampleBytes(20000, 2, false), SampleBytes(20000, 3, false)});
    ProbeCodec codec;
    codec.abortAtCall = 1;
    EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), RESULT_ABORT);
    // One more for the current stream, one for each of the two remaining.
    ASSERT_EQ(codec.progress.size(), 4u);
    EXPECT_EQ(codec.progress[2], 0);
    EXPECT_EQ(codec.progress[3], 0);
    EXPECT_EQ(g_nEntries, 0);
    EXPECT_EQ(codec.statuses, std::vector<std::string>{USER_ABORT});
}

TEST(CodecAbort, DecompressAbortSeenOnlyByTheFinalFigure) {
    ScratchDir dir;
    const std::vector<std::string> contents = {SampleBytes(10000, 1, false), "small"};
    StreamArchive counted = ArchiveOf(dir, contents);
    ProbeCodec plain;
    ASSERT_EQ(plain.DecompressStreams(counted.path(), (dir / "out").c_str()), 0);

    StreamArchive archive = ArchiveOf(dir, contents);
    ProbeCodec codec;
    codec.abortAtCall = plain.progress.size();
    EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), RESULT_ABORT);
    EXPECT_EQ(codec.progress.size(), plain.progress.size());
    EXPECT_EQ(codec.statuses, std::vector<std::string>{USER_ABORT});
}

TEST(CodecAbort, NextOperationStartsAfresh) {
    ScratchDir dir;
    const std::string source = SampleBytes(3 * CODEC_BUFSIZE, 4);
    WriteFile(dir / "in", source);
    ProbeCodec codec;
    codec.abortAtCall = 1;
    ASSERT_EQ(codec.CompressFile((dir / "in").c_str(), (dir / "aborted").c_str(), LEVEL),
              RESULT_ABORT);
    EXPECT_EQ(codec.CompressFile((dir / "in").c_str(), (dir / "out").c_str(), LEVEL), 0);
    EXPECT_EQ(ReadFile(dir / "out"), Compress2(source));
    EXPECT_EQ(codec.statuses, (std::vector<std::string>{USER_ABORT, SUCCESS}));
}

TEST(CodecShortWrite, FullDeviceFailsBothOperations) {
    for (size_t size : {size_t{3}, size_t{200000}}) {
        ScratchDir dir;
        const std::string source = SampleBytes(size, 1, false);
        WriteFile(dir / "in", source);
        ProbeCodec packer;
        EXPECT_EQ(packer.CompressFile((dir / "in").c_str(), "/dev/full", LEVEL), RESULT_FAIL)
            << size;
        EXPECT_EQ(packer.statuses, std::vector<std::string>{ZLIB_ERROR});

        StreamArchive archive = ArchiveOf(dir, {source, source});
        ProbeCodec unpacker;
        EXPECT_EQ(unpacker.DecompressStreams(archive.path(), "/dev/full"), RESULT_FAIL) << size;
        EXPECT_EQ(unpacker.statuses, std::vector<std::string>{ZLIB_ERROR});
    }
}

TEST(CodecShortWrite, FileSizeLimitFailsBothOperations) {
    constexpr rlim_t LIMIT = 10000;
    ScratchDir dir;
    const std::string source = SampleBytes(100000, 2, false);
    WriteFile(dir / "in", source);
    StreamArchive archive = ArchiveOf(dir, {source});
    auto underLimit = [&](const std::function<int(ProbeCodec&)>& operation) {
        return RunInChild(
            [&] {
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit limit = {LIMIT, LIMIT};
                setrlimit(RLIMIT_FSIZE, &limit);
                ProbeCodec codec;
                return operation(codec);
            },
            BOUNDED_SECONDS);
    };
    EXPECT_EQ(underLimit([&](ProbeCodec& codec) {
                  return codec.CompressFile((dir / "in").c_str(), (dir / "packed").c_str(), LEVEL);
              }),
              StatusOf(RESULT_FAIL));
    EXPECT_LE(SizeOf(dir / "packed"), LIMIT);
    EXPECT_EQ(underLimit([&](ProbeCodec& codec) {
                  return codec.DecompressStreams(archive.path(), (dir / "unpacked").c_str());
              }),
              StatusOf(RESULT_FAIL));
    EXPECT_LE(SizeOf(dir / "unpacked"), LIMIT);
}

TEST(CodecDamage, BrokenStreamsFailWithTheLibraryCode) {
    const std::string content = SampleBytes(30000, 3);
    const std::string sound = Compress2(content);
    std::string badHeader = sound;
    badHeader[1] ^= 0x01;
    std::string badBlockType = sound;
    badBlockType[2] |= 0x06;
    std::string badCheck = sound;
    badCheck.back() ^= 0x01;
    const std::vector<std::pair<std::string, int>> cases = {
        {badHeader, Z_DATA_ERROR},
        {badBlockType, Z_DATA_ERROR},
        {badCheck, Z_DATA_ERROR},
        {sound.substr(0, sound.size() / 2), Z_BUF_ERROR},
        {sound.substr(0, sound.size() - 2), Z_BUF_ERROR},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        ScratchDir dir;
        StreamArchive archive(dir, {static_cast<int32_t>(content.size())}, cases[k].first);
        ProbeCodec codec;
        EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), cases[k].second)
            << "case " << k;
        EXPECT_EQ(codec.statuses, std::vector<std::string>{ZLIB_ERROR});
    }
}

TEST(CodecDamage, TruncatedLastStreamAfterSoundOnes) {
    ScratchDir dir;
    const std::string first = SampleBytes(10000, 1);
    const std::string last = SampleBytes(20000, 2, false);
    const std::string lastStream = Compress2(last);
    StreamArchive archive(dir,
                          {static_cast<int32_t>(first.size()), static_cast<int32_t>(last.size())},
                          Compress2(first) + lastStream.substr(0, lastStream.size() - 100));
    ProbeCodec codec;
    EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), Z_BUF_ERROR);
}

TEST(CodecDamage, FailedFirstStreamIsNotHiddenByASoundLastOne) {
    ScratchDir dir;
    const std::string first = SampleBytes(10000, 1);
    const std::string second = SampleBytes(10000, 2);
    std::string firstStream = Compress2(first);
    firstStream.back() ^= 0x01;
    StreamArchive archive(dir, {10000, 10000}, firstStream + Compress2(second));
    ProbeCodec codec;
    EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), Z_DATA_ERROR);
    EXPECT_EQ(codec.statuses, std::vector<std::string>{ZLIB_ERROR});
    EXPECT_EQ(g_nEntries, 0);
}

TEST(CodecDamage, DictionaryStreamFails) {
    ScratchDir dir;
    StreamArchive archive(dir, {4}, StreamWithDictionary("data"));
    ProbeCodec codec;
    EXPECT_NE(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), 0);
    EXPECT_EQ(codec.statuses, std::vector<std::string>{ZLIB_ERROR});
}

TEST(CodecDamage, StreamLengthMustEqualItsRecord) {
    const std::string content(20, 'c');
    const std::vector<std::vector<int32_t>> recordSizes = {{10}, {30}, {20, 19, 20}, {20, 21, 20}};
    for (const auto& sizes : recordSizes) {
        ScratchDir dir;
        std::string streams;
        for (size_t k = 0; k < sizes.size(); ++k) {
            streams += Compress2(content);
        }
        StreamArchive archive(dir, sizes, streams);
        ProbeCodec codec;
        EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), RESULT_DAMAGED)
            << sizes.size() << " " << sizes[1 % sizes.size()];
        EXPECT_EQ(codec.statuses, std::vector<std::string>{ZLIB_ERROR});
    }
}

TEST(CodecDamage, BombStopsAtTheRecordedSize) {
    const std::string stream = Compress2(std::string(1 << 20, '\0'));
    for (int32_t announced : {10, 10000}) {
        ScratchDir dir;
        StreamArchive archive(dir, {announced}, stream);
        ProbeCodec codec;
        EXPECT_EQ(codec.DecompressStreams(archive.path(), (dir / "out").c_str()), RESULT_DAMAGED);
        EXPECT_LE(SizeOf(dir / "out"), static_cast<uintmax_t>(announced));
    }
}

TEST(CodecOpen, MissingFilesFailAndCloseWhatWasOpened) {
    ScratchDir dir;
    WriteFile(dir / "in", "abc");
    StreamArchive archive = ArchiveOf(dir, {"abc"});
    const size_t descriptors = OpenDescriptorCount();
    const std::string nowhere = dir / "missing/out";

    ProbeCodec codec;
    EXPECT_EQ(codec.CompressFile((dir / "absent").c_str(), (dir / "out").c_str(), LEVEL),
              RESULT_OPEN);
    EXPECT_FALSE(Exists(dir / "out"));
    EXPECT_EQ(codec.CompressFile((dir / "in").c_str(), nowhere.c_str(), LEVEL), RESULT_OPEN);
    EXPECT_EQ(codec.DecompressStreams((dir / "absent").c_str(), (dir / "out").c_str()),
              RESULT_OPEN);
    g_nEntries = 1;
    EXPECT_EQ(codec.DecompressStreams(archive.path(), nowhere.c_str()), RESULT_OPEN);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}
