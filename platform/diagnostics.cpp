// The rule for every line printed on standard error and in the listing.
#include "platform/diagnostics.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// Invisible format characters, as the three bytes UTF-8 gives each: they reorder or
// hide the text around them, so a name holding one could display as another.
struct FormatCharacters {
    char lead, second;
    unsigned char first, last;  // the third byte's range
};
constexpr FormatCharacters FORMAT_CHARACTERS[] = {
    {'\xe2', '\x80', 0x8b, 0x8f},  // U+200B-U+200F: zero-width spaces, joiners, marks
    {'\xe2', '\x80', 0xaa, 0xae},  // U+202A-U+202E: bidirectional embeddings, overrides
    {'\xe2', '\x81', 0xa6, 0xa9},  // U+2066-U+2069: bidirectional isolates
    {'\xef', '\xbb', 0xbf, 0xbf},  // U+FEFF: zero-width no-break space
};
constexpr size_t FORMAT_CHARACTER_LENGTH = 3;

bool FormatCharacterAt(const std::string& text, size_t at) {
    if (text.size() - at < FORMAT_CHARACTER_LENGTH) {
        return false;
    }
    const auto third = static_cast<unsigned char>(text[at + 2]);
    return std::any_of(std::begin(FORMAT_CHARACTERS), std::end(FORMAT_CHARACTERS),
                       [&](const FormatCharacters& range) {
                           return text[at] == range.lead && text[at + 1] == range.second &&
                                  third >= range.first && third <= range.last;
                       });
}

bool ControlByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 32 || byte == 127;
}

}  // namespace

std::string PrintableText(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        if (FormatCharacterAt(text, at)) {
            shown += '?';
            at += FORMAT_CHARACTER_LENGTH - 1;
        } else {
            shown += ControlByte(text[at]) ? '?' : text[at];
        }
    }
    return shown;
}
