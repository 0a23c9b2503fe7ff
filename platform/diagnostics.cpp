// Failure details recorded beside the result codes, printed later by main.
#include "platform/diagnostics.h"

#include <cstring>

#include "platform/state.h"

std::string PrintableText(std::string text) {
    for (char& c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127) {
            c = '?';
        }
    }
    return text;
}

void Note(const std::string& text) {
    g_notes.push_back(PrintableText(text));
}

void NoteFile(const char* file, const char* reason) {
    Note(std::string(file) + ": " + reason);
}

void NoteFileError(const char* file, int errnum) {
    NoteFile(file, strerror(errnum));
}
