#include "app/line_event_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace serialtap {
namespace {

using namespace std::chrono_literals;

// A bus with a break before every frame keeps each break in its place
// while the frames are long enough to carry the line; breaks closer than
// that are counted and said once a second, where the last one came.
TEST(LineEventLog, BreaksOfLongFramesStayInPlaceCloseOnesAreCounted) {
    std::vector<std::string> said;
    // Lines as a plain text capture writes them.
    LineEventLog log(1, [&said](std::size_t, const std::string& what) {
        said.push_back(what);
        return what.size() + LineEventLog::kPlainLineBytes;
    });
    const LineEventLog::Clock::time_point start{};
    for (int frame = 0; frame < 3; ++frame) {
        log.mark(0, {LineEventKind::Break, 0}, start + frame * 10ms);
        log.delivered(0, LineEventLog::kBreakLineBytes);
    }
    EXPECT_EQ(said, (std::vector<std::string>{"break", "break", "break"}));

    said.clear();
    for (int frame = 0; frame < 50; ++frame) {
        log.mark(0, {LineEventKind::Break, 0}, start + 100ms + frame * 10ms);
        log.delivered(0, 4);
    }
    // The first still had its frame's room behind it.
    EXPECT_EQ(said, std::vector<std::string>{"break"});
    ASSERT_TRUE(log.deadline().has_value());
    log.runTimers(*log.deadline());
    EXPECT_EQ(said, (std::vector<std::string>{"break", "49 breaks over 0.5 s"}));
    EXPECT_FALSE(log.deadline().has_value());
}

}  // namespace
}  // namespace serialtap
