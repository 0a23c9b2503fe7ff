// The limit: what packing and unpacking physically need with the same zlib, and
// nothing else. Packing deflates each file at level 6 into back-to-back zlib streams
// in one output file; unpacking inflates them back into the files. Large buffers,
// plain system calls, one library state reused for every stream.
//
// Usage: tovra_limit pack OUTPUT FILE...
//        tovra_limit unpack INPUT LIST   (LIST: one "size name" line per stream)
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t BUFFER_SIZE = 1 << 20;
constexpr int LEVEL = 6;

unsigned char g_in[BUFFER_SIZE];
unsigned char g_out[BUFFER_SIZE];

bool WriteAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool Drain(z_stream* stream, int fd) {
    size_t produced = BUFFER_SIZE - stream->avail_out;
    stream->next_out = g_out;
    stream->avail_out = BUFFER_SIZE;
    return WriteAll(fd, g_out, produced);
}

bool DeflateFile(z_stream* stream, const char* path, int out) {
    int in = open(path, O_RDONLY);
    if (in < 0) {
        perror(path);
        return false;
    }
    int flush = Z_NO_FLUSH;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream->avail_in == 0 && flush == Z_NO_FLUSH) {
            ssize_t got = read(in, g_in, BUFFER_SIZE);
            if (got < 0) {
                perror(path);
                close(in);
                return false;
            }
            stream->next_in = g_in;
            stream->avail_in = static_cast<uInt>(got);
            flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        }
        status = deflate(stream, flush);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            fprintf(stderr, "%s: deflate %d\n", path, status);
            close(in);
            return false;
        }
        if ((stream->avail_out == 0 || status == Z_STREAM_END) && !Drain(stream, out)) {
            perror("write");
            close(in);
            return false;
        }
    }
    close(in);
    return deflateReset(stream) == Z_OK;
}

int Pack(const char* output, int count, char** paths) {
    int out = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        perror(output);
        return 1;
    }
    z_stream stream{};
    if (deflateInit(&stream, LEVEL) != Z_OK) {
        return 1;
    }
    stream.next_out = g_out;
    stream.avail_out = BUFFER_SIZE;
    for (int i = 0; i < count; ++i) {
        if (!DeflateFile(&stream, paths[i], out)) {
            return 1;
        }
    }
    deflateEnd(&stream);
    return close(out) == 0 ? 0 : 1;
}

// Inflates one stream, whose start may already wait in the input buffer.
bool InflateFile(z_stream* stream, int in, const std::string& name, long long size) {
    int out = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        perror(name.c_str());
        return false;
    }
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (stream->avail_in == 0) {
            ssize_t got = read(in, g_in, BUFFER_SIZE);
            if (got <= 0) {
                fprintf(stderr, "%s: input ends early\n", name.c_str());
                return false;
            }
            stream->next_in = g_in;
            stream->avail_in = static_cast<uInt>(got);
        }
        status = inflate(stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            fprintf(stderr, "%s: inflate %d\n", name.c_str(), status);
            return false;
        }
        if ((stream->avail_out == 0 || status == Z_STREAM_END) && !Drain(stream, out)) {
            perror(name.c_str());
            return false;
        }
    }
    bool whole = static_cast<long long>(stream->total_out) == size;
    if (!whole) {
        fprintf(stderr, "%s: %lu bytes, expected %lld\n", name.c_str(), stream->total_out, size);
    }
    return close(out) == 0 && whole && inflateReset(stream) == Z_OK;
}

int Unpack(const char* input, const char* listPath) {
    FILE* list = fopen(listPath, "r");
    int in = open(input, O_RDONLY);
    if (list == nullptr || in < 0) {
        perror(list == nullptr ? listPath : input);
        return 1;
    }
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return 1;
    }
    stream.next_out = g_out;
    stream.avail_out = BUFFER_SIZE;
    long long size = 0;
    char name[256];
    while (fscanf(list, "%lld %255s", &size, name) == 2) {
        if (!InflateFile(&stream, in, name, size)) {
            return 1;
        }
    }
    inflateEnd(&stream);
    fclose(list);
    close(in);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "pack") == 0) {
        return Pack(argv[2], argc - 3, argv + 3);
    }
    if (argc == 4 && strcmp(argv[1], "unpack") == 0) {
        return Unpack(argv[2], argv[3]);
    }
    fprintf(stderr, "usage: tovra_limit pack OUTPUT FILE... | unpack INPUT LIST\n");
    return 2;
}
