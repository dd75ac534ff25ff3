// Any byte stream from a server, in any split into receives: the Telnet
// session gives the device's bytes a plain reference decoder written here
// gives, finds a server broken at the same byte, answers the same whatever
// the split, and never answers more than one command's worth per command.
// The line and modem notifications become the reference's marks, each
// placed within the data returned so far.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <tuple>
#include <vector>

#include "port/telnet_session.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using serialtap::LineEventKind;
using serialtap::LineMark;
using serialtap::TelnetSession;
// A mark as kind, place and modem lines, for comparing.
using Mark = std::tuple<LineEventKind, std::size_t, std::uint32_t>;
using Marks = std::vector<Mark>;

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kWont = 252;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

struct Reference {
    Bytes data;
    Marks marks;
    bool broken = false;
};

// The marks of a complete Com Port Control notification.
void notify(const Bytes& body, std::optional<std::uint8_t>& modem, Reference& out) {
    if (body.size() < 3 || body[0] != 44) return;
    std::size_t at = out.data.size();
    if (body[1] == 107) {
        auto state = static_cast<std::uint8_t>(body[2] & 0xF0);
        if (modem != state) out.marks.emplace_back(LineEventKind::ModemLines, at, state);
        modem = state;
    } else if (body[1] == 106) {
        if ((body[2] & 0x02) != 0) out.marks.emplace_back(LineEventKind::Dropped, at, 0);
        if ((body[2] & 0x10) != 0) out.marks.emplace_back(LineEventKind::Break, at, 0);
        if ((body[2] & 0x08) != 0) out.marks.emplace_back(LineEventKind::FramingError, at, 0);
        if ((body[2] & 0x04) != 0) out.marks.emplace_back(LineEventKind::ParityError, at, 0);
    }
}

// The whole stream at once, by index. Binary mode follows the server's
// last WILL or WONT for it, since the session asked for it and accepts it.
Reference reference(const Bytes& in) {
    Reference out;
    bool binary = false;
    bool afterCr = false;
    int options = 0;
    std::optional<std::uint8_t> modem;
    auto emit = [&](std::uint8_t byte) {
        if (!binary) {
            bool padding = afterCr && byte == 0;
            afterCr = byte == '\r';
            if (padding) return;
        } else {
            afterCr = false;
        }
        out.data.push_back(byte);
    };
    std::size_t i = 0;
    while (i < in.size()) {
        if (in[i] != kIac) {
            emit(in[i++]);
            continue;
        }
        if (i + 1 >= in.size()) break;
        std::uint8_t verb = in[i + 1];
        if (verb == kIac) {
            emit(kIac);
            i += 2;
        } else if (verb >= kWill) {
            if (i + 2 >= in.size()) break;
            if (++options > TelnetSession::kMaxOptionCommands) {
                out.broken = true;
                return out;
            }
            if (in[i + 2] == 0 && verb == kWill) binary = true;
            if (in[i + 2] == 0 && verb == kWont) binary = false;
            i += 3;
        } else if (verb == kSb) {
            std::size_t j = i + 2;
            std::size_t length = 0;
            bool ended = false;
            Bytes body;
            while (j < in.size()) {
                if (in[j] == kIac) {
                    if (j + 1 >= in.size()) break;
                    if (in[j + 1] == kSe) {
                        j += 2;
                        ended = true;
                        notify(body, modem, out);
                        break;
                    }
                    if (in[j + 1] != kIac) {
                        ended = true;  // a command ends it unfinished
                        break;
                    }
                    j += 2;
                } else {
                    j += 1;
                }
                body.push_back(in[j - 1]);
                if (++length > TelnetSession::kMaxSubnegotiation) {
                    out.broken = true;
                    return out;
                }
            }
            if (!ended) break;
            i = j;
        } else {
            i += 2;
        }
    }
    return out;
}

struct Run {
    Bytes data;
    Marks marks;
    Bytes output;
    bool broken = false;
};

Run run(const Bytes& in, bool comPort, const std::uint8_t* splits, std::size_t splitCount) {
    TelnetSession session(comPort);
    session.start();
    Run result;
    std::size_t at = 0;
    std::size_t next = 0;
    while (at < in.size()) {
        std::size_t take = splitCount > 0 ? 1 + splits[next++ % splitCount] % 16 : in.size();
        if (take > in.size() - at) take = in.size() - at;
        std::size_t before = result.data.size();
        bool fine = session.receive(in.data() + at, take, result.data);
        check(fine == !session.broken(), "receive's result is the broken state");
        std::vector<LineMark> marks;
        session.takeMarks(marks);
        for (const LineMark& mark : marks) {
            check(mark.at >= before && mark.at <= result.data.size(),
                  "a mark stands within the data of its receive");
            result.marks.emplace_back(mark.kind, mark.at, mark.lines);
        }
        at += take;
    }
    result.output = session.output();
    result.broken = session.broken();
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) return 0;
    bool comPort = (bytes[0] & 1) != 0;
    std::size_t splitCount = bytes[1] % 8;
    if (size < 2 + splitCount) return 0;
    const std::uint8_t* splits = bytes + 2;
    Bytes in(bytes + 2 + splitCount, bytes + size);

    Run whole = run(in, comPort, nullptr, 0);
    Run pieces = run(in, comPort, splits, splitCount);
    check(whole.data == pieces.data, "the data does not depend on the split");
    check(whole.output == pieces.output, "the answers do not depend on the split");
    check(whole.broken == pieces.broken, "a broken server is found whatever the split");
    check(whole.marks == pieces.marks, "the marks do not depend on the split");

    Reference expected = reference(in);
    check(whole.broken == expected.broken, "broken as the reference finds it");
    check(whole.data == expected.data, "the data is the reference's");
    check(whole.marks == expected.marks, "the marks are the reference's");
    // Our three requests, then at most one answer per option command.
    std::size_t bound = 9 + 3 * static_cast<std::size_t>(TelnetSession::kMaxOptionCommands);
    check(whole.output.size() <= bound, "answers stay bounded");
    return 0;
}
