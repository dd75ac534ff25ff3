#include "port/posix_line_settings.h"

#include <cerrno>

namespace serialtap {

namespace {

struct Rate {
    std::uint32_t bitsPerSecond;
    speed_t constant;
};

constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

const Rate* findRate(std::uint32_t bitsPerSecond) {
    for (const Rate& rate : kRates) {
        if (rate.bitsPerSecond == bitsPerSecond) return &rate;
    }
    return nullptr;
}

tcflag_t sizeFlag(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

}  // namespace

int applyLineSettings(termios& terminal, const LineSettings& settings, bool& needsCustomBaud) {
    // The same combinations a Windows serial driver refuses.
    if (settings.baudRate == 0) return EINVAL;
    if (settings.byteSize < 5 || settings.byteSize > 8) return EINVAL;
    if (settings.parity > kSpaceParity || settings.stopBits > kTwoStopBits) return EINVAL;
    if (settings.stopBits == kOne5StopBits && settings.byteSize != 5) return EINVAL;
    if (settings.stopBits == kTwoStopBits && settings.byteSize == 5) return EINVAL;
    tcflag_t parityFlags = 0;
    switch (settings.parity) {
        case kOddParity:
            parityFlags = PARENB | PARODD;
            break;
        case kEvenParity:
            parityFlags = PARENB;
            break;
#ifdef CMSPAR
        case kMarkParity:
            parityFlags = PARENB | CMSPAR | PARODD;
            break;
        case kSpaceParity:
            parityFlags = PARENB | CMSPAR;
            break;
#else
        case kMarkParity:
        case kSpaceParity:
            return EINVAL;
#endif
        default:
            break;
    }

    tcflag_t parityMask = PARENB | PARODD;
#ifdef CMSPAR
    parityMask |= CMSPAR;
#endif
    terminal.c_cflag &= ~(CSIZE | parityMask | CSTOPB);
    // A UART sends 1.5 stop bits for 5-bit characters when two are asked for.
    tcflag_t stopFlag = settings.stopBits == kOneStopBit ? 0 : CSTOPB;
    terminal.c_cflag |= sizeFlag(settings.byteSize) | parityFlags | stopFlag | CREAD | CLOCAL;

    // Bytes arrive as sent: no editing, echo, signals, mapping or stripping.
    // Output XON/XOFF is cleared since it only removes 0x11 and 0x13 from
    // what is received; input XON/XOFF and hardware flow control are kept.
    terminal.c_lflag &=
        ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    terminal.c_iflag &=
        ~static_cast<tcflag_t>(ISTRIP | INLCR | IGNCR | ICRNL | IXON | PARMRK | BRKINT);
    terminal.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    terminal.c_cc[VMIN] = 1;
    terminal.c_cc[VTIME] = 0;

    const Rate* rate = findRate(settings.baudRate);
    needsCustomBaud = rate == nullptr;
    if (rate != nullptr) {
        // One rate for both directions: an input rate left from an earlier
        // custom rate would otherwise stay, as cfsetispeed leaves it alone.
#ifdef CIBAUD
        terminal.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
#endif
        cfsetispeed(&terminal, rate->constant);
        cfsetospeed(&terminal, rate->constant);
    }
    return 0;
}

void markLineConditions(termios& terminal) {
    // PARMRK marks a break as FF 00 00 and a byte in error as FF 00 X, and
    // doubles a real 0xFF; ISTRIP would mangle the marks. Errors are marked
    // only with input checking on (INPCK), which drivers also need before
    // they report framing errors at all, so it is on whatever the parity:
    // without parity the UART checks none, and framing errors remain.
    terminal.c_iflag |= PARMRK | INPCK;
    terminal.c_iflag &= ~static_cast<tcflag_t>(IGNPAR | IGNBRK | BRKINT | ISTRIP);
}

bool isPseudoTerminalMajor(unsigned major) {
    // Unix98 pseudo-terminal slaves, and the legacy BSD ones.
    return (major >= 136 && major <= 143) || major == 3;
}

LineSettings readLineSettings(const termios& terminal) {
    LineSettings settings;
    speed_t speed = cfgetospeed(&terminal);
    for (const Rate& rate : kRates) {
        if (rate.constant == speed) settings.baudRate = rate.bitsPerSecond;
    }
    switch (terminal.c_cflag & CSIZE) {
        case CS5:
            settings.byteSize = 5;
            break;
        case CS6:
            settings.byteSize = 6;
            break;
        case CS7:
            settings.byteSize = 7;
            break;
        default:
            settings.byteSize = 8;
            break;
    }
    if (terminal.c_cflag & PARENB) {
        bool odd = (terminal.c_cflag & PARODD) != 0;
#ifdef CMSPAR
        if (terminal.c_cflag & CMSPAR) {
            settings.parity = odd ? kMarkParity : kSpaceParity;
        } else
#endif
        {
            settings.parity = odd ? kOddParity : kEvenParity;
        }
    }
    if (terminal.c_cflag & CSTOPB) {
        settings.stopBits = settings.byteSize == 5 ? kOne5StopBits : kTwoStopBits;
    }
    return settings;
}

}  // namespace serialtap
