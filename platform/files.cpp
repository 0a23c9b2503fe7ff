// File services: opening by descriptor, reading and writing whole buffers, identities,
// temporary files that live through their descriptor, permissions and times.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace {

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity identity;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.exists = true;
    return identity;
}

// Random letters in a temporary file's name, and how many names to try.
constexpr size_t TEMP_SUFFIX_LENGTH = 6;
constexpr int TEMP_ATTEMPTS = 100;

// What a replacement keeps of the file it replaces: read, write and execute for all,
// not the set-id bits, which must not pass to content from an archive.
constexpr mode_t PERMISSION_BITS = 0777;

// True while the temporary file's name still refers to the file created: another user
// who can write to the directory may have put something else there meanwhile.
bool StillNamed(const TempFile& temp) {
    return SameFile(StatusOfPath(temp.path.c_str()).identity, temp.identity);
}

}  // namespace

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

int OpenRegularFile(const char* path, OpenedFile* file) {
    // O_NONBLOCK so that opening a FIFO cannot wait for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int failure = errno;
        close(fd);
        return failure;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return NOT_REGULAR;
    }
    file->fd = fd;
    file->identity = IdentityOf(st);
    file->length = static_cast<int64_t>(st.st_size);
    return 0;
}

void CloseReadOnly(int fd) {
    // Nothing was written through it, so nothing can be lost by a failed close.
    close(fd);
}

int64_t ReadFullAt(int fd, void* buffer, size_t size, int64_t offset) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, bytes + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(got);
}

int WriteAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return ENOSPC;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

PathStatus StatusOfPath(const char* path) {
    PathStatus status;
    struct stat st;
    if (lstat(path, &st) != 0) {
        return status;
    }
    status.identity = IdentityOf(st);
    status.size = static_cast<int64_t>(st.st_size);
    status.mode = st.st_mode;
    status.owner = st.st_uid;
    status.group = st.st_gid;
    if (S_ISLNK(st.st_mode)) {
        status.kind = PathKind::LINK;
    } else if (S_ISREG(st.st_mode)) {
        status.kind = PathKind::REGULAR;
    } else {
        status.kind = PathKind::OTHER;
    }
    return status;
}

int CreateTempFile(const std::string& dir, const char* prefix, TempFile* temp) {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[TEMP_SUFFIX_LENGTH];
    int fd = -1;
    std::string name;
    // O_EXCL makes the name ours whoever guesses it; the kernel applies the umask.
    for (int attempt = 0; fd < 0; ++attempt) {
        if (attempt == TEMP_ATTEMPTS) {
            return EEXIST;
        }
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return errno;
        }
        name = dir + "/" + prefix;
        for (unsigned char byte : random) {
            name += LETTERS[byte % (sizeof LETTERS - 1)];
        }
        fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return errno;
        }
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int failure = errno;
        close(fd);
        unlink(name.c_str());
        return failure;
    }
    temp->path = name;
    temp->fd = fd;
    temp->identity = IdentityOf(st);
    return 0;
}

int CloseTempFile(TempFile* temp) {
    int fd = temp->fd;
    temp->fd = -1;
    // A full disk may show only here (on network file systems).
    return fd >= 0 && close(fd) != 0 ? errno : 0;
}

int RenameTempFile(TempFile* temp, const char* target) {
    // What was written went into the descriptor's file, never into a stranger's, and a
    // stranger's is not given the target's name either.
    if (!StillNamed(*temp)) {
        return TEMP_REPLACED;
    }
    // rename replaces a link at target itself, never the file it points to.
    if (rename(temp->path.c_str(), target) != 0) {
        return errno;
    }
    temp->path.clear();
    return 0;
}

void RemoveTempFile(TempFile* temp) {
    if (temp->fd >= 0) {
        close(temp->fd);
        temp->fd = -1;
    }
    // Only what this run created is removed.
    if (!temp->path.empty() && StillNamed(*temp)) {
        unlink(temp->path.c_str());
    }
    temp->path.clear();
}

int TakePermissionsOf(int fd, const PathStatus& old) {
    if (old.kind != PathKind::REGULAR) {
        return 0;
    }
    // Owner first: changing it clears set-id bits, and only root may give a file away.
    if (geteuid() == 0 && fchown(fd, old.owner, old.group) != 0) {
        return errno;
    }
    return fchmod(fd, old.mode & PERMISSION_BITS) == 0 ? 0 : errno;
}

int SetLastWriteTime(int fd, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    return futimens(fd, times) == 0 ? 0 : errno;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}
