#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The platform's calls on the files and folder of a rotated capture. Each
// gives 0 or the system's error code.
namespace serialtap::part_files {

// The characters that end a folder in a path.
extern const char kFolderSeparators[];

struct Facts {
    bool exists = false;
    bool regular = false;
    bool link = false;  // the path itself is a symbolic link (not followed)
    std::uint64_t size = 0;
    std::int64_t modifiedUtcSeconds = 0;
};

Facts facts(const std::string& path);
// Never replaces a file that has the new name (then EEXIST or its Windows twin).
int renameFile(const std::string& from, const std::string& to);
// Swaps the two names in one step, so that neither is ever free; gives
// kCannotExchange where the system or the file system has no such step.
int exchangeFiles(const std::string& one, const std::string& other);
constexpr int kCannotExchange = -1;
int removeFile(const std::string& path);
// The names of the files in the folder: a path that ends in a separator,
// or "" for the current folder.
std::vector<std::string> folderNames(const std::string& folder);
// Makes the folder's entries durable: a new or renamed file survives a
// power cut under its new name.
int syncFolder(const std::string& folder);
// The folder part of a path, with its separator; "" for a bare name.
inline std::string folderOf(const std::string& path) {
    const std::size_t cut = path.find_last_of(kFolderSeparators);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace serialtap::part_files
