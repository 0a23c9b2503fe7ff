// The program's one failure value, shared by every layer from the platform up to main:
// a code, and for a failure the note that says why, that is, the file and the reason,
// errno included as data. A result travels up the call chain and is told once, by
// main, which turns its code into the exit status by a single cast. A layer that does
// not know the file's name leaves it to its caller, who names it.
#pragma once

#include <string>
#include <utility>
#include <vector>

// A line for standard error: "<file>: <reason>: <strerror(errnum)>", each part there
// only when set (a line of its own has no file).
struct Note {
    std::string file;
    std::string reason;
    int errnum = 0;

    std::string Text() const;
};

// The note "<file>: <reason>".
Note FileNote(std::string file, std::string reason);
// The note "<file>: <strerror(errnum)>".
Note ErrnoNote(std::string file, int errnum);

class Result {
  public:
    // The values are the exit statuses' source and never change; each engine maps its
    // library's codes to these in one place, so no library's code passes for a result.
    enum Code : int {
        OK = 0,
        MODE_REJECTED = 1,  // not 0, 1 or 2, or the wrong number of arguments for the mode
        FAIL = -1,          // archive not found, nothing matched, or a short write
        STREAM = -2,        // zlib could not run a stream
        DATA = -3,          // damaged stream data or check value
        MEMORY = -4,        // out of memory
        BUFFER = -5,        // a stream cut short
        ABORT = -7,         // key press or termination signal
        DAMAGED = -8,       // damaged or unsafe archive
        LIMIT = -9,         // a file that does not fit the format
        OPEN = -10,         // a file that could not be opened or created
    };

    Result() = default;
    // OK, or a failure whose words its caller gives (a stop, a rejected mode): a code
    // is a result, so it converts.
    // cppcheck-suppress noExplicitConstructor
    Result(Code code) : m_code(code) {}  // NOLINT(google-explicit-constructor)
    Result(Code code, Note note) : m_code(code), m_notes{std::move(note)} {}

    bool ok() const { return m_code == OK; }
    Code code() const { return m_code; }
    const std::vector<Note>& notes() const { return m_notes; }

    // The same notes under another code: a caller that knows what the failure means to
    // the run.
    Result As(Code code) const;
    // Sets the file of every note that names none.
    Result Naming(const std::string& file) const;
    // Adds a line after the notes it has.
    Result& Add(Note note);
    // Takes in another failure met while this one stands: the first failure's code,
    // every failure's notes in order.
    Result& Also(const Result& later);
    // This result, told after another's notes, which come first.
    Result After(const Result& earlier) const;

  private:
    Code m_code = OK;
    std::vector<Note> m_notes;
};

// A failure with errno, the file left for the caller to name.
Result ErrnoFailure(Result::Code code, int errnum);

// Memory the run cannot have, in a note of its own.
Result OutOfMemory();

inline bool operator==(const Result& result, Result::Code code) {
    return result.code() == code;
}
inline bool operator!=(const Result& result, Result::Code code) {
    return result.code() != code;
}
