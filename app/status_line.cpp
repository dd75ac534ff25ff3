#include "app/status_line.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/display_width.h"

namespace serialtap {

namespace {

// The fields after the heading, in their order on the line.
enum { kBytesField, kRateField, kAgeField, kStateField, kKeyField };
// "1023.9 KiB"
constexpr std::size_t kSizeColumns = 10;
constexpr std::chrono::milliseconds kCountSlot{10};
// Longer than the spaces between the reads of one line at any baud rate
// in use, shorter than the pause of a device that sends a line at a time.
constexpr std::chrono::milliseconds kBurstGap{200};

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
                       std::function<TimePoint()> now, TextEncoding encoding)
    // A file or port name with control characters must not break the line
    // nor send the terminal a command.
    : heading_(visibleText(heading, encoding, '?', false)),
      display_(display),
      terminal_(terminal),
      now_(std::move(now)),
      encoding_(encoding) {
    start_ = composed_ = now_();
}

void StatusLine::portsLabelled(const std::vector<std::string>& labels) {
    labels_ = labels;
    for (std::string& label : labels_) label = visibleText(label, encoding_, '?', false);
    perPort_.assign(labels.size(), 0);
    portStates_.assign(labels.size(), PortState::Open);
    dirty_ = true;
}

void StatusLine::bytesReceived(std::size_t count, std::size_t port) {
    if (port < perPort_.size()) perPort_[port] += count;
    TimePoint now = now_();
    // Bytes of the same 10 ms are counted together, so a flood keeps a few
    // hundred counts at most.
    if (!recent_.empty() && now - recent_.back().first < kCountSlot) {
        recent_.back().second += count;
    } else {
        recent_.emplace_back(now, count);
    }
    forgetOldCounts(now);
    total_ += count;
    lastByte_ = now;
    dirty_ = true;
}

void StatusLine::forgetOldCounts(TimePoint now) {
    while (!recent_.empty() && now - recent_.front().first >= kRateLookback) {
        beforeRecent_ = recent_.front().first;
        recent_.pop_front();
    }
}

void StatusLine::portStateChanged(PortState state, std::size_t port) {
    state_ = state;
    if (port < portStates_.size()) {
        portStates_[port] = state;
        // Lost while any port is, back while any came back, else open.
        state_ = PortState::Open;
        for (PortState each : portStates_) {
            if (each == PortState::Lost) state_ = PortState::Lost;
            if (each == PortState::Back && state_ != PortState::Lost) state_ = PortState::Back;
        }
    }
    dirty_ = true;
}

// A device that sends a line a second must show its true rate, not the
// line divided by the part of a second since it came, nor 0 or twice it as
// a line enters or leaves a one-second window. So bytes that come in bursts
// (a pause of over kBurstGap before each) are measured over whole cycles,
// from the start of the earliest burst to the start of the last; a steady
// stream over the last second, or since it began when that is shorter. The
// rate is 0 once no byte came for a second, or for half as long again as
// the last cycle of a device that sends at longer spaces.
void StatusLine::updateRate(TimePoint now) {
    forgetOldCounts(now);
    rate_ = 0;
    rateChange_.reset();
    if (recent_.empty()) return;
    std::vector<TimePoint> starts;
    std::optional<TimePoint> previous = beforeRecent_;
    for (const auto& counted : recent_) {
        if (!previous || counted.first - *previous > kBurstGap) starts.push_back(counted.first);
        previous = counted.first;
    }
    TimePoint last = recent_.back().first;
    Clock::duration cycle = Clock::duration::zero();
    if (starts.size() >= 2) cycle = starts.back() - starts[starts.size() - 2];
    Clock::duration quiet = std::max<Clock::duration>(kRateWindow, cycle * 3 / 2);
    if (now - last >= quiet) return;
    rateChange_ = last + quiet;
    std::uint64_t lastSecond = 0;
    std::optional<TimePoint> leaves;  // when the oldest count of the last second leaves it
    for (const auto& counted : recent_) {
        if (now - counted.first >= kRateWindow) continue;
        lastSecond += counted.second;
        if (!leaves) leaves = counted.first + kRateWindow;
    }
    auto perSecond = [](std::uint64_t bytes, Clock::duration span) {
        return static_cast<double>(bytes) / duration<double>(span).count();
    };
    // A stream: bytes still coming, for longer than a line takes.
    bool flowing =
        now - last <= kBurstGap && (starts.empty() || last - starts.back() >= kRedrawInterval);
    if (flowing) {
        Clock::duration since = starts.empty() ? Clock::duration(kRateWindow) : now - starts.back();
        rate_ =
            perSecond(lastSecond, std::clamp<Clock::duration>(since, kRedrawInterval, kRateWindow));
        rateChange_ = std::min(*rateChange_, last + kBurstGap);
        if (leaves) rateChange_ = std::min(*rateChange_, *leaves);
    } else if (starts.size() >= 2 && last - starts.back() < kRedrawInterval) {
        std::uint64_t cycles = 0;
        for (const auto& counted : recent_) {
            if (counted.first >= starts.front() && counted.first < starts.back()) {
                cycles += counted.second;
            }
        }
        rate_ = perSecond(cycles, starts.back() - starts.front());
    } else {
        // One burst so far, or the end of a stream: what the last second brought.
        rate_ = perSecond(lastSecond, kRateWindow);
        if (leaves) rateChange_ = std::min(*rateChange_, *leaves);
    }
}

std::vector<StatusLine::Field> StatusLine::fields(TimePoint now) const {
    std::string age = lastByte_ ? "last byte " + ageOf(now - *lastByte_).text : "no bytes yet";
    std::string bytes = size(static_cast<double>(total_), "");
    std::size_t widest = kSizeColumns;
    // With several ports, each port's bytes after its label.
    if (!labels_.empty()) {
        bytes.clear();
        widest = 0;
        for (std::size_t i = 0; i < labels_.size(); ++i) {
            if (i > 0) bytes += ", ";
            bytes += labels_[i] + " " + size(static_cast<double>(perPort_[i]), "");
            if (portStates_[i] == PortState::Lost) bytes += " lost";
            widest += (i > 0 ? 2 : 0) + textColumns(labels_[i], encoding_) + 1 + kSizeColumns + 5;
        }
    }
    // The widest each can be, as "1023.9 KiB", "last byte 59 min ago".
    return {{bytes, widest},
            {size(rate_, "/s"), kSizeColumns + 2},
            {age, 20},
            {stateName(state_), 4},
            {"q to stop", 9}};
}

std::string StatusLine::text(TimePoint now) const {
    std::string line = heading_;
    for (const Field& field : fields(now)) line += " | " + field.text;
    return line;
}

// Kept one column short of the width, so the terminal never wraps it. What
// does not fit goes in a fixed order, judged by the widest each field can
// be, so the layout does not change with the numbers: the heading loses
// its start, the key goes, then the age and with it the heading, then the
// bytes of each of several ports give way to their total, then the rate
// goes and the state; the byte count stays longest. The heading takes what
// room the fields leave.
std::string StatusLine::layOut(TimePoint now, std::size_t columns) const {
    std::string whole = text(now);
    if (columns == 0 || textColumns(whole, encoding_) < columns) return whole;
    std::size_t room = columns - 1;
    std::vector<Field> all = fields(now);
    std::vector<bool> kept(all.size(), true);
    bool withHeading = true;
    auto widest = [&] {
        std::size_t used = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (kept[i]) used += all[i].widest + (used > 0 ? 3 : 0);
        }
        return used;
    };
    for (int step = 0; widest() > room && step < 6; ++step) {
        switch (step) {
            case 0:
                kept[kKeyField] = false;
                break;
            case 1:
                kept[kAgeField] = false;
                withHeading = false;
                break;
            case 2:
                all[kBytesField] = {size(static_cast<double>(total_), ""), kSizeColumns};
                break;
            case 3:
                kept[kRateField] = false;
                break;
            case 4:
                kept[kStateField] = false;
                break;
            default:
                kept[kBytesField] = false;
                break;
        }
    }
    std::string body;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (kept[i]) body += (body.empty() ? "" : " | ") + all[i].text;
    }
    std::size_t bodyColumns = textColumns(body, encoding_);
    // "...", at least a column of the heading, and the separator.
    if (withHeading && bodyColumns + 7 <= room) {
        std::size_t left = room - bodyColumns - 3;
        std::string heading = textColumns(heading_, encoding_) <= left
                                  ? heading_
                                  : "..." + lastColumns(heading_, left - 3, encoding_);
        body = heading + " | " + body;
    }
    // A field past its widest (a capture of years) is cut rather than wrapped.
    return firstColumns(body, room, encoding_);
}

std::string StatusLine::summary(TimePoint now) const {
    double elapsed = duration<double>(now - start_).count();
    double average = elapsed > 0 ? static_cast<double>(total_) / elapsed : 0;
    std::string text = heading_ + ": " + std::to_string(total_) + " bytes received in " +
                       format("%.1f s", elapsed) + ", " + size(average, "/s") + ", port " +
                       stateName(state_);
    // With several ports, each port's count after the total, as the live line shows them.
    for (std::size_t i = 0; i < labels_.size(); ++i) {
        text += (i == 0 ? " (" : ", ") + labels_[i] + " " + std::to_string(perPort_[i]) + " bytes";
        if (portStates_[i] == PortState::Lost) text += " lost";
    }
    return text + (labels_.empty() ? "\n" : ")\n");
}

std::optional<StatusLine::TimePoint> StatusLine::nextTimedChange() const {
    std::optional<TimePoint> next;
    next = rateChange_;
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
    int columns = display_.columns();
    std::string line = layOut(now, columns > 0 ? static_cast<std::size_t>(columns) : 0);
    if (shown_ && line == shownText_) return;
    std::string out = "\r" + line;
    std::size_t lineWidth = textColumns(line, encoding_);
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
