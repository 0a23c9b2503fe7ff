// Details of failures and warnings. The layer that meets the problem records it
// beside its result code, in g_notes; only main prints them.
#pragma once

#include <string>
#include <vector>

// The text with control bytes (1 to 31 and 127) shown as '?', as ls shows names:
// a stored name may hold anything, and none of it may drive the terminal.
std::string PrintableText(std::string text);

// Records a line that concerns no one file.
void Note(const std::string& text);

// Records "<file>: <reason>".
void NoteFile(const char* file, const char* reason);

// Records "<file>: <strerror(errnum)>".
void NoteFileError(const char* file, int errnum);
