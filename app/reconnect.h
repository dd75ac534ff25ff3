#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "app/capture_view.h"
#include "port/port_settings.h"
#include "port/serial_port.h"

namespace serialtap {

// Brings a port back after it went away (an adapter unplugged): the failed
// port is closed at once, so that the system can give the name to the
// adapter again, and opened anew by the same name once a second, with its
// whole setup, until it is back. A try never holds the capture: its steps
// go on as the port's handles become ready, and the next try comes a
// second after the last one ended. Tries that find no port say nothing; an
// open that fails for another reason is reported once per change of its
// message. A port that cannot come back under its name (a hung-up
// pseudo-terminal) is closed, said so once, and not tried again.
class Reconnect {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRetryInterval{1};

    Reconnect(SerialPort& port, const PortSettings& settings, std::FILE* messages, bool enabled)
        : port_(port), settings_(settings), messages_(messages), enabled_(enabled) {}

    // The view is told of the port's loss and return, and makes way for
    // the messages.
    // port: which of the capture's ports this is.
    void watchedBy(CaptureView& view, std::size_t port = 0) {
        view_ = &view;
        viewPort_ = port;
    }
    // Where the messages go instead of the stream given at the start.
    void setMessageOutput(std::function<void(const std::string&)> say) { say_ = std::move(say); }
    bool enabled() const { return enabled_; }
    bool away() const { return away_; }
    // The port is gone: closes it and plans the first try.
    void lose(Clock::time_point now);
    // What an away port waits on: the reopen under way, or the next try.
    void addSources(WaitSet& set, std::size_t port);
    // Goes on with a reopen under way, or starts one that is due, without
    // waiting; true when the port is back.
    bool advance(const WaitSet& set, Clock::time_point now);
    // The port is gone while reopening is off: it is left as it is, to keep
    // reporting, and the view shows it lost from the first such pass on.
    void staysLost();

private:
    bool settle(OpenProgress progress);
    void say(const std::string& message);

    SerialPort& port_;
    const PortSettings& settings_;
    std::FILE* messages_;
    bool enabled_;
    bool away_ = false;
    bool lostForGood_ = false;
    // None while no try is planned.
    std::optional<Clock::time_point> nextTry_;
    bool opening_ = false;
    std::string lastReported_;
    CaptureView* view_ = nullptr;
    std::size_t viewPort_ = 0;
    std::function<void(const std::string&)> say_;
};

}  // namespace serialtap
