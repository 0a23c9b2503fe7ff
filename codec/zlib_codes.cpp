// zlib's return codes in the program's terms.
#include "codec/zlib_codes.h"

#include <zlib.h>

#include <string>

namespace {

constexpr unsigned char CMF_DEFLATE_32K = 0x78;
constexpr unsigned char FLG_PRESET_DICTIONARY = 0x20;
constexpr unsigned HEADER_CHECK_DIVISOR = 31;
constexpr int BITS_PER_BYTE = 8;

// No archive stream asks for a preset dictionary: a stream that does is damaged data.
int AsFailure(int zcode) {
    return zcode == Z_NEED_DICT ? Z_DATA_ERROR : zcode;
}

Result::Code CodeOf(int zcode) {
    switch (zcode) {
        case Z_DATA_ERROR:
            return Result::DATA;
        case Z_MEM_ERROR:
            return Result::MEMORY;
        case Z_BUF_ERROR:
            return Result::BUFFER;
        case Z_STREAM_ERROR:
        case Z_VERSION_ERROR:  // the zlib loaded is not the one built against: nothing runs
        default:               // Z_ERRNO, which inflate and deflate never return
            return Result::STREAM;
    }
}

}  // namespace

Result ZlibResult(int zcode) {
    if (zcode == Z_OK || zcode == Z_STREAM_END) {
        return Result::OK;
    }
    zcode = AsFailure(zcode);
    const char* what = zcode == Z_BUF_ERROR    ? "stream cut short"
                       : zcode == Z_MEM_ERROR  ? "out of memory"
                       : zcode == Z_DATA_ERROR ? "damaged stream"
                                               : "stream failed";
    return Result(CodeOf(zcode),
                  FileNote("", std::string(what) + " (zlib: " + zError(zcode) + ")"));
}

bool IsPlainZlibHeader(const unsigned char* header) {
    const unsigned value = (static_cast<unsigned>(header[0]) << BITS_PER_BYTE) | header[1];
    return header[0] == CMF_DEFLATE_32K && (header[1] & FLG_PRESET_DICTIONARY) == 0 &&
           value % HEADER_CHECK_DIVISOR == 0;
}
