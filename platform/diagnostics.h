// Details of failures and warnings that concern one file. The layer that meets
// the problem records it beside its result code; only main prints them.
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

// The notes recorded so far, oldest first.
const std::vector<std::string>& Notes();

// Forgets every note (used between independent runs in one process).
void ClearNotes();
