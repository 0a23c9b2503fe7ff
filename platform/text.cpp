// Text services: local-time formatting, and fitting a name to a column.
#include <wchar.h>

#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

const char TIME_PLACEHOLDER[] = "??.??.???? ??:??:??";
const char UTF8_LOCALE[] = "C.UTF-8";
// The decoder accepts longer sequences than UTF-8 allows; they count as invalid.
constexpr wchar_t LAST_CODE_POINT = 0x10FFFF;

// One column per byte, as on a one-byte code page.
std::string FitBytes(const std::string& text, size_t columns) {
    std::string fitted = text.substr(0, columns);
    fitted.resize(columns, ' ');
    return fitted;
}

// Fits text measured as UTF-8 by the calling thread's locale into *fitted.
// Returns false when text is not valid UTF-8.
bool FitCharacters(const std::string& text, size_t columns, std::string* fitted) {
    mbstate_t state{};
    size_t used = 0;
    bool full = false;
    for (size_t at = 0, length = 0; at < text.size(); at += length) {
        wchar_t character = 0;
        length = mbrtowc(&character, &text[at], text.size() - at, &state);
        // (size_t)-1 and -2, an invalid and a cut-off sequence, are beyond the rest too.
        if (length == 0 || length > text.size() - at || character > LAST_CODE_POINT) {
            return false;
        }
        const int width = wcwidth(character);
        const size_t shown = width < 0 ? 1 : static_cast<size_t>(width);
        full = full || used + shown > columns;
        if (!full) {
            fitted->append(width < 0 ? std::string("?") : text.substr(at, length));
            used += shown;
        }
    }
    fitted->append(columns - used, ' ');
    return true;
}

}  // namespace

void FormatLocalTime(int64_t seconds, const char* pattern, char* out, size_t size) {
    time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (localtime_r(&when, &local) == nullptr || strftime(out, size, pattern, &local) == 0) {
        snprintf(out, size, "%s", TIME_PLACEHOLDER);
    }
}

ColumnFitter::ColumnFitter() : m_utf8(newlocale(LC_CTYPE_MASK, UTF8_LOCALE, nullptr)) {}

ColumnFitter::~ColumnFitter() {
    if (m_utf8 != nullptr) {
        freelocale(m_utf8);
    }
}

std::string ColumnFitter::Fit(const std::string& text, size_t columns) const {
    // Only this thread measures by the UTF-8 locale, and only for this call: the
    // process's own locale is never changed.
    locale_t previous = m_utf8 != nullptr ? uselocale(m_utf8) : nullptr;
    if (previous == nullptr) {
        return FitBytes(text, columns);
    }
    std::string fitted;
    const bool measured = FitCharacters(text, columns, &fitted);
    uselocale(previous);
    return measured ? fitted : FitBytes(text, columns);
}
