// The Linux port list over a folder laid out as /sys, /dev and /proc are,
// with the symbolic links the kernel and udev make.

#include "port/port_list_linux.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/test_files.h"

namespace serialtap {
namespace {

namespace fs = std::filesystem;

class FakeSystem : public ::testing::Test {
protected:
    FakeSystem() {
        // A FTDI adapter on USB, with the links udev makes for it.
        const std::string hub = "sys/devices/pci0000:00/0000:00:14.0/usb1";
        write(hub + "/1-2/idVendor", "0403\n");
        write(hub + "/1-2/idProduct", "6001\n");
        write(hub + "/1-2/manufacturer", "FTDI\n");
        write(hub + "/1-2/product", "FT232R USB UART\n");
        write(hub + "/1-2/serial", "A50285BI\n");
        const std::string ftdi = hub + "/1-2/1-2:1.0/ttyUSB0";
        link(ftdi + "/driver", "sys/bus/usb-serial/drivers/ftdi_sio");
        link(ftdi + "/subsystem", "sys/bus/usb-serial");
        addTty("ttyUSB0", ftdi);
        write("dev/ttyUSB0", "");
        link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "dev/ttyUSB0");
        link("dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "dev/ttyUSB0");

        // A USB modem class device: the tty hangs off the interface.
        write(hub + "/1-3/idVendor", "2e8a\n");
        write(hub + "/1-3/idProduct", "000a\n");
        write(hub + "/1-3/manufacturer", "Raspberry Pi\n");
        const std::string acm = hub + "/1-3/1-3:1.0";
        link(acm + "/driver", "sys/bus/usb/drivers/cdc_acm");
        addTty("ttyACM0", acm);

        // Legacy UART ports behind the serial core's port devices; ttyS1
        // has no UART.
        const std::string platform = "sys/devices/platform/serial8250";
        link(platform + "/driver", "sys/bus/platform/drivers/serial8250");
        link(platform + "/serial8250:0/subsystem", "sys/bus/serial-base");
        link(platform + "/serial8250:0/driver", "sys/bus/serial-base/drivers/ctrl");
        for (const char* line : {"0", "1", "10"}) {
            const std::string port = platform + "/serial8250:0/serial8250:0." + line;
            link(port + "/subsystem", "sys/bus/serial-base");
            link(port + "/driver", "sys/bus/serial-base/drivers/port");
            addTty(std::string("ttyS") + line, port);
            write("sys/class/tty/ttyS" + std::string(line) + "/type",
                  std::string(line) == "1" ? "0\n" : "4\n");
        }
        write("proc/tty/driver/serial",
              "serinfo:1.0 driver revision:\n"
              "0: uart:16550A port:000003F8 irq:4 tx:0 rx:0\n"
              "1: uart:unknown port:000002F8 irq:3\n"
              "10: uart:16550A port:00000000 irq:0 tx:0 rx:0\n");

        // Virtual terminals have no device behind them.
        write("sys/devices/virtual/tty/tty0/uevent", "DEVNAME=tty0\n");
        link("sys/class/tty/tty0", "sys/devices/virtual/tty/tty0");
    }

    // The kernel's layout: the class entry links to the tty's folder, whose
    // device link leads to the hardware.
    void addTty(const std::string& name, const std::string& device) {
        const std::string tty = device + "/tty/" + name;
        write(tty + "/uevent", "MAJOR=4\nMINOR=64\nDEVNAME=" + name + "\n");
        link(tty + "/device", device);
        link("sys/class/tty/" + name, tty);
    }

    void write(const std::string& path, const std::string& text) {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text;
    }

    void link(const std::string& from, const std::string& to) {
        fs::create_directories((root_ / from).parent_path());
        if (!fs::exists(root_ / to)) fs::create_directories(root_ / to);
        fs::create_symlink((root_ / to).lexically_relative((root_ / from).parent_path()),
                           root_ / from);
    }

    std::string list() { return portListText(findLinuxPorts(roots())); }
    SystemRoots roots() const {
        return {(root_ / "sys").string(), (root_ / "dev").string(), (root_ / "proc").string()};
    }
    std::string path(const std::string& name) const { return (root_ / name).string(); }

    testing::TempPath folder_{"root"};
    fs::path root_ = folder_.path();
};

TEST_F(FakeSystem, ListsUsbAndUartPortsWithAliasesAndLeavesOutAbsentUarts) {
    EXPECT_EQ(
        list(),
        path("dev/ttyACM0") + " driver=cdc_acm usb=2e8a:000a manufacturer=\"Raspberry Pi\"\n" +
            path("dev/ttyS0") + " driver=serial8250\n" + path("dev/ttyS10") +
            " driver=serial8250\n" + path("dev/ttyUSB0") +
            " driver=ftdi_sio usb=0403:6001 manufacturer=FTDI product=\"FT232R USB UART\" "
            "serial=A50285BI by-id=" +
            path("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0") +
            " by-path=" + path("dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0") + "\n");
}

TEST_F(FakeSystem, TakesThePortTypeFromSysfsWhenTheDriverTableIsUnreadable) {
    fs::remove(root_ / "proc/tty/driver/serial");
    std::string shown = list();
    EXPECT_EQ(shown.find(path("dev/ttyS1") + " "), std::string::npos) << shown;
    EXPECT_NE(shown.find(path("dev/ttyS0") + " "), std::string::npos) << shown;
    EXPECT_NE(shown.find(path("dev/ttyS10") + " "), std::string::npos) << shown;
}

TEST_F(FakeSystem, SaysSoWhenThereIsNoPort) {
    fs::remove_all(root_ / "sys/class/tty");
    EXPECT_EQ(list(), "no serial ports found\n");
    EXPECT_EQ(portListText(findLinuxPorts({path("nowhere"), path("dev"), path("proc")})),
              "no serial ports found\n");
}

}  // namespace
}  // namespace serialtap
