#include "port/network_device.h"

#include <chrono>
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

// A key that is not q leaves the console ready until it is read; the wait
// then leaves the wake handles out for this long rather than spin.
constexpr std::chrono::milliseconds kWakeMute{50};
constexpr std::size_t kReceiveBytes = 16384;
// What a server says before the setup is done, kept for the message.
constexpr std::size_t kServerTextBytes = 200;
constexpr int kReadsBetweenPolls = 16;
constexpr std::size_t kDrainBytes = std::size_t{1} << 20;

enum class Outcome { Done, Failed, TimedOut, Stopped };

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

    bool open(const std::string& portName) override {
        // Nothing of an earlier connection survives into this one.
        link_ = makePlatformLink();
        connection_ = Connection{};
        refusal_ = PortRefusal::None;
        refusalText_.clear();
        std::optional<NetworkAddress> address = parseNetworkPortName(portName);
        if (!address) return failWith(link_->codes().badName);
        connection_.telnet = address->telnet;
        if (!connect(*address)) return closeAfterFailure();
        link_->keepAlive();
        if (connection_.telnet && !negotiate()) return closeAfterFailure();
        return true;
    }

    PortRefusal refusal() const override { return refusal_; }
    std::string refusalMessage() const override { return refusalText_; }
    std::string takeNotice() override { return std::exchange(notice_, std::string()); }

    void setOpenInterrupt(const std::vector<NativeHandle>& handles,
                          const std::function<bool()>& stopNow) override {
        wakes_ = handles;
        joinPeers();
        stopNow_ = stopNow;
    }

    bool setupQueues(std::uint32_t, std::uint32_t) override { return true; }

    // A network port reports no settings of its own; the ones asked for
    // are checked against the server's answers instead.
    bool getLineSettings(LineSettings& settings) override {
        settings = connection_.line;
        return true;
    }

    bool setLineSettings(const LineSettings& settings) override {
        connection_.line = settings;
        // Over raw TCP there is no way to send them.
        if (!connection_.telnet) return true;
        std::uint8_t rate[4] = {static_cast<std::uint8_t>(settings.baudRate >> 24),
                                static_cast<std::uint8_t>(settings.baudRate >> 16),
                                static_cast<std::uint8_t>(settings.baudRate >> 8),
                                static_cast<std::uint8_t>(settings.baudRate)};
        std::uint8_t size = settings.byteSize;
        std::uint8_t parity = rfcParity(settings.parity);
        std::uint8_t stop = rfcStopSize(settings.stopBits);
        return command(TelnetSession::kSetBaudRate, rate, sizeof rate) &&
               command(TelnetSession::kSetDataSize, &size, 1) &&
               command(TelnetSession::kSetParity, &parity, 1) &&
               command(TelnetSession::kSetStopSize, &stop, 1);
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
        std::uint8_t both = 3;
        connection_.awaitingPurge = true;
        if (!command(TelnetSession::kPurgeData, &both, 1)) return false;
        return setUp();
    }

    bool createEvent() override { return true; }

    void setWakeHandles(const std::vector<NativeHandle>& handles) override {
        wakes_ = handles;
        joinPeers();
    }
    // The neighbours follow the wake handles; the link is polled first.
    void setPeerHandles(const std::vector<NativeHandle>& handles) override {
        peers_ = handles;
        joinPeers();
    }
    std::optional<NativeHandle> readyHandle() const override { return link_->readyHandle(); }
    bool holdsInput() const override { return queued() > 0 || link_->holdsInput(); }

    EventWait waitEvent(std::uint32_t& eventMask, std::uint32_t milliseconds) override {
        Connection& c = connection_;
        wakeReady_ = false;
        if (c.deadCode != 0) return failedWait(c.deadCode);
        if (queued() > 0 || (c.lastReadLarge && ++c.readsSincePoll < kReadsBetweenPolls)) {
            eventMask = c.eventMask & kEventRxChar;
            return EventWait::Event;
        }
        c.readsSincePoll = 0;
        auto start = Clock::now();
        for (;;) {
            std::uint32_t left = milliseconds;
            if (milliseconds != kWaitForever) {
                auto spent =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                left = spent.count() >= milliseconds
                           ? 0
                           : milliseconds - static_cast<std::uint32_t>(spent.count());
            }
            if (!flush()) return failedWait(error_);
            LinkWait result = link_->wait(!telnetOutput().empty(), waitSet_, left);
            wakeReady_ = link_->wakeReady();
            switch (result) {
                case LinkWait::Ready:
                    if (!receiveSome()) return failedWait(error_);
                    if (queued() > 0) {
                        eventMask = c.eventMask & kEventRxChar;
                        return EventWait::Event;
                    }
                    // Commands alone: a key, a stop request or the time
                    // limit must still end the wait while they keep coming.
                    if (wakeReady_) return EventWait::Woken;
                    if (milliseconds != kWaitForever && left == 0) return EventWait::TimedOut;
                    break;
                case LinkWait::Woken:
                    return EventWait::Woken;
                case LinkWait::TimedOut:
                    if (milliseconds != kWaitForever && left == 0) return EventWait::TimedOut;
                    break;
                case LinkWait::Failed:
                    error_ = link_->lastError();
                    return EventWait::Failed;
            }
        }
    }

    bool wakeReady() const override { return wakeReady_; }

    WakeWait waitWake(std::uint32_t milliseconds) override {
        // The link's own handle is left out: only a wake ends this wait.
        auto idle = makePlatformLink();
        LinkWait result = idle->wait(false, wakes_, milliseconds);
        wakeReady_ = result == LinkWait::Woken;
        return wakeReady_ ? WakeWait::Woken : WakeWait::TimedOut;
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
        return true;
    }

    bool closeEvent() override { return true; }
    int lastError() const override { return error_; }

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
        LineSettings line;
        Timeouts timeouts;
        std::uint32_t eventMask = 0;
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
            if (fine && i < count) fine = c.session.receive(bytes + i, count - i, c.queue);
        }
        if (!fine) {
            c.deadCode = link_->codes().protocol;
            return failWith(c.deadCode);
        }
        return true;
    }

    // Waits, receiving, until done() holds, the time is up, the connection
    // fails or the user stops the program.
    Outcome await(const std::function<bool()>& done, std::uint32_t milliseconds,
                  bool receiving = true) {
        auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        auto muteEnd = Clock::time_point{};
        for (;;) {
            if (receiving && !flush()) return Outcome::Failed;
            if (done()) return Outcome::Done;
            auto now = Clock::now();
            if (now >= deadline) return Outcome::TimedOut;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            bool muted = now < muteEnd;
            if (muted) left = std::min(left, kWakeMute);
            static const std::vector<NativeHandle> none;
            LinkWait result =
                link_->wait(receiving && !telnetOutput().empty(), muted ? none : wakes_,
                            static_cast<std::uint32_t>(left.count()));
            // A server that keeps sending must not hide a key or a stop request.
            if (result == LinkWait::Ready && !muted && link_->wakeReady()) {
                if (!receiving) return Outcome::Done;
                if (!receiveSome()) return Outcome::Failed;
                result = LinkWait::Woken;
            }
            switch (result) {
                case LinkWait::Ready:
                    if (!receiving) return Outcome::Done;
                    if (!receiveSome()) return Outcome::Failed;
                    break;
                case LinkWait::Woken:
                    if (stopNow_ && stopNow_()) {
                        refusal_ = PortRefusal::Stopped;
                        return Outcome::Stopped;
                    }
                    muteEnd = Clock::now() + kWakeMute;
                    break;
                case LinkWait::TimedOut:
                    break;
                case LinkWait::Failed:
                    error_ = link_->lastError();
                    return Outcome::Failed;
            }
        }
    }

    // Gives false, with the reason set, unless the outcome is Done.
    bool settle(Outcome outcome) {
        switch (outcome) {
            case Outcome::Done:
                return true;
            case Outcome::TimedOut:
                return failWith(link_->codes().timedOut);
            case Outcome::Stopped:
            case Outcome::Failed:
                break;
        }
        return false;
    }

    bool connect(const NetworkAddress& address) {
        if (!link_->beginLookup(address.host, address.service)) return failWith(link_->lastError());
        if (!settle(await([] { return false; }, kLookupMs, false))) return false;
        std::size_t addresses = 0;
        if (!link_->lookupResult(addresses)) return failWith(link_->lastError());
        auto deadline = Clock::now() + std::chrono::milliseconds(kConnectMs);
        error_ = link_->codes().timedOut;
        for (std::size_t i = 0; i < addresses; ++i) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return failWith(link_->codes().timedOut);
            if (!link_->beginConnect(i)) {
                error_ = link_->lastError();
                continue;
            }
            Outcome outcome =
                await([] { return false; }, static_cast<std::uint32_t>(left.count()), false);
            if (outcome == Outcome::Stopped) return false;
            if (outcome == Outcome::Done && link_->connectResult()) return true;
            error_ = outcome == Outcome::Done ? link_->lastError() : link_->codes().timedOut;
        }
        return false;
    }

    // Binary mode both ways and Com Port Control, then one question the
    // server must answer: a server that refuses the port (in use, its
    // device failing) says so in text and closes before answering.
    bool negotiate() {
        Connection& c = connection_;
        c.session.start();
        Outcome outcome = await([&c] { return c.session.settled(); }, kAnswerMs);
        if (outcome == Outcome::Done && !c.session.comPortAccepted()) {
            refusalText_ =
                "could not open serial port: the server does not offer RFC 2217 line settings\n";
            return false;
        }
        if (outcome == Outcome::Done) {
            std::uint8_t current[4] = {0, 0, 0, 0};
            c.session.sendComPort(TelnetSession::kSetBaudRate, current, sizeof current);
            outcome =
                await([&c] { return c.session.answer(TelnetSession::kSetBaudRate) != nullptr; },
                      kAnswerMs);
        }
        if (outcome == Outcome::Failed) {
            // The server's text may still be on its way behind a failed send.
            for (int i = 0; i < 4 && receiveSome() && c.lastReceived > 0; ++i) {
            }
        }
        if (outcome == Outcome::Failed && !c.early.empty()) {
            refusalText_ =
                "could not open serial port: the server said \"" + serverText(c.early) + "\"\n";
            return false;
        }
        if (!settle(outcome)) return false;
        if (!c.session.sendsBinary() && !warnedText_) {
            warnedText_ = true;
            notice_ =
                "the server does not send in binary mode: the capture may differ from what the "
                "device sent\n";
        }
        return true;
    }

    // Sends a Com Port Control command and checks the value the server
    // answers with, which is the one in use.
    bool command(std::uint8_t code, const std::uint8_t* value, std::size_t size) {
        Connection& c = connection_;
        c.session.sendComPort(code, value, size);
        Outcome outcome =
            await([&c, code] { return c.session.answer(code) != nullptr; }, kAnswerMs);
        if (!settle(outcome)) return false;
        const std::vector<std::uint8_t>& answer = *c.session.answer(code);
        if (answer.size() != size || std::memcmp(answer.data(), value, size) != 0) {
            return failWith(link_->codes().invalid);
        }
        return true;
    }

    std::string notice_;
    std::unique_ptr<NetworkLink> link_;
    Connection connection_;
    std::vector<NativeHandle> wakes_;
    std::vector<NativeHandle> peers_;
    std::vector<NativeHandle> waitSet_;  // the wake handles, then the peers
    void joinPeers() {
        waitSet_ = wakes_;
        waitSet_.insert(waitSet_.end(), peers_.begin(), peers_.end());
    }
    std::function<bool()> stopNow_;
    PortRefusal refusal_ = PortRefusal::None;
    std::string refusalText_;
    bool wakeReady_ = false;
    bool warnedText_ = false;
    int error_ = 0;
};

}  // namespace

std::unique_ptr<SerialDevice> makeNetworkDevice() { return std::make_unique<NetworkDevice>(); }

std::unique_ptr<SerialDevice> makeDeviceFor(const std::string& portName) {
    if (isNetworkPortName(portName)) return makeNetworkDevice();
    return makePlatformDevice();
}

}  // namespace serialtap
