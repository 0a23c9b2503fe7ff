// Pattern matching: a literal directory part and a last component matched like the shell.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/platform.h"

namespace {

bool HasWildcard(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    if (dir.back() == '/') {
        return dir + name;
    }
    return dir + "/" + name;
}

// Adds one candidate when it is a directory or a regular file (links followed).
// stat never opens the file, so FIFOs and devices cannot block here.
void ConsiderCandidate(const std::string& dir, const std::string& name,
                       std::vector<FoundFile>* found) {
    FoundFile file;
    file.name = name;
    file.path = JoinPath(dir, name);
    struct stat st;
    if (stat(file.path.c_str(), &st) != 0) {
        return;
    }
    file.isDirectory = S_ISDIR(st.st_mode);
    if (!file.isDirectory && !S_ISREG(st.st_mode)) {
        return;
    }
    file.size = static_cast<int64_t>(st.st_size);
    file.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    file.identity.device = st.st_dev;
    file.identity.inode = st.st_ino;
    file.identity.exists = true;
    found->push_back(file);
}

// A directory stream, closed with its owner.
using DirectoryStream = std::unique_ptr<DIR, int (*)(DIR*)>;

// Returns OK, or FAIL with errno (the directory not named).
Result ScanDirectory(const std::string& dir, const std::string& wildcard,
                     std::vector<FoundFile>* found) {
    const DirectoryStream stream(opendir(dir.empty() ? "." : dir.c_str()), closedir);
    if (!stream) {
        return ErrnoFailure(Result::FAIL, errno);
    }
    errno = 0;
    while (struct dirent* entry = readdir(stream.get())) {
        // FNM_PERIOD: like the shell, a wildcard never matches a leading dot.
        if (fnmatch(wildcard.c_str(), entry->d_name, FNM_PERIOD) == 0) {
            ConsiderCandidate(dir, entry->d_name, found);
        }
        errno = 0;
    }
    return errno == 0 ? Result::OK : ErrnoFailure(Result::FAIL, errno);
}

}  // namespace

Result FindMatches(const std::string& pattern, std::vector<FoundFile>* found) {
    found->clear();
    size_t slash = pattern.find_last_of('/');
    std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    std::string last = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (last.empty()) {
        return Result::OK;
    }
    if (HasWildcard(last)) {
        Result scanned = ScanDirectory(dir, last, found);
        if (!scanned.ok()) {
            return scanned.Naming(pattern);
        }
    } else {
        ConsiderCandidate(dir, last, found);
    }
    std::sort(found->begin(), found->end(),
              [](const FoundFile& a, const FoundFile& b) { return a.name < b.name; });
    return Result::OK;
}
