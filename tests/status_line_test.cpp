// The status line over a recorded terminal and a clock the test moves.

#include "app/status_line.h"

#include <gtest/gtest.h>

#include "app/display_width.h"
#include "tests/terminal_screen.h"

namespace serialtap {
namespace {

using namespace std::chrono_literals;
using TimePoint = StatusLine::TimePoint;

class RecordingDisplay : public StatusDisplay {
public:
    bool drawable() override { return true; }
    int columns() override { return width; }
    bool write(const std::string& text) override {
        ++writes;
        // A terminal that is not read takes only the start of the text.
        std::string taken = takes ? text : text.substr(0, 10);
        screen.write(taken);
        written += taken;
        return takes;
    }

    bool takes = true;
    int width = 0;
    int writes = 0;
    std::string written;
    testing::TerminalScreen screen;
};

class StatusLineTest : public ::testing::Test {
protected:
    StatusLine& line(bool terminal = true) {
        status_ = std::make_unique<StatusLine>("/dev/ttyUSB0 115200 8N1 -> log.txt", display_,
                                               terminal, [this] { return now_; });
        return *status_;
    }
    // Runs the capture loop's part: wait until the line asks, then redraw;
    // gives the number of wake-ups in the span.
    int idleFor(std::chrono::seconds span) {
        TimePoint end = now_ + span;
        int wakes = 0;
        for (auto next = status_->nextRedraw(); next && *next <= end;
             next = status_->nextRedraw()) {
            now_ = std::max(now_, *next);
            status_->redrawIfDue();
            ++wakes;
            auto after = status_->nextRedraw();
            if (after && *after <= now_) {
                ADD_FAILURE() << "a redraw due again at once would spin";
                break;
            }
        }
        now_ = end;
        return wakes;
    }
    std::string shown() const { return display_.screen.cursorLine(); }

    TimePoint now_ = TimePoint{} + 1000s;
    RecordingDisplay display_;
    std::unique_ptr<StatusLine> status_;
};

TEST_F(StatusLineTest, ShowsPortFileBytesRateAgeStateAndTheKey) {
    StatusLine& status = line();
    status.redrawIfDue();
    EXPECT_EQ(shown(),
              "/dev/ttyUSB0 115200 8N1 -> log.txt | 0 B | 0 B/s | no bytes yet | open | q to stop");
    status.bytesReceived(1500);
    now_ += 500ms;
    status.bytesReceived(548);
    status.redrawIfDue();
    EXPECT_EQ(shown(),
              "/dev/ttyUSB0 115200 8N1 -> log.txt | 2.0 KiB | 2.9 KiB/s | "
              "last byte just now | open | q to stop");
    now_ += 3s;
    status.portStateChanged(PortState::Lost);
    status.redrawIfDue();
    EXPECT_EQ(shown(),
              "/dev/ttyUSB0 115200 8N1 -> log.txt | 2.0 KiB | 0 B/s | "
              "last byte 3 s ago | lost | q to stop");
    now_ += 1s;
    status.portStateChanged(PortState::Back);
    status.redrawIfDue();
    EXPECT_NE(shown().find("| last byte 4 s ago | back |"), std::string::npos) << shown();
    EXPECT_EQ(display_.screen.lines().size(), 1u) << "redrawn in place";
}

TEST_F(StatusLineTest, RedrawsAtMostFourTimesASecondAndOnlyWhenTheTextChanges) {
    StatusLine& status = line();
    status.redrawIfDue();
    // Nothing changed on the line: no write, even when it was due.
    status.portStateChanged(PortState::Open);
    now_ += 300ms;
    status.redrawIfDue();
    EXPECT_EQ(display_.writes, 1);
    // A byte every 10 ms for two seconds.
    for (int tick = 0; tick < 200; ++tick) {
        now_ += 10ms;
        status.bytesReceived(1);
        status.redrawIfDue();
    }
    EXPECT_LE(display_.writes - 1, 8);
    EXPECT_GE(display_.writes - 1, 6);
}

TEST_F(StatusLineTest, AnIdleCaptureIsWokenAtMostOnceASecondAndNotAtAllBeforeTheFirstByte) {
    StatusLine& status = line();
    status.redrawIfDue();
    EXPECT_EQ(status.nextRedraw(), std::nullopt);
    EXPECT_EQ(idleFor(600s), 0);

    status.bytesReceived(10);
    // The first minute counts seconds, then minutes, then hours.
    EXPECT_LE(idleFor(60s), 61);
    EXPECT_LE(idleFor(3540s), 60);
    EXPECT_EQ(shown().find("| last byte 1 h ago |") != std::string::npos, true) << shown();
    EXPECT_LE(idleFor(7200s), 3);
}

TEST_F(StatusLineTest, EraseLeavesAnEmptyLineForTheMessageAndTheLineComesBack) {
    StatusLine& status = line();
    status.erase();
    EXPECT_EQ(display_.writes, 0) << "nothing shown, nothing to erase";
    status.redrawIfDue();
    status.erase();
    EXPECT_EQ(shown(), "");
    EXPECT_EQ(display_.screen.cursorColumn(), 0u);
    display_.screen.write("Error for Waiting Comm Event: 5\r\n");
    now_ += StatusLine::kRedrawInterval;
    status.redrawIfDue();
    EXPECT_EQ(display_.screen.lines(),
              (std::vector<std::string>{"Error for Waiting Comm Event: 5",
                                        "/dev/ttyUSB0 115200 8N1 -> log.txt | 0 B | 0 B/s | no "
                                        "bytes yet | open | q to stop"}));
    status.end();
    EXPECT_EQ(shown(), "");
    EXPECT_EQ(display_.screen.cursorColumn(), 0u);
    EXPECT_EQ(status.nextRedraw(), std::nullopt);
}

// A line the terminal took only part of is drawn whole once it takes more.
TEST_F(StatusLineTest, LineTheTerminalDidNotTakeIsDrawnAgain) {
    StatusLine& status = line();
    display_.takes = false;
    status.redrawIfDue();
    display_.takes = true;
    EXPECT_EQ(1, idleFor(1s));
    EXPECT_EQ(shown(),
              "/dev/ttyUSB0 115200 8N1 -> log.txt | 0 B | 0 B/s | no bytes yet | open | q to stop");
}

TEST_F(StatusLineTest, FitsANarrowTerminalByShorteningTheHeading) {
    display_.width = 70;
    StatusLine& status = line();
    status.redrawIfDue();
    EXPECT_EQ(shown(), "...200 8N1 -> log.txt | 0 B | 0 B/s | no bytes yet | open | q to stop");
    EXPECT_EQ(shown().size(), 69u);
}

// Narrower still, the fields go in a fixed order that the numbers do not
// change, the byte count and the state last; the heading takes what is left.
TEST_F(StatusLineTest, KeepsTheNumbersAndTheStateOnANarrowTerminalWhateverTheirWidth) {
    struct Width {
        int columns;
        const char* atStart;
        const char* later;
    } widths[] = {
        {62, "... 115200 8N1 -> log.txt | 0 B | 0 B/s | no bytes yet | open",
         "....txt | 10.5 MiB | 1000.0 KiB/s | last byte just now | open"},
        {40, "0 B | 0 B/s | open", "10.5 MiB | 1000.0 KiB/s | open"},
        {20, "0 B | open", "10.5 MiB | open"},
    };
    for (const Width& width : widths) {
        display_.width = width.columns;
        StatusLine& status = line();
        status.redrawIfDue();
        EXPECT_EQ(shown(), width.atStart);
        status.bytesReceived(10000000);
        now_ += 10s;
        status.bytesReceived(1024000);
        now_ += 500ms;
        status.redrawIfDue();
        EXPECT_EQ(shown(), width.later);
        EXPECT_LT(display_.screen.cursorColumn(), static_cast<std::size_t>(width.columns));
        status.end();
    }
}

// A name in double-width characters takes two columns a character: the
// line must not wrap, or the end would leave its rest on the screen.
TEST_F(StatusLineTest, CountsDoubleWidthCharactersAsTwoColumns) {
    display_.width = 60;
    status_ = std::make_unique<StatusLine>(
        "COM3 9600 8N1 -> \xE6\x97\xA5\xE5\xBF\x97.txt", display_, true, [this] { return now_; },
        TextEncoding::Utf8);
    status_->redrawIfDue();
    EXPECT_EQ(shown(),
              "...9600 8N1 -> \xE6\x97\xA5\xE5\xBF\x97.txt | 0 B | 0 B/s | no bytes yet | open");
    EXPECT_EQ(59u, textColumns(shown(), TextEncoding::Utf8));
    EXPECT_EQ(display_.screen.lines().size(), 1u) << "wrapped";
    EXPECT_EQ(2, characterColumns(0x4E2D));
    EXPECT_EQ(0, characterColumns(0x0301));
    EXPECT_EQ(1, characterColumns(0x00E9));
    EXPECT_EQ(2, characterColumns(0x1F600));
    EXPECT_EQ(lastColumns("a\xCC\x81"
                          "b",
                          1, TextEncoding::Utf8),
              "b")
        << "no mark alone";
}

// The rate of a burst shows at the next redraw, not a second later, and is
// gone a second after the burst.
TEST_F(StatusLineTest, RateFollowsABurstWithoutASecondsDelay) {
    StatusLine& status = line();
    status.redrawIfDue();
    now_ += 30s;
    for (int tick = 0; tick < 50; ++tick) {
        status.bytesReceived(100);
        now_ += 10ms;
        status.redrawIfDue();
    }
    EXPECT_NE(shown().find("| 9.8 KiB/s |"), std::string::npos) << shown();
    now_ += 1s;
    status.redrawIfDue();
    EXPECT_NE(shown().find("| 0 B/s |"), std::string::npos) << shown();
}

// A device that sends a line a second (or every two), split over a few
// reads, shows its rate at every redraw: not the line over a part of a
// second, nor 0 or twice it as a line enters or leaves the last second.
// The rate is 0 once the lines stop.
TEST_F(StatusLineTest, RateOfALineASecondIsTheLinesBytesPerSecond) {
    for (auto period : {990ms, 1000ms, 1010ms, 2000ms}) {
        StatusLine& status = line();
        std::vector<std::string> rates;
        for (int second = 0; second < 8; ++second) {
            for (std::size_t part : {30, 30, 22}) {
                status.bytesReceived(part);
                now_ += 3ms;
            }
            TimePoint next = now_ + period - std::chrono::milliseconds(9);
            for (auto due = status.nextRedraw(); due && *due < next; due = status.nextRedraw()) {
                now_ = std::max(now_, *due);
                status.redrawIfDue();
                std::string text = shown();
                std::size_t end = text.find(" B/s |");
                std::size_t begin = text.rfind("| ", end) + 2;
                if (second >= 1 && end != std::string::npos) {
                    rates.push_back(text.substr(begin, end - begin));
                }
            }
            now_ = next;
        }
        ASSERT_FALSE(rates.empty());
        double expected = 82.0 * 1000 / static_cast<double>(period.count());
        for (const std::string& rate : rates) {
            EXPECT_NEAR(std::stod(rate), expected, 1.0)
                << "a line each " << period.count() << " ms";
        }
        idleFor(3s);
        EXPECT_NE(shown().find("| 0 B/s |"), std::string::npos) << shown();
        status.end();
    }
}

// Without a terminal the line is never drawn; what the rate is made of
// must not grow with every read of a long capture.
TEST_F(StatusLineTest, KeepsABoundedCountOfRecentBytesDrawnOrNot) {
    for (bool terminal : {false, true}) {
        StatusLine& status = line(terminal);
        for (int read = 0; read < 100000; ++read) {
            status.bytesReceived(16);
            now_ += 1ms;
        }
        EXPECT_LE(status.rateCountsKept(), 501u);
    }
}

// Several ports on a narrow terminal give up their own counts for the
// total before the rate and the state go.
TEST_F(StatusLineTest, SeveralPortsKeepTheRateAndStateOnANarrowTerminal) {
    for (std::size_t ports = 1; ports <= 8; ++ports) {
        std::vector<std::string> labels;
        for (std::size_t i = 0; i < ports; ++i) labels.push_back("ttyUSB" + std::to_string(i));
        for (int columns : {20, 40, 80, 120, 200}) {
            display_.width = columns;
            StatusLine& status = line();
            if (ports > 1) status.portsLabelled(labels);
            status.bytesReceived(10000000, ports - 1);
            now_ += 500ms;
            status.bytesReceived(100000, 0);
            status.redrawIfDue();
            std::string where = std::to_string(ports) + " ports, " + std::to_string(columns);
            // Up to 7 ports have room for their own counts at 200 columns.
            bool each = ports > 1 && ports < 8 && columns == 200;
            EXPECT_LT(textColumns(shown(), TextEncoding::Utf8), static_cast<std::size_t>(columns))
                << where;
            EXPECT_TRUE(shown().find(ports > 1 ? "ttyUSB0 97.7 KiB, " : "9.6 MiB") !=
                            std::string::npos ||
                        (!each && shown().find("9.6 MiB") != std::string::npos))
                << where << ": " << shown();
            EXPECT_NE(shown().find("| open"), std::string::npos) << where << ": " << shown();
            if (columns >= 40) {
                EXPECT_NE(shown().find("B/s |"), std::string::npos) << where << ": " << shown();
            }
            status.end();
        }
    }
}

TEST_F(StatusLineTest, ShowsTheBytesOfEachPortOfSeveral) {
    StatusLine& status = line();
    status.portsLabelled({"ttyUSB0", "ttyUSB1"});
    status.bytesReceived(1500, 1);
    status.bytesReceived(20, 0);
    status.bytesReceived(600, 1);
    status.redrawIfDue();
    EXPECT_NE(shown().find("| ttyUSB0 20 B, ttyUSB1 2.1 KiB | "), std::string::npos) << shown();
    // One port lost is named, and the line says lost until it is back.
    status.portStateChanged(PortState::Lost, 0);
    status.portStateChanged(PortState::Back, 1);
    now_ += 1s;
    status.redrawIfDue();
    EXPECT_NE(shown().find("| ttyUSB0 20 B lost, ttyUSB1 2.1 KiB | "), std::string::npos)
        << shown();
    EXPECT_NE(shown().find("| lost |"), std::string::npos) << shown();
    status.portStateChanged(PortState::Back, 0);
    now_ += 1s;
    status.redrawIfDue();
    EXPECT_NE(shown().find("| back |"), std::string::npos) << shown();
}

TEST_F(StatusLineTest, WithoutATerminalWritesOneSummaryAtTheEnd) {
    StatusLine& status = line(false);
    status.bytesReceived(5000);
    EXPECT_EQ(status.nextRedraw(), std::nullopt);
    now_ += 4s;
    status.redrawIfDue();
    status.erase();
    EXPECT_EQ(display_.writes, 0);
    status.end();
    status.end();
    EXPECT_EQ(display_.written,
              "/dev/ttyUSB0 115200 8N1 -> log.txt: 5000 bytes received in 4.0 s, 1.2 KiB/s, port "
              "open\n");
}

TEST_F(StatusLineTest, TheSummaryOfSeveralPortsGivesEachPortsBytes) {
    StatusLine& status = line(false);
    status.portsLabelled({"ttyUSB0", "ttyUSB1"});
    status.bytesReceived(3000, 0);
    status.bytesReceived(2000, 1);
    status.portStateChanged(PortState::Lost, 1);
    now_ += 4s;
    status.end();
    EXPECT_EQ(display_.written,
              "/dev/ttyUSB0 115200 8N1 -> log.txt: 5000 bytes received in 4.0 s, 1.2 KiB/s, port "
              "lost (ttyUSB0 3000 bytes, ttyUSB1 2000 bytes lost)\n");
}

}  // namespace
}  // namespace serialtap
