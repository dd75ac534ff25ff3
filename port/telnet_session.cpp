#include "port/telnet_session.h"

#include <cstring>

namespace serialtap {

namespace {

constexpr std::uint8_t kCr = 0x0D;

// The server's modem-state bits for CTS, DSR, RI and DCD are the program's own.
static_assert(TelnetSession::kModemStates == kModemLineBits, "modem line bits");

}  // namespace

TelnetSession::TelnetSession(bool comPortControl) : comPortControl_(comPortControl) {
    us_.fill(State::No);
    him_.fill(State::No);
}

void TelnetSession::start() {
    us_[kBinary] = State::WantYes;
    send(kWill, kBinary);
    him_[kBinary] = State::WantYes;
    send(kDo, kBinary);
    if (comPortControl_) {
        us_[kComPort] = State::WantYes;
        send(kWill, kComPort);
    }
}

bool TelnetSession::settled() const {
    return us_[kBinary] != State::WantYes && him_[kBinary] != State::WantYes &&
           us_[kComPort] != State::WantYes;
}

bool TelnetSession::wantUs(std::uint8_t option) const {
    return option == kBinary || (option == kComPort && comPortControl_);
}

bool TelnetSession::wantHim(std::uint8_t option) { return option == kBinary; }

void TelnetSession::send(std::uint8_t verb, std::uint8_t option) {
    output_.insert(output_.end(), {kIac, verb, option});
}

void TelnetSession::sendComPort(std::uint8_t code, const std::uint8_t* value, std::size_t size) {
    output_.insert(output_.end(), {kIac, kSb, kComPort, code});
    for (std::size_t i = 0; i < size; ++i) {
        output_.push_back(value[i]);
        if (value[i] == kIac) output_.push_back(kIac);
    }
    output_.insert(output_.end(), {kIac, kSe});
    answered_[code] = false;
}

const std::vector<std::uint8_t>* TelnetSession::answer(std::uint8_t code) const {
    return answered_[code] ? &answers_[code] : nullptr;
}

// The rules of RFC 1143 without its queue, since the program never changes
// its mind: an offer is answered only when it changes the option's state,
// so two parties cannot keep answering each other.
void TelnetSession::command(std::uint8_t verb, std::uint8_t option) {
    if (++optionCommands_ > kMaxOptionCommands) {
        broken_ = true;
        return;
    }
    bool enable = verb == kWill || verb == kDo;
    bool hisSide = verb == kWill || verb == kWont;
    State& state = hisSide ? him_[option] : us_[option];
    bool wanted = hisSide ? wantHim(option) : wantUs(option);
    std::uint8_t yes = hisSide ? kDo : kWill;
    std::uint8_t no = hisSide ? kDont : kWont;
    switch (state) {
        case State::No:
            if (!enable) return;
            if (wanted) state = State::Yes;
            send(wanted ? yes : no, option);
            return;
        case State::Yes:
            if (enable) return;
            state = State::No;
            send(no, option);
            return;
        case State::WantNo:
            state = State::No;
            return;
        case State::WantYes:
            state = enable ? State::Yes : State::No;
            return;
    }
}

void TelnetSession::endSubnegotiation(std::size_t dataSize) {
    // Com Port Control answers: the option, the command's code plus 100,
    // then the value in use. Other options are dropped.
    if (sub_.size() >= 2 && sub_[0] == kComPort && sub_[1] >= kAnswerOffset) {
        auto code = static_cast<std::uint8_t>(sub_[1] - kAnswerOffset);
        if ((code == kNotifyLineState || code == kNotifyModemState) && sub_.size() >= 3) {
            notify(code, sub_[2], dataSize);
        }
        answers_[code].assign(sub_.begin() + 2, sub_.end());
        answered_[code] = true;
    }
    sub_.clear();
}

// A break is a mark of its own. The server may also send a 0x00 data byte
// for it, as the port gave it one: that byte is the server's to send and is
// kept, since nothing tells it from a real 0x00. An error marks the data
// byte that follows; an overrun lost bytes at or before this point, how
// many is not said.
void TelnetSession::notify(std::uint8_t code, std::uint8_t value, std::size_t dataSize) {
    auto add = [this, dataSize](LineEventKind kind, std::uint32_t lines = 0) {
        // A report of the line is news, as a data byte is: modem lines that
        // flap on a quiet line are followed, however long they flap.
        commandBytes_ = 0;
        LineMark mark;
        mark.kind = kind;
        mark.at = dataSize;
        mark.lines = lines;
        marks_.push_back(mark);
    };
    if (code == kNotifyModemState) {
        auto state = static_cast<std::uint8_t>(value & kModemStates);
        if (modemState_ != state) add(LineEventKind::ModemLines, state);
        modemState_ = state;
        return;
    }
    if ((value & kLineOverrun) != 0) add(LineEventKind::Dropped);
    if ((value & kLineBreak) != 0) add(LineEventKind::Break);
    if ((value & kLineFraming) != 0) add(LineEventKind::FramingError);
    if ((value & kLineParity) != 0) add(LineEventKind::ParityError);
}

void TelnetSession::takeMarks(std::vector<LineMark>& marks) {
    marks.insert(marks.end(), marks_.begin(), marks_.end());
    marks_.clear();
}

std::optional<std::uint32_t> TelnetSession::modemLines() const {
    if (!modemState_) return std::nullopt;
    return std::uint32_t{*modemState_};
}

// Outside binary mode the server sends a CR of the device as CR NUL, and
// the NUL is not the device's; CR LF is left as it came.
void TelnetSession::dataByte(std::uint8_t byte, std::vector<std::uint8_t>& data) {
    commandBytes_ = 0;
    if (sendsBinary()) {
        afterCr_ = false;
    } else {
        bool padding = afterCr_ && byte == 0;
        afterCr_ = byte == kCr;
        if (padding) return;
    }
    data.push_back(byte);
}

bool TelnetSession::receive(const std::uint8_t* bytes, std::size_t count,
                            std::vector<std::uint8_t>& data) {
    for (std::size_t i = 0; i < count && !broken_; ++i) {
        std::uint8_t byte = bytes[i];
        // Reset by every data byte: a server that sends commands without
        // end is broken, not waited through.
        if ((parse_ != Parse::Data || byte == kIac) && ++commandBytes_ > kMaxCommandBytesInRow) {
            broken_ = true;
            break;
        }
        switch (parse_) {
            case Parse::Data:
                if (byte != kIac && sendsBinary()) {
                    // The bulk of a stream: data up to the next command, at once.
                    const void* found = std::memchr(bytes + i, kIac, count - i);
                    std::size_t end = found != nullptr
                                          ? static_cast<std::size_t>(
                                                static_cast<const std::uint8_t*>(found) - bytes)
                                          : count;
                    data.insert(data.end(), bytes + i, bytes + end);
                    afterCr_ = false;
                    commandBytes_ = 0;
                    i = end - 1;
                } else if (byte == kIac) {
                    parse_ = Parse::Iac;
                } else {
                    dataByte(byte, data);
                }
                break;
            case Parse::Iac:
                iacByte(byte, data);
                break;
            case Parse::Option:
                parse_ = Parse::Data;
                command(verb_, byte);
                break;
            case Parse::Sub:
                if (byte == kIac) {
                    parse_ = Parse::SubIac;
                } else {
                    subByte(byte);
                }
                break;
            case Parse::SubIac:
                if (byte == kIac) {
                    parse_ = Parse::Sub;
                    subByte(kIac);
                } else if (byte == kSe) {
                    parse_ = Parse::Data;
                    endSubnegotiation(data.size());
                } else {
                    // A command inside a sub-negotiation ends it unfinished.
                    sub_.clear();
                    iacByte(byte, data);
                }
                break;
        }
    }
    return !broken_;
}

void TelnetSession::iacByte(std::uint8_t byte, std::vector<std::uint8_t>& data) {
    parse_ = Parse::Data;
    if (byte == kIac) {
        dataByte(kIac, data);
    } else if (byte >= kWill) {
        verb_ = byte;
        parse_ = Parse::Option;
    } else if (byte == kSb) {
        sub_.clear();
        parse_ = Parse::Sub;
    }
    // Every other command (NOP, GA, a stray SE, ...) has no meaning for a capture.
}

void TelnetSession::subByte(std::uint8_t byte) {
    if (sub_.size() >= kMaxSubnegotiation) {
        broken_ = true;
        return;
    }
    sub_.push_back(byte);
}

}  // namespace serialtap
