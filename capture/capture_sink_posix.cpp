#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "capture/capture_sink.h"
#include "capture/part_files.h"

namespace serialtap {

const int kCaptureFileBusy = EBUSY;

namespace {

int syncData(int fd) {
#ifdef __APPLE__
    // fsync there leaves the bytes in the drive's cache.
    return fcntl(fd, F_FULLFSYNC);
#else
    return fdatasync(fd);
#endif
}

class PosixCaptureSink final : public CaptureSink {
public:
    ~PosixCaptureSink() override {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(const std::string& fileName, bool append) override {
        name_ = fileName;
        // Another capture may rename the file to a part between the open
        // and the lock and then let it go: a lock only counts while the
        // name still leads to the locked file. Otherwise the name is opened
        // anew, where that capture holds its next part.
        for (int tries = 0; tries < kOpenTries; ++tries) {
            int fd = -1;
            switch (openLocked(fileName, fd)) {
                case Opened::Failed:
                    return false;
                case Opened::NameMoved:
                    ::close(fd);
                    continue;
                case Opened::Locked:
                    break;
            }
            if (regular_ && !append && ftruncate(fd, 0) != 0) return failAndClose(fd, errno);
            fd_ = fd;
            return true;
        }
        return failWith(kCaptureFileBusy);
    }

    bool isOpen() const override { return fd_ >= 0; }

    SinkWrite write(const std::uint8_t* bytes, std::size_t size) override {
        SinkWrite result;
        while (result.written < size) {
            ssize_t done = ::write(fd_, bytes + result.written, size - result.written);
            if (done > 0) {
                result.written += static_cast<std::size_t>(done);
                continue;
            }
            if (done < 0 && errno == EINTR) continue;
            if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                result.wouldBlock = true;
            } else {
                // A write of nothing with no error: the device is full.
                result.error = done < 0 ? errno : ENOSPC;
            }
            break;
        }
        return result;
    }

    void waitWritable(int milliseconds) override {
        pollfd ready{fd_, POLLOUT, 0};
        ::poll(&ready, 1, milliseconds);
    }

    bool removed() override {
        struct stat status {};
        return regular_ && fstat(fd_, &status) == 0 && status.st_nlink == 0;
    }

    bool holdsName() override {
        struct stat open {};
        struct stat named {};
        return !regular_ || (fstat(fd_, &open) == 0 && stat(name_.c_str(), &named) == 0 &&
                             sameFile(open, named));
    }

    bool close() override {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? true : failWith(errno);
    }

    bool sync() override {
        // A pipe or a terminal has nothing to make durable.
        if (!regular_ || syncData(fd_) == 0) return true;
        return failWith(errno);
    }

    void renamed(const std::string& fileName) override { name_ = fileName; }

    bool syncName() override {
        if (!regular_) return true;
        int code = part_files::syncFolder(part_files::folderOf(name_));
        return code == 0 ? true : failWith(code);
    }

    int errorCode() const override { return error_; }
    bool foundNoReader() const override { return noReader_; }
    bool readerPaced() const override { return paced_; }
    std::intptr_t handle() const override { return fd_; }
    int wouldBlockCode() const override { return EAGAIN; }
    bool readerGone(int code) const override { return code == EPIPE; }

private:
    enum class Opened { Locked, NameMoved, Failed };
    static constexpr int kOpenTries = 16;

    static bool sameFile(const struct stat& one, const struct stat& other) {
        return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
    }

    Opened openLocked(const std::string& fileName, int& fd) {
        // Not emptied by the open: another capture may be writing it. A
        // FIFO without a reader would hold the open up; without waiting it
        // fails instead. Writes to regular and block files wait all the same.
        // Always appending, so a file emptied under the capture (a
        // copy-and-truncate rotation) goes on from its new end instead of
        // behind a hole.
        int flags = O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | O_APPEND;
        fd = ::open(fileName.c_str(), flags, 0666);
        if (fd < 0) {
            int code = errno;
            struct stat status {};
            noReader_ =
                code == ENXIO && stat(fileName.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
            failWith(code);
            return Opened::Failed;
        }
        struct stat status {};
        if (fstat(fd, &status) != 0) {
            failAndClose(fd, errno);
            return Opened::Failed;
        }
        regular_ = S_ISREG(status.st_mode);
        // Pipes, sockets and terminals can hold a write up for good; the
        // capture keeps what they do not take instead.
        paced_ = !regular_ && !S_ISBLK(status.st_mode);
        if (!regular_) return Opened::Locked;
        // Only a file that can be emptied needs the lock. A file system
        // without locks still takes the capture.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            failAndClose(fd, kCaptureFileBusy);
            return Opened::Failed;
        }
        struct stat named {};
        if (stat(fileName.c_str(), &named) != 0 || !sameFile(status, named))
            return Opened::NameMoved;
        return Opened::Locked;
    }

    bool failWith(int code) {
        error_ = code;
        return false;
    }

    bool failAndClose(int fd, int code) {
        ::close(fd);
        return failWith(code);
    }

    int fd_ = -1;
    std::string name_;
    bool regular_ = false;
    bool paced_ = false;
    bool noReader_ = false;
    int error_ = 0;
};

}  // namespace

std::unique_ptr<CaptureSink> makePlatformCaptureSink() {
    return std::make_unique<PosixCaptureSink>();
}

}  // namespace serialtap
