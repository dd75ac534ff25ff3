#include <windows.h>
// windows.h first: setupapi.h builds on it.
#include <setupapi.h>

#include <string>
#include <vector>

#include "port/port_list.h"

namespace serialtap {

namespace {

// GUID_DEVCLASS_PORTS, the device class of serial and parallel ports.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string utf8(const wchar_t* text, std::size_t length) {
    if (length == 0) return "";
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                   nullptr);
    if (size <= 0) return "";
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr,
                        nullptr);
    return result;
}

// A string value up to its first terminating zero, which also ends the
// first string of a REG_MULTI_SZ.
std::string firstString(const std::vector<wchar_t>& buffer) {
    std::size_t length = 0;
    while (length < buffer.size() && buffer[length] != L'\0') ++length;
    return utf8(buffer.data(), length);
}

std::string deviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    std::vector<wchar_t> buffer(256);
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD needed = 0;
        if (SetupDiGetDeviceRegistryPropertyW(
                devices, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), &needed)) {
            return firstString(buffer);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "";
        buffer.assign(needed / sizeof(wchar_t) + 2, L'\0');
    }
    return "";
}

std::string registryString(HKEY key, const wchar_t* name) {
    std::vector<wchar_t> buffer(64);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    LONG status =
        RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (status == ERROR_MORE_DATA) {
        buffer.assign(size / sizeof(wchar_t) + 2, L'\0');
        size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                  &size);
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) return "";
    buffer.resize(size / sizeof(wchar_t) + 1, L'\0');
    return firstString(buffer);
}

std::vector<WindowsPortRecord> portsClassDevices() {
    std::vector<WindowsPortRecord> records;
    HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return records;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        WindowsPortRecord record;
        HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key != INVALID_HANDLE_VALUE) {
            record.portName = registryString(key, L"PortName");
            RegCloseKey(key);
        }
        record.friendlyName = deviceProperty(devices, device, SPDRP_FRIENDLYNAME);
        record.hardwareId = deviceProperty(devices, device, SPDRP_HARDWAREID);
        record.manufacturer = deviceProperty(devices, device, SPDRP_MFG);
        record.service = deviceProperty(devices, device, SPDRP_SERVICE);
        records.push_back(record);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return records;
}

std::vector<SerialCommEntry> serialCommMap() {
    std::vector<SerialCommEntry> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return entries;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        std::vector<wchar_t> data(64, L'\0');
        DWORD dataSize = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
        DWORD type = 0;
        LONG status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data.data()), &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        entries.push_back({utf8(name, nameLength), firstString(data)});
    }
    RegCloseKey(key);
    return entries;
}

}  // namespace

std::vector<PortInfo> findPorts() { return windowsPorts(portsClassDevices(), serialCommMap()); }

}  // namespace serialtap
