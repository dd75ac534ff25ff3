#include "app/line_event_log.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace serialtap {

namespace {

constexpr std::size_t kindIndex(LineEventKind kind) { return static_cast<std::size_t>(kind); }

std::string countOf(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + ' ' + (count == 1 ? one : many);
}

// What one mark, or a run of them, says.
std::string eventText(LineEventKind kind, std::uint64_t events, std::uint64_t bytes, bool uncounted,
                      std::uint32_t lines) {
    switch (kind) {
        case LineEventKind::Break:
            return events == 1 ? "break" : countOf(events, "break", "breaks");
        case LineEventKind::FramingError:
            return "framing error on " + countOf(bytes, "byte", "bytes");
        case LineEventKind::ParityError:
            return "parity error on " + countOf(bytes, "byte", "bytes");
        case LineEventKind::Dropped:
            if (bytes == 0) return "bytes dropped at or before this point (count unknown)";
            return std::string("bytes dropped at or before this point: ") +
                   (uncounted ? "at least " : "") + std::to_string(bytes);
        case LineEventKind::ModemLines:
            return modemLinesText(lines);
    }
    return {};
}

}  // namespace

std::string modemLinesText(std::uint32_t lines) {
    auto state = [lines](std::uint32_t bit) { return (lines & bit) != 0 ? " on" : " off"; };
    return std::string("modem lines: CTS") + state(kLineCts) + ", DSR" + state(kLineDsr) + ", DCD" +
           state(kLineDcd) + ", RI" + state(kLineRing);
}

std::string secondsText(std::chrono::steady_clock::duration duration) {
    double seconds = std::chrono::duration<double>(duration).count();
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds < 0 ? 0.0 : seconds);
    return text;
}

LineEventLog::LineEventLog(std::size_t ports, Write write)
    : ports_(ports == 0 ? 1 : ports), write_(std::move(write)) {}

// A break's line is short; the others, with their counts, take up to this.
std::uint64_t LineEventLog::roomFor(LineEventKind kind, const Port& port) {
    if (kind == LineEventKind::Break) {
        return kBreakLineBytes - kPlainLineBytes + port.lineBytesBeyondText;
    }
    return std::max(kRoomBytes, kLongestText + port.lineBytesBeyondText);
}

bool LineEventLog::lineAllowed(const Port& port, std::uint64_t room, Clock::time_point now) {
    return !port.saidAny || port.bytesSinceLine >= room || now - port.lastLine >= kLineEvery;
}

void LineEventLog::say(std::size_t port, const std::string& what, Clock::time_point now) {
    Port& p = ports_[port];
    p.saidAny = true;
    p.bytesSinceLine = 0;
    p.lastLine = now;
    const std::size_t written = write_(port, what);
    if (written > what.size()) p.lineBytesBeyondText = written - what.size();
}

void LineEventLog::mark(std::size_t port, const LineMark& mark, Clock::time_point now) {
    if (port >= ports_.size()) return;
    const std::size_t kind = kindIndex(mark.kind);
    if (kind >= kKinds) return;
    const bool errors =
        mark.kind == LineEventKind::FramingError || mark.kind == LineEventKind::ParityError;
    const std::uint64_t bytes = errors && mark.count == 0 ? 1 : mark.count;
    const bool uncounted = mark.kind == LineEventKind::Dropped && mark.count == 0;
    ++totalEvents_[kind];
    totalBytes_[kind] += bytes;
    if (uncounted) ++uncountedDrops_;

    Port& p = ports_[port];
    Run& run = p.runs[kind];
    const auto room = roomFor(mark.kind, p);
    const bool dense = p.lastMark == mark.kind && p.cleanBytes < static_cast<std::int64_t>(room);
    p.lastMark = mark.kind;
    // The bytes an error marks are not clean.
    p.cleanBytes = errors ? -static_cast<std::int64_t>(bytes) : 0;
    const bool allowed = dense ? now - p.lastLine >= kLineEvery : lineAllowed(p, room, now);
    if (allowed && run.events == 0) {
        sayRuns(port, now);
        say(port, eventText(mark.kind, 1, bytes, uncounted, mark.lines), now);
        return;
    }
    if (run.events == 0) run.first = now;
    ++run.events;
    run.bytes += bytes;
    run.uncounted = run.uncounted || uncounted;
    run.lines = mark.lines;
    run.last = now;
    // A run ends with the mark that finds a line allowed again.
    if (allowed) sayRuns(port, now);
}

void LineEventLog::sayRuns(std::size_t port, Clock::time_point now) {
    Port& p = ports_[port];
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
        Run run = p.runs[kind];
        if (run.events == 0) continue;
        p.runs[kind] = Run{};
        auto k = static_cast<LineEventKind>(kind);
        std::string what = eventText(k, run.events, run.bytes, run.uncounted, run.lines);
        const std::string over = " over " + secondsText(run.last - run.first);
        if (k == LineEventKind::ModemLines) {
            what += " (" + countOf(run.events, "change", "changes") + over + ")";
        } else if (k != LineEventKind::Dropped && run.events > 1) {
            what += over;
        }
        say(port, what, now);
    }
}

void LineEventLog::lost(std::size_t port, Clock::time_point now) {
    if (port >= ports_.size()) return;
    ++timesLost_;
    sayRuns(port, now);
    say(port, "port lost", now);
}

void LineEventLog::back(std::size_t port, Clock::duration away, Clock::time_point now) {
    if (port >= ports_.size()) return;
    say(port, "port back after " + secondsText(away), now);
}

void LineEventLog::endRuns(Clock::time_point now) {
    for (std::size_t port = 0; port < ports_.size(); ++port) sayRuns(port, now);
}

bool LineEventLog::runTimers(Clock::time_point now) {
    bool said = false;
    for (std::size_t port = 0; port < ports_.size(); ++port) {
        const Port& p = ports_[port];
        if (p.counting() && now - p.lastLine >= kLineEvery) {
            sayRuns(port, now);
            said = true;
        }
    }
    return said;
}

std::optional<LineEventLog::Clock::time_point> LineEventLog::deadline() const {
    std::optional<Clock::time_point> earliest;
    for (const Port& p : ports_) {
        if (!p.counting()) continue;
        Clock::time_point due = p.lastLine + kLineEvery;
        if (!earliest || due < *earliest) earliest = due;
    }
    return earliest;
}

std::string LineEventLog::summary() const {
    auto at = [](const auto& totals, LineEventKind kind) { return totals[kindIndex(kind)]; };
    std::string text =
        "line events: " + countOf(at(totalEvents_, LineEventKind::Break), "break", "breaks") +
        ", " + countOf(at(totalBytes_, LineEventKind::FramingError), "byte", "bytes") +
        " with framing errors, " +
        countOf(at(totalBytes_, LineEventKind::ParityError), "byte", "bytes") +
        " with parity errors, ";
    std::uint64_t dropped = at(totalBytes_, LineEventKind::Dropped);
    text += std::to_string(dropped) + (uncountedDrops_ > 0 ? " or more" : "") + " bytes dropped, " +
            countOf(at(totalEvents_, LineEventKind::ModemLines), "modem-line change",
                    "modem-line changes") +
            ", lost " + countOf(timesLost_, "time", "times") + "\n";
    return text;
}

}  // namespace serialtap
