// Any argument vector a user can type: the parse never reads past a token,
// always ends in a complete settings record or one of the defined exits, and
// the message printed for it is exactly the one that exit prints.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/extension_options.h"

namespace {

using serialtap::CommandLine;
using serialtap::ParseStatus;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

// A second, independent reading of a number: digits taken modulo 2^32 in a
// wider type, so a slip in the wrapping arithmetic of readNumber shows.
std::int32_t referenceNumber(const char* text) {
    std::size_t i = 0;
    while (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')) ++i;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    std::uint64_t value = 0;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) {
        value = (value * 10 + static_cast<std::uint64_t>(text[i] - '0')) % 0x100000000ull;
    }
    if (negative) value = (0x100000000ull - value) % 0x100000000ull;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Whether an extension option's value is one the program takes, worked out
// the plain way: whole decimal numbers up to the letter's largest value, or
// a non-empty text whose escapes are all well formed.
bool referenceExtensionValue(char letter, const std::string& value) {
    if (letter == 'e' || letter == 'x') {
        std::size_t length = 0;
        for (std::size_t i = 0; i < value.size(); ++i, ++length) {
            if (value[i] != '\\') continue;
            if (i + 1 >= value.size()) return false;
            const char kind = value[i + 1];
            if (kind == 'x') {
                if (i + 3 >= value.size()) return false;
                if (!std::isxdigit(static_cast<unsigned char>(value[i + 2])) ||
                    !std::isxdigit(static_cast<unsigned char>(value[i + 3]))) {
                    return false;
                }
                i += 3;
            } else if (kind == 'r' || kind == 'n' || kind == 't' || kind == '\\') {
                i += 1;
            } else {
                return false;
            }
        }
        return length > 0;
    }
    if (letter == 'l') return !value.empty();
    const std::uint64_t largest = letter == 'm' || letter == 'v' ? 2
                                  : letter == 'd'                ? 4
                                  : letter == 'a' || letter == 'r' || letter == 'y' || letter == 'u'
                                      ? 1
                                      : 0xFFFFFFFFull;
    if (value.empty()) return false;
    std::uint64_t number = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
        if (number > largest) return false;
    }
    return true;
}

// What the parse must give for these arguments, worked out the plain way.
CommandLine expectedParse(const std::vector<const char*>& argv) {
    CommandLine expected;
    if (argv.size() < 2) return expected;
    const std::pair<const char*, ParseStatus> words[] = {{"--help", ParseStatus::Help},
                                                         {"--version", ParseStatus::Version},
                                                         {"--list", ParseStatus::List}};
    for (const auto& [word, status] : words) {
        if (std::strcmp(argv[1], word) == 0) {
            expected.status = status;
            return expected;
        }
    }
    expected.captureFileName = argv[1];
    unsigned long format = 0;
    bool timeStamps = false;
    bool gaps = false;
    std::size_t ports = 1;
    std::int32_t numbers[4] = {9600, 8, 0, 0};  // b, n, p, s
    for (std::size_t i = 2; i < argv.size(); i += 2) {
        const std::string token = argv[i];
        const char letter = token.size() >= 2 ? token[1] : '\0';
        const char* known =
            letter != '\0' ? std::strchr("bcnpsmdaftiexrvzwkyulg", letter) : nullptr;
        if (known == nullptr) {
            expected.status = ParseStatus::UnknownOption;
            expected.badToken = token;
            return expected;
        }
        if (i + 1 == argv.size()) {
            expected.status = ParseStatus::MissingValue;
            expected.badToken = token;
            return expected;
        }
        if (std::strchr("mdaftiexrvzwkyulg", letter) != nullptr) {
            if (!referenceExtensionValue(letter, argv[i + 1]) || (letter == 'l' && ++ports > 8)) {
                expected.status = ParseStatus::BadValue;
                return expected;
            }
            if (letter == 'l') continue;
            // Validated above: whole numbers of at most ten digits.
            const unsigned long number = std::strtoul(argv[i + 1], nullptr, 10);
            if (letter == 'm') format = number;
            if (letter == 'd') timeStamps = number != 0;
            if (letter == 'g') gaps = number != 0;
            continue;
        }
        switch (letter) {
            case 'c':
                expected.settings.portName = argv[i + 1];
                break;
            case 'b':
                numbers[0] = referenceNumber(argv[i + 1]);
                break;
            case 'n':
                numbers[1] = referenceNumber(argv[i + 1]);
                break;
            case 'p':
                numbers[2] = referenceNumber(argv[i + 1]);
                break;
            default:
                numbers[3] = referenceNumber(argv[i + 1]);
                break;
        }
    }
    // Raw captures take neither stamps nor several ports; pauses split hex lines only.
    const bool clash = (format == 1 && (timeStamps || ports > 1)) || (gaps && format != 2);
    expected.status = clash ? ParseStatus::BadValue : ParseStatus::Capture;
    expected.settings.baudRate = static_cast<std::uint32_t>(numbers[0]);
    expected.settings.byteSize = static_cast<std::uint8_t>(numbers[1] & 0xFF);
    // Out-of-range parity and stop-bit numbers fall back to the defaults.
    expected.settings.parity = numbers[2] >= 0 && numbers[2] <= 4
                                   ? static_cast<std::uint8_t>(numbers[2])
                                   : std::uint8_t{0};
    expected.settings.stopBits = numbers[3] >= 0 && numbers[3] <= 2
                                     ? static_cast<std::uint8_t>(numbers[3])
                                     : std::uint8_t{0};
    return expected;
}

// The first character of the text: a whole UTF-8 sequence where one is
// there (a lead byte C2 to F4 and its continuation bytes), else one byte.
std::string referenceCharacter(const std::string& text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 1;
    if (lead >= 0xC2 && lead <= 0xF4) length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (text.size() < length) return text.substr(0, 1);
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) >> 6) != 2) return text.substr(0, 1);
    }
    return text.substr(0, length);
}

std::string expectedReport(const CommandLine& parsed) {
    switch (parsed.status) {
        case ParseStatus::ShowUsage:
            return serialtap::kUsageText;
        case ParseStatus::UnknownOption: {
            std::string first = "unknown argument: -";
            if (parsed.badToken.size() >= 2) first += referenceCharacter(parsed.badToken.substr(1));
            return first + "\ntype serialtap without any parameters for help";
        }
        case ParseStatus::MissingValue:
            return "missing value for option " + parsed.badToken + "\n";
        case ParseStatus::BadValue:
            return parsed.badValueMessage;
        case ParseStatus::Help:
            return std::string(serialtap::kUsageText) + serialtap::kExtensionHelpText;
        case ParseStatus::Version:
            return serialtap::kVersionText;
        case ParseStatus::List:  // listed by main, not by the report
        case ParseStatus::Capture:
            return "";
    }
    fail("status is none of the defined ones");
}

void checkReport(const CommandLine& parsed) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    check(out != nullptr, "open_memstream");
    // The usage screen waits for one character; it must take exactly one.
    char keys[] = "xy";
    std::FILE* in = fmemopen(keys, 2, "r");
    check(in != nullptr, "fmemopen");

    const int status = serialtap::reportParseOutcome(parsed, out, in);
    std::fclose(out);
    const std::string printed(text, size);
    std::free(text);
    const long taken = std::ftell(in);
    std::fclose(in);

    const bool succeeds =
        parsed.status == ParseStatus::Capture || parsed.status == ParseStatus::Help ||
        parsed.status == ParseStatus::Version || parsed.status == ParseStatus::List;
    check(status == (succeeds ? 0 : 1), "exit status");
    if (parsed.status == ParseStatus::BadValue) {
        check(!printed.empty() && printed.back() == '\n', "a value's message ends its line");
    }
    check(printed == expectedReport(parsed), "printed message");
    check(printed.find('\0') == std::string::npos, "NUL byte in the message");
    check(taken == (parsed.status == ParseStatus::ShowUsage ? 1 : 0), "characters read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input, split on NUL bytes, gives the arguments after the program
    // name; an empty input gives none. Each token is its own allocation of
    // exactly its length plus the terminator, so a read past its end is an
    // AddressSanitizer report.
    std::vector<std::unique_ptr<char[]>> tokens;
    auto addToken = [&tokens](const char* begin, std::size_t length) {
        tokens.push_back(std::make_unique<char[]>(length + 1));
        std::memcpy(tokens.back().get(), begin, length);
        tokens.back()[length] = '\0';
    };
    const char kProgram[] = "serialtap";
    addToken(kProgram, sizeof kProgram - 1);
    if (size > 0) {
        const char* text = reinterpret_cast<const char*>(data);
        std::size_t start = 0;
        for (std::size_t i = 0; i <= size; ++i) {
            if (i == size || text[i] == '\0') {
                addToken(text + start, i - start);
                start = i + 1;
            }
        }
    }

    // argc entries and no terminating null pointer: the parse is given a
    // count and must not look at argv[argc].
    const int argc = static_cast<int>(tokens.size());
    auto argv = std::make_unique<const char*[]>(tokens.size());
    std::vector<const char*> plain;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        argv[i] = tokens[i].get();
        plain.push_back(tokens[i].get());
    }

    const CommandLine parsed = serialtap::parseCommandLine(argc, argv.get());
    const CommandLine expected = expectedParse(plain);

    check(parsed.status == expected.status, "status");
    if (parsed.status == ParseStatus::Capture) {
        check(parsed.captureFileName == tokens[1].get(), "capture file name is argv[1]");
        check(parsed.settings.parity <= 4, "parity 0-4");
        check(parsed.settings.stopBits <= 2, "stop bits 0-2");
        check(parsed.settings.portName == expected.settings.portName, "port name");
        check(parsed.settings.baudRate == expected.settings.baudRate, "baud rate");
        check(parsed.settings.byteSize == expected.settings.byteSize, "byte size");
        check(parsed.settings.parity == expected.settings.parity, "parity");
        check(parsed.settings.stopBits == expected.settings.stopBits, "stop bits");
    } else if (parsed.status == ParseStatus::UnknownOption ||
               parsed.status == ParseStatus::MissingValue) {
        check(parsed.badToken == expected.badToken, "offending token");
    }
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        check(serialtap::readNumber(tokens[i].get()) == referenceNumber(tokens[i].get()),
              "readNumber");
    }
    checkReport(parsed);
    return 0;
}
