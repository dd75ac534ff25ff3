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

    bool write(const std::string& text) override {
        return standardStream(StandardStream::Error)
                   .write(text.data(), text.size(), ShownKind::Text)
                   .written == text.size();
    }
};

// A stdio stream: messages keep their text-mode line ends, received bytes
// are written as they are except to a console. A pipe is switched to writes
// that do not wait, and takes what fits.
class StdioStream final : public ShownStream {
public:
    StdioStream(std::FILE* stream, bool console) : stream_(stream), console_(console) {
        HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
        if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_PIPE) {
            DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
            if (SetNamedPipeHandleState(handle, &mode, nullptr, nullptr)) pipe_ = handle;
        }
    }
    ~StdioStream() override {
        if (pipe_ == nullptr) return;
        DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
        SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
    }
    StdioStream(const StdioStream&) = delete;
    StdioStream& operator=(const StdioStream&) = delete;

    ShownWrite write(const char* data, std::size_t size, ShownKind kind) override {
        ShownWrite result;
        if (pipe_ != nullptr) {
            std::string text = kind == ShownKind::Text ? withLineEnds(data, size) : std::string();
            const char* out = kind == ShownKind::Text ? text.data() : data;
            std::size_t outSize = kind == ShownKind::Text ? text.size() : size;
            DWORD done = 0;
            DWORD chunk = outSize > 0x10000 ? 0x10000 : static_cast<DWORD>(outSize);
            if (!WriteFile(pipe_, out, chunk, &done, nullptr)) {
                result.failed = true;
                return result;
            }
            // The input bytes whose output went out whole.
            for (std::size_t taken = 0; result.written < size; ++result.written) {
                taken += kind == ShownKind::Text && data[result.written] == '\n' ? 2 : 1;
                if (taken > done) break;
            }
            return result;
        }
        int fd = _fileno(stream_);
        int mode = kind == ShownKind::Bytes && !console_ ? _setmode(fd, _O_BINARY) : -1;
        result.written = std::fwrite(data, 1, size, stream_);
        result.failed = std::fflush(stream_) != 0 || result.written < size;
        if (mode != -1) _setmode(fd, mode);
        return result;
    }
    bool terminal() const override { return console_; }

private:
    static std::string withLineEnds(const char* data, std::size_t size) {
        std::string text;
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] == '\n') text += '\r';
            text += data[i];
        }
        return text;
    }

    std::FILE* stream_;
    bool console_;
    HANDLE pipe_ = nullptr;
};

bool isConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

std::unique_ptr<StatusDisplay> standardErrorDisplay() {
    return std::make_unique<StandardErrorDisplay>();
}

// A console, not just any character device: NUL is one too.
bool standardErrorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(standardError(), &mode) != 0;
}

ShownStream& standardStream(StandardStream which) {
    static StdioStream output(stdout, isConsole(STD_OUTPUT_HANDLE));
    static StdioStream error(stderr, isConsole(STD_ERROR_HANDLE));
    return which == StandardStream::Output ? output : error;
}

std::unique_ptr<ShownStream> stdioStream(std::FILE* stream) {
    return std::make_unique<StdioStream>(stream, false);
}

}  // namespace serialtap
