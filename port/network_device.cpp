#include "port/network_device.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "port/network_address.h"
#include "port/network_link.h"
#include "port/telnet_session.h"

namespace serialtap {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveBytes = 16384;
// What a server says before the setup is done, kept for the message.
constexpr std::size_t kServerTextBytes = 200;
constexpr int kReadsBetweenPolls = 16;
constexpr std::size_t kDrainBytes = std::size_t{1} << 20;

enum class Outcome { Done, Failed, TimedOut, Pending };

// A step of the setup gives up after receiving this many times in one
// call, so that a server that never pauses cannot hold the capture.
constexpr int kReceivesPerStep = 16;

// Where the setup of a connection has got to.
enum class Stage { Lookup, NextAddress, Connecting, Negotiating, AskingRate, Open };

// Where asking the server to report the line's events has got to.
enum class LineReports { NotAsked, Asked, Settled };

std::uint8_t rfcParity(std::uint8_t code) { return static_cast<std::uint8_t>(code + 1); }

std::uint8_t rfcStopSize(std::uint8_t code) {
    switch (code) {
        case 1:
            return 3;  // one and a half
        case 2:
            return 2;
        default:
            return 1;
    }
}

// The server's text as one printable line.
std::string serverText(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (byte == '\r' || byte == '\n') {
            if (!text.empty() && text.back() != ' ') text += ' ';
        } else {
            text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?';
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

class NetworkDevice final : public SerialDevice {
public:
    NetworkDevice() : link_(makePlatformLink()) {}

    // The steps of an open go on from where the last call left them
    // (pending) until the connection is set up or fails.
    bool open(const std::string& portName) override {
        Connection& c = connection_;
        if (!pending_) {
            // Nothing of an earlier connection survives into this one.
            link_ = makePlatformLink();
            connection_ = Connection{};
            dropped_ = DropCount{};
            refusal_ = PortRefusal::None;
            refusalText_.clear();
            std::optional<NetworkAddress> address = parseNetworkPortName(portName);
            if (!address) return failWith(link_->codes().badName);
            c.telnet = address->telnet;
            if (!link_->beginLookup(address->host, address->service)) {
                return failWith(link_->lastError());
            }
            c.stage = Stage::Lookup;
            c.stepEnd = Clock::now() + std::chrono::milliseconds(kLookupMs);
        }
        pending_ = false;
        Outcome outcome = connect();
        if (outcome == Outcome::Done && c.telnet) outcome = negotiate();
        if (outcome == Outcome::Pending) return pend();
        if (outcome != Outcome::Done) return closeAfterFailure();
        c.stage = Stage::Open;
        return true;
    }

    bool pending() const override { return pending_; }

    PortRefusal refusal() const override { return refusal_; }
    std::string refusalMessage() const override { return refusalText_; }
    std::string takeNotice() override { return std::exchange(notice_, std::string()); }

    bool setupQueues(std::uint32_t, std::uint32_t) override { return true; }

    // A network port reports no settings of its own; the ones asked for
    // are checked against the server's answers instead.
    bool getLineSettings(LineSettings& settings) override {
        settings = connection_.line;
        return true;
    }

    // The four commands go one at a time, each answered before the next.
    bool setLineSettings(const LineSettings& settings) override {
        Connection& c = connection_;
        if (!pending_) c.command = 0;
        pending_ = false;
        c.line = settings;
        // Over raw TCP there is no way to send them.
        if (!c.telnet) return true;
        std::uint8_t rate[4] = {static_cast<std::uint8_t>(settings.baudRate >> 24),
                                static_cast<std::uint8_t>(settings.baudRate >> 16),
                                static_cast<std::uint8_t>(settings.baudRate >> 8),
                                static_cast<std::uint8_t>(settings.baudRate)};
        std::uint8_t size = settings.byteSize;
        std::uint8_t parity = rfcParity(settings.parity);
        std::uint8_t stop = rfcStopSize(settings.stopBits);
        struct Setting {
            std::uint8_t code;
            const std::uint8_t* value;
            std::size_t size;
        };
        const Setting all[] = {{TelnetSession::kSetBaudRate, rate, sizeof rate},
                               {TelnetSession::kSetDataSize, &size, 1},
                               {TelnetSession::kSetParity, &parity, 1},
                               {TelnetSession::kSetStopSize, &stop, 1}};
        for (; c.command < 4; ++c.command) {
            const Setting& each = all[c.command];
            if (!command(each.code, each.value, each.size)) return false;
        }
        return true;
    }

    bool getTimeouts(Timeouts& timeouts) override {
        timeouts = connection_.timeouts;
        return true;
    }

    bool setTimeouts(const Timeouts& timeouts) override {
        connection_.timeouts = timeouts;
        return true;
    }

    bool setEventMask(std::uint32_t mask) override {
        connection_.eventMask = mask;
        return true;
    }

    // The server empties both of its buffers and says so; what came before
    // its answer is not captured. Over raw TCP what has come so far is dropped.
    // A watched line asks for the server's reports first, so that they
    // hold from the capture's first byte.
    bool purge(std::uint32_t) override {
        if (!connection_.telnet) {
            std::uint8_t unused[4096];
            for (std::size_t dropped = 0; dropped < kReceiveBytes;) {
                long got = link_->receive(unused, sizeof unused);
                if (got == 0) return failWith(link_->codes().reset);
                if (got < 0) return got == -2 ? setUp() : failWith(link_->lastError());
                dropped += static_cast<std::size_t>(got);
            }
            return setUp();
        }
        if (!pending_) {
            connection_.commandSent = false;
            connection_.lineReports = LineReports::NotAsked;
        }
        pending_ = false;
        if (watchLine_ && !askLineReports()) return false;
        std::uint8_t both = 3;
        connection_.awaitingPurge = true;
        if (!command(TelnetSession::kPurgeData, &both, 1)) return false;
        return setUp();
    }

    bool createEvent() override { return true; }

    // While the setup goes on, its step's handle and deadline; once set
    // up, the connection, and room to send while answers wait to go out.
    void addSources(WaitSet& set, std::size_t port) override {
        Connection& c = connection_;
        if (pending_) set.due(c.stepEnd);
        if (!pending_ && c.stage == Stage::Open && (c.deadCode != 0 || readsWithoutLook())) {
            set.serveNow();
        }
        link_->addSources(set, port, c.telnet && !telnetOutput().empty());
    }

    bool holdsBytes() const override { return queued() > 0; }

    // Whether the next pass reads without a look at the connection: bytes
    // are in hand, or a flood has not yet had its look after
    // kReadsBetweenPolls large receives.
    bool readsWithoutLook() const {
        const Connection& c = connection_;
        return queued() > 0 || (c.lastReadLarge && c.readsSincePoll + 1 < kReadsBetweenPolls);
    }

    // Commands alone leave nothing to report: the pass then finds no event.
    // Marks alone do, so that the pass takes them after its read.
    EventWait waitEvent(std::uint32_t& eventMask) override {
        Connection& c = connection_;
        if (c.deadCode != 0) return failedWait(c.deadCode);
        if (readsWithoutLook()) {
            if (queued() == 0) ++c.readsSincePoll;
            eventMask = c.eventMask & kEventRxChar;
            return EventWait::Event;
        }
        c.readsSincePoll = 0;
        if (!flush()) return failedWait(error_);
        switch (link_->look(!telnetOutput().empty())) {
            case LinkWait::Ready:
                if (!receiveSome()) return failedWait(error_);
                if (!flush()) return failedWait(error_);
                break;
            case LinkWait::NotYet:
                break;
            case LinkWait::Failed:
                error_ = link_->lastError();
                return EventWait::Failed;
        }
        if (queued() > 0) {
            eventMask = c.eventMask & kEventRxChar;
        } else if (!c.marks.empty()) {
            eventMask = c.eventMask & kLineEventMask;
        } else {
            return EventWait::Nothing;
        }
        return EventWait::Event;
    }

    // A loss found here is reported by the next event wait, as the loss
    // of a local port is.
    bool clearErrors(std::uint32_t& queuedBytes) override {
        if (queued() == 0 && connection_.deadCode == 0) receiveSome();
        queuedBytes = static_cast<std::uint32_t>(queued());
        return true;
    }

    ReadStart startRead(std::uint8_t* buffer, std::uint32_t size, std::uint32_t& count) override {
        count = takeQueued(buffer, size);
        return ReadStart::Completed;
    }

    // At the shutdown, what has already arrived is taken in too, within a
    // bound that a server sending without pause cannot outrun.
    std::uint32_t takeBuffered(std::uint8_t* buffer, std::uint32_t size) override {
        Connection& c = connection_;
        while (queued() == 0 && c.deadCode == 0 && c.setUp && c.drained < kDrainBytes) {
            std::size_t before = c.queue.size();
            if (!receiveSome() || c.lastReceived == 0) break;
            c.drained += c.queue.size() - before + 1;
        }
        return takeQueued(buffer, size);
    }

    CompletionWait waitRead(std::uint32_t) override { return CompletionWait::Signalled; }
    bool readResult(std::uint32_t& count) override {
        count = 0;
        return true;
    }
    std::uint32_t cancelRead() override { return 0; }

    bool closePort() override {
        link_->close();
        connection_ = Connection{};
        pending_ = false;
        return true;
    }

    bool closeEvent() override { return true; }
    int lastError() const override { return error_; }

    void watchLine(bool on) override { watchLine_ = on; }

    // The marks that stand among or right after the bytes returned so far:
    // an error whose byte has not come yet stands after them all, which is
    // where that byte will follow. Those among the bytes still queued wait
    // for them.
    void takeMarks(std::vector<LineMark>& marks) override {
        Connection& c = connection_;
        std::size_t given = 0;
        for (; given < c.marks.size() && c.marks[given].at <= c.returned; ++given) {
            marks.push_back(c.marks[given]);
        }
        c.marks.erase(c.marks.begin(), c.marks.begin() + static_cast<std::ptrdiff_t>(given));
        for (LineMark& mark : c.marks) mark.at -= c.returned;
        c.returned = 0;
    }

    // Only a server of Com Port Control has modem lines, once it has told
    // their state.
    std::optional<std::uint32_t> modemLines() override {
        if (!connection_.telnet) return std::nullopt;
        return connection_.session.modemLines();
    }

    DropCount dropped() override { return dropped_; }

    // Every failure of an open connection ends it. An open that failed
    // because no server is there now is tried again without a message.
    bool isGone(FailedCall call, int code, int) const override {
        if (call == FailedCall::Open) return link_->meansNoServer(code);
        return true;
    }

private:
    // Everything that belongs to one connection, made anew by every open.
    struct Connection {
        bool telnet = false;
        TelnetSession session{true};
        bool awaitingPurge = false;
        bool setUp = false;  // data from now on is the capture's
        std::vector<std::uint8_t> early;
        std::vector<std::uint8_t> queue;
        std::size_t queueStart = 0;
        int deadCode = 0;
        bool lastReadLarge = false;
        int readsSincePoll = 0;
        std::size_t lastReceived = 0;
        std::size_t drained = 0;
        // The marks of the server's notifications, each placed among the
        // bytes returned since the marks were last taken (LineMark::at),
        // and how many bytes that is.
        std::vector<LineMark> marks;
        std::size_t returned = 0;
        std::vector<LineMark> found;  // the session's, being placed

        LineReports lineReports = LineReports::NotAsked;
        LineSettings line;
        Timeouts timeouts;
        std::uint32_t eventMask = 0;
        // The setup's progress: its stage, the addresses found and the one
        // being tried, the command being answered and the time limits.
        Stage stage = Stage::Lookup;
        std::size_t addresses = 0;
        std::size_t address = 0;
        int command = 0;
        bool commandSent = false;
        Clock::time_point stepEnd{};
        Clock::time_point connectEnd{};
    };

    bool failWith(int code) {
        error_ = code;
        return false;
    }

    EventWait failedWait(int code) {
        error_ = code;
        connection_.deadCode = code;
        return EventWait::Failed;
    }

    bool closeAfterFailure() {
        pending_ = false;
        link_->close();
        return false;
    }

    bool setUp() {
        connection_.setUp = true;
        connection_.awaitingPurge = false;
        return true;
    }

    std::vector<std::uint8_t>& telnetOutput() { return connection_.session.output(); }

    std::size_t queued() const { return connection_.queue.size() - connection_.queueStart; }

    std::uint32_t takeQueued(std::uint8_t* buffer, std::uint32_t size) {
        Connection& c = connection_;
        std::size_t take = queued() < size ? queued() : size;
        if (take > 0) std::memcpy(buffer, c.queue.data() + c.queueStart, take);
        c.queueStart += take;
        c.returned += take;
        if (c.queueStart == c.queue.size()) {
            c.queue.clear();
            c.queueStart = 0;
        }
        return static_cast<std::uint32_t>(take);
    }

    // Sends what the Telnet side has to say, as far as it goes without waiting.
    bool flush() {
        std::vector<std::uint8_t>& out = telnetOutput();
        if (!connection_.telnet || out.empty()) return true;
        long sent = link_->send(out.data(), out.size());
        if (sent < 0) return failWith(link_->lastError());
        out.erase(out.begin(), out.begin() + sent);
        // A server that takes none of our answers while sending us more
        // would make them pile up.
        if (out.size() > 4 * TelnetSession::kMaxSubnegotiation) {
            return failWith(link_->codes().protocol);
        }
        return true;
    }

    // One receive without waiting; false when the connection has ended or
    // failed, with its code. Nothing to receive is no failure.
    bool receiveSome() {
        Connection& c = connection_;
        if (c.deadCode != 0) return failWith(c.deadCode);
        std::uint8_t bytes[kReceiveBytes];
        long got = link_->receive(bytes, sizeof bytes);
        c.lastReceived = 0;
        if (got == -2) {
            // The stream has paused: the next event wait polls again.
            c.lastReadLarge = false;
            return true;
        }
        if (got <= 0) {
            c.deadCode = got == 0 ? link_->codes().reset : link_->lastError();
            return failWith(c.deadCode);
        }
        auto count = static_cast<std::size_t>(got);
        c.lastReceived = count;
        c.lastReadLarge = count > kReceiveBytes / 2;
        if (!c.telnet) {
            c.queue.insert(c.queue.end(), bytes, bytes + count);
            return true;
        }
        bool fine = true;
        if (c.setUp) {
            fine = c.session.receive(bytes, count, c.queue);
            keepMarks();
        } else {
            // Until the purge is answered the bytes are not the capture's;
            // where the answer ends, the capture begins.
            std::vector<std::uint8_t> before;
            std::size_t i = 0;
            for (; i < count && fine && !c.setUp; ++i) {
                fine = c.session.receive(bytes + i, 1, before);
                if (c.awaitingPurge && c.session.answer(TelnetSession::kPurgeData) != nullptr) {
                    setUp();
                }
            }
            for (std::uint8_t byte : before) {
                if (c.early.size() < kServerTextBytes) c.early.push_back(byte);
            }
            // What the server reported before the capture began is not the
            // capture's, but the modem lines it told stay known.
            c.found.clear();
            c.session.takeMarks(c.found);
            if (fine && i < count) {
                fine = c.session.receive(bytes + i, count - i, c.queue);
                keepMarks();
            }
        }
        if (!fine) {
            c.deadCode = link_->codes().protocol;
            return failWith(c.deadCode);
        }
        if (c.setUp) noteTextMode();
        return true;
    }

    // Takes the marks of what the session just put in the queue, placed
    // among the bytes returned since the marks were last taken. An overrun
    // is counted even when the line is not watched.
    void keepMarks() {
        Connection& c = connection_;
        c.found.clear();
        c.session.takeMarks(c.found);
        for (LineMark mark : c.found) {
            if (mark.kind == LineEventKind::Dropped) ++dropped_.uncounted;
            if (!watchLine_) continue;
            mark.at = c.returned + (mark.at - c.queueStart);
            c.marks.push_back(mark);
        }
    }

    // One look at the current step without waiting: done() holds, the
    // step's time is up, the connection failed, or it is still pending.
    Outcome step(const std::function<bool()>& done, bool receiving = true) {
        for (int receives = 0; receives < kReceivesPerStep; ++receives) {
            if (receiving && !flush()) return Outcome::Failed;
            if (done()) return Outcome::Done;
            LinkWait found = link_->look(receiving && !telnetOutput().empty());
            if (found == LinkWait::Failed) {
                error_ = link_->lastError();
                return Outcome::Failed;
            }
            if (found == LinkWait::NotYet) break;
            if (!receiving) return Outcome::Done;
            if (!receiveSome()) return Outcome::Failed;
            // Room to send, but nothing to receive yet.
            if (connection_.lastReceived == 0) break;
        }
        if (receiving && !flush()) return Outcome::Failed;
        if (done()) return Outcome::Done;
        if (Clock::now() >= connection_.stepEnd) return Outcome::TimedOut;
        return Outcome::Pending;
    }

    bool pend() {
        pending_ = true;
        return false;
    }

    // A server that stops sending in binary mode changes how its bytes are
    // read; said once, as at the setup.
    void noteTextMode() {
        Connection& c = connection_;
        if (!c.telnet || c.session.sendsBinary() || warnedText_) return;
        warnedText_ = true;
        notice_ +=
            "the server does not send in binary mode: the capture may differ from what the "
            "device sent\n";
    }

    // Gives false, with the reason set, unless the outcome is Done.
    bool settle(Outcome outcome) {
        switch (outcome) {
            case Outcome::Done:
                return true;
            case Outcome::TimedOut:
                return failWith(link_->codes().timedOut);
            case Outcome::Pending:
            case Outcome::Failed:
                break;
        }
        return false;
    }

    // The lookup, then each address found in turn until one connects,
    // all within the connect's time.
    Outcome connect() {
        Connection& c = connection_;
        for (;;) {
            switch (c.stage) {
                case Stage::Lookup: {
                    Outcome found = step([] { return false; }, false);
                    if (found == Outcome::Pending) return found;
                    if (!settle(found)) return Outcome::Failed;
                    if (!link_->lookupResult(c.addresses)) {
                        failWith(link_->lastError());
                        return Outcome::Failed;
                    }
                    c.connectEnd = Clock::now() + std::chrono::milliseconds(kConnectMs);
                    c.address = 0;
                    error_ = link_->codes().timedOut;
                    c.stage = Stage::NextAddress;
                    break;
                }
                case Stage::NextAddress:
                    if (c.address >= c.addresses) return Outcome::Failed;
                    if (Clock::now() >= c.connectEnd) {
                        failWith(link_->codes().timedOut);
                        return Outcome::Failed;
                    }
                    if (!link_->beginConnect(c.address)) {
                        error_ = link_->lastError();
                        ++c.address;
                        break;
                    }
                    c.stepEnd = c.connectEnd;
                    c.stage = Stage::Connecting;
                    break;
                case Stage::Connecting: {
                    Outcome connected = step([] { return false; }, false);
                    if (connected == Outcome::Pending) return connected;
                    if (connected == Outcome::Done && link_->connectResult()) {
                        link_->keepAlive();
                        if (c.telnet) {
                            c.session.start();
                            c.stepEnd = Clock::now() + std::chrono::milliseconds(kAnswerMs);
                        }
                        c.stage = Stage::Negotiating;
                        return Outcome::Done;
                    }
                    error_ =
                        connected == Outcome::Done ? link_->lastError() : link_->codes().timedOut;
                    ++c.address;
                    c.stage = Stage::NextAddress;
                    break;
                }
                case Stage::Negotiating:
                case Stage::AskingRate:
                case Stage::Open:
                    return Outcome::Done;
            }
        }
    }

    // Binary mode both ways and Com Port Control, then one question the
    // server must answer: a server that refuses the port (in use, its
    // device failing) says so in text and closes before answering.
    Outcome negotiate() {
        Connection& c = connection_;
        Outcome outcome = Outcome::Done;
        if (c.stage == Stage::Negotiating) {
            outcome = step([&c] { return c.session.settled(); });
            if (outcome == Outcome::Pending) return outcome;
            if (outcome == Outcome::Done && !c.session.comPortAccepted()) {
                refusalText_ =
                    "could not open serial port: the server does not offer RFC 2217 line "
                    "settings\n";
                return Outcome::Failed;
            }
            if (outcome == Outcome::Done) {
                std::uint8_t current[4] = {0, 0, 0, 0};
                c.session.sendComPort(TelnetSession::kSetBaudRate, current, sizeof current);
                c.stepEnd = Clock::now() + std::chrono::milliseconds(kAnswerMs);
                c.stage = Stage::AskingRate;
            }
        }
        if (c.stage == Stage::AskingRate) {
            outcome =
                step([&c] { return c.session.answer(TelnetSession::kSetBaudRate) != nullptr; });
            if (outcome == Outcome::Pending) return outcome;
        }
        if (outcome == Outcome::Failed) {
            // The server's text may still be on its way behind a failed send.
            for (int i = 0; i < 4 && receiveSome() && c.lastReceived > 0; ++i) {
            }
        }
        if (outcome == Outcome::Failed && !c.early.empty()) {
            refusalText_ =
                "could not open serial port: the server said \"" + serverText(c.early) + "\"\n";
            return Outcome::Failed;
        }
        if (!settle(outcome)) return Outcome::Failed;
        noteTextMode();
        return Outcome::Done;
    }

    // Sends a Com Port Control command and checks the value the server
    // answers with, which is the one in use; pending until it answers.
    bool command(std::uint8_t code, const std::uint8_t* value, std::size_t size) {
        Connection& c = connection_;
        if (!c.commandSent) {
            c.session.sendComPort(code, value, size);
            c.stepEnd = Clock::now() + std::chrono::milliseconds(kAnswerMs);
            c.commandSent = true;
        }
        Outcome outcome = step([&c, code] { return c.session.answer(code) != nullptr; });
        if (outcome == Outcome::Pending) return pend();
        c.commandSent = false;
        if (!settle(outcome)) return false;
        const std::vector<std::uint8_t>& answer = *c.session.answer(code);
        if (answer.size() != size || std::memcmp(answer.data(), value, size) != 0) {
            return failWith(link_->codes().invalid);
        }
        return true;
    }

    // Asks the server to report the line's errors and breaks and its modem
    // lines, and waits for its answers as for any command. Some servers
    // answer with the state itself, a notification of the same kind, which
    // counts as agreement. A server that does not answer, or agrees to
    // less, still serves the data.
    bool askLineReports() {
        Connection& c = connection_;
        const std::uint8_t line = TelnetSession::kLineOverrun | TelnetSession::kLineParity |
                                  TelnetSession::kLineFraming | TelnetSession::kLineBreak;
        const std::uint8_t modem = TelnetSession::kModemStates;
        if (c.lineReports == LineReports::NotAsked) {
            c.session.sendComPort(TelnetSession::kSetLineStateMask, &line, 1);
            c.session.sendComPort(TelnetSession::kSetModemStateMask, &modem, 1);
            c.session.forget(TelnetSession::kNotifyLineState);
            c.session.forget(TelnetSession::kNotifyModemState);
            c.stepEnd = Clock::now() + std::chrono::milliseconds(kAnswerMs);
            c.lineReports = LineReports::Asked;
        }
        if (c.lineReports == LineReports::Settled) return true;
        auto answered = [&c](std::uint8_t code, std::uint8_t notification) {
            return c.session.answer(code) != nullptr || c.session.answer(notification) != nullptr;
        };
        auto agreed = [&c](std::uint8_t request, std::uint8_t notification, std::uint8_t wanted) {
            const std::vector<std::uint8_t>* answer = c.session.answer(request);
            if (answer == nullptr) return c.session.answer(notification) != nullptr;
            return answer->size() == 1 && ((*answer)[0] & wanted) == wanted;
        };
        Outcome outcome = step([&answered] {
            return answered(TelnetSession::kSetLineStateMask, TelnetSession::kNotifyLineState) &&
                   answered(TelnetSession::kSetModemStateMask, TelnetSession::kNotifyModemState);
        });
        if (outcome == Outcome::Pending) return pend();
        if (outcome == Outcome::Failed) return false;
        c.lineReports = LineReports::Settled;
        // Said once for the port: the same server, opened again after a
        // loss, would only say it again.
        if (!warnedReports_ &&
            (!agreed(TelnetSession::kSetLineStateMask, TelnetSession::kNotifyLineState, line) ||
             !agreed(TelnetSession::kSetModemStateMask, TelnetSession::kNotifyModemState, modem))) {
            warnedReports_ = true;
            notice_ +=
                "the server does not agree to report the line's breaks, errors and modem lines: "
                "they may be missing from the capture\n";
        }
        return true;
    }

    std::string notice_;
    std::unique_ptr<NetworkLink> link_;
    Connection connection_;
    PortRefusal refusal_ = PortRefusal::None;
    std::string refusalText_;
    // The last call of the setup goes on when it is made again.
    bool pending_ = false;
    bool warnedText_ = false;
    bool warnedReports_ = false;
    bool watchLine_ = false;
    // Counted since the port was opened, and kept once it is closed.
    DropCount dropped_;
    int error_ = 0;
};

}  // namespace

std::unique_ptr<SerialDevice> makeNetworkDevice() { return std::make_unique<NetworkDevice>(); }

std::unique_ptr<SerialDevice> makeDeviceFor(const std::string& portName) {
    if (isNetworkPortName(portName)) return makeNetworkDevice();
    return makePlatformDevice();
}

}  // namespace serialtap
