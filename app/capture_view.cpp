#include "app/capture_view.h"

#include <chrono>
#include <string>

#include "app/terminal.h"

namespace serialtap {

void CaptureView::portsLabelled(const std::vector<std::string>& labels) {
    if (labels.size() < 2) return;
    labels_ = labels;
    if (status_) status_->portsLabelled(labels);
}

void CaptureView::received(const std::uint8_t* data, std::size_t size, std::size_t port) {
    if (status_) status_->bytesReceived(size, port);
    if (bytes_ == nullptr) return;
    if (!labels_.empty() && port < labels_.size()) {
        showLabelled(data, size, port);
        return;
    }
    std::string shown;
    if (bytesToTerminal_) {
        visible_.append(data, size, shown);
    } else {
        shown.assign(reinterpret_cast<const char*>(data), size);
    }
    show(shown);
}

// As in the capture file: a switch of port begins a line, and each line
// begins with its port's label.
void CaptureView::showLabelled(const std::uint8_t* data, std::size_t size, std::size_t port) {
    std::string shown;
    if (port != shownPort_) {
        if (bytesToTerminal_) visible_.finish(shown);
        if (!atLineStart_) shown += '\n';
        atLineStart_ = true;
        shownPort_ = port;
    }
    const std::uint8_t* end = data + size;
    while (data < end) {
        if (atLineStart_) shown += labels_[port] + ": ";
        const std::uint8_t* lineEnd = data;
        while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
        if (lineEnd < end) ++lineEnd;
        auto count = static_cast<std::size_t>(lineEnd - data);
        if (bytesToTerminal_) {
            visible_.append(data, count, shown);
        } else {
            shown.append(reinterpret_cast<const char*>(data), count);
        }
        atLineStart_ = lineEnd[-1] == '\n';
        data = lineEnd;
    }
    show(shown);
}

void CaptureView::show(const std::string& shown) {
    ShownWrite done = bytes_->write(shown.data(), shown.size(), ShownKind::Bytes);
    unshown_ += shown.size() - done.written;
    // A reader that went away (a closed pipe) ends the showing, not the capture.
    if (done.failed) bytes_ = nullptr;
}

void CaptureView::portStateChanged(PortState state, std::size_t port) {
    if (status_) status_->portStateChanged(state, port);
    // What the lost port did not finish, the next one cannot.
    if (state == PortState::Lost) showUnfinished();
}

void CaptureView::beforeMessage() {
    if (status_) status_->erase();
}

std::optional<StatusLine::TimePoint> CaptureView::nextRedraw() const {
    if (!status_) return std::nullopt;
    return status_->nextRedraw();
}

void CaptureView::redraw() {
    if (status_) status_->redrawIfDue();
}

void CaptureView::end() {
    if (status_) status_->end();
    showUnfinished();
}

// A character the device left unfinished is shown as one.
void CaptureView::showUnfinished() {
    std::string rest;
    if (bytes_ != nullptr && bytesToTerminal_) visible_.finish(rest);
    if (!rest.empty()) show(rest);
}

std::string captureHeading(const PortSettings& settings, const std::string& fileName) {
    const char parities[] = "NOEMS";
    const char* stopBits[] = {"1", "1.5", "2"};
    std::string line = settings.portName + " " + std::to_string(settings.baudRate) + " " +
                       std::to_string(settings.byteSize);
    line += settings.parity < 5 ? parities[settings.parity] : '?';
    line += settings.stopBits < 3 ? stopBits[settings.stopBits] : "?";
    return line + " -> " + fileName;
}

}  // namespace serialtap
