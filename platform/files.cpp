// File services: opening by descriptor, reading and writing whole buffers, identities
// and versions, directories held by descriptor, temporary files that are private from
// birth and live through their descriptor, and times.
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/platform.h"
#include "platform/state.h"

namespace {

FileIdentity IdentityOf(const struct stat& st) {
    FileIdentity identity;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.exists = true;
    return identity;
}

FileVersion VersionFrom(const struct stat& st) {
    FileVersion version;
    version.size = static_cast<int64_t>(st.st_size);
    version.modified = st.st_mtim;
    version.changed = st.st_ctim;
    return version;
}

PathKind KindOf(mode_t mode) {
    return S_ISLNK(mode)   ? PathKind::LINK
           : S_ISREG(mode) ? PathKind::REGULAR
           : S_ISDIR(mode) ? PathKind::DIRECTORY
                           : PathKind::OTHER;
}

PathStatus StatusAtFd(int dirFd, const std::string& name) {
    PathStatus status;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return status;
    }
    status.kind = KindOf(st.st_mode);
    status.identity = IdentityOf(st);
    status.size = static_cast<int64_t>(st.st_size);
    status.mode = st.st_mode;
    status.owner = st.st_uid;
    status.group = st.st_gid;
    return status;
}

// Random letters in a temporary file's name, and how many names to try.
constexpr size_t TEMP_SUFFIX_LENGTH = 6;
constexpr int TEMP_ATTEMPTS = 100;
// Nobody but this run may open a file it is still writing.
constexpr mode_t PRIVATE_MODE = 0600;
constexpr mode_t NEW_FILE_MODE = 0666;

// What a replacement keeps of the file it replaces: read, write and execute for all,
// not the set-id bits, which must not pass to content from an archive.
constexpr mode_t PERMISSION_BITS = 0777;

// Opens with O_NONBLOCK, so that opening a FIFO cannot wait for a writer.
int OpenRegular(int dirFd, const char* path, int flags, OpenedFile* file) {
    int fd = openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0 && errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
        return NOT_REGULAR;
    }
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
    file->version = VersionFrom(st);
    return 0;
}

// Renames from over to in dirFd; when exclusive, never over an existing file.
// Returns 0, or -1 with errno set.
int RenameAt(int dirFd, const std::string& from, const std::string& to, bool exclusive) {
    int renamed =
        renameat2(dirFd, from.c_str(), dirFd, to.c_str(), exclusive ? RENAME_NOREPLACE : 0);
    if (renamed != 0 && errno == EINVAL && exclusive) {
        // File systems without RENAME_NOREPLACE (NFS): a new link is as exclusive. The
        // name left behind, should its removal fail, is still the owner's to remove.
        renamed = linkat(dirFd, from.c_str(), dirFd, to.c_str(), 0);
        if (renamed == 0) {
            unlinkat(dirFd, from.c_str(), 0);
        }
    }
    return renamed;
}

int ExchangeAt(int dirFd, const std::string& a, const std::string& b) {
    return renameat2(dirFd, a.c_str(), dirFd, b.c_str(), RENAME_EXCHANGE);
}

}  // namespace

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

int OpenRegularFile(const char* path, OpenedFile* file) {
    return OpenRegular(AT_FDCWD, path, 0, file);
}

int OpenRegularFileAt(const DirectoryHandle& dir, const std::string& name, OpenedFile* file) {
    return OpenRegular(dir.fd(), name.c_str(), O_NOFOLLOW, file);
}

bool OwnedByRunOrDirectory(const DirectoryHandle& dir, const PathStatus& target) {
    return target.owner == geteuid() || target.owner == dir.Owner();
}

void CloseReadOnly(int fd) {
    // Nothing was written through it, so nothing can be lost by a failed close.
    close(fd);
}

int VersionOf(int fd, FileVersion* version) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    *version = VersionFrom(st);
    return 0;
}

bool SameVersion(const FileVersion& a, const FileVersion& b) {
    return a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
           a.modified.tv_nsec == b.modified.tv_nsec && a.changed.tv_sec == b.changed.tv_sec &&
           a.changed.tv_nsec == b.changed.tv_nsec;
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

DirectoryHandle::~DirectoryHandle() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

int DirectoryHandle::Open(const std::string& path) {
    int opened = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (opened < 0 || fstat(opened, &st) != 0) {
        int failure = errno;
        if (opened >= 0) {
            close(opened);
        }
        return failure;
    }
    m_fd = opened;
    m_shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    m_owner = st.st_uid;
    return 0;
}

PathStatus StatusAt(const DirectoryHandle& dir, const std::string& name) {
    return StatusAtFd(dir.fd(), name);
}

TempFile::~TempFile() {
    Remove();
}

TempFile::TempFile(TempFile&& other) noexcept
    : m_dirFd(other.m_dirFd),
      m_fd(std::exchange(other.m_fd, -1)),
      m_name(std::move(other.m_name)),
      m_target(std::move(other.m_target)),
      m_identity(other.m_identity) {
    other.m_name.clear();
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        Remove();
        m_dirFd = other.m_dirFd;
        m_fd = std::exchange(other.m_fd, -1);
        m_name = std::move(other.m_name);
        other.m_name.clear();
        m_target = std::move(other.m_target);
        m_identity = other.m_identity;
    }
    return *this;
}

int TempFile::Create(const DirectoryHandle& dir, const char* prefix) {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    Remove();
    unsigned char random[TEMP_SUFFIX_LENGTH];
    int created = -1;
    std::string candidate;
    // O_EXCL makes the name ours whoever guesses it.
    for (int attempt = 0; created < 0; ++attempt) {
        if (attempt == TEMP_ATTEMPTS) {
            return EEXIST;
        }
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return errno;
        }
        candidate = prefix;
        for (unsigned char byte : random) {
            candidate += LETTERS[byte % (sizeof LETTERS - 1)];
        }
        created = openat(dir.fd(), candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                         PRIVATE_MODE);
        if (created < 0 && errno != EEXIST) {
            return errno;
        }
    }
    struct stat st;
    if (fstat(created, &st) != 0) {
        int failure = errno;
        close(created);
        unlinkat(dir.fd(), candidate.c_str(), 0);
        return failure;
    }
    m_dirFd = dir.fd();
    m_fd = created;
    m_name = candidate;
    m_identity = IdentityOf(st);
    return 0;
}

int TempFile::TakeFinalPermissions(const PathStatus& target) const {
    if (target.kind != PathKind::REGULAR) {
        return fchmod(m_fd, NEW_FILE_MODE & ~g_umask) == 0 ? 0 : errno;
    }
    // Owner first: changing it clears set-id bits, and only root may give a file away.
    if (geteuid() == 0 && fchown(m_fd, target.owner, target.group) != 0) {
        return errno;
    }
    return fchmod(m_fd, target.mode & PERMISSION_BITS) == 0 ? 0 : errno;
}

int TempFile::Close() {
    int closing = std::exchange(m_fd, -1);
    // A full disk may show only here (on network file systems).
    return closing >= 0 && close(closing) != 0 ? errno : 0;
}

RenameOutcome TempFile::PutInPlace(const std::string& target, bool targetAbsent, int* errnum,
                                   PathStatus* found) {
    // What was written went into the descriptor's file, never into a stranger's, and a
    // stranger's is not given the target's name either.
    *found = StatusAtFd(m_dirFd, m_name);
    if (!SameFile(found->identity, m_identity)) {
        return found->kind == PathKind::ABSENT ? RenameOutcome::TEMP_REMOVED
                                               : RenameOutcome::TEMP_REPLACED;
    }
    if (!targetAbsent) {
        // An exchange keeps what was at the target under the temporary name, so that a
        // file put there since it was examined is never destroyed unseen.
        if (ExchangeAt(m_dirFd, m_name, target) == 0) {
            m_target = target;
            *found = StatusAtFd(m_dirFd, m_name);
            return RenameOutcome::EXCHANGED;
        }
        // Gone since it was examined: the name is free, and taken only while it is.
        targetAbsent = errno == ENOENT;
        if (errno != EINVAL && errno != ENOENT) {
            *errnum = errno;
            return RenameOutcome::FAILED;
        }
    }
    // A rename replaces a link at target itself, never the file it points to.
    if (RenameAt(m_dirFd, m_name, target, targetAbsent) != 0) {
        *errnum = errno;
        if (*errnum == EEXIST && targetAbsent) {
            *found = StatusAtFd(m_dirFd, target);
            return RenameOutcome::TARGET_APPEARED;
        }
        return RenameOutcome::FAILED;
    }
    return ConfirmTarget(target, found);
}

RenameOutcome TempFile::KeepExchange(const PathStatus& replaced, int* errnum, PathStatus* found) {
    // Only the file examined and found there is removed; anything else is left alone.
    if (SameFile(StatusAtFd(m_dirFd, m_name).identity, replaced.identity) &&
        unlinkat(m_dirFd, m_name.c_str(), 0) != 0) {
        *errnum = errno;
        return RenameOutcome::FAILED;
    }
    m_name.clear();
    return ConfirmTarget(m_target, found);
}

int TempFile::UndoExchange() {
    if (ExchangeAt(m_dirFd, m_name, m_target) != 0) {
        const int failure = errno;
        m_name.clear();  // it names what was found now, which is not this run's to remove
        return failure;
    }
    return 0;
}

RenameOutcome TempFile::ConfirmTarget(const std::string& target, PathStatus* found) {
    // A second link left by the fallback still names the file: removed with the owner.
    if (!SameFile(StatusAtFd(m_dirFd, m_name).identity, m_identity)) {
        m_name.clear();
    }
    // Someone who could exchange the names between the check and the rename would
    // have had their own file renamed: what the target holds now tells.
    *found = StatusAtFd(m_dirFd, target);
    return SameFile(found->identity, m_identity) ? RenameOutcome::DONE
                                                 : RenameOutcome::TARGET_NOT_OURS;
}

void TempFile::Remove() {
    Close();
    // Only what this run created is removed, and a name it cannot remove is told.
    if (!m_name.empty() && SameFile(StatusAtFd(m_dirFd, m_name).identity, m_identity) &&
        unlinkat(m_dirFd, m_name.c_str(), 0) != 0) {
        const std::string reason = "temporary file not removed: " + std::string(strerror(errno));
        NoteFile(m_name.c_str(), reason.c_str());
    }
    m_name.clear();
}

int EmptyFile(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        return errno;
    }
    return 0;
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

std::string BaseNameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return base.empty() ? "." : base;
}
