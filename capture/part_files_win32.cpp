#include <windows.h>

#include "capture/part_files.h"

namespace serialtap::part_files {

const char kFolderSeparators[] = "/\\:";

namespace {

int lastError() { return static_cast<int>(GetLastError()); }

// 100-nanosecond ticks from 1601 to 1970.
constexpr std::int64_t kTicksTo1970 = 116444736000000000LL;

}  // namespace

Facts facts(const std::string& path) {
    Facts found;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return found;
    found.exists = true;
    found.regular = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    found.link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    found.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::int64_t ticks = (static_cast<std::int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
    found.modifiedUtcSeconds = (ticks - kTicksTo1970) / 10000000;
    return found;
}

int renameFile(const std::string& from, const std::string& to) {
    // Written through: the rename is on the disk when the call returns.
    // Without MOVEFILE_REPLACE_EXISTING a file with the new name stays.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : lastError();
}

int exchangeFiles(const std::string&, const std::string&) { return kCannotExchange; }

int removeFile(const std::string& path) { return DeleteFileA(path.c_str()) ? 0 : lastError(); }

std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    std::string pattern = folder.empty() ? std::string(".\\*") : folder + "*";
    WIN32_FIND_DATAA entry{};
    HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        names.emplace_back(entry.cFileName);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return names;
}

// A folder's entries are written through by the rename itself; a created
// file's entry goes with the file's own flush.
int syncFolder(const std::string&) { return 0; }

}  // namespace serialtap::part_files
