#pragma once

namespace serialtap {

constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

// What the program changes in a Windows port's line settings (a DCB) beyond
// the four fields it chooses, since SetCommState writes back whatever a
// previous program left there. The line is made to pass every byte through
// and to keep going after a line error; hardware flow control and input
// XON/XOFF are kept as the port had them, as on POSIX. A template so that
// the tests can use a structure with the same fields.
template <typename Dcb>
void makeCommStateTransparent(Dcb& dcb) {
    dcb.fBinary = 1;
    dcb.fNull = 0;            // would discard every 0x00 received
    dcb.fErrorChar = 0;       // would replace bytes received with parity errors
    dcb.fAbortOnError = 0;    // would fail every request after a line error
    dcb.fDsrSensitivity = 0;  // would drop everything while DSR is low
    dcb.fOutX = 0;            // removes 0x11 and 0x13 from what is received
    // Drivers refuse equal characters (error 87) even where XON/XOFF is off.
    if (dcb.XonChar == dcb.XoffChar) {
        dcb.XonChar = kXonChar;
        dcb.XoffChar = kXoffChar;
    }
}

// A watched line marks the bytes received with a parity error, which the
// driver finds only with parity checking on; a line without parity has
// none to check.
template <typename Dcb>
void checkParityOfWatchedLine(Dcb& dcb) {
    if (dcb.Parity != 0) dcb.fParity = 1;
}

}  // namespace serialtap
