// File services: safe opening, lengths, identities, unique files and times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

FILE* OpenRegularFile(const char* path, bool* irregular) {
    *irregular = false;
    // O_NONBLOCK so that opening a FIFO cannot wait for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        *irregular = true;
        return nullptr;
    }
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return file;
}

int64_t FileLength(FILE* file) {
    struct stat st;
    if (fstat(fileno(file), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

void DeleteFile(const char* path) {
    unlink(path);
}

FileIdentity IdentifyFile(const char* path) {
    FileIdentity identity;
    struct stat st;
    if (lstat(path, &st) == 0) {
        identity.device = st.st_dev;
        identity.inode = st.st_ino;
        identity.exists = true;
    }
    return identity;
}

FILE* CreateUniqueFile(const std::string& dir, const char* prefix, std::string* path) {
    std::string name = dir + "/" + prefix + "XXXXXX";
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // mkstemp makes the file private; give it what any new file would get.
    mode_t mask = umask(0);
    umask(mask);
    FILE* file = fchmod(fd, 0666 & ~mask) == 0 ? fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        int saved = errno;
        close(fd);
        unlink(name.c_str());
        errno = saved;
        return nullptr;
    }
    *path = name;
    return file;
}

int SetLastWriteTime(int fd, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    return futimens(fd, times);
}

FILE* OpenEmptiedFile(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    FILE* file = nullptr;
    if (fstat(fd, &st) == 0 && (st.st_size == 0 || ftruncate(fd, 0) == 0)) {
        file = fdopen(fd, "wb");
    }
    if (file == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return file;
}

int64_t CopyFileRange(int inFd, int64_t offset, int outFd, int64_t size) {
    loff_t inOffset = static_cast<loff_t>(offset);
    return static_cast<int64_t>(
        copy_file_range(inFd, &inOffset, outFd, nullptr, static_cast<size_t>(size), 0));
}

bool KernelCopyUnavailable(int errnum) {
    return errnum == ENOSYS || errnum == EXDEV || errnum == EINVAL || errnum == EOPNOTSUPP;
}

bool IsNullDevice(FILE* stream) {
    struct stat target;
    struct stat null;
    return fstat(fileno(stream), &target) == 0 && stat("/dev/null", &null) == 0 &&
           S_ISCHR(target.st_mode) && S_ISCHR(null.st_mode) && target.st_rdev == null.st_rdev;
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
