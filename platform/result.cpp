// The failure value: its notes' words and how results are put together.
#include "platform/result.h"

#include <cstring>

std::string Note::Text() const {
    std::string text = file.empty() ? "" : file + ": ";
    text += reason;
    if (errnum != 0) {
        text += (reason.empty() ? "" : ": ") + std::string(strerror(errnum));
    }
    return text;
}

Note FileNote(std::string file, std::string reason) {
    return Note{std::move(file), std::move(reason), 0};
}

Note ErrnoNote(std::string file, int errnum) {
    return Note{std::move(file), "", errnum};
}

Result ErrnoFailure(Result::Code code, int errnum) {
    return Result(code, ErrnoNote("", errnum));
}

Result OutOfMemory() {
    return Result(Result::MEMORY, FileNote("", "out of memory"));
}

Result Result::As(Code code) const {
    Result recoded = *this;
    recoded.m_code = code;
    return recoded;
}

Result Result::Naming(const std::string& file) const {
    Result named = *this;
    for (Note& note : named.m_notes) {
        note.file = note.file.empty() ? file : note.file;
    }
    return named;
}

Result& Result::Add(Note note) {
    m_notes.push_back(std::move(note));
    return *this;
}

Result& Result::Also(const Result& later) {
    m_code = ok() ? later.m_code : m_code;
    m_notes.insert(m_notes.end(), later.m_notes.begin(), later.m_notes.end());
    return *this;
}

Result Result::After(const Result& earlier) const {
    Result told = *this;
    told.m_notes.insert(told.m_notes.begin(), earlier.m_notes.begin(), earlier.m_notes.end());
    return told;
}
