// zlib's return codes in the program's terms.
#include "codec/zlib_codes.h"

#include <zlib.h>

namespace {

// No archive stream asks for a preset dictionary: a stream that does is damaged data.
int AsFailure(int zcode) {
    return zcode == Z_NEED_DICT ? Z_DATA_ERROR : zcode;
}

}  // namespace

Result FromZlib(int zcode) {
    switch (AsFailure(zcode)) {
        case Z_OK:
        case Z_STREAM_END:
            return Result::OK;
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

std::string StreamFailure(int zcode) {
    zcode = AsFailure(zcode);
    const char* what = zcode == Z_BUF_ERROR    ? "stream cut short"
                       : zcode == Z_MEM_ERROR  ? "out of memory"
                       : zcode == Z_DATA_ERROR ? "damaged stream"
                                               : "stream failed";
    return std::string(what) + " (zlib: " + zError(zcode) + ")";
}
