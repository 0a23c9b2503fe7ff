// The archive's directory record, the process-wide entry table, and the
// directory's disk form: N 88-byte records, a terminator record, then the streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/result.h"
#include "platform/state.h"

constexpr int MAX_ENTRIES = ENTRY_TABLE_SLOTS - 1;
constexpr int32_t TERMINATOR_SIZE = -1;

// Adds an entry and re-terminates the table.
// Returns OK, or LIMIT when the name needs 80 bytes or more, the table is full, or
// size does not fit 31 bits (nothing is stored then).
Result AppendEntry(const char* name, int64_t size, int32_t mtime);

// Writes the records up to and including the terminator to fd; archive names the
// file in notes. Returns OK, or FAIL when a write falls short.
Result WriteDirectory(int fd, const char* archive);

// Reads the directory from the start of fd into the table and sets g_nEntries and
// g_lDataOffset. Returns OK, FAIL when it cannot be read, or DAMAGED when no
// terminator comes within the table.
Result ReadDirectory(int fd, const char* archive);

// True when fd's file starts with a directory that reads back; the table is untouched.
bool HoldsDirectory(int fd);

// The entry's name; a stored name may lack its zero byte, and this never reads past
// the field.
std::string EntryName(const ArchiveEntry& entry);
