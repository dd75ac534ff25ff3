#include "tools/device_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace serialtap::device {

namespace {

bool parseUnsigned(const char* text, std::uint64_t& value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    value = parsed;
    return true;
}

ParseResult failure(std::string message) {
    ParseResult result;
    result.outcome = ParseResult::Outcome::Error;
    result.error = std::move(message);
    return result;
}

}  // namespace

const char* deviceUsage() {
    return "usage: serialtap-virtual-device [options]\n"
           "Opens a pseudo-terminal, prints the path of its port on standard output and\n"
           "sends data to it like a serial device.\n"
           "\n"
           "  -l, --line TEXT      send TEXT followed by CR LF (default: a numbered line of\n"
           "                       80 printable characters)\n"
           "  -f, --file PATH      replay the contents of PATH\n"
           "  -r, --random         send a continuous stream of random bytes\n"
           "  -i, --interval MS    time between the starts of two lines or replays\n"
           "                       (default 1000; 0 sends them back to back)\n"
           "  -R, --rate BYTES     at most BYTES bytes per second (default: unlimited)\n"
           "  -b, --baud BAUD      the same as --rate BAUD/10 (10 bits a character)\n"
           "  -n, --count N        stop after N lines, replays or random bytes\n"
           "                       (default: run until interrupted)\n"
           "  -w, --wait-open      send only while another program has the port open\n"
           "  -h, --help           show this text\n";
}

ParseResult parseDeviceOptions(int argc, char** argv) {
    static const option kLongOptions[] = {
        {"line", required_argument, nullptr, 'l'},  {"file", required_argument, nullptr, 'f'},
        {"random", no_argument, nullptr, 'r'},      {"interval", required_argument, nullptr, 'i'},
        {"rate", required_argument, nullptr, 'R'},  {"baud", required_argument, nullptr, 'b'},
        {"count", required_argument, nullptr, 'n'}, {"wait-open", no_argument, nullptr, 'w'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0},
    };
    ParseResult result;
    DeviceOptions& options = result.options;
    int contentChoices = 0;
    bool intervalGiven = false;
    // getopt keeps its position in globals; a fresh scan each call lets the
    // parser be used more than once in a process.
    optind = 0;
    opterr = 0;
    int choice = 0;
    while ((choice = getopt_long(argc, argv, ":l:f:ri:R:b:n:wh", kLongOptions, nullptr)) != -1) {
        std::uint64_t number = 0;
        switch (choice) {
            case 'l':
                options.content = Content::Line;
                options.line = optarg;
                ++contentChoices;
                if (options.line.empty()) {
                    return failure("--line needs a non-empty text");
                }
                break;
            case 'f':
                options.content = Content::File;
                options.filePath = optarg;
                ++contentChoices;
                break;
            case 'r':
                options.content = Content::Random;
                ++contentChoices;
                break;
            case 'i':
                if (!parseUnsigned(optarg, number) ||
                    number > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
                    return failure(std::string("invalid interval: ") + optarg);
                }
                options.interval = std::chrono::milliseconds(number);
                intervalGiven = true;
                break;
            case 'R':
                if (!parseUnsigned(optarg, number) || number == 0) {
                    return failure(std::string("invalid rate: ") + optarg);
                }
                options.rate = number;
                break;
            case 'b':
                if (!parseUnsigned(optarg, number) || number < 10) {
                    return failure(std::string("invalid baud rate: ") + optarg);
                }
                options.rate = number / 10;
                break;
            case 'n':
                if (!parseUnsigned(optarg, number) || number == 0) {
                    return failure(std::string("invalid count: ") + optarg);
                }
                options.count = number;
                break;
            case 'w':
                options.waitOpen = true;
                break;
            case 'h':
                result.outcome = ParseResult::Outcome::Help;
                return result;
            case ':':
                return failure(std::string("missing value for ") + argv[optind - 1]);
            default:
                if (optopt != 0) {
                    return failure(std::string("unknown option: -") + static_cast<char>(optopt));
                }
                return failure(std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (optind < argc) {
        return failure(std::string("unexpected argument: ") + argv[optind]);
    }
    if (contentChoices > 1) {
        return failure("choose one of --line, --file and --random");
    }
    if (options.content == Content::Random && intervalGiven) {
        return failure("--interval does not apply to --random, which sends without pause");
    }
    return result;
}

}  // namespace serialtap::device
