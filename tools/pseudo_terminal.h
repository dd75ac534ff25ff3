#pragma once

#include <string>

namespace serialtap::device {

// The master side of a pseudo-terminal whose slave side plays the serial port.
class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair with the port in raw mode, so bytes reach a reader
    // unchanged until it configures the port itself. With holdPort the port
    // stays open here, which keeps writes working while no one else has it
    // open; without it, portOpenElsewhere() can tell when someone opens it.
    // False with errorText() when a step fails.
    bool open(bool holdPort);

    int master() const { return master_; }
    const std::string& portPath() const { return portPath_; }
    const std::string& errorText() const { return errorText_; }

    bool portOpenElsewhere() const;
    // Bytes waiting to be read from the port; -1 when the port is not held.
    int bytesQueuedAtPort() const;

private:
    bool fail(const char* step);

    int master_ = -1;
    int heldPort_ = -1;
    std::string portPath_;
    std::string errorText_;
};

}  // namespace serialtap::device
