// ISA-L's inflate as an engine. isal_inflate pulls up to 8 bytes ahead into its bit
// buffer; those whole bytes are reported unconsumed and skipped when presented again,
// so that a stream's end leaves the next stream's first byte next, as zlib does.
#include "codec/isal_inflate.h"

#include "codec/chunk_inflate.h"
#include "codec/zlib_codes.h"

#include <climits>
#include <new>
#include <string>

namespace {

constexpr int BITS_PER_BYTE = 8;

// The library counts in 32 bits; the unpacker's pieces are far smaller.
uint32_t Clamp32(size_t n) {
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

// ISA-L's codes in the program's terms, the one place they are mapped. Never told: the
// unpacker has zlib judge every stream ISA-L does not end cleanly.
Result IsalResult(int code) {
    if (code == ISAL_DECOMP_OK) {
        return Result::OK;
    }
    return Result(Result::DATA,
                  FileNote("", "stream not inflated (ISA-L: " + std::to_string(code) + ")"));
}

// A stream ISA-L does not take, or cannot go on with.
InflateStep Failed(size_t consumed, size_t produced, int code) {
    InflateStep step;
    step.consumed = consumed;
    step.produced = produced;
    step.outcome = InflateOutcome::FAILED;
    step.failure = IsalResult(code);
    return step;
}

// Makes *state ready for a new stream, taking it on first use (87 KiB: too large for
// the stack) and resetting it after; crcFlag says which check the library makes.
// Returns false when the memory cannot be had.
bool ReadyState(std::unique_ptr<inflate_state>* state, uint32_t crcFlag) {
    if (!*state) {
        state->reset(new (std::nothrow) inflate_state);
        if (!*state) {
            return false;
        }
        isal_inflate_init(state->get());
    } else {
        isal_inflate_reset(state->get());
    }
    // Set after init, which clears it.
    (*state)->crc_flag = crcFlag;
    return true;
}

// The codes for a header left to zlib, and for input that does not go on from the last
// call's.
constexpr int HEADER_DECLINED = ISAL_INVALID_WRAPPER;
constexpr int INPUT_MISPLACED = ISAL_INVALID_OPERATION;

}  // namespace

Result IsalInflate::BeginStream() {
    // Header and Adler-32 checked by the library.
    if (!ReadyState(&m_state, ISAL_ZLIB)) {
        return OutOfMemory();
    }
    m_headerChecked = false;
    m_held = 0;
    return Result::OK;
}

// Leaves every stream whose header is not the plain one to zlib; waits for both bytes.
InflateStep IsalInflate::DeclineOtherHeaders(const unsigned char* input, size_t length) {
    InflateStep step;
    if (length >= ZLIB_HEADER_SIZE) {
        m_headerChecked = true;
        if (!IsPlainZlibHeader(input)) {
            step = Failed(0, 0, HEADER_DECLINED);
        }
    }
    return step;
}

InflateStep IsalInflate::Inflate(const unsigned char* input, size_t length, unsigned char* output,
                                 size_t capacity) {
    if (!m_headerChecked) {
        InflateStep checked = DeclineOtherHeaders(input, length);
        if (!m_headerChecked || checked.outcome == InflateOutcome::FAILED) {
            return checked;
        }
    }
    if (length < m_held) {
        return Failed(0, 0, INPUT_MISPLACED);  // the bytes held back were not presented again
    }
    inflate_state* state = m_state.get();
    // The library's interface predates const; it only reads through next_in.
    state->next_in = const_cast<unsigned char*>(input + m_held);
    state->avail_in = Clamp32(length - m_held);
    state->next_out = output;
    state->avail_out = Clamp32(capacity);
    const uint32_t inBefore = state->avail_in;
    const uint32_t outBefore = state->avail_out;
    // ISAL_NEED_DICT is positive; calling again would go on without the dictionary.
    const int code = isal_inflate(state);
    const size_t taken = m_held + (inBefore - state->avail_in);
    const size_t produced = outBefore - state->avail_out;
    // Partial bits belong to a byte already counted as consumed.
    const size_t readAhead =
        state->read_in_length > 0 ? static_cast<size_t>(state->read_in_length) / BITS_PER_BYTE : 0;
    if (code != ISAL_DECOMP_OK || readAhead > taken) {
        return Failed(taken, produced, code != ISAL_DECOMP_OK ? code : INPUT_MISPLACED);
    }
    InflateStep step;
    step.consumed = taken - readAhead;
    step.produced = produced;
    if (state->block_state == ISAL_BLOCK_FINISH) {
        step.outcome = InflateOutcome::STREAM_END;
        m_held = 0;
    } else {
        m_held = readAhead;
    }
    return step;
}

std::vector<std::unique_ptr<InflateEngine>> FastInflaters() {
    std::vector<std::unique_ptr<InflateEngine>> engines;
    if (std::unique_ptr<InflateEngine> isal{new (std::nothrow) IsalInflate}) {
        engines.push_back(std::move(isal));
    }
    return engines;
}

namespace {

// ISA-L's raw inflate for the chunks of a stream. The window is its own copy, made by
// the library from the bytes given.
class IsalChunkInflater final : public ChunkInflater {
  public:
    bool Begin(const unsigned char* window, size_t length) override {
        // Raw deflate: the unpacker checks the Adler-32 of the chunks put together.
        if (!ReadyState(&m_state, ISAL_DEFLATE)) {
            return false;
        }
        // The library copies the window and never writes through the pointer.
        return length == 0 ||
               isal_inflate_set_dict(m_state.get(), const_cast<unsigned char*>(window),
                                     static_cast<uint32_t>(length)) == ISAL_DECOMP_OK;
    }

    ChunkStep Inflate(const unsigned char* input, size_t length, unsigned char* output,
                      size_t capacity) override {
        inflate_state* state = m_state.get();
        state->next_in = const_cast<unsigned char*>(input);
        state->avail_in = Clamp32(length);
        state->next_out = output;
        state->avail_out = Clamp32(capacity);
        const uint32_t inBefore = state->avail_in;
        const uint32_t outBefore = state->avail_out;
        const int code = isal_inflate(state);
        ChunkStep step;
        step.consumed = inBefore - state->avail_in;
        step.produced = outBefore - state->avail_out;
        if (code != ISAL_DECOMP_OK) {
            step.state = ChunkState::FAILED;
        } else if (state->block_state == ISAL_BLOCK_FINISH) {
            step.state = ChunkState::FINISHED;
            step.unused = static_cast<size_t>(state->read_in_length) / BITS_PER_BYTE;
        } else if (Between(*state)) {
            step.state = ChunkState::BETWEEN;
        }
        return step;
    }

    uint32_t Checksum(uint32_t adler, const unsigned char* data, size_t length) const override {
        return isal_adler32(adler, data, length);
    }

  private:
    // Waiting for the next block's header with no input, no bit and no output pending:
    // a stored block that used up the input exactly may leave it in HDR with nothing
    // gathered.
    static bool Between(const inflate_state& state) {
        const bool atHeader = state.block_state == ISAL_BLOCK_NEW_HDR ||
                              (state.block_state == ISAL_BLOCK_HDR && state.tmp_in_size == 0);
        return atHeader && state.avail_in == 0 && state.avail_out > 0 &&
               state.read_in_length == 0 && state.tmp_out_processed == state.tmp_out_valid &&
               state.copy_overflow_length == 0 && state.write_overflow_len == 0;
    }

    std::unique_ptr<inflate_state> m_state;
};

}  // namespace

std::unique_ptr<ChunkInflater> MakeChunkInflater() {
    return std::unique_ptr<ChunkInflater>(new (std::nothrow) IsalChunkInflater);
}
