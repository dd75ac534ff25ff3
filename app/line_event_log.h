#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port/line_event.h"

namespace serialtap {

// Turns what the ports report of their lines into the capture's event
// lines, and keeps the room they take bounded: a port's event gets a line
// of its own where it happened when the port delivered at least as many
// bytes of data since its last event line as that line takes, or a second
// has passed since it. What a line takes beyond its text (a stamp, a
// label, a raw capture's offset and time) is learnt from the port's last
// line, so long labels and stamps are paid for too. Events that come closer than that are counted
// instead, a run for each kind, and the run's one line comes at the next
// point a line is allowed (at the latest its deadline()), before a port is
// lost and at the end. Marks of one kind closer together than that room
// (an error on every byte) make a run that is said once a second at
// most, so a flood takes a line a second and a few counts of memory; a
// break every frame of a bus is still marked at each frame of
// kBreakLineBytes or more.
class LineEventLog {
public:
    using Clock = std::chrono::steady_clock;
    // Writes the line; returns the bytes it took.
    using Write = std::function<std::size_t(std::size_t port, const std::string& what)>;
    static constexpr std::uint64_t kRoomBytes = 128;
    static constexpr std::uint64_t kBreakLineBytes = 21;
    // "--- serialtap: " and LF: what a line of a plain text capture
    // takes beyond its text; and the room a line's text needs at most.
    static constexpr std::uint64_t kPlainLineBytes = 16;
    static constexpr std::uint64_t kLongestText = 80;
    static constexpr Clock::duration kLineEvery = std::chrono::seconds(1);

    LineEventLog(std::size_t ports, Write write);

    // A mark at its place, after the bytes before it were written.
    void mark(std::size_t port, const LineMark& mark, Clock::time_point now);
    // Data bytes the port delivered, written to the capture.
    void delivered(std::size_t port, std::size_t count) {
        Port& p = ports_[port];
        p.bytesSinceLine += count;
        p.cleanBytes += static_cast<std::int64_t>(count);
    }
    // The port is gone, back after a time away, or the capture ends: what
    // is counted is said first.
    void lost(std::size_t port, Clock::time_point now);
    void back(std::size_t port, Clock::duration away, Clock::time_point now);
    void endRuns(Clock::time_point now);
    // Says the runs whose line is allowed by now; true when it said any.
    bool runTimers(Clock::time_point now);
    // When a counted run's line falls due; none while nothing is counted.
    std::optional<Clock::time_point> deadline() const;

    // Counts of each kind over the whole capture, for the summary.
    std::string summary() const;

private:
    static constexpr std::size_t kKinds = 5;
    struct Run {
        std::uint64_t events = 0;  // marks counted
        std::uint64_t bytes = 0;   // the bytes they name (errors, drops)
        bool uncounted = false;    // a drop without a count
        std::uint32_t lines = 0;   // modem lines: the latest state
        Clock::time_point first{};
        Clock::time_point last{};
    };
    struct Port {
        bool saidAny = false;
        std::uint64_t bytesSinceLine = 0;
        std::uint64_t lineBytesBeyondText = kPlainLineBytes;
        // The last mark's kind, and the bytes since it that no error
        // marked: a mark of the same kind that follows too soon continues
        // a run, which is said once a second at most.
        std::optional<LineEventKind> lastMark;
        std::int64_t cleanBytes = 0;
        Clock::time_point lastLine{};
        std::array<Run, kKinds> runs{};

        bool counting() const {
            return std::any_of(runs.begin(), runs.end(),
                               [](const Run& run) { return run.events > 0; });
        }
    };
    static std::uint64_t roomFor(LineEventKind kind, const Port& port);
    static bool lineAllowed(const Port& port, std::uint64_t room, Clock::time_point now);
    void sayRuns(std::size_t port, Clock::time_point now);
    void say(std::size_t port, const std::string& what, Clock::time_point now);

    std::vector<Port> ports_;
    Write write_;
    // Totals: marks of each kind, bytes they name, times lost.
    std::array<std::uint64_t, kKinds> totalEvents_{};
    std::array<std::uint64_t, kKinds> totalBytes_{};
    std::uint64_t uncountedDrops_ = 0;
    std::uint64_t timesLost_ = 0;
};

// The texts of event lines, after "--- serialtap: ".
std::string modemLinesText(std::uint32_t lines);
std::string secondsText(std::chrono::steady_clock::duration duration);

}  // namespace serialtap
