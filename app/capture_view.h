#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/status_line.h"
#include "app/terminal.h"
#include "port/port_settings.h"
#include "port/visible_text.h"

namespace serialtap {

// What the terminal shows while capturing (-v): nothing, a status line, or
// the received bytes themselves. With nothing to show every call is a
// no-op and the capture waits exactly as it would without it.
class CaptureView {
public:
    CaptureView() = default;
    // -v 1: the status line.
    explicit CaptureView(std::unique_ptr<StatusLine> status) : status_(std::move(status)) {}
    // -v 2: the received bytes on this stream; on a terminal, control
    // characters other than tab, CR and LF (C1 ones too, in either of their
    // forms) and bytes that are no character are shown as '.', so a device
    // cannot change the terminal's modes. What the stream does not take at
    // once is not shown, and counted: the view never holds the capture up.
    explicit CaptureView(ShownStream& bytes, TextEncoding encoding = localeEncoding())
        : bytes_(&bytes), bytesToTerminal_(bytes.terminal()), visible_(encoding, '.', true) {}
    CaptureView(std::FILE* bytes, bool terminal, TextEncoding encoding = localeEncoding())
        : ownBytes_(stdioStream(bytes)),
          bytes_(ownBytes_.get()),
          bytesToTerminal_(terminal),
          visible_(encoding, '.', true) {}

    // The ports of a capture of several, whose bytes are then shown each
    // line after its port's label, and counted per port on the status line.
    void portsLabelled(const std::vector<std::string>& labels);
    void received(const std::uint8_t* data, std::size_t size, std::size_t port = 0);
    void portStateChanged(PortState state, std::size_t port = 0);
    void beforeMessage();
    // When the view needs the capture loop again (a status line redraw);
    // none while it needs nothing.
    std::optional<StatusLine::TimePoint> nextRedraw() const;
    void redraw();
    void end();
    // Received bytes the stream did not take.
    std::uint64_t unshownBytes() const { return unshown_; }

private:
    void show(const std::string& shown);
    void showLabelled(const std::uint8_t* data, std::size_t size, std::size_t port);
    void showUnfinished();

    std::unique_ptr<StatusLine> status_;
    std::unique_ptr<ShownStream> ownBytes_;
    ShownStream* bytes_ = nullptr;
    bool bytesToTerminal_ = false;
    std::uint64_t unshown_ = 0;
    VisibleText visible_{TextEncoding::Utf8, '.', true};
    std::vector<std::string> labels_;  // none for a capture of one port
    std::size_t shownPort_ = 0;
    bool atLineStart_ = true;
};

// The port and its line settings and the capture file, as the status line
// begins: "/dev/ttyUSB0 115200 8N1 -> log.txt".
std::string captureHeading(const PortSettings& settings, const std::string& fileName);

}  // namespace serialtap
