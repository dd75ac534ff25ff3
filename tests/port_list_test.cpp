// The port list's lines and order, and the Windows list built from what
// SetupAPI and the SERIALCOMM map report.

#include "port/port_list.h"

#include <gtest/gtest.h>

namespace serialtap {
namespace {

TEST(PortList, SortsNumbersInNamesByValue) {
    std::vector<PortInfo> ports(6);
    const char* names[] = {"/dev/ttyS10", "COM10",        "/dev/ttyS2",
                           "COM9",        "/dev/ttyACM0", "/dev/ttyS02x"};
    for (std::size_t i = 0; i < ports.size(); ++i) ports[i].name = names[i];
    EXPECT_EQ(portListText(ports),
              "/dev/ttyACM0\n/dev/ttyS2\n/dev/ttyS02x\n/dev/ttyS10\nCOM9\nCOM10\n");
    EXPECT_EQ(portListText({}), "no serial ports found\n");
}

TEST(PortList, KeepsEachPortOnOneLineWithFieldsAwkCanSplit) {
    PortInfo port;
    port.name = "/dev/ttyUSB0";
    port.driver = "ftdi_sio";
    port.usbId = "0403:6001";
    port.manufacturer = "Silicon Labs";
    port.product = "CP2102 \"USB\"\nbridge";
    port.serialNumber = "0001";
    port.byId = {"/dev/serial/by-id/b", "/dev/serial/by-id/a"};
    port.byPath = {"/dev/serial/by-path/p"};
    EXPECT_EQ(portListText({port}),
              "/dev/ttyUSB0 driver=ftdi_sio usb=0403:6001 manufacturer=\"Silicon Labs\" "
              "product=\"CP2102 ?USB??bridge\" serial=0001 by-id=/dev/serial/by-id/a "
              "by-id=/dev/serial/by-id/b by-path=/dev/serial/by-path/p\n");
}

// A USB string is the device's to choose: no control character of it, C1
// ones in UTF-8 included, may reach the terminal.
TEST(PortList, ShowsNoControlCharacterOfADevicesStrings) {
    PortInfo port;
    port.name = "/dev/ttyUSB0";
    port.product =
        "Caf\xC3\xA9\xC2\x9B"
        "2J\x9D";
    EXPECT_EQ(portListText({port}, TextEncoding::Utf8), "/dev/ttyUSB0 product=Caf\xC3\xA9?2J?\n");
    EXPECT_EQ(portListText({port}, TextEncoding::EightBit),
              "/dev/ttyUSB0 product=Caf\xC3\xA9\xC2?2J?\n");
}

TEST(WindowsPortList, TakesComPortsOfThePortsClassThenTheSerialCommMap) {
    std::vector<WindowsPortRecord> devices = {
        {"COM3", "USB Serial Port (COM3)", "FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "FTDI",
         "FTDISER"},
        {"LPT1", "Printer Port (LPT1)", "ACPI\\PNP0401", "(Standard port types)", "Parport"},
        {"COM1", "Communications Port (COM1)", "ACPI\\PNP0501", "(Standard port types)", "Serial"},
        {"", "A port without a name", "ROOT\\X", "", ""},
    };
    std::vector<SerialCommEntry> serialComm = {
        {"\\Device\\Serial0", "com1"},
        {"\\Device\\VCP0", "COM10"},
        {"\\Device\\Odd", "NUL"},
    };
    EXPECT_EQ(portListText(windowsPorts(devices, serialComm)),
              "COM1 description=\"Communications Port (COM1)\" driver=Serial "
              "manufacturer=\"(Standard port types)\" hardware-id=ACPI\\PNP0501\n"
              "COM3 description=\"USB Serial Port (COM3)\" driver=FTDISER usb=0403:6001 "
              "manufacturer=FTDI hardware-id=FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000\n"
              "COM10 description=\\Device\\VCP0\n");
    EXPECT_EQ(portListText(windowsPorts({}, {})), "no serial ports found\n");
}

}  // namespace
}  // namespace serialtap
