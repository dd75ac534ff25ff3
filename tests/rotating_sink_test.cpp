#include "capture/rotating_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "capture/capture_file.h"
#include "tests/test_files.h"

namespace serialtap {
namespace {

namespace fs = std::filesystem;
using testing::TempPath;

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The platform's file, with what is done to it written down: which file
// (by the order they were opened), and for a sync how many parts there
// were then.
class RecordingSink final : public CaptureSink {
public:
    RecordingSink(std::vector<std::string>& log, fs::path live, int number)
        : log_(log), live_(std::move(live)), number_(std::to_string(number)) {}

    bool open(const std::string& fileName, bool append) override {
        log_.push_back("open " + number_);
        return real_->open(fileName, append);
    }
    bool isOpen() const override { return real_->isOpen(); }
    SinkWrite write(const std::uint8_t* bytes, std::size_t size) override {
        return real_->write(bytes, size);
    }
    void waitWritable(int milliseconds) override { real_->waitWritable(milliseconds); }
    bool removed() override { return real_->removed(); }
    bool holdsName() override { return real_->holdsName(); }
    void renamed(const std::string& fileName) override { real_->renamed(fileName); }
    bool close() override { return real_->close(); }
    bool sync() override {
        log_.push_back("sync " + number_ + " with parts " + std::to_string(parts()));
        return real_->sync();
    }
    bool syncName() override {
        log_.push_back("sync name " + number_);
        return real_->syncName();
    }
    int errorCode() const override { return real_->errorCode(); }
    std::intptr_t handle() const override { return real_->handle(); }
    int wouldBlockCode() const override { return real_->wouldBlockCode(); }
    bool readerGone(int code) const override { return real_->readerGone(code); }

private:
    std::size_t parts() const {
        auto all = fs::directory_iterator(live_.parent_path());
        return static_cast<std::size_t>(std::distance(all, fs::directory_iterator())) - 1;
    }

    std::vector<std::string>& log_;
    fs::path live_;
    std::string number_;
    std::unique_ptr<CaptureSink> real_ = makePlatformCaptureSink();
};

// A rotation on a clock the test sets, whose files and messages it sees.
class Rotation : public ::testing::Test {
protected:
    std::unique_ptr<RotatingSink> make(RotationPolicy policy) {
        auto sink = std::make_unique<RotatingSink>(
            policy,
            [this] {
                return std::make_unique<RecordingSink>(log_, file_.path(),
                                                       static_cast<int>(made_++));
            },
            [this] { return std::chrono::system_clock::time_point(std::chrono::seconds(now_)); });
        sink->setMessageOutput([this](const std::string& text) { said_ += text; });
        return sink;
    }
    // One byte each: with a limit of one byte, one part each.
    static void writeParts(RotatingSink& sink, const std::string& bytes) {
        for (char byte : bytes) {
            const auto value = static_cast<std::uint8_t>(byte);
            ASSERT_EQ(1u, sink.write(&value, 1).written);
        }
    }
    // The parts' names and what they hold, in name order.
    std::vector<std::pair<std::string, std::string>> parts() const {
        std::vector<std::pair<std::string, std::string>> found;
        for (const auto& entry : fs::directory_iterator(folder())) {
            if (entry.path() != fs::path(file_.path()) && entry.is_regular_file())
                found.emplace_back(entry.path().filename().string(), contents(entry.path()));
        }
        std::sort(found.begin(), found.end());
        return found;
    }
    std::string partsInOrder() const {
        std::string joined;
        for (const auto& part : parts()) joined += part.second;
        return joined;
    }
    fs::path folder() const { return fs::path(file_.path()).parent_path(); }

    TempPath file_{"cap"};
    std::vector<std::string> log_;
    std::size_t made_ = 0;
    std::int64_t now_ = 1796780100;  // 2026-12-09 01:35:00 UTC
    std::string said_;
};

// With -y 1 and no -f, the part's last write-out is on the disk before
// the part takes its name: a power cut never keeps a named part short.
TEST_F(Rotation, DurablePartIsSyncedBeforeItsRename) {
    auto sink = make({4096, 0, 0, false, true});
    ASSERT_TRUE(sink->open(file_.path(), false));
    const std::vector<std::uint8_t> bytes(5000, 'x');
    ASSERT_EQ(bytes.size(), sink->write(bytes.data(), bytes.size()).written);
    EXPECT_NE(log_.end(), std::find(log_.begin(), log_.end(), "sync 0 with parts 0"));
    ASSERT_EQ(1u, parts().size());
    EXPECT_EQ(4096u, parts()[0].second.size());
}

// The name of a new file is durable too, without rotation.
TEST_F(Rotation, DurableCaptureSyncsTheNameOfItsFile) {
    CaptureFile capture(std::make_unique<RecordingSink>(log_, file_.path(), 0));
    capture.makeDurable(true);
    ASSERT_TRUE(capture.open(file_.path()));
    EXPECT_EQ((std::vector<std::string>{"open 0", "sync name 0"}), log_);
    EXPECT_TRUE(capture.close());
}

// Parts made in one second past -9999, and after the clock stepped back,
// still sort in the order they were made, after an earlier run's; -k
// keeps the newest ones.
TEST_F(Rotation, PartNamesSortInTheOrderMadeWhateverTheClockDoes) {
    std::ofstream(folder() / "cap.20261209T013500Z") << "1";
    std::ofstream(folder() / "cap.20261209T013500Z-9999") << "2";
    auto sink = make({1, 0, 4, false, false});
    ASSERT_TRUE(sink->open(file_.path(), false));
    writeParts(*sink, "ab");
    now_ -= 3600;
    writeParts(*sink, "c");
    now_ += 7200;
    writeParts(*sink, "d");
    EXPECT_EQ("abcd", partsInOrder());
    EXPECT_EQ("cap.20261209T013500Z-9999-0002", parts()[1].first);
    EXPECT_EQ("cap.20261209T023500Z", parts()[3].first);
    EXPECT_EQ("", said_);
}

// The hidden name the next live file is made under, left by a capture
// killed between its two renames, holds that capture's last part: the
// next capture takes it among the parts, before its own, never emptied.
TEST_F(Rotation, LeftoverOfAKilledRotationJoinsTheParts) {
    std::ofstream(folder() / ".cap.next") << "earlier";
    auto sink = make({1, 0, 0, false, false});
    ASSERT_TRUE(sink->open(file_.path(), false));
    writeParts(*sink, "ab");
    EXPECT_FALSE(fs::exists(folder() / ".cap.next"));
    EXPECT_EQ("earlierab", partsInOrder());
    EXPECT_EQ("", said_);
}

// One left empty is taken, so the parts come whole again after a kill; a
// link there, even one that leads nowhere, is never followed.
TEST_F(Rotation, HiddenNameLeftEmptyIsTakenALinkThereIsNot) {
    std::ofstream(folder() / ".cap.next").close();
    auto sink = make({1, 0, 0, false, false});
    ASSERT_TRUE(sink->open(file_.path(), false));
    writeParts(*sink, "a");
    EXPECT_FALSE(fs::exists(folder() / ".cap.next"));
    std::error_code noLinks;
    fs::create_symlink(folder() / "elsewhere", folder() / ".cap.next", noLinks);
    if (noLinks) GTEST_SKIP() << "no symbolic links here";
    writeParts(*sink, "bc");
    EXPECT_FALSE(fs::exists(folder() / "elsewhere"));
    EXPECT_TRUE(fs::is_symlink(folder() / ".cap.next"));
    EXPECT_EQ("abc", partsInOrder());
    EXPECT_EQ("", said_);
}

// A folder with a part's name is no part: it is neither removed nor
// counted nor followed in the naming, and the parts around it are kept to
// the number asked for.
TEST_F(Rotation, KeepsTheNewestPartsPastAFolderWithAPartsName) {
    fs::create_directory(folder() / "cap.20000101T000000Z");
    fs::create_directory(folder() / "cap.29991231T000000Z");
    auto sink = make({1, 0, 2, false, false});
    ASSERT_TRUE(sink->open(file_.path(), false));
    writeParts(*sink, "abcd");
    EXPECT_EQ("cd", partsInOrder());
    EXPECT_EQ("cap.20261209T013500Z-0003", parts()[1].first);
    EXPECT_TRUE(fs::is_directory(folder() / "cap.20000101T000000Z"));
    EXPECT_EQ("", said_);
}

// A name too long for any part's name: every rotation fails, said once
// a second, and the capture goes on in the live file with nothing lost.
TEST(RotationFailure, IsSaidOnceASecondAndLosesNothing) {
    TempPath file(std::string(245, 'c'));
    std::string said;
    RotatingSink sink({1, 0, 0, false, false});
    sink.setMessageOutput([&said](const std::string& text) { said += text; });
    if (!sink.open(file.path(), false)) GTEST_SKIP() << "no name this long here";
    const std::string bytes = "abcde";
    for (char byte : bytes) sink.write(reinterpret_cast<const std::uint8_t*>(&byte), 1);
    sink.close();
    EXPECT_EQ(0u, said.find("Error: Can't rename the file to ")) << said;
    EXPECT_EQ(said.size() - 1, said.find('\n')) << said;
    EXPECT_EQ(bytes, contents(file.path()));
}

// The live file removed under the capture: the next bytes start a new one.
TEST_F(Rotation, RemovedLiveFileIsStartedAgain) {
    auto sink = make({4096, 0, 0, false, false});
    ASSERT_TRUE(sink->open(file_.path(), false));
    writeParts(*sink, "a");
    fs::remove(file_.path());
    if (fs::exists(file_.path())) GTEST_SKIP() << "a removed open file keeps its name here";
    writeParts(*sink, "bc");
    EXPECT_EQ("bc", contents(file_.path()));
    EXPECT_EQ(std::string::npos, said_.find('\n', said_.find('\n') + 1)) << "said once: " << said_;
    EXPECT_NE(std::string::npos, said_.find("removed")) << said_;
}

// Without -f, what is held when a period ends goes into the part that ends.
TEST_F(Rotation, HeldBytesEndInTheirPeriodsPart) {
    auto owned = make({0, 60, 0, true, false});
    RotatingSink& rotation = *owned;
    CaptureFile capture(std::move(owned));
    ASSERT_TRUE(capture.open(file_.path()));
    const std::string line = "slow sensor\n";
    capture.writeBytes(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    capture.endPartIfDue(rotation);
    EXPECT_TRUE(parts().empty());
    now_ += 60;
    capture.endPartIfDue(rotation);
    ASSERT_EQ(1u, parts().size());
    EXPECT_EQ("slow sensor\r\n", parts()[0].second);
    EXPECT_TRUE(capture.close());
    EXPECT_EQ("", contents(file_.path()));
}

// Without -f, the end of a line in progress when the period ends is held
// in memory too; it still ends the part as soon as it comes, instead of the
// part being cut mid-line when the wait for it runs out.
TEST_F(Rotation, ALineInProgressEndsItsPeriodsPartWithoutAWriteOut) {
    auto owned = make({0, 60, 0, true, false});
    RotatingSink& rotation = *owned;
    CaptureFile capture(std::move(owned));
    ASSERT_TRUE(capture.open(file_.path()));
    const std::string begun = "slow sen";
    const std::string ended = "sor\nnext";
    capture.writeBytes(reinterpret_cast<const std::uint8_t*>(begun.data()), begun.size());
    now_ += 60;
    capture.endPartIfDue(rotation);
    capture.writeBytes(reinterpret_cast<const std::uint8_t*>(ended.data()), ended.size());
    capture.endPartIfDue(rotation);
    ASSERT_EQ(1u, parts().size());
    EXPECT_EQ("slow sensor\r\n", parts()[0].second);
    EXPECT_TRUE(capture.close());
    EXPECT_EQ("next", contents(file_.path()));
}

// Appended to after the clock went back: the file, last written "later",
// still ends with this period.
TEST_F(Rotation, AppendedFileFromAClockThatWasAheadEndsWithThisPeriod) {
    std::ofstream(file_.path()) << "earlier";
    now_ = std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count() -
           86400;
    auto sink = make({0, 60, 0, false, false});
    ASSERT_TRUE(sink->open(file_.path(), true));
    now_ += 60;
    sink->rotateIfDue();
    ASSERT_EQ(1u, parts().size());
    EXPECT_EQ("earlier", parts()[0].second);
}

}  // namespace
}  // namespace serialtap
