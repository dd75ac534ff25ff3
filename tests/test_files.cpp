#include "tests/test_files.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace serialtap::testing {

std::vector<std::uint8_t> expandLineEnds(const std::vector<std::uint8_t>& received) {
    std::vector<std::uint8_t> stored;
    for (std::uint8_t byte : received) {
        if (byte == 0x0A) stored.push_back(0x0D);
        stored.push_back(byte);
    }
    return stored;
}

std::vector<std::uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

std::string streamText(std::FILE* stream) {
    std::fflush(stream);
    long end = std::ftell(stream);
    std::string text(static_cast<std::size_t>(end), '\0');
    std::rewind(stream);
    std::size_t got = std::fread(text.data(), 1, text.size(), stream);
    text.resize(got);
    std::fseek(stream, 0, SEEK_END);
    return text;
}

TempPath::TempPath(const std::string& name) {
    static std::atomic<int> counter{0};
    auto folder = std::filesystem::temp_directory_path() /
                  ("serialtap-test-" + std::to_string(std::random_device{}()) + "-" +
                   std::to_string(counter++));
    std::filesystem::create_directories(folder);
    folder_ = folder.string();
    path_ = (folder / name).string();
}

TempPath::~TempPath() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace serialtap::testing
