// Preloaded into a run, this stands between tovra and the kernel's renames and
// removals, to stage at the worst moment what a race or an odd file system does.
// TOVRA_SHIM lists, comma-separated, what to do:
//   plant=NAME     just before the first rename onto NAME, another file takes NAME
//   scribble=NAME  just before the first rename onto NAME, the file there is rewritten
//   fail=NAME      every rename onto NAME fails with ENOSPC
//   noexchange     exchanges are refused (EINVAL), as where the file system has none
//   nonoreplace    renames that must not replace are refused (EINVAL), as on NFS
//   stuckunlink=N  the first N removals of a temporary name fail with EBUSY
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using RenameFunction = int (*)(int, const char*, int, const char*, unsigned int);
using UnlinkFunction = int (*)(int, const char*, int);

// The value of key in TOVRA_SHIM ("" when given bare), or null when absent.
const char* Setting(const char* key, std::string* value) {
    const char* all = getenv("TOVRA_SHIM");
    const std::string settings = all != nullptr ? std::string(",") + all + "," : "";
    const std::string bare = std::string(",") + key + ",", keyed = std::string(",") + key + "=";
    if (settings.find(bare) != std::string::npos) {
        *value = "";
        return "";
    }
    const size_t at = settings.find(keyed);
    if (at == std::string::npos) {
        return nullptr;
    }
    const size_t start = at + keyed.size();
    *value = settings.substr(start, settings.find(',', start) - start);
    return value->c_str();
}

bool Names(const char* key, const char* path) {
    std::string value;
    return Setting(key, &value) != nullptr && value == path;
}

bool Has(const char* key) {
    std::string value;
    return Setting(key, &value) != nullptr;
}

RenameFunction RealRename() {
    static auto real = reinterpret_cast<RenameFunction>(dlsym(RTLD_NEXT, "renameat2"));
    return real;
}

// Another file, made beside the target and renamed over it.
void Plant(int dirFd, const char* target) {
    const int fd = openat(dirFd, ".planted", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, "planted", 7) != 7 || close(fd) != 0 ||
        RealRename()(dirFd, ".planted", dirFd, target, 0) != 0) {
        abort();
    }
}

// The file at target, the same one, rewritten.
void Scribble(int dirFd, const char* target) {
    const int fd = openat(dirFd, target, O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, "planted", 7) != 7 || close(fd) != 0) {
        abort();
    }
}

}  // namespace

extern "C" int renameat2(int oldDirFd, const char* oldPath, int newDirFd, const char* newPath,
                         unsigned int flags) noexcept {
    static bool staged = false;
    if (!staged && Names("plant", newPath)) {
        staged = true;
        Plant(newDirFd, newPath);
    }
    if (!staged && Names("scribble", newPath)) {
        staged = true;
        Scribble(newDirFd, newPath);
    }
    if (Names("fail", newPath)) {
        errno = ENOSPC;
        return -1;
    }
    if (((flags & RENAME_EXCHANGE) != 0 && Has("noexchange")) ||
        ((flags & RENAME_NOREPLACE) != 0 && Has("nonoreplace"))) {
        errno = EINVAL;
        return -1;
    }
    return RealRename()(oldDirFd, oldPath, newDirFd, newPath, flags);
}

extern "C" int unlinkat(int dirFd, const char* path, int flags) noexcept {
    static auto real = reinterpret_cast<UnlinkFunction>(dlsym(RTLD_NEXT, "unlinkat"));
    static int stuck = -1;
    std::string value;
    if (stuck < 0) {
        stuck = Setting("stuckunlink", &value) != nullptr ? atoi(value.c_str()) : 0;
    }
    if (stuck > 0 && strncmp(path, ".tovra-", 7) == 0) {
        --stuck;
        errno = EBUSY;
        return -1;
    }
    return real(dirFd, path, flags);
}
