// What a run has to say on standard error besides its result: the warnings, in a
// report the run owns and hands down to whatever may warn; and the rule that keeps
// every line printed there from driving the terminal.
#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

// The text with control bytes (1 to 31 and 127) and the invisible format characters
// (U+200B-U+200F, U+202A-U+202E, U+2066-U+2069, U+FEFF, in UTF-8) each shown as one
// '?', as ls shows names: a stored name may hold anything, and none of it may drive
// the terminal or make the name look like another. Any other byte, valid UTF-8 or
// not, stays as it is.
std::string PrintableText(const std::string& text);

// A run's warnings, oldest first: what it tells that is no failure of its own, or a
// failure that does not decide its result (a temporary file it could not remove).
class Report {
  public:
    void Warn(Note note) { m_notes.push_back(std::move(note)); }
    const std::vector<Note>& notes() const { return m_notes; }

  private:
    std::vector<Note> m_notes;
};
