#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_files.h"

namespace serialtap {
namespace {

CommandLine parse(std::vector<const char*> args) {
    args.insert(args.begin(), "serialtap");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

struct SettingsCase {
    std::vector<const char*> options;
    std::string portName;
    std::uint32_t baudRate;
    unsigned byteSize;
    unsigned parity;
    unsigned stopBits;
};

void PrintTo(const SettingsCase& c, std::ostream* out) {
    for (const char* option : c.options) *out << '"' << option << "\" ";
}

class OptionsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(OptionsTest, CompleteTheSettings) {
    const SettingsCase& c = GetParam();
    std::vector<const char*> args{"log.txt"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    CommandLine result = parse(args);
    ASSERT_EQ(result.status, ParseStatus::Capture);
    EXPECT_EQ(result.captureFileName, "log.txt");
    EXPECT_EQ(result.settings.portName, c.portName);
    EXPECT_EQ(result.settings.baudRate, c.baudRate);
    EXPECT_EQ(result.settings.byteSize, c.byteSize);
    EXPECT_EQ(result.settings.parity, c.parity);
    EXPECT_EQ(result.settings.stopBits, c.stopBits);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, OptionsTest,
    ::testing::Values(SettingsCase{{}, "COM1", 9600, 8, 0, 0},
                      SettingsCase{{"-c", "COM2", "-p", "2"}, "COM2", 9600, 8, 2, 0},
                      SettingsCase{{"-b", "300", "-b", "600"}, "COM1", 600, 8, 0, 0},
                      SettingsCase{{"xb", "600"}, "COM1", 600, 8, 0, 0},
                      SettingsCase{{"-baud", "600"}, "COM1", 600, 8, 0, 0},
                      SettingsCase{{"/b", "115200"}, "COM1", 115200, 8, 0, 0},
                      SettingsCase{{"-p", "5"}, "COM1", 9600, 8, 0, 0},
                      SettingsCase{{"-p", "-1"}, "COM1", 9600, 8, 0, 0},
                      SettingsCase{{"-p", "4"}, "COM1", 9600, 8, 4, 0},
                      SettingsCase{{"-s", "3"}, "COM1", 9600, 8, 0, 0},
                      SettingsCase{{"-s", "1"}, "COM1", 9600, 8, 0, 1},
                      SettingsCase{{"-s", "2"}, "COM1", 9600, 8, 0, 2},
                      SettingsCase{{"-n", "264"}, "COM1", 9600, 8, 0, 0},
                      SettingsCase{{"-n", "7"}, "COM1", 9600, 7, 0, 0},
                      SettingsCase{{"-n", "-1"}, "COM1", 9600, 255, 0, 0},
                      SettingsCase{{"-b", "9600x"}, "COM1", 9600, 8, 0, 0},
                      SettingsCase{{"-b", "x"}, "COM1", 0, 8, 0, 0},
                      SettingsCase{{"-b", "-1"}, "COM1", 4294967295u, 8, 0, 0},
                      SettingsCase{{"-b", " \t+250000"}, "COM1", 250000, 8, 0, 0},
                      SettingsCase{{"-c", " odd name -b 5"}, " odd name -b 5", 9600, 8, 0, 0},
                      SettingsCase{{"-c", ""}, "", 9600, 8, 0, 0}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) {
        // Readable names in test listings: the options with what is not a
        // letter or digit left out, made unique by the case's number.
        std::string name = "Case" + std::to_string(info.index);
        for (const char* option : info.param.options) {
            name += '_';
            for (const char* c = option; *c != '\0'; ++c) {
                if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
            }
        }
        return name;
    });

TEST(CommandLine, FileNameIsTheFirstArgumentWhateverItLooksLike) {
    CommandLine result = parse({"-b", "-c", "COM3"});
    ASSERT_EQ(result.status, ParseStatus::Capture);
    EXPECT_EQ(result.captureFileName, "-b");
    EXPECT_EQ(result.settings.portName, "COM3");
}

TEST(CommandLine, NoArgumentsAsksForTheUsageScreen) {
    EXPECT_EQ(parse({}).status, ParseStatus::ShowUsage);
}

TEST(ReadNumber, TakesLeadingDigitsAfterWhiteSpaceAndOneSign) {
    struct Case {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"42", 42},          {"  42", 42},
        {"\t\n\v\f\r 7", 7}, {"+12", 12},
        {"-12", -12},        {"12abc", 12},
        {"abc", 0},          {"", 0},
        {"+-3", 0},          {"--3", 0},
        {"- 3", 0},          {"0x10", 0},
        {"007", 7},          {"1 2", 1},
        {"4294967295", -1},  // wraps modulo 2^32 instead of overflowing
        {"4294967296", 0},   {"2147483648", static_cast<std::int32_t>(0x80000000u)},
    };
    for (const Case& c : cases) EXPECT_EQ(readNumber(c.text), c.value) << '"' << c.text << '"';
}

struct Outcome {
    std::string output;
    int status;
    long inputConsumed;
};

Outcome report(const CommandLine& commandLine, const std::string& input = "") {
    std::FILE* out = std::tmpfile();
    std::FILE* in = std::tmpfile();
    std::fputs(input.c_str(), in);
    std::rewind(in);
    int status = reportParseOutcome(commandLine, out, in);
    Outcome outcome{testing::streamText(out), status, std::ftell(in)};
    std::fclose(out);
    std::fclose(in);
    return outcome;
}

TEST(UsageScreen, ShowsNineLinesExactlyThenReadsOneCharacter) {
    Outcome outcome = report(parse({}), "yz\n");
    EXPECT_EQ(outcome.output,
              "usage: serialtap <file> <options>\n"
              "Available options are: \n"
              "-c <comm port> where the default is COM1\n"
              "-b <baud rate> where the default is 9600\n"
              "-n <number of bits in the bytes> where the default is 8\n"
              "-p <patiry > where the default is NOPARITY (0)\n"
              "-s <the number of the stop bits> where the default is ONESTOPBIT (1)\n"
              "  Parity values: 0 -- No parity; 1 -- Odd; 2 -- Even; 3 -- Mark; 4 -- Space.\n"
              "  StopBits values: 0 -- 1 stop bit; 1 -- 1.5 stop bits; 2 -- 2 stop bits.\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.inputConsumed, 1);
}

TEST(UsageScreen, EndsAlsoWhenInputIsEmpty) {
    Outcome outcome = report(parse({}));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.inputConsumed, 0);
}

TEST(UnknownOption, StopsWithTwoMessagesTheSecondWithoutLineBreak) {
    struct Case {
        std::vector<const char*> args;
        std::string output;
    } cases[] = {
        {{"log.txt", "-B", "600"},
         "unknown argument: -B\ntype serialtap without any parameters for help"},
        {{"log.txt", "-b", "600", "-j", "1", "-c", "COM9"},
         "unknown argument: -j\ntype serialtap without any parameters for help"},
        {{"log.txt", "+q"}, "unknown argument: -q\ntype serialtap without any parameters for help"},
        // Tokens without a second character: nothing is read past their end.
        {{"log.txt", "-", "600"},
         "unknown argument: -\ntype serialtap without any parameters for help"},
        {{"log.txt", "", "600"},
         "unknown argument: -\ntype serialtap without any parameters for help"},
        // A letter beyond ASCII is shown whole, not its first byte alone.
        {{"log.txt", "-\xC3\xA9t\xC3\xA9", "1"},
         "unknown argument: -\xC3\xA9\ntype serialtap without any parameters for help"},
        {{"log.txt", "-\xE2\x82\xAC"},
         "unknown argument: -\xE2\x82\xAC\ntype serialtap without any parameters for help"},
        // Bytes that are no character of UTF-8 are shown one byte, as given.
        {{"log.txt", "-\xE2\x82"},
         "unknown argument: -\xE2\ntype serialtap without any parameters for help"},
    };
    for (const Case& c : cases) {
        CommandLine commandLine = parse(c.args);
        EXPECT_EQ(commandLine.status, ParseStatus::UnknownOption);
        Outcome outcome = report(commandLine);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.output.find('\0'), std::string::npos);
        EXPECT_EQ(outcome.status, 1);
    }
}

TEST(MissingValue, NamesTheOptionAndStops) {
    CommandLine commandLine = parse({"log.txt", "-c", "COM2", "-baud"});
    EXPECT_EQ(commandLine.status, ParseStatus::MissingValue);
    Outcome outcome = report(commandLine);
    EXPECT_EQ(outcome.output, "missing value for option -baud\n");
    EXPECT_EQ(outcome.status, 1);
}

TEST(ExtensionOptions, TakeTheirValuesInTheSameGrammar) {
    CommandLine result = parse({"log.txt",    "/m",          "2",   "-d",  "3",
                                "-append",    "1",           "-f",  "200", "-t",
                                "4294967295", "-i",          "5",   "-e",  R"(login:\\\x00\r\n\t)",
                                "-x",         R"(\x4b\x4B)", "-r",  "0",   "-v",
                                "1",          "-c",          "COM4"});
    ASSERT_EQ(result.status, ParseStatus::Capture) << result.badValueMessage;
    const CaptureOptions& o = result.options;
    EXPECT_EQ(o.format, CaptureFormat::Hex);
    EXPECT_EQ(o.timeStamps, TimeStamps::SinceStart);
    EXPECT_TRUE(o.append);
    EXPECT_EQ(o.flushMs, 200u);
    EXPECT_EQ(o.stopAfterSeconds, 4294967295u);
    EXPECT_EQ(o.idleSeconds, 5u);
    EXPECT_EQ(o.endText, std::string("login:\\", 7) + std::string(1, '\0') + "\r\n\t");
    EXPECT_EQ(o.failText, "KK");
    EXPECT_FALSE(o.reconnect);
    EXPECT_EQ(o.view, View::StatusLine);
    EXPECT_EQ(result.settings.portName, "COM4");
}

TEST(ExtensionOptions, MorePortsKeepTheirOrderUpToEight) {
    CommandLine result = parse({"log.txt", "-l", "COM2", "-m", "2", "-g", "7", "-l", "/dev/ttyS3",
                                "-l", "c", "-l", "d", "-l", "e", "-l", "f", "-l", "g"});
    ASSERT_EQ(result.status, ParseStatus::Capture) << result.badValueMessage;
    EXPECT_EQ(result.options.morePorts,
              (std::vector<std::string>{"COM2", "/dev/ttyS3", "c", "d", "e", "f", "g"}));
    EXPECT_EQ(result.options.gapMs, 7u);
}

TEST(ExtensionOptions, RotationAndSyncLetters) {
    CommandLine result = parse({"log.txt", "-z", "65536", "/w", "86400", "-keep", "90", "-y", "1"});
    ASSERT_EQ(result.status, ParseStatus::Capture) << result.badValueMessage;
    const CaptureOptions& o = result.options;
    EXPECT_EQ(o.rotateKiB, 65536u);
    EXPECT_EQ(o.rotateSeconds, 86400u);
    EXPECT_EQ(o.keepParts, 90u);
    EXPECT_TRUE(o.durable);
}

TEST(ExtensionOptions, DefaultsKeepTheOriginalBehaviour) {
    const CaptureOptions o = parse({"log.txt"}).options;
    EXPECT_EQ(o.format, CaptureFormat::Text);
    EXPECT_EQ(o.timeStamps, TimeStamps::None);
    EXPECT_FALSE(o.append);
    EXPECT_EQ(o.flushMs + o.stopAfterSeconds + o.idleSeconds, 0u);
    EXPECT_FALSE(o.endText || o.failText);
    EXPECT_TRUE(o.reconnect);
    EXPECT_EQ(o.view, View::Nothing);
    EXPECT_EQ(o.rotateKiB + o.rotateSeconds + o.keepParts, 0u);
    EXPECT_FALSE(o.durable);
}

TEST(ExtensionOptions, ValuesThatMakeNoSenseEndWithOneLine) {
    const std::string longValue(600, '9');
    struct Case {
        std::vector<const char*> args;
        std::string output;
    } cases[] = {
        {{"-m", "3"}, "invalid value for option -m: 3\n"},
        {{"-t", "1.5"}, "invalid value for option -t: 1.5\n"},
        {{"-t", "-1"}, "invalid value for option -t: -1\n"},
        {{"-f", "4294967296"}, "invalid value for option -f: 4294967296\n"},
        {{"-r", ""}, "invalid value for option -r: \n"},
        {{"-y", "2"}, "invalid value for option -y: 2\n"},
        {{"-e", ""}, "empty text for option -e\n"},
        {{"-x", R"(a\q)"}, "bad escape in the text of option -x: a\\q\n"},
        {{"-e", "\\x4"}, "bad escape in the text of option -e: \\x4\n"},
        {{"-e", "end\\"}, "bad escape in the text of option -e: end\\\n"},
        {{"-d", "1", "-m", "1"}, "time stamps (-d) need the text or hex format (-m 0 or -m 2)\n"},
        {{"-r", longValue.c_str()}, "invalid value for option -r: " + longValue + "\n"},
        {{"-l", "COM2", "-m", "1"},
         "several ports (-l) need the text or hex format (-m 0 or -m 2)\n"},
        {{"-l", "a", "-l", "b", "-l", "c", "-l", "d", "-l", "e", "-l", "f", "-l", "g", "-l", "h"},
         "too many ports: -c and -l take at most 8\n"},
        {{"-l", ""}, "empty port name for option -l\n"},
        {{"-g", "5"}, "lines split at pauses (-g) need the hex format (-m 2)\n"},
        {{"-c", "tcp://rack3"}, "bad network port name for option -c: tcp://rack3\n"},
        {{"-c", "TCP://h:99999"}, "bad network port name for option -c: TCP://h:99999\n"},
        {{"-c", "COM2", "-l", "tcp://[::1"}, "bad network port name for option -l: tcp://[::1\n"},
        {{"-c", "Rfc2217://:80"}, "bad network port name for option -c: Rfc2217://:80\n"},
        {{"-l", "tcp://rack 3:2001"}, "bad network port name for option -l: tcp://rack 3:2001\n"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> args{"log.txt"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        CommandLine commandLine = parse(args);
        EXPECT_EQ(commandLine.status, ParseStatus::BadValue) << c.output;
        Outcome outcome = report(commandLine);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.status, 1);
    }
}

TEST(Words, StandInPlaceOfTheFileAndNeverWaitForInput) {
    Outcome help = report(parse({"--help", "-c", "COM2"}), "x");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.inputConsumed, 0);
    EXPECT_EQ(help.output.rfind(kUsageText, 0), 0u);
    for (const char* letter : {"-m", "-d", "-a", "-f", "-t", "-i", "-e", "-x", "-r", "-v",
                               "--version", "--list", "Exit status"}) {
        EXPECT_NE(help.output.find(letter), std::string::npos) << letter;
    }
    // Readable on an 80-column terminal without wrapping.
    std::istringstream lines(help.output);
    for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), 80u) << line;
    Outcome version = report(parse({"--version"}));
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, std::string("serialtap ") + SERIALTAP_VERSION + "\n");
    // Only the exact word is one: anything else is a file name.
    EXPECT_EQ(parse({"--helpx"}).status, ParseStatus::Capture);
}

}  // namespace
}  // namespace serialtap
