#include "port/telnet_session.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "port/network_address.h"

namespace serialtap {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t IAC = 255, WILL = 251, WONT = 252, DO = 253, DONT = 254, SB = 250, SE = 240;

Bytes decode(TelnetSession& session, const Bytes& in) {
    Bytes data;
    session.receive(in.data(), in.size(), data);
    return data;
}

// The greeting ser2net 4.3 sends on a telnet(rfc2217) port.
const Bytes kGreeting = {IAC, WILL, 3,  IAC, DO,  3,    IAC, WILL, 1,  IAC, DONT,
                         1,   IAC,  DO, 0,   IAC, WILL, 0,   IAC,  DO, 44};

TEST(TelnetSession, AgreesBinaryAndComPortAndRefusesTheRestWithoutLoops) {
    TelnetSession session(true);
    session.start();
    EXPECT_EQ(session.output(), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44}));
    EXPECT_FALSE(session.settled());
    session.output().clear();
    EXPECT_TRUE(decode(session, kGreeting).empty());
    // Suppress-go-ahead and echo are refused once; a DONT for an option we
    // never had is not answered.
    EXPECT_EQ(session.output(), (Bytes{IAC, DONT, 3, IAC, WONT, 3, IAC, DONT, 1}));
    EXPECT_TRUE(session.settled());
    EXPECT_TRUE(session.sendsBinary());
    EXPECT_TRUE(session.comPortAccepted());
    session.output().clear();
    decode(session, {IAC, WONT, 3, IAC, DONT, 3, IAC, WILL, 0, IAC, DO, 0});
    EXPECT_TRUE(session.output().empty());
    // Leaving binary mode is acknowledged once, then stays quiet.
    decode(session, {IAC, WONT, 0, IAC, WONT, 0});
    EXPECT_EQ(session.output(), (Bytes{IAC, DONT, 0}));
    EXPECT_FALSE(session.sendsBinary());
}

TEST(TelnetSession, RefusedRequestsSettleAsRefused) {
    TelnetSession session(true);
    session.start();
    session.output().clear();
    decode(session, {IAC, DONT, 44, IAC, WONT, 0, IAC, DO, 0});
    EXPECT_TRUE(session.settled());
    EXPECT_FALSE(session.comPortAccepted());
    EXPECT_FALSE(session.sendsBinary());
    EXPECT_TRUE(session.output().empty());
}

TEST(TelnetSession, DecodesTheSameWhereverTheStreamIsSplit) {
    Bytes stream = {'a', IAC, IAC, '\r', 0,   '\r', '\n', IAC, SB,  44, 107,  IAC,
                    IAC, 0,   IAC, SE,   IAC, 241,  'b',  IAC, DO,  3,  0xFE, IAC,
                    SB,  44,  101, 0,    0,   0x25, IAC,  IAC, IAC, SE, 'c'};
    for (bool binary : {true, false}) {
        Bytes expected = binary ? Bytes{'a', 0xFF, '\r', 0, '\r', '\n', 'b', 0xFE, 'c'}
                                : Bytes{'a', 0xFF, '\r', '\r', '\n', 'b', 0xFE, 'c'};
        for (std::size_t split = 0; split <= stream.size(); ++split) {
            TelnetSession session(true);
            session.start();
            if (binary) decode(session, {IAC, WILL, 0});
            auto at = stream.begin() + static_cast<std::ptrdiff_t>(split);
            Bytes first(stream.begin(), at);
            Bytes second(at, stream.end());
            Bytes data = decode(session, first);
            Bytes more = decode(session, second);
            data.insert(data.end(), more.begin(), more.end());
            EXPECT_EQ(data, expected) << "binary " << binary << ", split at " << split;
            ASSERT_NE(session.answer(1), nullptr);
            EXPECT_EQ(*session.answer(1), (Bytes{0, 0, 0x25, 0xFF}));
        }
    }
}

// Notifications become marks before the data byte that follows them,
// wherever the stream is split; a modem state said again is no change.
TEST(TelnetSession, NotificationsMarkTheirPlaceWhereverTheStreamIsSplit) {
    Bytes stream = {'a', 'b', IAC,  SB,  44, 106, 0x10, IAC, SE,  IAC,  SB,  44,  106, 0x08,
                    IAC, SE,  IAC,  SB,  44, 107, 0xB1, IAC, SE,  'c',  IAC, IAC, IAC, SB,
                    44,  107, 0xB0, IAC, SE, IAC, SB,   44,  106, 0x06, IAC, SE,  'd'};
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        TelnetSession session(true);
        decode(session, {IAC, WILL, 0});
        auto at = stream.begin() + static_cast<std::ptrdiff_t>(split);
        Bytes data;
        std::vector<LineMark> marks;
        for (const Bytes& piece : {Bytes(stream.begin(), at), Bytes(at, stream.end())}) {
            session.receive(piece.data(), piece.size(), data);
            session.takeMarks(marks);
        }
        EXPECT_EQ(data, (Bytes{'a', 'b', 'c', 0xFF, 'd'})) << "split at " << split;
        std::vector<std::pair<LineEventKind, std::size_t>> found;
        found.reserve(marks.size());
        for (const LineMark& mark : marks) found.emplace_back(mark.kind, mark.at);
        EXPECT_EQ(found, (std::vector<std::pair<LineEventKind, std::size_t>>{
                             {LineEventKind::Break, 2},
                             {LineEventKind::FramingError, 2},
                             {LineEventKind::ModemLines, 2},
                             {LineEventKind::Dropped, 4},
                             {LineEventKind::ParityError, 4}}))
            << "split at " << split;
        ASSERT_EQ(marks.size(), 5u);
        EXPECT_EQ(marks[2].lines, kLineDcd | kLineDsr | kLineCts);
        EXPECT_EQ(session.modemLines(), kLineDcd | kLineDsr | kLineCts);
    }
}

TEST(TelnetSession, ComPortCommandsEscapeIacAndForgetTheOldAnswer) {
    TelnetSession session(true);
    decode(session, {IAC, SB, 44, 101, 1, 2, 3, 4, IAC, SE});
    ASSERT_NE(session.answer(1), nullptr);
    Bytes rate = {0, 0x01, 0xFF, 0x00};
    session.sendComPort(1, rate.data(), rate.size());
    EXPECT_EQ(session.output(), (Bytes{IAC, SB, 44, 1, 0, 1, IAC, IAC, 0, IAC, SE}));
    EXPECT_EQ(session.answer(1), nullptr);
}

TEST(TelnetSession, ABrokenServerIsFoundOutNotFollowed) {
    TelnetSession longSub(true);
    Bytes sub = {IAC, SB, 44};
    sub.resize(3 + TelnetSession::kMaxSubnegotiation, 'x');
    Bytes data;
    EXPECT_FALSE(longSub.receive(sub.data(), sub.size(), data));
    EXPECT_TRUE(longSub.broken());

    TelnetSession flood(true);
    Bytes offers;
    for (int i = 0; i <= TelnetSession::kMaxOptionCommands; ++i) {
        offers.insert(offers.end(), {IAC, WILL, 5});
    }
    EXPECT_FALSE(flood.receive(offers.data(), offers.size(), data));
    EXPECT_LE(flood.output().size(), std::size_t{3} * TelnetSession::kMaxOptionCommands);

    // Modem lines flapping on a quiet line are news, not a flood.
    TelnetSession flapping(true);
    Bytes changes;
    while (changes.size() <= 2 * TelnetSession::kMaxCommandBytesInRow) {
        const std::uint8_t lines = changes.size() % 2 == 0 ? 0x10 : 0x00;
        changes.insert(changes.end(), {IAC, SB, 44, 107, lines, IAC, SE});
    }
    EXPECT_TRUE(flapping.receive(changes.data(), changes.size(), data));
    std::vector<LineMark> marks;
    flapping.takeMarks(marks);
    EXPECT_EQ(marks.size(), changes.size() / 7);
}

TEST(NetworkAddress, ParsesHostsAndRejectsMalformedNames) {
    auto v4 = parseNetworkPortName("rfc2217://10.0.0.5:2001");
    ASSERT_TRUE(v4);
    EXPECT_TRUE(v4->telnet);
    EXPECT_EQ(v4->host, "10.0.0.5");
    EXPECT_EQ(v4->service, "2001");
    auto v6 = parseNetworkPortName("tcp://[::1]:7000");
    ASSERT_TRUE(v6);
    EXPECT_FALSE(v6->telnet);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_TRUE(parseNetworkPortName("tcp://rack-3.lab:65535"));
    for (const char* bad :
         {"tcp://host", "tcp://host:", "tcp://:80", "tcp://host:0", "tcp://host:65536",
          "tcp://::1:80", "tcp://[::1]80", "tcp://h:8x", "tcp://a\tb:80", "tcp://user@host:80"}) {
        EXPECT_FALSE(parseNetworkPortName(bad)) << bad;
        EXPECT_TRUE(isNetworkPortName(bad));
    }
    EXPECT_FALSE(isNetworkPortName("/dev/ttyUSB0"));
    auto upper = parseNetworkPortName("RFC2217://Rack3:2001");
    ASSERT_TRUE(upper) << "schemes are case-insensitive";
    EXPECT_TRUE(upper->telnet);
    EXPECT_EQ(upper->host, "Rack3");
    EXPECT_TRUE(isNetworkPortName("TCP://x:1"));
}

}  // namespace
}  // namespace serialtap
