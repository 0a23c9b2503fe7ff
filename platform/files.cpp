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

// What a replacement keeps of the file it replaces: read, write and execute for all,
// not the set-id bits, which must not pass to content from an archive.
constexpr mode_t PERMISSION_BITS = 0777;

// Opens with O_NONBLOCK, so that opening a FIFO cannot wait for a writer.
Result OpenRegular(int dirFd, const char* path, int flags, OpenedFile* file) {
    Result notRegular(Result::DAMAGED, FileNote(path, "not a regular file"));
    Descriptor fd(openat(dirFd, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
    if (!fd.IsOpen() && errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
        return notRegular;
    }
    struct stat st;
    if (!fd.IsOpen() || fstat(fd.get(), &st) != 0) {
        return Result(Result::OPEN, ErrnoNote(path, errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return notRegular;
    }
    file->fd = std::move(fd);
    file->identity = IdentityOf(st);
    file->length = static_cast<int64_t>(st.st_size);
    file->version = VersionFrom(st);
    return Result::OK;
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

Descriptor::~Descriptor() {
    // What is closed here was only read, or is being discarded: nothing can be lost by
    // a failed close.
    if (m_fd >= 0) {
        close(m_fd);
    }
}

Descriptor::Descriptor(Descriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        Descriptor old(std::exchange(m_fd, std::exchange(other.m_fd, -1)));
    }
    return *this;
}

Result Descriptor::Close() {
    const int closing = std::exchange(m_fd, -1);
    return closing >= 0 && close(closing) != 0 ? ErrnoFailure(Result::FAIL, errno) : Result::OK;
}

int Descriptor::Release() {
    return std::exchange(m_fd, -1);
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

Result OpenRegularFile(const char* path, OpenedFile* file) {
    return OpenRegular(AT_FDCWD, path, 0, file);
}

Result OpenRegularFileAt(const DirectoryHandle& dir, const std::string& name, OpenedFile* file) {
    return OpenRegular(dir.fd(), name.c_str(), O_NOFOLLOW, file);
}

bool OwnedByRunOrDirectory(const DirectoryHandle& dir, const PathStatus& target) {
    return target.owner == geteuid() || target.owner == dir.Owner();
}

Result VersionOf(int fd, FileVersion* version) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return ErrnoFailure(Result::OPEN, errno);
    }
    *version = VersionFrom(st);
    return Result::OK;
}

bool SameVersion(const FileVersion& a, const FileVersion& b) {
    return a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
           a.modified.tv_nsec == b.modified.tv_nsec && a.changed.tv_sec == b.changed.tv_sec &&
           a.changed.tv_nsec == b.changed.tv_nsec;
}

Result ReadFullAt(int fd, void* buffer, size_t size, int64_t offset, size_t* got) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    *got = 0;
    while (*got < size) {
        ssize_t n = pread(fd, bytes + *got, size - *got, static_cast<off_t>(offset + *got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ErrnoFailure(Result::FAIL, errno);
        }
        if (n == 0) {
            break;
        }
        *got += static_cast<size_t>(n);
    }
    return Result::OK;
}

namespace {

// Writes all size bytes at offset, or at the descriptor's position when offset is
// negative.
Result WriteWhole(int fd, const void* data, size_t size, int64_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = offset < 0 ? write(fd, bytes, size)
                               : pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return ErrnoFailure(Result::FAIL, errno);
        }
        if (n == 0) {
            return ErrnoFailure(Result::FAIL, ENOSPC);
        }
        bytes += n;
        size -= static_cast<size_t>(n);
        offset += offset < 0 ? 0 : n;
    }
    return Result::OK;
}

}  // namespace

Result WriteAll(int fd, const void* data, size_t size) {
    return WriteWhole(fd, data, size, -1);
}

Result WriteAllAt(int fd, const void* data, size_t size, int64_t offset) {
    return WriteWhole(fd, data, size, offset);
}

Result DirectoryHandle::Open(const std::string& path) {
    Descriptor opened(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!opened.IsOpen() || fstat(opened.get(), &st) != 0) {
        return ErrnoFailure(Result::OPEN, errno);
    }
    m_fd = std::move(opened);
    m_shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    m_owner = st.st_uid;
    return Result::OK;
}

PathStatus StatusAt(const DirectoryHandle& dir, const std::string& name) {
    return StatusAtFd(dir.fd(), name);
}

TempFile::~TempFile() {
    Remove();
}

TempFile::TempFile(TempFile&& other) noexcept
    : m_dirFd(other.m_dirFd),
      m_report(other.m_report),
      m_fd(std::move(other.m_fd)),
      m_name(std::move(other.m_name)),
      m_target(std::move(other.m_target)),
      m_identity(other.m_identity) {
    other.m_name.clear();
}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
    if (this != &other) {
        Remove();
        m_dirFd = other.m_dirFd;
        m_report = other.m_report;
        m_fd = std::move(other.m_fd);
        m_name = std::move(other.m_name);
        other.m_name.clear();
        m_target = std::move(other.m_target);
        m_identity = other.m_identity;
    }
    return *this;
}

Result TempFile::Create(const DirectoryHandle& dir, const char* prefix, Report* report) {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    Remove();
    unsigned char random[TEMP_SUFFIX_LENGTH];
    Descriptor created;
    std::string candidate;
    // O_EXCL makes the name ours whoever guesses it.
    for (int attempt = 0; !created.IsOpen(); ++attempt) {
        if (attempt == TEMP_ATTEMPTS) {
            return ErrnoFailure(Result::OPEN, EEXIST);
        }
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return ErrnoFailure(Result::OPEN, errno);
        }
        candidate = prefix;
        for (unsigned char byte : random) {
            candidate += LETTERS[byte % (sizeof LETTERS - 1)];
        }
        created = Descriptor(openat(dir.fd(), candidate.c_str(),
                                    O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, PRIVATE_MODE));
        if (!created.IsOpen() && errno != EEXIST) {
            return ErrnoFailure(Result::OPEN, errno);
        }
    }
    struct stat st;
    if (fstat(created.get(), &st) != 0) {
        const int failure = errno;
        unlinkat(dir.fd(), candidate.c_str(), 0);
        return ErrnoFailure(Result::OPEN, failure);
    }
    m_dirFd = dir.fd();
    m_report = report;
    m_fd = std::move(created);
    m_name = candidate;
    m_identity = IdentityOf(st);
    return Result::OK;
}

Result TempFile::TakeFinalPermissions(const PathStatus& target, mode_t newFileMode) const {
    if (target.kind != PathKind::REGULAR) {
        return fchmod(m_fd.get(), newFileMode) == 0 ? Result::OK
                                                    : ErrnoFailure(Result::OPEN, errno);
    }
    // Owner first: changing it clears set-id bits, and only root may give a file away.
    if (geteuid() == 0 && fchown(m_fd.get(), target.owner, target.group) != 0) {
        return ErrnoFailure(Result::OPEN, errno);
    }
    return fchmod(m_fd.get(), target.mode & PERMISSION_BITS) == 0
               ? Result::OK
               : ErrnoFailure(Result::OPEN, errno);
}

Result TempFile::Close() {
    return m_fd.Close();
}

bool TempFile::Is(const PathStatus& status) const {
    return SameFile(status.identity, m_identity);
}

PathStatus TempFile::AtItsName() const {
    return StatusAtFd(m_dirFd, m_name);
}

Result TempFile::ExchangeWith(const std::string& target) {
    if (ExchangeAt(m_dirFd, m_name, target) != 0) {
        return ErrnoFailure(Result::OPEN, errno);
    }
    m_target = target;
    return Result::OK;
}

Result TempFile::UndoExchange() {
    if (ExchangeAt(m_dirFd, m_name, m_target) != 0) {
        const int failure = errno;
        m_name.clear();  // it names what was found now, which is not this run's to remove
        return ErrnoFailure(Result::OPEN, failure);
    }
    return Result::OK;
}

Result TempFile::RemoveReplaced(const PathStatus& replaced) {
    // Only the file examined and found there is removed; anything else is left alone.
    if (SameFile(AtItsName().identity, replaced.identity) &&
        unlinkat(m_dirFd, m_name.c_str(), 0) != 0) {
        return ErrnoFailure(Result::OPEN, errno);
    }
    m_name.clear();
    return Result::OK;
}

Result TempFile::RenameTo(const std::string& target, bool exclusive) {
    if (RenameAt(m_dirFd, m_name, target, exclusive) != 0) {
        return ErrnoFailure(Result::OPEN, errno);
    }
    // A second link left by the fallback still names the file: removed with the owner.
    if (!Is(AtItsName())) {
        m_name.clear();
    }
    return Result::OK;
}

void TempFile::Remove() {
    m_fd = Descriptor();
    // Only what this run created is removed, and a name it cannot remove is told.
    if (!m_name.empty() && Is(AtItsName()) && unlinkat(m_dirFd, m_name.c_str(), 0) != 0 &&
        m_report != nullptr) {
        Note note = ErrnoNote(m_name, errno);
        note.reason = "temporary file not removed";
        m_report->Warn(note);
    }
    m_name.clear();
}

Result EmptyFile(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        return ErrnoFailure(Result::FAIL, errno);
    }
    return Result::OK;
}

Result SetLastWriteTime(int fd, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    return futimens(fd, times) == 0 ? Result::OK : ErrnoFailure(Result::FAIL, errno);
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
