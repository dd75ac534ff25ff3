#include "app/capture_view.h"

#include <chrono>
#include <string>

#include "app/terminal.h"

namespace serialtap {

void CaptureView::received(const std::uint8_t* data, std::size_t size) {
    if (status_) status_->bytesReceived(size);
    if (bytes_ == nullptr) return;
    std::string shown;
    if (bytesToTerminal_) {
        visible_.append(data, size, shown);
    } else {
        shown.assign(reinterpret_cast<const char*>(data), size);
    }
    show(shown);
}

void CaptureView::show(const std::string& shown) {
    ShownWrite done = bytes_->write(shown.data(), shown.size(), ShownKind::Bytes);
    unshown_ += shown.size() - done.written;
    // A reader that went away (a closed pipe) ends the showing, not the capture.
    if (done.failed) bytes_ = nullptr;
}

void CaptureView::portStateChanged(PortState state) {
    if (status_) status_->portStateChanged(state);
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
