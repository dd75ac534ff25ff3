#include "app/status_line.h"

#include <algorithm>
#include <cstdio>

namespace serialtap {

namespace {

using std::chrono::duration;
using std::chrono::seconds;

std::string format(const char* pattern, double value) {
    char text[48];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string size(double bytes, const char* suffix) {
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return format("%.0f B", bytes) + suffix;
    int unit = 0;
    for (bytes /= 1024; bytes >= 1024 && unit < 3; bytes /= 1024) ++unit;
    return format("%.1f ", bytes) + units[unit] + suffix;
}

// Columns a UTF-8 text takes, one for each character.
std::size_t width(const std::string& text) {
    std::size_t count = 0;
    for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

// The last characters of a text that fill this many columns.
std::string lastColumns(const std::string& text, std::size_t columns) {
    std::size_t at = text.size();
    for (std::size_t taken = 0; at > 0 && taken < columns;) {
        --at;
        taken += (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
    }
    return text.substr(at);
}

std::string firstColumns(const std::string& text, std::size_t columns) {
    std::size_t at = 0;
    for (std::size_t taken = 0; at < text.size(); ++at) {
        bool starts = (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
        if (starts && taken++ == columns) break;
    }
    return text.substr(0, at);
}

const char* stateName(PortState state) {
    switch (state) {
        case PortState::Lost:
            return "lost";
        case PortState::Back:
            return "back";
        case PortState::Open:
            break;
    }
    return "open";
}

// The time since the last byte, as coarse as it is old: a line that says
// "5 min" needs a redraw once a minute, not once a second.
struct Age {
    std::string text;
    seconds step;
};

Age ageOf(duration<double> elapsed) {
    auto whole = std::chrono::duration_cast<seconds>(elapsed).count();
    if (whole < 1) return {"just now", seconds(1)};
    if (whole < 60) return {std::to_string(whole) + " s ago", seconds(1)};
    if (whole < 3600) return {std::to_string(whole / 60) + " min ago", seconds(60)};
    return {std::to_string(whole / 3600) + " h ago", seconds(3600)};
}

}  // namespace

StatusLine::StatusLine(const std::string& heading, StatusDisplay& display, bool terminal,
                       std::function<TimePoint()> now)
    : display_(display), terminal_(terminal), now_(std::move(now)) {
    // A file or port name with control characters must not break the line.
    for (char c : heading) {
        auto byte = static_cast<unsigned char>(c);
        heading_ += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    start_ = windowStart_ = composed_ = now_();
}

void StatusLine::bytesReceived(std::size_t count) {
    TimePoint now = now_();
    // After a quiet spell the rate is measured from the first new byte.
    if (total_ == windowBytes_ && rate_ == 0) windowStart_ = now;
    total_ += count;
    lastByte_ = now;
    dirty_ = true;
}

void StatusLine::portStateChanged(PortState state) {
    state_ = state;
    dirty_ = true;
}

void StatusLine::updateRate(TimePoint now) {
    duration<double> span = now - windowStart_;
    if (span < seconds(1)) return;
    rate_ = static_cast<double>(total_ - windowBytes_) / span.count();
    windowStart_ = now;
    windowBytes_ = total_;
}

std::string StatusLine::text(TimePoint now) const {
    std::string age = lastByte_ ? "last byte " + ageOf(now - *lastByte_).text : "no bytes yet";
    return " | " + size(static_cast<double>(total_), "") + " | " + size(rate_, "/s") + " | " + age +
           " | " + stateName(state_) + " | q to stop";
}

std::string StatusLine::summary(TimePoint now) const {
    double elapsed = duration<double>(now - start_).count();
    double average = elapsed > 0 ? static_cast<double>(total_) / elapsed : 0;
    return heading_ + ": " + std::to_string(total_) + " bytes received in " +
           format("%.1f s", elapsed) + ", " + size(average, "/s") + ", port " + stateName(state_) +
           "\n";
}

std::optional<StatusLine::TimePoint> StatusLine::nextTimedChange() const {
    std::optional<TimePoint> next;
    if (total_ != windowBytes_ || rate_ != 0) next = windowStart_ + seconds(1);
    if (lastByte_) {
        // The next change of the age the line shows, not of the age now:
        // a redraw that finds it due must not see the one after.
        duration<double> elapsed =
            std::max<duration<double>>(duration<double>::zero(), composed_ - *lastByte_);
        seconds step = ageOf(elapsed).step;
        auto steps = std::chrono::duration_cast<seconds>(elapsed) / step + 1;
        TimePoint change = *lastByte_ + step * steps;
        if (!next || change < *next) next = change;
    }
    return next;
}

std::optional<StatusLine::TimePoint> StatusLine::nextRedraw() const {
    if (!terminal_ || ended_) return std::nullopt;
    std::optional<TimePoint> next = nextTimedChange();
    if (dirty_ && lastDraw_) next = *lastDraw_ + kRedrawInterval;
    if (dirty_ && !lastDraw_) next = start_;
    // Never more often than four times a second.
    if (next && lastDraw_ && *next < *lastDraw_ + kRedrawInterval) {
        next = *lastDraw_ + kRedrawInterval;
    }
    return next;
}

void StatusLine::redrawIfDue() {
    std::optional<TimePoint> due = nextRedraw();
    TimePoint now = now_();
    if (!due || now < *due) return;
    updateRate(now);
    composed_ = now;
    dirty_ = false;
    if (!display_.drawable()) {
        shown_ = false;
        return;
    }
    // Kept one column short of the width, so the terminal never wraps it:
    // a long heading loses its start first.
    std::string fields = text(now);
    std::string line = heading_ + fields;
    int columns = display_.columns();
    if (columns > 0 && width(line) >= static_cast<std::size_t>(columns)) {
        std::size_t room = static_cast<std::size_t>(columns) - 1;
        std::size_t fieldsWidth = width(fields);
        line = fieldsWidth + 4 <= room
                   ? "..." + lastColumns(heading_, room - fieldsWidth - 3) + fields
                   : firstColumns(line, room);
    }
    if (shown_ && line == shownText_) return;
    std::string out = "\r" + line;
    std::size_t lineWidth = width(line);
    if (shown_ && shownWidth_ > lineWidth) out += std::string(shownWidth_ - lineWidth, ' ');
    bool whole = display_.write(out);
    // A terminal that took only part of the line shows some of it: the
    // next redraw writes it whole and blanks what the widest try covered.
    shownWidth_ = whole || !shown_ ? lineWidth : std::max(shownWidth_, lineWidth);
    shown_ = true;
    shownText_ = whole ? line : std::string();
    dirty_ = !whole;
    lastDraw_ = now;
}

void StatusLine::erase() {
    if (!shown_) return;
    if (display_.drawable()) display_.write("\r" + std::string(shownWidth_, ' ') + "\r");
    shown_ = false;
    shownWidth_ = 0;
    shownText_.clear();
    dirty_ = true;
}

void StatusLine::end() {
    if (ended_) return;
    if (terminal_) {
        erase();
    } else {
        display_.write(summary(now_()));
    }
    ended_ = true;
}

}  // namespace serialtap
