#include "tools/content_source.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace serialtap::device {

std::string defaultLine(std::uint64_t index) {
    constexpr int kDigits = 6;
    constexpr int kLineCharacters = 80;
    constexpr char kFirstPrintable = '!';
    constexpr int kPrintableCount = '~' - '!' + 1;
    char number[kDigits + 2] = {};
    std::snprintf(number, sizeof number, "%06llu ",
                  static_cast<unsigned long long>(index % 1000000));
    std::string line(number);
    for (int i = 0; static_cast<int>(line.size()) < kLineCharacters; ++i) {
        line.push_back(static_cast<char>(kFirstPrintable + (index + i) % kPrintableCount));
    }
    return line;
}

bool ContentSource::load(const DeviceOptions& options, std::string& error) {
    content_ = options.content;
    switch (content_) {
        case Content::Line:
            if (!options.line.empty()) {
                fixed_ = options.line + "\r\n";
            }
            return true;
        case Content::File: {
            std::ifstream file(options.filePath, std::ios::binary);
            if (!file) {
                error = "cannot open " + options.filePath;
                return false;
            }
            fixed_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            if (file.bad()) {
                error = "cannot read " + options.filePath;
                return false;
            }
            if (fixed_.empty()) {
                error = options.filePath + " is empty: there is nothing to replay";
                return false;
            }
            return true;
        }
        case Content::Random:
            generator_ = std::mt19937_64(std::random_device{}());
            return true;
    }
    return true;
}

const std::string& ContentSource::unit(std::uint64_t index, std::uint64_t limit) {
    if (content_ == Content::Random) {
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>(limit, kRandomBlockBytes));
        current_.resize(size);
        for (char& byte : current_) {
            byte = static_cast<char>(generator_() & 0xFF);
        }
        return current_;
    }
    if (!fixed_.empty()) {
        return fixed_;
    }
    current_ = defaultLine(index) + "\r\n";
    return current_;
}

}  // namespace serialtap::device
