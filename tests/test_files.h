#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace serialtap::testing {

// What the program stores for the received bytes: each 0x0A as 0x0D 0x0A.
std::vector<std::uint8_t> expandLineEnds(const std::vector<std::uint8_t>& received);

std::vector<std::uint8_t> readFileBytes(const std::string& path);
bool fileExists(const std::string& path);

// Everything written to a stream so far.
std::string streamText(std::FILE* stream);

// A path in a fresh temporary folder, removed with the object.
class TempPath {
public:
    explicit TempPath(const std::string& name);
    ~TempPath();
    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
};

}  // namespace serialtap::testing
