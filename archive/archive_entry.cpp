// The entry table and the reading and writing of the archive's directory.
#include "archive/archive_entry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

ArchiveEntry g_entries[ENTRY_TABLE_SLOTS];
int g_nEntries = 0;
int32_t g_lDataOffset = 0;

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

}  // namespace

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

size_t EntryNameLength(const ArchiveEntry& entry) {
    return strnlen(entry.m_szName, ENTRY_NAME_SIZE);
}

std::string EntryName(const ArchiveEntry& entry) {
    return std::string(entry.m_szName, EntryNameLength(entry));
}

int AppendEntry(const char* name, int64_t size, int32_t mtime) {
    size_t length = strlen(name);
    if (length >= static_cast<size_t>(ENTRY_NAME_SIZE) || g_nEntries >= MAX_ENTRIES || size < 0 ||
        size > INT32_MAX) {
        return RESULT_LIMIT;
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
    return RESULT_OK;
}

int WriteDirectory(const char* archive) {
    static unsigned char records[ENTRY_TABLE_SLOTS * ENTRY_RECORD_SIZE];
    size_t bytes = 0;
    for (int slot = 0; slot < ENTRY_TABLE_SLOTS; ++slot) {
        EncodeEntry(g_entries[slot], records + bytes);
        bytes += ENTRY_RECORD_SIZE;
        if (g_entries[slot].m_size == TERMINATOR_SIZE) {
            break;
        }
    }
    FILE* file = fopen(archive, "wb");
    if (file == nullptr) {
        NoteFileError(archive, errno);
        return RESULT_OPEN;
    }
    bool written = fwrite(records, 1, bytes, file) == bytes;
    int errnum = errno;
    if (fclose(file) != 0 && written) {
        written = false;
        errnum = errno;
    }
    if (!written) {
        NoteFileError(archive, errnum);
        return RESULT_FAIL;
    }
    return RESULT_OK;
}

int ReadDirectory(const char* archive) {
    bool irregular = false;
    FILE* file = OpenRegularFile(archive, &irregular);
    if (file == nullptr) {
        if (irregular) {
            NoteFile(archive, "not a regular file");
            return RESULT_DAMAGED;
        }
        NoteFileError(archive, errno);
        return RESULT_FAIL;
    }
    g_nEntries = 0;
    int result = RESULT_DAMAGED;
    unsigned char record[ENTRY_RECORD_SIZE];
    for (int slot = 0; slot < ENTRY_TABLE_SLOTS; ++slot) {
        if (fread(record, 1, ENTRY_RECORD_SIZE, file) != ENTRY_RECORD_SIZE) {
            break;
        }
        DecodeEntry(record, &g_entries[slot]);
        if (g_entries[slot].m_size == TERMINATOR_SIZE) {
            g_lDataOffset = (slot + 1) * ENTRY_RECORD_SIZE;
            result = RESULT_OK;
            break;
        }
        ++g_nEntries;
    }
    fclose(file);  // NOLINT(cert-err33-c): read only, nothing to lose
    if (result != RESULT_OK) {
        NoteFile(archive, "damaged archive: the directory has no terminator");
    }
    return result;
}
