#include "app/command_line.h"

#include <cstdio>
#include <cstring>

#include "app/extension_options.h"
#include "capture/part_files.h"

namespace serialtap {

const char kUsageText[] =
    "usage: serialtap <file> <options>\n"
    "Available options are: \n"
    "-c <comm port> where the default is COM1\n"
    "-b <baud rate> where the default is 9600\n"
    "-n <number of bits in the bytes> where the default is 8\n"
    "-p <patiry > where the default is NOPARITY (0)\n"
    "-s <the number of the stop bits> where the default is ONESTOPBIT (1)\n"
    "  Parity values: 0 -- No parity; 1 -- Odd; 2 -- Even; 3 -- Mark; 4 -- Space.\n"
    "  StopBits values: 0 -- 1 stop bit; 1 -- 1.5 stop bits; 2 -- 2 stop bits.\n";

const char kVersionText[] = "serialtap " SERIALTAP_VERSION "\n";

namespace {

// Words that stand in place of the capture file name and are never taken as one.
struct Word {
    const char* text;
    ParseStatus status;
};

const Word kWords[] = {
    {"--help", ParseStatus::Help},
    {"--version", ParseStatus::Version},
    {"--list", ParseStatus::List},
};

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::uint8_t parityCode(std::int32_t number) {
    return number >= kNoParity && number <= kSpaceParity ? static_cast<std::uint8_t>(number)
                                                         : kNoParity;
}

std::uint8_t stopBitsCode(std::int32_t number) {
    return number >= kOneStopBit && number <= kTwoStopBits ? static_cast<std::uint8_t>(number)
                                                           : kOneStopBit;
}

bool takesValue(char letter) {
    return letter == 'b' || letter == 'c' || letter == 'n' || letter == 'p' || letter == 's';
}

// The character that starts at this byte: a whole UTF-8 sequence where
// there is one, so that a message never ends in half a character; else
// the byte alone.
std::string characterAt(const std::string& text, std::size_t at) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 1;
    if (at + length > text.size()) length = 1;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) length = 1;
    }
    return text.substr(at, length);
}

}  // namespace

std::int32_t readNumber(const char* text) {
    while (isSpace(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10u + static_cast<std::uint32_t>(*text - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

CommandLine parseCommandLine(int argc, const char* const argv[]) {
    CommandLine result;
    if (argc < 2) return result;
    for (const Word& word : kWords) {
        if (std::strcmp(argv[1], word.text) == 0) {
            result.status = word.status;
            return result;
        }
    }
    result.captureFileName = argv[1];

    std::int32_t parity = kNoParity;
    std::int32_t stopBits = kOneStopBit;
    std::int32_t byteSize = 8;
    std::int32_t baudRate = 9600;
    for (int i = 2; i < argc; i += 2) {
        const char* token = argv[i];
        // The first character is not examined; only the second one chooses.
        const char letter = token[0] != '\0' ? token[1] : '\0';
        if (!takesValue(letter) && !isExtensionLetter(letter)) {
            result.status = ParseStatus::UnknownOption;
            result.badToken = token;
            return result;
        }
        if (i + 1 >= argc) {
            result.status = ParseStatus::MissingValue;
            result.badToken = token;
            return result;
        }
        const char* value = argv[i + 1];
        if (isExtensionLetter(letter)) {
            if (auto message = applyExtensionOption(letter, value, result.options)) {
                result.status = ParseStatus::BadValue;
                result.badValueMessage = *message;
                return result;
            }
            continue;
        }
        switch (letter) {
            case 'b':
                baudRate = readNumber(value);
                break;
            case 'c':
                result.settings.portName = value;
                break;
            case 'n':
                byteSize = readNumber(value);
                break;
            case 'p':
                parity = readNumber(value);
                break;
            default:
                stopBits = readNumber(value);
                break;
        }
    }
    result.settings.parity = parityCode(parity);
    result.settings.stopBits = stopBitsCode(stopBits);
    result.settings.byteSize =
        static_cast<std::uint8_t>(static_cast<std::uint32_t>(byteSize) & 0xFFu);
    result.settings.baudRate = static_cast<std::uint32_t>(baudRate);
    auto message = checkPortName('c', result.settings.portName);
    if (!message) message = checkExtensionOptions(result.options);
    if (message) {
        result.status = ParseStatus::BadValue;
        result.badValueMessage = *message;
        return result;
    }
    // Rotation renames the name it was given: a link would be renamed to a
    // part while its target went on as the live file.
    if ((result.options.rotateKiB > 0 || result.options.rotateSeconds > 0) &&
        part_files::facts(result.captureFileName).link) {
        result.status = ParseStatus::BadValue;
        result.badValueMessage =
            "rotation (-z, -w) needs the capture file itself, not a symbolic link to it\n";
        return result;
    }
    result.status = ParseStatus::Capture;
    return result;
}

int reportParseOutcome(const CommandLine& commandLine, std::FILE* out, std::FILE* in) {
    switch (commandLine.status) {
        case ParseStatus::ShowUsage:
            std::fputs(kUsageText, out);
            std::fflush(out);
            std::fgetc(in);
            break;
        case ParseStatus::UnknownOption: {
            const std::string& token = commandLine.badToken;
            // A token without a second character shows nothing in its place.
            if (token.size() >= 2) {
                std::fprintf(out, "unknown argument: -%s\n", characterAt(token, 1).c_str());
            } else {
                std::fputs("unknown argument: -\n", out);
            }
            std::fputs("type serialtap without any parameters for help", out);
            break;
        }
        case ParseStatus::MissingValue:
            std::fprintf(out, "missing value for option %s\n", commandLine.badToken.c_str());
            break;
        case ParseStatus::BadValue:
            std::fputs(commandLine.badValueMessage.c_str(), out);
            break;
        case ParseStatus::Help:
            std::fputs(kUsageText, out);
            std::fputs(kExtensionHelpText, out);
            return 0;
        case ParseStatus::Version:
            std::fputs(kVersionText, out);
            return 0;
        case ParseStatus::List:  // main lists the ports
        case ParseStatus::Capture:
            return 0;
    }
    return 1;
}

}  // namespace serialtap
