// The archive's directory: one 88-byte record per entry, then a terminator record,
// then the streams. A Directory is a run's value: creation builds one, the reader
// returns one, and listing, writing and extraction take it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

constexpr int ENTRY_NAME_SIZE = 80;
constexpr int ENTRY_RECORD_SIZE = 88;
// 999 entries and the terminator.
constexpr int DIRECTORY_SLOTS = 1000;
constexpr int MAX_ENTRIES = DIRECTORY_SLOTS - 1;
constexpr int32_t TERMINATOR_SIZE = -1;

// One directory record in memory; the directory gives it its disk form.
struct ArchiveEntry {
    char m_szName[ENTRY_NAME_SIZE];  // bare name, zero-padded; may fill all 80 bytes when read
    int32_t m_size;                  // length in bytes
    int32_t m_mtime;                 // last-write time, seconds since 1970 UTC
};

class Directory {
  public:
    // Adds an entry. Returns OK, or LIMIT when the name needs 80 bytes or more, the
    // directory is full, or size does not fit 31 bits (nothing is stored then).
    Result Append(const std::string& name, int64_t size, int32_t mtime);

    int Count() const { return static_cast<int>(m_entries.size()); }
    const ArchiveEntry& Entry(int k) const { return m_entries[static_cast<size_t>(k)]; }
    // The entry's name; a stored name may lack its zero byte, and this never reads
    // past the field.
    std::string Name(int k) const;
    // Where the first stream starts: the records' and the terminator's length.
    int64_t DataOffset() const { return (int64_t{Count()} + 1) * ENTRY_RECORD_SIZE; }

    // Writes the records and the terminator to fd; archive names the file in notes.
    // Returns OK, or FAIL with a note when a write falls short.
    Result WriteTo(int fd, const char* archive) const;

    // Reads the directory from the start of fd, up to its terminator. Returns OK, FAIL
    // with a note when it cannot be read, or DAMAGED with a note that says whether the
    // file is no archive at all or one whose directory is cut short.
    Result ReadFrom(int fd, const char* archive);

  private:
    std::vector<ArchiveEntry> m_entries;
};

// Whether fd's file, length bytes long, is an archive as a whole: every record
// before the terminator has a size of at least 0, the terminator comes within the
// directory's 1000 slots, and either there are no entries and the file ends right
// after the terminator, or a valid zlib header starts the data and the file can hold
// a stream per entry. Anything else, or a file that cannot be read, is not.
bool IsWholeArchive(int fd, int64_t length);
