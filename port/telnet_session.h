#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "port/line_event.h"

namespace serialtap {

// The Telnet side of a network port: takes the server's bytes apart into
// the device's data, option negotiation (RFC 854, 855, 1143) and the
// Com Port Control answers and notifications (RFC 2217), and collects what
// is to be sent back. No socket calls: the network device feeds it and sends its output.
class TelnetSession {
public:
    static constexpr std::uint8_t kIac = 255;
    static constexpr std::uint8_t kDont = 254;
    static constexpr std::uint8_t kDo = 253;
    static constexpr std::uint8_t kWont = 252;
    static constexpr std::uint8_t kWill = 251;
    static constexpr std::uint8_t kSb = 250;
    static constexpr std::uint8_t kSe = 240;
    static constexpr std::uint8_t kBinary = 0;
    static constexpr std::uint8_t kComPort = 44;
    // A server's answer to a Com Port Control command carries the
    // command's code plus this.
    static constexpr std::uint8_t kAnswerOffset = 100;
    // Longer sub-negotiations, or more option commands on one connection,
    // come only from a broken server.
    static constexpr std::size_t kMaxSubnegotiation = 256;
    static constexpr int kMaxOptionCommands = 1024;
    // Commands without a data byte or a change of the line between them;
    // far more than any server sends while its device is quiet.
    static constexpr std::size_t kMaxCommandBytesInRow = std::size_t{1} << 20;

    // The Com Port Control commands the program sends (client to server).
    static constexpr std::uint8_t kSetBaudRate = 1;
    static constexpr std::uint8_t kSetDataSize = 2;
    static constexpr std::uint8_t kSetParity = 3;
    static constexpr std::uint8_t kSetStopSize = 4;
    static constexpr std::uint8_t kPurgeData = 12;
    // Which changes of the line and of the modem lines the server reports.
    static constexpr std::uint8_t kSetLineStateMask = 10;
    static constexpr std::uint8_t kSetModemStateMask = 11;
    // What the server sends unasked, as its code plus kAnswerOffset.
    static constexpr std::uint8_t kNotifyLineState = 6;
    static constexpr std::uint8_t kNotifyModemState = 7;
    // The line-state bits the program asks for, and the modem-state bits
    // that hold the lines' states (the others say which ones changed).
    static constexpr std::uint8_t kLineOverrun = 0x02;
    static constexpr std::uint8_t kLineParity = 0x04;
    static constexpr std::uint8_t kLineFraming = 0x08;
    static constexpr std::uint8_t kLineBreak = 0x10;
    static constexpr std::uint8_t kModemStates = 0xF0;

    explicit TelnetSession(bool comPortControl);

    // Our own requests: binary both ways, and Com Port Control if wanted.
    void start();
    // Decodes what the server sent; the device's bytes are appended to
    // data. False once the server has been found broken; it stays so.
    bool receive(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& data);
    // What is to be sent to the server; the sender removes what it sent.
    std::vector<std::uint8_t>& output() { return output_; }

    // Every request of ours has been answered, yes or no.
    bool settled() const;
    bool sendsBinary() const { return him_[kBinary] == State::Yes; }
    bool comPortAccepted() const { return us_[kComPort] == State::Yes; }
    bool broken() const { return broken_; }

    // Queues a Com Port Control command with its value; its answer is
    // forgotten until the server sends a new one.
    void sendComPort(std::uint8_t code, const std::uint8_t* value, std::size_t size);
    // The server's last answer to the command, if one came since it was
    // sent; for a notification, the last one since it was forgotten.
    const std::vector<std::uint8_t>* answer(std::uint8_t code) const;
    void forget(std::uint8_t code) { answered_[code] = false; }

    // Adds the marks the server's notifications made since the last call:
    // each mark's `at` is the size the data given to receive() had when the
    // notification came, so it stands before the next data byte. A modem
    // state makes a mark only when it differs from the one before.
    void takeMarks(std::vector<LineMark>& marks);
    // The modem lines as the server last reported them, in kLineCts and
    // the others' bits; none until it has.
    std::optional<std::uint32_t> modemLines() const;

private:
    enum class State : std::uint8_t { No, Yes, WantNo, WantYes };
    enum class Parse : std::uint8_t { Data, Iac, Option, Sub, SubIac };

    void command(std::uint8_t verb, std::uint8_t option);
    void endSubnegotiation(std::size_t dataSize);
    void notify(std::uint8_t code, std::uint8_t value, std::size_t dataSize);
    void iacByte(std::uint8_t byte, std::vector<std::uint8_t>& data);
    void subByte(std::uint8_t byte);
    void dataByte(std::uint8_t byte, std::vector<std::uint8_t>& data);
    void send(std::uint8_t verb, std::uint8_t option);
    bool wantUs(std::uint8_t option) const;
    static bool wantHim(std::uint8_t option);

    bool comPortControl_;
    std::array<State, 256> us_{};
    std::array<State, 256> him_{};
    Parse parse_ = Parse::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> sub_;
    int optionCommands_ = 0;
    bool broken_ = false;
    bool afterCr_ = false;
    std::size_t commandBytes_ = 0;
    std::vector<std::uint8_t> output_;
    std::array<std::vector<std::uint8_t>, 256> answers_{};
    std::array<bool, 256> answered_{};
    std::vector<LineMark> marks_;
    std::optional<std::uint8_t> modemState_;
};

}  // namespace serialtap
