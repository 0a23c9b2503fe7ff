// Details of failures and warnings. The layer that meets the problem records it
// beside its result code, in g_notes; only main prints them.
#pragma once

#include <string>
#include <vector>

// The text with control bytes (1 to 31 and 127) and the invisible format characters
// (U+200B-U+200F, U+202A-U+202E, U+2066-U+2069, U+FEFF, in UTF-8) each shown as one
// '?', as ls shows names: a stored name may hold anything, and none of it may drive
// the terminal or make the name look like another. Any other byte, valid UTF-8 or
// not, stays as it is.
std::string PrintableText(const std::string& text);

// Records a line that concerns no one file.
void Note(const std::string& text);

// Records "<file>: <reason>".
void NoteFile(const char* file, const char* reason);

// Records "<file>: <strerror(errnum)>".
void NoteFileError(const char* file, int errnum);
