// The entry table and the reading and writing of the archive's directory.
#include "archive/archive_entry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

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

void DecodeEntry(const unsigned char* record, ArchiveEntry* entry) {
    memcpy(entry->m_szName, record, ENTRY_NAME_SIZE);
    entry->m_size = GetLittleEndian32(record + ENTRY_NAME_SIZE);
    entry->m_mtime = GetLittleEndian32(record + ENTRY_NAME_SIZE + 4);
}

}  // namespace

std::string EntryName(const ArchiveEntry& entry) {
    return std::string(entry.m_szName, strnlen(entry.m_szName, ENTRY_NAME_SIZE));
}

Result AppendEntry(const char* name, int64_t size, int32_t mtime) {
    size_t length = strlen(name);
    if (length >= static_cast<size_t>(ENTRY_NAME_SIZE) || g_nEntries >= MAX_ENTRIES || size < 0 ||
        size > INT32_MAX) {
        return Result::LIMIT;
    }
    ArchiveEntry& entry = g_entries[g_nEntries];
    memset(entry.m_szName, 0, ENTRY_NAME_SIZE);
    memcpy(entry.m_szName, name, length);
    entry.m_size = static_cast<int32_t>(size);
    entry.m_mtime = mtime;
    ++g_nEntries;
    ArchiveEntry& terminator = g_entries[g_nEntries];
    memset(terminator.m_szName, 0, ENTRY_NAME_SIZE);
    terminator.m_size = TERMINATOR_SIZE;
    terminator.m_mtime = 0;
    return Result::OK;
}

Result WriteDirectory(int fd, const char* archive) {
    size_t bytes = 0;
    for (int slot = 0; slot < ENTRY_TABLE_SLOTS; ++slot) {
        EncodeEntry(g_entries[slot], g_recordBuffer + bytes);
        bytes += ENTRY_RECORD_SIZE;
        if (g_entries[slot].m_size == TERMINATOR_SIZE) {
            break;
        }
    }
    int failure = WriteAll(fd, g_recordBuffer, bytes);
    if (failure != 0) {
        NoteFileError(archive, failure);
        return Result::FAIL;
    }
    return Result::OK;
}

namespace {

constexpr int NO_TERMINATOR = -1;
constexpr int READ_FAILED = -2;

// Reads records from the start of fd until the terminator, into the table when store
// is set. Returns the number of entries, NO_TERMINATOR when none comes within the
// table or the file ends first, or READ_FAILED with errno set.
int ReadRecords(int fd, bool store) {
    int64_t got = ReadFullAt(fd, g_recordBuffer, sizeof g_recordBuffer, 0);
    if (got < 0) {
        return READ_FAILED;
    }
    for (int slot = 0; (slot + 1) * int64_t{ENTRY_RECORD_SIZE} <= got; ++slot) {
        ArchiveEntry entry;
        DecodeEntry(g_recordBuffer + static_cast<size_t>(slot) * ENTRY_RECORD_SIZE, &entry);
        if (store) {
            g_entries[slot] = entry;
        }
        if (entry.m_size == TERMINATOR_SIZE) {
            return slot;
        }
    }
    return NO_TERMINATOR;
}

}  // namespace

Result ReadDirectory(int fd, const char* archive) {
    int entries = ReadRecords(fd, true);
    g_nEntries = 0;
    if (entries == READ_FAILED) {
        NoteFileError(archive, errno);
        return Result::FAIL;
    }
    if (entries == NO_TERMINATOR) {
        NoteFile(archive, "damaged archive: the directory has no terminator");
        return Result::DAMAGED;
    }
    g_nEntries = entries;
    g_lDataOffset = (entries + 1) * ENTRY_RECORD_SIZE;
    return Result::OK;
}

bool HoldsDirectory(int fd) {
    return ReadRecords(fd, false) >= 0;
}
