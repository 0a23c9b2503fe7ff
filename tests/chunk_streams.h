// Streams of many chunks for the rows of unpacking on two cores: chunks that stand alone
// and end in the marker, as the packer writes them and as any zlib writer's full flush
// does; primed blocks, as the zlib-only build writes them; a join with no marker, as
// builds before every chunk got one wrote it; a chunk of stored data with a false marker
// in it; and damage placed in a given chunk.
#pragma once

#include "test_support.h"

constexpr size_t CHUNK = size_t{4} << 20;
const std::string MARKER("\0\0\xff\xff", 4);

// data as one zlib stream, flushed with flush after every step bytes; levels[k], when
// given, is the level of the k-th step.
inline std::string FlushedStream(const std::string& data, size_t step, int flush,
                                 const std::vector<int>& levels = {}) {
    z_stream stream{};
    EXPECT_EQ(deflateInit(&stream, levels.empty() ? 6 : levels[0]), Z_OK);
    std::string out(deflateBound(&stream, data.size()) + data.size() / step * 16 + 64, '\0');
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    for (size_t at = 0, k = 0; at < data.size() || at == 0; at += step, ++k) {
        if (k > 0 && k < levels.size()) {
            EXPECT_EQ(deflateParams(&stream, levels[k], Z_DEFAULT_STRATEGY), Z_OK);
        }
        const size_t length = std::min(step, data.size() - at);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
        stream.avail_in = static_cast<uInt>(length);
        const bool last = at + length >= data.size();
        EXPECT_EQ(deflate(&stream, last ? Z_FINISH : flush), last ? Z_STREAM_END : Z_OK);
        if (last) {
            break;
        }
    }
    deflateEnd(&stream);
    out.resize(stream.total_out);
    return out;
}

// Chunks that refer to nothing before them, each but the last ending in the marker.
inline std::string ChunkedStream(const std::string& data, const std::vector<int>& levels = {}) {
    return FlushedStream(data, CHUNK, Z_FULL_FLUSH, levels);
}

// The zlib-only build's stream: 256 KiB blocks that refer back across the markers.
inline std::string PrimedStream(const std::string& data) {
    return FlushedStream(data, size_t{256} << 10, Z_SYNC_FLUSH);
}

// Where chunk k (from 0) of a chunked stream begins, and where the next does.
inline std::pair<size_t, size_t> ChunkBytes(const std::string& stream, size_t k) {
    size_t begin = 2, end = 0;
    for (size_t j = 0; j <= k; ++j) {
        end = stream.find(MARKER, begin);
        end = end == std::string::npos ? stream.size() - 4 : end + MARKER.size();
        if (j < k) {
            begin = end;
        }
    }
    return {begin, end};
}

// The stream with one byte changed in the middle of chunk k.
inline std::string DamagedInChunk(std::string stream, size_t k) {
    const auto [begin, end] = ChunkBytes(stream, k);
    stream[(begin + end) / 2] ^= 0x5a;
    return stream;
}

// A first chunk of stored data that holds a false marker and, after it, the deflate data
// of a whole chunk of zeros ending in a marker of its own: it inflates as a chunk would.
// The rest of the chunk is FF bytes, at each of which the run's marker search stops:
// the guess is whole long before the run is done, so a guess that counted would show.
inline std::string StoredFalseMarkerData(size_t size) {
    const std::string zeros =
        ZlibStream(std::string(CHUNK, '\0'), 6, Z_DEFAULT_STRATEGY, -15, Z_FULL_FLUSH);
    std::string data = SampleBytes(100, 7, false) + MARKER + zeros;
    data += std::string(CHUNK - data.size(), '\xff');
    return data + SampleBytes(size - CHUNK, 9);
}

// data packed by the built program, its first chunk's marker then taken out again: its
// last block ends on a byte, so that the join is as builds before marked every chunk
// made it. Empty in a build without libdeflate, whose chunks are not these.
inline std::string UnmarkedJoinStream(const std::string& data) {
#ifdef TOVRA_LIBDEFLATE
    ScratchDir dir;
    WriteFile(dir / "f", data);
    EXPECT_EQ(RunTovra(dir, {"0", "p.tvr", "f"}).status, 0);
    std::string stream = SplitStreams(ReadFile(dir / "p.tvr")).bytes.at(0);
    const size_t join = 2 + LibdeflateStream(data.substr(0, CHUNK), false).size();
    EXPECT_EQ(stream.substr(join, 5), std::string("\0\0\0\xff\xff", 5)) << "not on a byte";
    return stream.erase(join, 5);
#else
    (void)data;
    return "";
#endif
}

// The data whose first chunk the packer ends on a byte (found with libdeflate 1.14).
inline std::string FirstChunkEndingOnAByte(size_t size) {
    return SampleBytes(size, 32);
}

// A chunk whose deflate data is mostly noise, stored as it is: share in 100 of it
// noise, the rest words.
inline std::string MixedChunk(uint32_t seed, size_t share) {
    const size_t noise = CHUNK / 100 * share;
    return SampleBytes(noise, seed, false) + SampleBytes(CHUNK - noise, seed);
}

// A chunk that inflates about as fast as memory copies: 100 bytes of noise, repeated.
inline std::string RepeatedChunk(uint32_t seed) {
    const std::string piece = SampleBytes(100, seed, false);
    std::string chunk;
    while (chunk.size() < CHUNK) {
        chunk += piece;
    }
    chunk.resize(CHUNK);
    return chunk;
}

// Chunks that send the guess a chunk too far: after two chunks of mostly noise, the
// guess looks for the next chunk's start near half a chunk of stored data on; chunks 2
// and 3 take less than that, so the first marker it finds ends chunk 4, and it guesses
// the chunk after while the run inflates chunks 2, 3 and 4. Then a short last chunk.
inline std::string PastTwoChunkEnds(const std::vector<std::string>& chunksFrom2) {
    std::string data = MixedChunk(40, 90) + MixedChunk(41, 90);
    for (const std::string& chunk : chunksFrom2) {
        data += chunk;
    }
    return data + SampleBytes(1000, 42);
}

// A row's stream and the data it must inflate to.
struct ChunkCase {
    std::string stream;
    std::string data;
};

// The rows' cases, made when a row runs: each is tens of MiB.
using MakeCase = ChunkCase (*)();

inline ChunkCase FiveChunks() {
    std::string data = SampleBytes(4 * CHUNK + 1000, 1);
    return {ChunkedStream(data), data};
}
inline ChunkCase LastChunkOfOneByte() {
    std::string data = SampleBytes(2 * CHUNK + 1, 2);
    return {ChunkedStream(data), data};
}
inline ChunkCase FalseMarkerInsideAChunk() {
    std::string data = StoredFalseMarkerData(3 * CHUNK + 5);
    return {ChunkedStream(data, {0, 6}), data};
}
inline ChunkCase PrimedBlocks() {
    std::string data = SampleBytes(4 * CHUNK + 1000, 3);
    return {PrimedStream(data), data};
}
inline ChunkCase JoinWithNoMarker() {
    std::string data = FirstChunkEndingOnAByte(3 * CHUNK + 77);
    return {UnmarkedJoinStream(data), data};
}
// The guess, the short last chunk, is whole long before the run has passed its place:
// it must not count, though the run stops where it began.
inline ChunkCase GuessLandsAChunkTooFar() {
    std::string data =
        PastTwoChunkEnds({SampleBytes(CHUNK, 43), MixedChunk(44, 20), MixedChunk(45, 35)});
    return {ChunkedStream(data), data};
}
// The run, on chunks of the fastest kind, passes the guess's place and overtakes the
// guess, a slower chunk, which must write nothing more there.
inline ChunkCase RunPassesTheGuess() {
    std::string data = PastTwoChunkEnds(
        {RepeatedChunk(47), RepeatedChunk(48), MixedChunk(49, 60), SampleBytes(CHUNK, 50)});
    return {ChunkedStream(data), data};
}
inline ChunkCase DamageInChunk1Of5() {
    ChunkCase made = FiveChunks();
    made.stream = DamagedInChunk(made.stream, 0);
    return made;
}
inline ChunkCase DamageInChunk4Of5() {
    ChunkCase made = FiveChunks();
    made.stream = DamagedInChunk(made.stream, 3);
    return made;
}
inline ChunkCase DamageInTheTrailer() {
    ChunkCase made = FiveChunks();
    made.stream.back() ^= 1;
    return made;
}
