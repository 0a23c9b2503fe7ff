// The directory's disk form, reading and writing it, and telling an archive from
// anything else.
#include "archive/directory.h"

#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t DIRECTORY_BYTES = size_t{DIRECTORY_SLOTS} * ENTRY_RECORD_SIZE;
// The shortest zlib stream: a two-byte header, an empty final block of two bytes,
// and the four-byte Adler-32.
constexpr int64_t SHORTEST_STREAM = 8;
constexpr unsigned DEFLATE_METHOD = 8;
constexpr unsigned LARGEST_WINDOW_CODE = 7;  // 32 KiB
constexpr unsigned HEADER_CHECK = 31;

void PutLittleEndian32(int32_t value, unsigned char* out) {
    uint32_t bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
    }
}

int32_t GetLittleEndian32(const unsigned char* in) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        bits |= static_cast<uint32_t>(in[i]) << (8 * i);
    }
    return static_cast<int32_t>(bits);
}

// The record's disk form: little-endian, whatever the host.
void EncodeEntry(const ArchiveEntry& entry, unsigned char* record) {
    memcpy(record, entry.m_szName, ENTRY_NAME_SIZE);
    PutLittleEndian32(entry.m_size, record + ENTRY_NAME_SIZE);
    PutLittleEndian32(entry.m_mtime, record + ENTRY_NAME_SIZE + 4);
}

ArchiveEntry DecodeEntry(const unsigned char* record) {
    ArchiveEntry entry;
    memcpy(entry.m_szName, record, ENTRY_NAME_SIZE);
    entry.m_size = GetLittleEndian32(record + ENTRY_NAME_SIZE);
    entry.m_mtime = GetLittleEndian32(record + ENTRY_NAME_SIZE + 4);
    return entry;
}

// A name as packing stores one: not empty, ended by a zero byte, zero-padded.
bool IsStoredName(const ArchiveEntry& entry) {
    const char* name = entry.m_szName;
    const size_t length = strnlen(name, ENTRY_NAME_SIZE);
    if (length == 0 || length == ENTRY_NAME_SIZE) {
        return false;
    }
    for (size_t i = length; i < ENTRY_NAME_SIZE; ++i) {
        if (name[i] != '\0') {
            return false;
        }
    }
    return true;
}

// The records at the start of a file, as far as they go: up to and including the
// terminator when one comes within the directory's slots.
struct Records {
    std::vector<ArchiveEntry> entries;  // before the terminator
    bool terminated = false;
    bool cutShort = false;  // the file ended before a terminator or a full directory
};

// Reads the records from the start of fd. Returns OK, or FAIL with errno (the file not
// named).
Result ReadRecords(int fd, Records* records) {
    std::vector<unsigned char> bytes(DIRECTORY_BYTES);
    size_t got = 0;
    Result read = ReadFullAt(fd, bytes.data(), bytes.size(), 0, &got);
    if (!read.ok()) {
        return read;
    }
    for (size_t at = 0; at + ENTRY_RECORD_SIZE <= got; at += ENTRY_RECORD_SIZE) {
        ArchiveEntry entry = DecodeEntry(bytes.data() + at);
        if (entry.m_size == TERMINATOR_SIZE) {
            records->terminated = true;
            return Result::OK;
        }
        records->entries.push_back(entry);
    }
    records->cutShort = got < DIRECTORY_BYTES;
    return Result::OK;
}

// A zlib header as deflate writes one: method 8, a window of at most 32 KiB, and
// check bits that make the two bytes a multiple of 31.
bool IsZlibHeader(const unsigned char* header) {
    const unsigned method = header[0] & 0x0f;
    const unsigned window = header[0] >> 4;
    return method == DEFLATE_METHOD && window <= LARGEST_WINDOW_CODE &&
           ((header[0] << 8) | header[1]) % HEADER_CHECK == 0;
}

}  // namespace

Result Directory::Append(const std::string& name, int64_t size, int32_t mtime) {
    if (name.size() >= static_cast<size_t>(ENTRY_NAME_SIZE) || Count() >= MAX_ENTRIES || size < 0 ||
        size > INT32_MAX) {
        return Result::LIMIT;
    }
    ArchiveEntry entry{};
    memcpy(entry.m_szName, name.data(), name.size());
    entry.m_size = static_cast<int32_t>(size);
    entry.m_mtime = mtime;
    m_entries.push_back(entry);
    return Result::OK;
}

std::string Directory::Name(int k) const {
    const char* name = Entry(k).m_szName;
    return std::string(name, strnlen(name, ENTRY_NAME_SIZE));
}

Result Directory::WriteTo(int fd, const char* archive) const {
    std::vector<unsigned char> bytes(static_cast<size_t>(DataOffset()));
    for (int k = 0; k < Count(); ++k) {
        EncodeEntry(Entry(k), bytes.data() + static_cast<size_t>(k) * ENTRY_RECORD_SIZE);
    }
    const ArchiveEntry terminator{{}, TERMINATOR_SIZE, 0};
    EncodeEntry(terminator, bytes.data() + bytes.size() - ENTRY_RECORD_SIZE);
    return WriteAll(fd, bytes.data(), bytes.size()).Naming(archive);
}

Result Directory::ReadFrom(int fd, const char* archive) {
    Records records;
    Result read = ReadRecords(fd, &records);
    if (!read.ok()) {
        return read.Naming(archive);
    }
    if (!records.terminated) {
        // A real archive cut short keeps the names packing stores; a text, a zip or a
        // tar file does not.
        bool stored = !records.entries.empty() && records.cutShort;
        for (const ArchiveEntry& entry : records.entries) {
            stored = stored && IsStoredName(entry);
        }
        return Result(Result::DAMAGED,
                      FileNote(archive, stored ? "damaged archive: the directory is cut short"
                                               : "not a tovra archive"));
    }
    m_entries = std::move(records.entries);
    return Result::OK;
}

bool IsWholeArchive(int fd, int64_t length) {
    Records records;
    if (!ReadRecords(fd, &records).ok() || !records.terminated) {
        return false;
    }
    for (const ArchiveEntry& entry : records.entries) {
        if (entry.m_size < 0) {
            return false;
        }
    }
    const int64_t entries = static_cast<int64_t>(records.entries.size());
    const int64_t dataOffset = (entries + 1) * ENTRY_RECORD_SIZE;
    if (entries == 0) {
        return length == dataOffset;
    }
    unsigned char header[2];
    size_t got = 0;
    return length >= dataOffset + entries * SHORTEST_STREAM &&
           ReadFullAt(fd, header, sizeof header, dataOffset, &got).ok() && got == sizeof header &&
           IsZlibHeader(header);
}
