#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "capture/part_files.h"

namespace serialtap::part_files {

const char kFolderSeparators[] = "/";

Facts facts(const std::string& path) {
    Facts found;
    struct stat status {};
    // A link that leads nowhere is a link all the same: opening it would
    // make a file wherever it points.
    found.link = lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    if (stat(path.c_str(), &status) != 0) return found;
    found.exists = true;
    found.regular = S_ISREG(status.st_mode);
    found.size = static_cast<std::uint64_t>(status.st_size);
    found.modifiedUtcSeconds = static_cast<std::int64_t>(status.st_mtime);
    return found;
}

int renameFile(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    // A file system without the flag takes the look-then-rename below.
    if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
    struct stat status {};
    if (lstat(to.c_str(), &status) == 0) return EEXIST;
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int exchangeFiles(const std::string& one, const std::string& other) {
#ifdef RENAME_EXCHANGE
    if (renameat2(AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE) == 0) return 0;
    return errno == EINVAL || errno == ENOSYS ? kCannotExchange : errno;
#else
    (void)one;
    (void)other;
    return kCannotExchange;
#endif
}

int removeFile(const std::string& path) { return unlink(path.c_str()) == 0 ? 0 : errno; }

std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return names;
    // One thread reads the folder: readdir_r, which is deprecated, buys nothing.
    // cppcheck-suppress readdirCalled
    while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
    closedir(dir);
    return names;
}

int syncFolder(const std::string& folder) {
    int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int code = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return code;
}

}  // namespace serialtap::part_files
