#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The platform's calls on the files and folder of a rotated capture. Each
// gives 0 or the system's error code.
namespace serialtap::part_files {

// POSIX renames a file that is open; Windows needs it closed first.
extern const bool kRenamesOpenFiles;
// The characters that end a folder in a path.
extern const char kFolderSeparators[];

struct Facts {
    bool exists = false;
    bool regular = false;
    std::uint64_t size = 0;
    std::int64_t modifiedUtcSeconds = 0;
};

Facts facts(const std::string& path);
int renameFile(const std::string& from, const std::string& to);
int removeFile(const std::string& path);
// The names of the files in the folder: a path that ends in a separator,
// or "" for the current folder.
std::vector<std::string> folderNames(const std::string& folder);
// Makes the folder's entries durable: a new or renamed file survives a
// power cut under its new name.
int syncFolder(const std::string& folder);

}  // namespace serialtap::part_files
