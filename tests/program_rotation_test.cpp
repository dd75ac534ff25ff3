// A capture that runs for months: its file emptied under it by an outside
// rotation, rotated by size or by the clock, its old parts pruned, and its
// parts together always the whole capture.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/pty_harness.h"

namespace serialtap::test {
namespace {

using namespace std::chrono_literals;

// Waits until the file holds what the condition asks for.
template <typename Condition>
testing::AssertionResult waitForFile(const std::string& path, Condition done) {
    auto deadline = Clock::now() + kPatience;
    while (!done(fileExists(path) ? readFile(path) : std::string())) {
        if (Clock::now() > deadline)
            return testing::AssertionFailure() << path << " never got there";
        std::this_thread::sleep_for(10ms);
    }
    return testing::AssertionSuccess();
}

// The capture's rotated parts, oldest first, and its live file.
class RotationTest : public PtyTest {
protected:
    std::vector<std::string> partNames() const {
        std::vector<std::string> names;
        const std::string prefix = std::filesystem::path(live()).filename().string() + ".";
        for (const auto& entry : std::filesystem::directory_iterator(folder())) {
            std::string name = entry.path().filename().string();
            if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> parts() const {
        std::vector<std::string> held;
        for (const std::string& name : partNames()) held.push_back(readFile(folder() + "/" + name));
        return held;
    }
    // The parts in name order, then the live file.
    std::string whole() const {
        std::string joined;
        for (const std::string& part : parts()) joined += part;
        return joined + readFile(live());
    }
    // The program reads the bytes a moment before it writes them out.
    testing::AssertionResult waitForParts(std::size_t count) const {
        auto deadline = Clock::now() + kPatience;
        while (partNames().size() < count && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        if (partNames().size() == count) return testing::AssertionSuccess();
        return testing::AssertionFailure() << partNames().size() << " parts, not " << count;
    }
    virtual std::string live() const { return capturePath(); }
    std::string folder() const { return std::filesystem::path(live()).parent_path().string(); }
};

// Bytes with a line feed every so often, none longer than a hex line's worth
// of the grace a line gets.
std::string lines(std::size_t count) {
    std::string bytes = randomBytes(count);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') bytes[i] = 'n';
        if (i % 97 == 96) bytes[i] = '\n';
    }
    return bytes;
}

// Drops the relative stamps "[   12.345678] " that begin each line,
// checking that they never go back.
std::string withoutStamps(const std::string& stamped, bool& inOrder) {
    std::string text;
    double last = -1;
    inOrder = true;
    for (std::size_t at = 0; at < stamped.size();) {
        std::size_t close = stamped.find("] ", at);
        if (stamped[at] != '[' || close == std::string::npos) {
            inOrder = false;
            return text;
        }
        double stamp = std::stod(stamped.substr(at + 1, close - at - 1));
        inOrder = inOrder && stamp >= last;
        last = stamp;
        std::size_t end = stamped.find('\n', close);
        end = end == std::string::npos ? stamped.size() : end + 1;
        text += stamped.substr(close + 2, end - close - 2);
        at = end;
    }
    return text;
}

struct FormatCase {
    const char* name;
    std::vector<std::string> options;
};

using FormatRotationTest = RotationTest;

// A flood rotated every 4 KiB, in every format: the parts together are the
// capture the run makes without rotation, byte for byte. Many parts end in
// the same second, so their names sort by a suffix.
TEST_F(FormatRotationTest, PartsTogetherAreTheWholeCapture) {
    const std::string sent = lines(60000);
    const std::vector<FormatCase> cases{{"text", {}},
                                        {"raw", {"-m", "1"}},
                                        {"hex", {"-m", "2"}},
                                        {"stamped", {"-d", "3"}},
                                        {"durable raw", {"-m", "1", "-y", "1", "-f", "50"}}};
    for (const FormatCase& format : cases) {
        SCOPED_TRACE(format.name);
        for (const std::string& name : partNames()) std::filesystem::remove(folder() + "/" + name);
        // The same bytes into a file that is never rotated, side by side.
        DevicePty plainDevice;
        std::vector<std::string> plainLine{dir_.file("plain"), "-c", plainDevice.portPath()};
        plainLine.insert(plainLine.end(), format.options.begin(), format.options.end());
        Program plain(plainLine);
        std::vector<std::string> options = format.options;
        options.insert(options.end(), {"-z", "4"});
        Program program(commandLine(options));
        ASSERT_TRUE(program.waitCapturing());
        ASSERT_TRUE(plain.waitCapturing());
        ASSERT_TRUE(deliver(program, sent));
        ASSERT_TRUE(plainDevice.send(sent));
        ASSERT_TRUE(plain.waitBytesRead(sent.size()));
        EXPECT_EQ(0, program.stopWithQ());
        EXPECT_EQ(0, plain.stopWithQ());
        EXPECT_EQ("", program.output());

        const std::vector<std::string> held = parts();
        ASSERT_GE(held.size(), 10u);
        const bool raw = format.options.size() >= 2 && format.options[1] == "1";
        for (const std::string& part : held) {
            if (raw) {
                EXPECT_EQ(4096u, part.size());
            } else {
                EXPECT_GE(part.size(), 4096u);
                EXPECT_LT(part.size(), 4096u + 4096u);
                EXPECT_EQ('\n', part.back()) << "a part ends with its line";
            }
        }
        const std::string joined = whole();
        const std::string expected = readFile(dir_.file("plain"));
        if (format.options == std::vector<std::string>{"-d", "3"}) {
            bool inOrder = false;
            EXPECT_TRUE(withoutStamps(joined, inOrder) == withLineEndsExpanded(sent));
            EXPECT_TRUE(inOrder) << "the stamps go on across the parts";
        } else {
            EXPECT_TRUE(joined == expected) << joined.size() << " of " << expected.size();
        }
        const std::vector<std::string> names = partNames();
        EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const std::string& name) {
            return name.find("Z-0001") != std::string::npos;
        })) << "parts that end in the same second are told apart";
    }
}

// The folder a program started by a test runs in.
std::string startFolder;
void enterStartFolder() {
    if (chdir(startFolder.c_str()) != 0) _exit(126);
}

// Named with its folder, and without one by a program run inside it.
TEST_F(RotationTest, KeepsOnlyTheNewestPartsWithK) {
    startFolder = folder();
    for (bool bare : {false, true}) {
        SCOPED_TRACE(bare ? "named without its folder" : "named with its folder");
        for (const std::string& name : partNames()) std::filesystem::remove(folder() + "/" + name);
        const std::string sent = randomBytes(40000);
        std::vector<std::string> line = commandLine({"-m", "1", "-z", "4", "-k", "3"});
        Launch launch;
        if (bare) {
            line[0] = std::filesystem::path(live()).filename().string();
            launch.inChild = enterStartFolder;
        }
        Program program(line, ConsoleKind::Terminal, launch);
        ASSERT_TRUE(program.waitCapturing());
        ASSERT_TRUE(deliver(program, sent));
        EXPECT_EQ(0, program.stopWithQ());
        ASSERT_EQ(3u, partNames().size());
        const std::string tail = whole();
        EXPECT_EQ(std::size_t{3} * 4096 + sent.size() % 4096, tail.size());
        EXPECT_TRUE(tail == sent.substr(sent.size() - tail.size()));
    }
}

// Rotation renames the name it is given, which must be the file's own.
TEST_F(RotationTest, SymbolicLinkIsRefusedBeforeAnythingIsOpened) {
    writeFile(capturePath(), "kept");
    const std::string link = dir_.file("link");
    std::filesystem::create_symlink(capturePath(), link);
    Finished run = runToExit({link, "-c", device_.portPath(), "-w", "1"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("rotation (-z, -w) needs the capture file itself, not a symbolic link to it\n",
              run.output);
    EXPECT_EQ("kept", readFile(capturePath()));
    // One that leads nowhere yet too: the first part would be the link.
    const std::string nowhere = dir_.file("nowhere");
    std::filesystem::create_symlink(dir_.file("target"), nowhere);
    EXPECT_EQ(1, runToExit({nowhere, "-c", device_.portPath(), "-z", "1"}).status);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("target")));
}

// An earlier capture appended to counts towards the size limit, and
// belongs to the period it was last written in: once past either, it
// becomes a part of its own before the first new byte.
TEST_F(RotationTest, AppendedFileFromAnEarlierRunEndsItsPartFirst) {
    const std::string earlier = randomBytes(5000);
    for (const std::vector<std::string>& limit :
         {std::vector<std::string>{"-z", "4"}, std::vector<std::string>{"-w", "86400"}}) {
        SCOPED_TRACE(limit[0]);
        for (const std::string& name : partNames()) std::filesystem::remove(folder() + "/" + name);
        writeFile(capturePath(), earlier);
        // Last written yesterday.
        const timespec yesterday[2] = {{time(nullptr) - 86400, 0}, {time(nullptr) - 86400, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, capturePath().c_str(), yesterday, 0));
        std::vector<std::string> options{"-m", "1", "-a", "1"};
        options.insert(options.end(), limit.begin(), limit.end());
        Program program(commandLine(options));
        ASSERT_TRUE(program.waitCapturing());
        ASSERT_TRUE(deliver(program, "new"));
        EXPECT_EQ(0, program.stopWithQ());
        ASSERT_EQ(1u, partNames().size());
        EXPECT_TRUE(parts()[0] == earlier);
        EXPECT_EQ("new", captured());
    }
}

// A slow sensor's lines, one part a second: a quiet line ends its part on
// time too, with no new byte to bring it.
TEST_F(RotationTest, EndsAPartAtEachPeriodFromMidnight) {
    Program program(commandLine({"-w", "1", "-f", "20"}));
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, "first\n"));
    ASSERT_TRUE(waitForParts(1));
    EXPECT_EQ("first\r\n", parts()[0]);
    EXPECT_EQ("", readFile(capturePath()));
    ASSERT_TRUE(deliver(program, "second\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_EQ("first\r\nsecond\r\n", whole());
}

// Only the live file is locked, and the lock goes with it to the next part.
TEST_F(RotationTest, LockPassesToTheNewLiveFile) {
    Program program(commandLine({"-m", "1", "-z", "4"}));
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, randomBytes(9000)));
    ASSERT_TRUE(waitForParts(2));

    Finished second = runToExit(commandLine());
    EXPECT_EQ("could not open capture file: 16\n", second.output);
    for (const std::string& name : partNames()) {
        UniqueFd part(open((folder() + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(0, flock(part.get(), LOCK_EX | LOCK_NB)) << name << " is still locked";
    }
    EXPECT_EQ(0, program.stopWithQ());
}

// A script that takes each part as it appears never finds one empty: a
// part comes into the folder by a rename, whole, never as a new file.
TEST_F(RotationTest, PartsArriveWholeNeverCreatedEmpty) {
    UniqueFd watch(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ASSERT_LE(0, inotify_add_watch(watch.get(), folder().c_str(), IN_CREATE | IN_MOVED_TO));
    Program program(commandLine({"-m", "1", "-z", "1"}));
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, randomBytes(5000)));
    ASSERT_TRUE(waitForParts(4));
    EXPECT_EQ(0, program.stopWithQ());
    const std::string prefix = std::filesystem::path(live()).filename().string() + ".";
    std::size_t arrived = 0;
    alignas(inotify_event) char events[16384];
    for (ssize_t got; (got = read(watch.get(), events, sizeof events)) > 0;) {
        for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            const std::string name = event->len > 0 ? event->name : "";
            if (name.compare(0, prefix.size(), prefix) == 0) {
                EXPECT_FALSE(event->mask & IN_CREATE) << name << " was created in place";
                ++arrived;
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
    EXPECT_EQ(partNames().size(), arrived);
}

// The folder turns read-only under the capture (as root, only a mount
// does that): the renames fail and are reported, and the capture goes on
// in the same file with nothing lost.
class ReadOnlyFolderTest : public RotationTest {
protected:
    void SetUp() override {
        if (auto skip = mountPrivateTmpfs(disk_, "1m")) GTEST_SKIP() << *skip;
        mounted_ = 1;
    }
    void TearDown() override {
        while (mounted_-- > 0) umount2(disk_.c_str(), MNT_DETACH);
    }
    // The open file stays writable; paths through the folder do not.
    bool makeReadOnly() {
        if (mount(disk_.c_str(), disk_.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        ++mounted_;
        return mount(nullptr, disk_.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) ==
               0;
    }
    std::string live() const override { return disk_ + "/capture.bin"; }

    std::string disk_ = dir_.file("disk");
    int mounted_ = 0;
};

TEST_F(ReadOnlyFolderTest, FailedRenameIsReportedAndNothingIsLost) {
    const std::string sent = randomBytes(30000);
    Program program({live(), "-c", device_.portPath(), "-m", "1", "-z", "4"});
    ASSERT_TRUE(program.waitCapturing());
    ASSERT_TRUE(deliver(program, sent.substr(0, 10000)));
    ASSERT_TRUE(waitForParts(2));
    ASSERT_TRUE(makeReadOnly());
    ASSERT_TRUE(deliver(program, sent.substr(10000)));
    ASSERT_TRUE(program.waitOutputContains(": 30\r\n"));
    EXPECT_EQ(0, program.stopWithQ());
    EXPECT_NE(std::string::npos, program.output().find("Error: Can't rename the file to " + live()))
        << program.output();
    EXPECT_EQ(2u, partNames().size());
    EXPECT_TRUE(whole() == sent);
}

using CopyTruncateTest = PtyTest;

// A copy-and-truncate rotation empties the live file; written at its old
// offset, the next bytes used to follow a run of zero bytes.
TEST_F(CopyTruncateTest, FileEmptiedUnderTheCaptureGoesOnFromItsStart) {
    for (const std::string append : {"0", "1"}) {
        writeFile(capturePath(), "earlier\r\n");
        Program program(commandLine({"-f", "20", "-a", append}));
        ASSERT_TRUE(program.waitCapturing());
        ASSERT_TRUE(deliver(program, "before the rotation\n"));
        ASSERT_TRUE(waitForFile(capturePath(), [](const std::string& held) {
            return held.find("rotation\r\n") != std::string::npos;
        }));
        ASSERT_EQ(0, truncate(capturePath().c_str(), 0));
        ASSERT_TRUE(deliver(program, "after\n"));
        EXPECT_EQ(0, program.stopWithQ());
        EXPECT_EQ("after\r\n", captured()) << "with -a " << append;
    }
}

}  // namespace
}  // namespace serialtap::test
