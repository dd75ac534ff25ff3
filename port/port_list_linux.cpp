#include "port/port_list_linux.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

namespace serialtap {

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

std::string linkedName(const fs::path& link) {
    std::error_code error;
    fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.filename().string();
}

// The UART type the legacy serial driver reports for each of its lines,
// from /proc/tty/driver/serial ("1: uart:unknown port:000002F8 irq:3");
// none when the file cannot be read.
std::optional<std::map<std::string, std::string>> legacyUartTypes(const SystemRoots& roots) {
    std::ifstream in(fs::path(roots.proc) / "tty/driver/serial");
    if (!in) return std::nullopt;
    std::map<std::string, std::string> types;
    for (std::string line; std::getline(in, line);) {
        std::size_t colon = line.find(':');
        std::size_t uart = line.find(" uart:");
        if (colon == std::string::npos || uart == std::string::npos) continue;
        std::size_t start = uart + 6;
        std::size_t end = line.find(' ', start);
        types[line.substr(0, colon)] =
            line.substr(start, end == std::string::npos ? end : end - start);
    }
    return types;
}

// What the driver tells of a port whose UART may be absent: the legacy
// driver's own table first, then the port type serial ports show in sysfs
// (0 is PORT_UNKNOWN, what TIOCGSERIAL reports as well).
bool uartAbsent(const std::string& name, const fs::path& entry,
                const std::optional<std::map<std::string, std::string>>& legacyTypes) {
    const std::string legacy = "ttyS";
    if (legacyTypes && name.compare(0, legacy.size(), legacy) == 0) {
        auto found = legacyTypes->find(name.substr(legacy.size()));
        if (found != legacyTypes->end()) return found->second == "unknown";
    }
    std::error_code error;
    if (!fs::exists(entry / "type", error)) return false;
    return firstLine(entry / "type") == "0";
}

// The device node's name: DEVNAME of the uevent, else the class name with
// sysfs's '!' for '/'.
std::string deviceName(const std::string& name, const fs::path& entry) {
    std::ifstream in(entry / "uevent");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 8, "DEVNAME=") == 0) return line.substr(8);
    }
    std::string devName = name;
    for (char& c : devName) {
        if (c == '!') c = '/';
    }
    return devName;
}

// Newer kernels put a serial core "port" device between the tty and the
// hardware; the driver worth naming is the hardware's.
std::string driverOf(fs::path device, const fs::path& sysRoot) {
    while (linkedName(device / "subsystem") == "serial-base" && device.has_parent_path() &&
           device.parent_path().string().size() > sysRoot.string().size()) {
        device = device.parent_path();
    }
    return linkedName(device / "driver");
}

void addUsbDetails(fs::path device, const fs::path& sysRoot, PortInfo& port) {
    std::error_code error;
    for (; device.string().size() > sysRoot.string().size(); device = device.parent_path()) {
        if (!fs::exists(device / "idVendor", error) || !fs::exists(device / "idProduct", error)) {
            continue;
        }
        port.usbId = firstLine(device / "idVendor") + ":" + firstLine(device / "idProduct");
        port.manufacturer = firstLine(device / "manufacturer");
        port.product = firstLine(device / "product");
        port.serialNumber = firstLine(device / "serial");
        return;
    }
}

struct Alias {
    fs::path target;
    std::string link;
    bool byId;
};

std::vector<Alias> stableAliases(const SystemRoots& roots) {
    std::vector<Alias> aliases;
    for (const char* kind : {"by-id", "by-path"}) {
        fs::path folder = fs::path(roots.dev) / "serial" / kind;
        std::error_code error;
        for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
             it.increment(error)) {
            std::error_code linkError;
            fs::path target = fs::read_symlink(it->path(), linkError);
            if (linkError) continue;
            if (target.is_relative()) target = folder / target;
            aliases.push_back(
                {target.lexically_normal(), it->path().string(), kind == std::string("by-id")});
        }
    }
    return aliases;
}

}  // namespace

std::vector<PortInfo> findLinuxPorts(const SystemRoots& roots) {
    std::vector<PortInfo> ports;
    std::error_code error;
    const fs::path sysRoot = fs::canonical(roots.sys, error);
    if (error) return ports;
    const auto legacyTypes = legacyUartTypes(roots);
    const std::vector<Alias> aliases = stableAliases(roots);
    // Iterated without exceptions: a port going away meanwhile is no failure.
    for (fs::directory_iterator it(fs::path(roots.sys) / "class/tty", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        const fs::directory_entry& entry = *it;
        const std::string name = entry.path().filename().string();
        std::error_code noDevice;
        fs::path device = fs::canonical(entry.path() / "device", noDevice);
        if (noDevice || uartAbsent(name, entry.path(), legacyTypes)) continue;

        PortInfo port;
        fs::path node = (fs::path(roots.dev) / deviceName(name, entry.path())).lexically_normal();
        port.name = node.string();
        port.driver = driverOf(device, sysRoot);
        addUsbDetails(device, sysRoot, port);
        for (const Alias& alias : aliases) {
            if (alias.target == node) (alias.byId ? port.byId : port.byPath).push_back(alias.link);
        }
        ports.push_back(port);
    }
    return ports;
}

std::vector<PortInfo> findPorts() { return findLinuxPorts(SystemRoots{}); }

}  // namespace serialtap
