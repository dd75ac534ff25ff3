#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "port/visible_text.h"

namespace serialtap {

enum class PortState { Open, Lost, Back };

// Where the status line goes: standard error. Platform code gives the real
// one, tests a recording fake.
class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;
    // Whether the line may be drawn now; not while the program runs in the
    // background of its terminal.
    virtual bool drawable() = 0;
    // The terminal's width in columns; 0 when unknown.
    virtual int columns() = 0;
    // Never waits for the terminal; false when it did not take all of the text.
    virtual bool write(const std::string& text) = 0;
};

// One line on a terminal that tells how the capture goes: port and
// settings, capture file, bytes received, rate, time since the last byte,
// the port's state and how to stop. It is redrawn in place at most four
// times a second and only when its text changed; while nothing on it
// changes it asks for no redraw, so an idle capture is not woken for it.
// Without a terminal it writes one summary line at the end instead.
class StatusLine {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    static constexpr std::chrono::milliseconds kRedrawInterval{250};
    // The rate shown is of the bytes of the last second, or, for a device
    // that sends in bursts, of its last whole cycles of burst and pause.
    static constexpr std::chrono::seconds kRateWindow{1};
    // How far back the counts of bytes go; they are kept no longer, so the
    // memory they take is bounded whether or not the line is ever drawn.
    static constexpr std::chrono::seconds kRateLookback{5};

    // The heading is shown in the encoding the terminal reads.
    StatusLine(const std::string& heading, StatusDisplay& display, bool terminal,
               std::function<TimePoint()> now, TextEncoding encoding = localeEncoding());

    // The ports of a capture of several, whose bytes are then shown each.
    void portsLabelled(const std::vector<std::string>& labels);
    void bytesReceived(std::size_t count, std::size_t port = 0);
    // With several ports, the state shown is the worst of theirs, and a
    // port that is not open shows its state beside its bytes.
    void portStateChanged(PortState state, std::size_t port = 0);
    // Takes the line off the screen, before a message is printed; it comes
    // back with the next redraw.
    void erase();
    // Draws the line when a redraw is due.
    void redrawIfDue();
    // When redrawIfDue has something to do; none while nothing will change.
    std::optional<TimePoint> nextRedraw() const;
    // The capture is over: the line is erased, or the summary written.
    void end();
    TimePoint now() const { return now_(); }
    // The counts the rate is made from; at most one per 10 ms of the lookback.
    std::size_t rateCountsKept() const { return recent_.size(); }

private:
    // One of the line's fields after the heading.
    struct Field {
        std::string text;
        std::size_t widest;  // in columns
    };

    std::vector<Field> fields(TimePoint now) const;
    std::string text(TimePoint now) const;
    std::string layOut(TimePoint now, std::size_t columns) const;
    std::string summary(TimePoint now) const;
    std::optional<TimePoint> nextTimedChange() const;
    void updateRate(TimePoint now);
    void forgetOldCounts(TimePoint now);

    std::string heading_;
    StatusDisplay& display_;
    bool terminal_;
    std::function<TimePoint()> now_;
    TimePoint start_;
    std::uint64_t total_ = 0;
    std::vector<std::string> labels_;
    std::vector<std::uint64_t> perPort_;
    std::vector<PortState> portStates_;
    std::optional<TimePoint> lastByte_;
    PortState state_ = PortState::Open;
    TextEncoding encoding_;
    // Bytes counted in 10 ms slots over the lookback, and when the last
    // slot before them was.
    std::deque<std::pair<TimePoint, std::uint64_t>> recent_;
    std::optional<TimePoint> beforeRecent_;
    double rate_ = 0;
    // When the rate shown changes with no byte; none once it is 0.
    std::optional<TimePoint> rateChange_;
    bool dirty_ = true;
    bool shown_ = false;
    bool ended_ = false;
    std::size_t shownWidth_ = 0;
    std::string shownText_;
    std::optional<TimePoint> lastDraw_;
    TimePoint composed_;  // when the line's text was last made
};

}  // namespace serialtap
