// Any byte stream a device can send, in any split into reception passes:
// after every pass the file holds exactly the expanded bytes that the buffer
// rule says have been written out by then, and after the close it holds the
// whole stream with each 0x0A expanded to 0x0D 0x0A.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_file.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Long enough for many buffer write-outs, short enough to keep runs fast.
constexpr std::size_t kMaxStreamBytes = std::size_t{64} * 1024;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// The input is a list of passes. A control byte below 0x80 is a pass of that
// many bytes taken from the input; from 0x80 up, its low seven bits and the
// next byte give a length of up to 32767 and the byte after that is repeated
// so often, which reaches the 4096-byte boundaries from short inputs.
std::vector<Bytes> passesFrom(const std::uint8_t* data, std::size_t size) {
    std::vector<Bytes> passes;
    std::size_t total = 0;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t control = data[at++];
        Bytes pass;
        if (control < 0x80) {
            const std::size_t length = control < size - at ? control : size - at;
            pass.assign(data + at, data + at + length);
            at += length;
        } else {
            if (size - at < 2) break;
            const std::size_t length = (static_cast<std::size_t>(control & 0x7F) << 8) | data[at];
            pass.assign(length, data[at + 1]);
            at += 2;
        }
        if (total + pass.size() > kMaxStreamBytes) break;
        total += pass.size();
        passes.push_back(std::move(pass));
    }
    return passes;
}

Bytes expand(const Bytes& stream, std::size_t count) {
    Bytes expanded;
    for (std::size_t i = 0; i < count; ++i) {
        if (stream[i] == 0x0A) expanded.push_back(0x0D);
        expanded.push_back(stream[i]);
    }
    return expanded;
}

// The buffer is written out only when a byte is to be stored while it holds
// 4096 bytes, so after n bytes every full buffer but the last is in the file.
std::size_t writtenOutAfter(std::size_t stored) {
    const std::size_t buffer = serialtap::CaptureFile::kBufferBytes;
    return stored == 0 ? 0 : (stored - 1) / buffer * buffer;
}

Bytes fileContents(const std::string& path) {
    Bytes contents;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    check(file != nullptr, "reopen the capture");
    std::uint8_t chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        contents.insert(contents.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return contents;
}

std::size_t fileSize(const std::string& path) {
    struct stat status {};
    check(stat(path.c_str(), &status) == 0, "stat the capture");
    return static_cast<std::size_t>(status.st_size);
}

std::string capturePath;

void removeCapture() { unlink(capturePath.c_str()); }

const std::string& temporaryPath() {
    if (capturePath.empty()) {
        const char* directory = std::getenv("TMPDIR");
        std::string pattern = std::string(directory != nullptr ? directory : "/tmp") +
                              "/serialtap-fuzz-capture-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        check(fd >= 0, "mkstemp");
        close(fd);
        capturePath = name.data();
        std::atexit(removeCapture);
    }
    return capturePath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Bytes> passes = passesFrom(data, size);
    Bytes stream;
    for (const Bytes& pass : passes) stream.insert(stream.end(), pass.begin(), pass.end());

    // Each 0x0A adds one byte to the file, so this gives every expected size.
    std::vector<std::size_t> lineFeedsBefore(stream.size() + 1, 0);
    for (std::size_t i = 0; i < stream.size(); ++i) {
        lineFeedsBefore[i + 1] = lineFeedsBefore[i] + (stream[i] == 0x0A ? 1 : 0);
    }

    const std::string& path = temporaryPath();
    serialtap::CaptureFile capture;
    check(capture.open(path), "open the capture");
    check(fileSize(path) == 0, "the capture starts empty");

    std::size_t stored = 0;
    std::size_t writtenOut = 0;
    for (const Bytes& pass : passes) {
        // A zero-length pass still gets a valid pointer, as a reception does.
        const std::uint8_t none = 0;
        capture.writeBytes(pass.empty() ? &none : pass.data(), pass.size());
        stored += pass.size();
        const std::size_t due = writtenOutAfter(stored);
        check(fileSize(path) == due + lineFeedsBefore[due], "file size after a pass");
        if (due != writtenOut) {
            check(fileContents(path) == expand(stream, due), "file contents after a write-out");
            writtenOut = due;
        }
    }
    check(capture.close(), "close succeeds");
    check(fileContents(path) == expand(stream, stream.size()), "file contents after the close");
    return 0;
}
