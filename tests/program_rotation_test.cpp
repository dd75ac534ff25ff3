// A capture that runs for months: its file emptied under it by an outside
// rotation, rotated by size or by the clock, its old parts pruned, and its
// parts together always the whole capture.

#include <sys/file.h>
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
