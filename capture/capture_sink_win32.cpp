#include <windows.h>

#include <string>

#include "capture/capture_sink.h"

namespace serialtap {

const int kCaptureFileBusy = ERROR_SHARING_VIOLATION;

namespace {

class Win32CaptureSink final : public CaptureSink {
public:
    ~Win32CaptureSink() override {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }

    bool open(const std::string& fileName, bool append) override {
        name_ = fileName;
        HANDLE file = INVALID_HANDLE_VALUE;
        // Readers may share the file, writers may not: a second capture of
        // the same file fails here, before anything is emptied. Delete
        // sharing lets the capture rename its own open file to a part, so
        // the live file is never let go; the name is then looked at again,
        // since only while it leads to the opened file does the open count.
        for (int tries = 0; file == INVALID_HANDLE_VALUE; ++tries) {
            if (tries == kOpenTries) return failWith(kCaptureFileBusy);
            file = CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) return failWith(static_cast<int>(GetLastError()));
            if (GetFileType(file) == FILE_TYPE_DISK && !nameLeadsTo(file)) {
                CloseHandle(file);
                file = INVALID_HANDLE_VALUE;
            }
        }
        DWORD type = GetFileType(file);
        bool placed = type != FILE_TYPE_DISK ||
                      (append ? SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END)
                              : SetEndOfFile(file));
        if (!placed) {
            int code = static_cast<int>(GetLastError());
            CloseHandle(file);
            return failWith(code);
        }
        paced_ = type == FILE_TYPE_PIPE;
        if (type == FILE_TYPE_PIPE) {
            // A pipe whose reader stops would hold a write up for good; the
            // capture keeps what the pipe does not take instead.
            DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
            SetNamedPipeHandleState(file, &mode, nullptr, nullptr);
        }
        file_ = file;
        return true;
    }

    bool isOpen() const override { return file_ != INVALID_HANDLE_VALUE; }

    SinkWrite write(const std::uint8_t* bytes, std::size_t size) override {
        SinkWrite result;
        while (result.written < size) {
            std::size_t left = size - result.written;
            DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
            DWORD done = 0;
            if (!WriteFile(file_, bytes + result.written, chunk, &done, nullptr)) {
                result.error = static_cast<int>(GetLastError());
                break;
            }
            result.written += done;
            // A pipe without waiting takes what fits and says so this way.
            if (done == 0) {
                result.wouldBlock = true;
                break;
            }
        }
        return result;
    }

    void waitWritable(int milliseconds) override {
        // A pipe without waiting has nothing to wait on; look again shortly.
        Sleep(static_cast<DWORD>(milliseconds < 10 ? milliseconds : 10));
    }

    bool removed() override {
        FILE_STANDARD_INFO info{};
        return GetFileType(file_) == FILE_TYPE_DISK &&
               GetFileInformationByHandleEx(file_, FileStandardInfo, &info, sizeof info) &&
               (info.DeletePending || info.NumberOfLinks == 0);
    }

    bool holdsName() override {
        return GetFileType(file_) != FILE_TYPE_DISK || (!removed() && nameLeadsTo(file_));
    }

    bool close() override {
        HANDLE file = file_;
        file_ = INVALID_HANDLE_VALUE;
        return CloseHandle(file) ? true : failWith(static_cast<int>(GetLastError()));
    }

    bool sync() override {
        if (GetFileType(file_) != FILE_TYPE_DISK || FlushFileBuffers(file_)) return true;
        return failWith(static_cast<int>(GetLastError()));
    }

    int errorCode() const override { return error_; }
    bool readerPaced() const override { return paced_; }
    std::intptr_t handle() const override { return reinterpret_cast<std::intptr_t>(file_); }
    int wouldBlockCode() const override { return ERROR_TIMEOUT; }
    bool readerGone(int code) const override {
        return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA;
    }

private:
    static constexpr int kOpenTries = 16;

    bool nameLeadsTo(HANDLE file) const {
        HANDLE named =
            CreateFileA(name_.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (named == INVALID_HANDLE_VALUE) return false;
        BY_HANDLE_FILE_INFORMATION one{};
        BY_HANDLE_FILE_INFORMATION other{};
        bool same =
            GetFileInformationByHandle(file, &one) && GetFileInformationByHandle(named, &other) &&
            one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
            one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
        CloseHandle(named);
        return same;
    }

    bool failWith(int code) {
        error_ = code;
        return false;
    }

    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::string name_;
    bool paced_ = false;
    int error_ = 0;
};

}  // namespace

std::unique_ptr<CaptureSink> makePlatformCaptureSink() {
    return std::make_unique<Win32CaptureSink>();
}

}  // namespace serialtap
