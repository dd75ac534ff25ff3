#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "app/terminal.h"

namespace serialtap {

namespace {

class StandardErrorDisplay final : public StatusDisplay {
public:
    // A job in the background leaves the terminal's line to the foreground;
    // a terminal that is not the controlling one has no foreground to ask.
    bool drawable() override {
        pid_t foreground = tcgetpgrp(STDERR_FILENO);
        return foreground < 0 || foreground == getpgrp();
    }

    int columns() override {
        winsize size{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
        return size.ws_col;
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

bool standardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool writeShown(std::FILE* stream, const std::string& bytes, bool) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() &&
           std::fflush(stream) == 0;
}

}  // namespace serialtap
