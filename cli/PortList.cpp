#include "cli/PortList.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on
#else
extern char** environ;
#endif

#include "devices/SystemPorts.h"
#include "serial/Scom.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kHighestPort = 255;

// What the CP210x chips that round to a table of standard speeds do with the
// reader's.
const char kRoundedSpeeds[] = "sets 7200 baud for the reader's 5728 and 38400 for the loader's 33600-35600";

// Every TORVIK_COM<n> that is set: n -> value.
std::map<uint32_t, std::string> PortVariables()
{
    std::map<uint32_t, std::string> vars;
    for (uint32_t n = 1; n <= kHighestPort; ++n) {
        const char* value = std::getenv(("TORVIK_COM" + std::to_string(n)).c_str());
        if (value != nullptr) vars[n] = value;
    }
    return vars;
}

#ifndef _WIN32
// The Com numbers (1 to 255) that resolve to `device`.
std::vector<uint32_t> ComNumbersFor(const std::string& device)
{
    std::vector<uint32_t> numbers;
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(device, ec);
    for (uint32_t n = 1; n <= kHighestPort; ++n) {
        const std::string value = ResolveDeviceName(TSerialChannel::DeviceName(n));
        std::error_code e2;
        if (value == device || (!ec && fs::weakly_canonical(value, e2) == real && !e2)) numbers.push_back(n);
    }
    return numbers;
}

std::string ReadLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

void ListSystemPorts(std::vector<PortEntry>& entries)
{
    std::error_code ec;
    std::map<std::string, std::string> byId;  // device -> by-id name
    for (const fs::directory_entry& e : fs::directory_iterator("/dev/serial/by-id", ec)) {
        std::error_code e2;
        byId[fs::canonical(e.path(), e2).string()] = e.path().string();
    }
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator("/sys/class/tty", ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const fs::path sys = fs::path("/sys/class/tty") / name;
        std::error_code e2;
        if (!fs::exists(sys / "device", e2)) continue;
        // Built-in 8250 ports are listed whether present or not; keep only
        // the ones with a known port type.
        if (name.rfind("ttyS", 0) == 0 && ReadLine(sys / "type") == "0") continue;
        PortEntry entry;
        entry.device = "/dev/" + name;
        fs::path dir = fs::canonical(sys / "device", e2);
        for (int up = 0; up < 6 && !e2 && !dir.empty() && dir != dir.root_path(); ++up, dir = dir.parent_path()) {
            if (!fs::exists(dir / "idVendor", e2)) continue;
            entry.usbId = ReadLine(dir / "idVendor") + ":" + ReadLine(dir / "idProduct");
            entry.manufacturer = ReadLine(dir / "manufacturer");
            entry.product = ReadLine(dir / "product");
            entry.serial = ReadLine(dir / "serial");
            break;
        }
        entry.driver = fs::read_symlink(sys / "device" / "driver", e2).filename().string();
        if (byId.count(entry.device) != 0) entry.byId = byId[entry.device];
        entry.com = ComNumbersFor(entry.device);
        entry.note = AdapterNote(entry.driver, entry.usbId, entry.product);
        entry.adapter = !entry.usbId.empty();
        entries.push_back(entry);
    }
}

// Where a reader appears once plugged in, and how a port number names it.
const char kWhereReadersAppear[] =
    "It appears as /dev/ttyUSB0 (Com1) or /dev/ttyACM0 (--device /dev/ttyACM0,\n"
    "or TORVIK_COM1=/dev/ttyACM0 for every run).\n";
#else
// The friendly names of the ports class ("USB Serial Port (COM3)"), by port
// name.
std::map<std::string, std::string> FriendlyNames()
{
    std::map<std::string, std::string> names;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        char friendly[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<PBYTE>(friendly), sizeof friendly - 1, nullptr))
            continue;
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char port[64] = {};
        DWORD size = sizeof port - 1;
        DWORD type = 0;
        if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ)
            names[port] = friendly;
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

void ListSystemPorts(std::vector<PortEntry>& entries)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    const std::map<std::string, std::string> friendly = FriendlyNames();
    for (DWORD i = 0;; ++i) {
        char name[256];
        BYTE value[256];
        DWORD nameSize = sizeof name, valueSize = sizeof value - 1, type = 0;
        if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, value, &valueSize) != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        value[valueSize] = 0;
        PortEntry entry;
        entry.device = reinterpret_cast<char*>(value);
        const std::string& port = entry.device;
        const auto f = friendly.find(port);
        entry.name = f != friendly.end() ? f->second : std::string(name);
        // COMn is Com n unless TORVIK_COM<n> sends that number elsewhere.
        if (port.size() > 3 && port.size() <= 6 && port.rfind("COM", 0) == 0 &&
            port.find_first_not_of("0123456789", 3) == std::string::npos) {
            const unsigned long n = std::stoul(port.substr(3));
            if (n >= 1 && n <= kHighestPort && std::getenv(("TORVIK_COM" + std::to_string(n)).c_str()) == nullptr)
                entry.com.push_back(static_cast<uint32_t>(n));
        }
        entry.note = AdapterNote("", "", f != friendly.end() ? f->second : std::string());
        // The serial driver's own ports are \Device\Serial<n>; USB adapters
        // have their driver's names (\Device\VCP0, \Device\USBSER000, ...).
        entry.adapter = std::string(name).rfind("\\Device\\Serial", 0) != 0;
        entries.push_back(entry);
    }
    RegCloseKey(key);
}

const char kWhereReadersAppear[] =
    "It appears as a COM port under \"Ports (COM & LPT)\" in Device Manager;\n"
    "COM3 is --port 3.\n";
#endif

}  // namespace

std::string AdapterNote(const std::string& driver, const std::string& usbId, const std::string& product)
{
    // A driver other than cp210x means another chip, whatever the maker's id.
    const bool silabs = driver.empty() ? usbId.rfind("10c4:", 0) == 0 || product.find("CP210") != std::string::npos
                                       : driver == "cp210x";
    if (!silabs) return {};
    // CP2104, CP2102N and the first port of a CP2105 set any speed closely;
    // CP2101, CP2102, CP2103, CP2108 and the second port of a CP2105 round to
    // a table of standard speeds. Their USB ids mostly do not tell them apart
    // (10c4:ea60 is CP2101 to CP2104 and CP2102N alike); the product text
    // does unless the maker changed it.
    const auto names = [&product](const char* part) {
        const size_t at = product.find(part);
        if (at == std::string::npos) return false;
        const char next = at + 6 < product.size() ? product[at + 6] : ' ';
        return !(next >= '0' && next <= '9') && !(next >= 'A' && next <= 'Z');
    };
    if (names("CP2104") || product.find("CP2102N") != std::string::npos) return {};
    for (const char* part : {"CP2101", "CP2102", "CP2103", "CP2108"})
        if (names(part))
            return std::string("a ") + part + " cannot program the card: it " + kRoundedSpeeds +
                   " (CP2104 and CP2102N adapters can)";
    if (usbId == "10c4:ea71")
        return std::string("a CP2108 cannot program the card: it ") + kRoundedSpeeds;
    if (usbId == "10c4:ea70" || names("CP2105"))
        return std::string("a CP2105: its first port can program the card; its second ") + kRoundedSpeeds;
    return std::string("a Silicon Labs CP210x: CP2101, CP2102 and CP2103 cannot program the card (they ") +
           kRoundedSpeeds + "), CP2104 and CP2102N can; its USB id does not tell which chip this is";
}

std::vector<PortEntry> ListPorts()
{
    std::vector<PortEntry> entries;
    ListSystemPorts(entries);
    for (const auto& [n, value] : PortVariables()) {
        PortEntry entry;
        entry.variable = "TORVIK_COM" + std::to_string(n);
        entry.value = value;
        entry.com = {n};
        entries.push_back(entry);
    }
    return entries;
}

void WritePortList(std::ostream& out, const std::vector<PortEntry>& entries)
{
    int count = 0;
    for (const PortEntry& e : entries) {
        if (!e.variable.empty()) continue;
        std::string line = e.device;
        if (!e.name.empty()) line += "  \"" + e.name + "\"";
        if (!e.usbId.empty()) {
            line += "  usb " + e.usbId;
            for (const auto& [field, value] :
                 {std::pair<const char*, const std::string*>{"manufacturer", &e.manufacturer},
                  {"product", &e.product},
                  {"serial", &e.serial}})
                if (!value->empty()) line += std::string("  ") + field + " \"" + *value + "\"";
        }
        if (!e.driver.empty()) line += "  driver " + e.driver;
        if (!e.byId.empty()) line += "  " + e.byId;
        std::string com;
        for (const uint32_t n : e.com) com += (com.empty() ? "Com" : ", Com") + std::to_string(n);
        line += com.empty() ? "  (no Com number)" : "  " + com;
        out << line << '\n';
        if (!e.note.empty()) out << "    note: " << e.note << '\n';
        ++count;
    }
    if (count == 0) out << "No serial devices found.\n";
    for (const PortEntry& e : entries)
        if (!e.variable.empty()) out << "Com" << e.com.front() << "  " << e.variable << "=" << e.value << '\n';
    if (std::none_of(entries.begin(), entries.end(), [](const PortEntry& e) { return e.adapter; }))
        out << "\nNo USB serial adapter found: is the reader plugged in?\n"
            << kWhereReadersAppear
            << "Without a reader, --device sim tries the program on the built-in simulated reader.\n";
}
