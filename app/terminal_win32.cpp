#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "app/terminal.h"

namespace serialtap {

namespace {

HANDLE standardError() { return GetStdHandle(STD_ERROR_HANDLE); }

class StandardErrorDisplay final : public StatusDisplay {
public:
    bool drawable() override { return true; }

    int columns() override {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(standardError(), &info)) return 0;
        return info.srWindow.Right - info.srWindow.Left + 1;
    }

    void write(const std::string& text) override {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }
};

}  // namespace

std::unique_ptr<StatusDisplay> standardErrorDisplay() {
    return std::make_unique<StandardErrorDisplay>();
}

// A console, not just any character device: NUL is one too.
bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(standardError(), &mode) != 0;
}

bool writeShown(std::FILE* stream, const std::string& bytes, bool terminal) {
    if (std::fflush(stream) != 0) return false;
    // Messages keep their text-mode line ends; the bytes are the device's.
    int fd = _fileno(stream);
    int mode = terminal ? -1 : _setmode(fd, _O_BINARY);
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() &&
                   std::fflush(stream) == 0;
    if (mode != -1) _setmode(fd, mode);
    return written;
}

}  // namespace serialtap
