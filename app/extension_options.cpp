#include "app/extension_options.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

#include "port/network_address.h"

namespace serialtap {

const char kExtensionHelpText[] =
    "Extension options:\n"
    "-m <format> 0 -- text, each LF stored as CR LF (default); 1 -- raw, the bytes\n"
    "   exactly; 2 -- hex dump, 16 bytes a line: 00000000  48 69 0D 0A ...  |Hi..|\n"
    "-d <time stamps> before each line, text or hex: 0 -- none (default);\n"
    "   1 -- local time [2026-12-08 16:42:19.123];\n"
    "   2 -- UTC [2026-12-08T16:42:19.123Z];\n"
    "   3 -- seconds since the capture began [   12.345678];\n"
    "   4 -- seconds since the previous line [+0.012345]\n"
    "-a <append> 1 -- add to the end of the capture file instead of emptying it;\n"
    "   0 (default)\n"
    "-f <milliseconds> longest time a received byte waits before it is written to\n"
    "   the file; 0 (default) -- when 4096 bytes are held, and at the end\n"
    "-t <seconds> stop after this many seconds; 0 -- no limit (default)\n"
    "-i <seconds> stop after this many seconds without a received byte;\n"
    "   0 -- never (default)\n"
    "-e <text> stop when the device has sent this text (escapes \\r \\n \\t \\\\ \\xHH)\n"
    "-x <text> stop with exit status 2 when the device has sent this text\n"
    "-r <reconnect> 1 -- reopen the port when it comes back after failing\n"
    "   (default); 0 -- off\n"
    "-v <view> 0 -- nothing (default); 1 -- a status line on standard error, or one\n"
    "   summary line at the end when that is not a terminal; 2 -- the received\n"
    "   bytes on standard output too\n"
    "-l <port> one more port to capture, with the same line settings; repeat it\n"
    "   for more, 8 ports at most with -c; each line of the file names its port\n"
    "-g <milliseconds> in the hex dump, start a new line when a byte comes after\n"
    "   this many milliseconds of quiet on its port; 0 -- never (default)\n"
    "-z <KiB> start a new part of the capture file when it holds this many KiB;\n"
    "   0 -- never (default). The part is renamed <file>.YYYYMMDDTHHMMSSZ (UTC)\n"
    "-w <seconds> start a new part at each multiple of this many seconds from\n"
    "   midnight UTC (3600 -- on the hour); 0 -- never (default)\n"
    "-k <count> keep at most this many old parts, removing the oldest;\n"
    "   0 -- keep all (default)\n"
    "-y <sync> 1 -- make each write-out durable on the disk before going on, so a\n"
    "   power cut loses at most the last -f milliseconds; 0 (default)\n"
    "-u <events> 1 -- mark in the capture what the line did besides sending bytes:\n"
    "   capture began and ended, port lost and back, bytes dropped, breaks, framing\n"
    "   and parity errors, modem lines; lines \"--- serialtap: ...\" in text and\n"
    "   hex, <file>.events beside a raw capture; 0 -- the bytes alone (default)\n"
    "Network ports for -c, on every platform: rfc2217://HOST:PORT -- Telnet with\n"
    "   RFC 2217, which carries -b -n -p -s; tcp://HOST:PORT -- raw TCP, with the\n"
    "   server's own line settings; HOST is a name, an IPv4 address or\n"
    "   [an IPv6 address]\n"
    "Words in place of <file>:\n"
    "--help     this screen\n"
    "--version  the program's name and version\n"
    "--list     the serial ports of this machine, one a line, the name for -c first\n"
    "Press q to stop a capture.\n"
    "Exit status: 0 -- stopped by q, a signal, -t, -i or -e; 1 -- an error;\n"
    "   2 -- the -x text arrived; 3 -- the -t time ran out before the -e text\n"
    "   arrived.\n"
    "Examples:\n"
    "  serialtap boot.log -c /dev/ttyUSB0 -b 115200 -t 120 -e login: -x \"panic\"\n"
    "  serialtap sensor.log -c COM3 -a 1 -f 1000 -d 1 -v 1\n"
    "  serialtap link.hex -c /dev/ttyUSB0 -l /dev/ttyUSB1 -b 115200 -m 2 -d 3 -g 5\n"
    "  serialtap rack.log -c rfc2217://ser2net.lab:2001 -b 115200\n"
    "  serialtap long.log -c /dev/ttyUSB0 -a 1 -f 1000 -y 1 -w 86400 -z 65536 -k 90\n";

namespace {

// One row per numeric extension option: its letter, its largest value and
// the field it sets.
struct NumberOption {
    char letter;
    std::uint32_t largest;
    void (*set)(CaptureOptions&, std::uint32_t);
};

constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

const NumberOption kNumberOptions[] = {
    {'m', 2, [](CaptureOptions& o, std::uint32_t v) { o.format = CaptureFormat(v); }},
    {'d', 4, [](CaptureOptions& o, std::uint32_t v) { o.timeStamps = TimeStamps(v); }},
    {'a', 1, [](CaptureOptions& o, std::uint32_t v) { o.append = v != 0; }},
    {'f', kNoLimit, [](CaptureOptions& o, std::uint32_t v) { o.flushMs = v; }},
    {'t', kNoLimit, [](CaptureOptions& o, std::uint32_t v) { o.stopAfterSeconds = v; }},
    {'i', kNoLimit, [](CaptureOptions& o, std::uint32_t v) { o.idleSeconds = v; }},
    {'r', 1, [](CaptureOptions& o, std::uint32_t v) { o.reconnect = v != 0; }},
    {'v', 2, [](CaptureOptions& o, std::uint32_t v) { o.view = View(v); }},
    {'g', kNoLimit, [](CaptureOptions& o, std::uint32_t v) { o.gapMs = v; }},
    {'z', kNoLimit, [](CaptureOptions& o, std::uint32_t v) { o.rotateKiB = v; }},
    {'w', kNoLimit, [](CaptureOptions& o, std::uint32_t v) { o.rotateSeconds = v; }},
    {'k', kNoLimit, [](CaptureOptions& o, std::uint32_t v) { o.keepParts = v; }},
    {'y', 1, [](CaptureOptions& o, std::uint32_t v) { o.durable = v != 0; }},
    {'u', 1, [](CaptureOptions& o, std::uint32_t v) { o.lineEvents = v != 0; }},
};

const NumberOption* findNumberOption(char letter) {
    for (const NumberOption& option : kNumberOptions) {
        if (option.letter == letter) return &option;
    }
    return nullptr;
}

// Unlike the original options, whose numbers are read leniently, these
// take whole decimal numbers only: "-t 1.5" silently meaning one second
// would end a script's capture early.
std::optional<std::uint32_t> readWholeNumber(const char* text, std::uint32_t largest) {
    if (*text == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(*text - '0');
        if (value > largest) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Sized to the value, however long: a cut message would lose its line break.
std::string message(const char* format, char letter, const char* value) {
    int length = std::snprintf(nullptr, 0, format, letter, value);
    if (length <= 0) return "\n";
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, letter, value);
    return text;
}

}  // namespace

bool isExtensionLetter(char letter) {
    return findNumberOption(letter) != nullptr || letter == 'e' || letter == 'x' || letter == 'l';
}

std::optional<std::string> decodeStopText(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
            case 'r':
                bytes += '\r';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case '\\':
                bytes += '\\';
                break;
            case 'x': {
                int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
                int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
                if (high < 0 || low < 0) return std::nullopt;
                bytes += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return bytes;
}

std::optional<std::string> applyExtensionOption(char letter, const char* value,
                                                CaptureOptions& options) {
    if (const NumberOption* option = findNumberOption(letter)) {
        std::optional<std::uint32_t> number = readWholeNumber(value, option->largest);
        if (!number) return message("invalid value for option -%c: %s\n", letter, value);
        option->set(options, *number);
        return std::nullopt;
    }
    if (letter == 'l') {
        if (*value == '\0') return message("empty port name for option -%c%s\n", letter, "");
        if (auto bad = checkPortName(letter, value)) return bad;
        // Counted here, so that a long list is refused before anything is opened.
        if (options.morePorts.size() + 1 >= kMaxPorts) {
            return message("too many ports: -c and -%c take at most 8%s\n", letter, "");
        }
        options.morePorts.emplace_back(value);
        return std::nullopt;
    }
    std::optional<std::string> text = decodeStopText(value);
    if (!text) return message("bad escape in the text of option -%c: %s\n", letter, value);
    if (text->empty()) return message("empty text for option -%c%s\n", letter, "");
    (letter == 'e' ? options.endText : options.failText) = *text;
    return std::nullopt;
}

std::optional<std::string> checkPortName(char letter, const std::string& name) {
    if (!isNetworkPortName(name) || parseNetworkPortName(name)) return std::nullopt;
    return message("bad network port name for option -%c: %s\n", letter, name.c_str());
}

std::optional<std::string> checkExtensionOptions(const CaptureOptions& options) {
    if (options.timeStamps != TimeStamps::None && options.format == CaptureFormat::Raw) {
        return std::string("time stamps (-d) need the text or hex format (-m 0 or -m 2)\n");
    }
    // A raw file cannot say which port a byte came from.
    if (!options.morePorts.empty() && options.format == CaptureFormat::Raw) {
        return std::string("several ports (-l) need the text or hex format (-m 0 or -m 2)\n");
    }
    if (options.gapMs > 0 && options.format != CaptureFormat::Hex) {
        return std::string("lines split at pauses (-g) need the hex format (-m 2)\n");
    }
    return std::nullopt;
}

}  // namespace serialtap
