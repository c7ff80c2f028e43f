#pragma once
// The "ports" command: the serial devices present and the Com number that
// names each.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

// One serial device of the list.
struct SerialDevice {
    // Its path, and where the system tells, the USB vendor:product, maker,
    // product and serial number, its /dev/serial/by-id name, and the Com
    // number that resolves to it. On Windows the COM port, its device name
    // and Com number.
    std::string line;
    // AdapterNote's note on it; empty for none.
    std::string note;
    // A USB serial adapter, where a reader appears (on Windows: any port but
    // the built-in ones of the serial driver).
    bool adapter = false;
};

// The serial devices present: /sys/class/tty on Linux, the system's serial
// device map on Windows. Does not open them.
std::vector<SerialDevice> SystemSerialDevices();

// Writes one line per device and its note, then every TORVIK_COM<n> of
// `variables` (n -> value). When no adapter is among the devices, ends with
// a hint: where a plugged-in reader appears and how to name it, and the
// simulated reader to try the program without one.
void WritePortList(std::ostream& out, const std::vector<SerialDevice>& devices,
                   const std::map<uint32_t, std::string>& variables);
// The same for this system's devices and its TORVIK_COM<n> variables.
void WritePortList(std::ostream& out);

// What is known of an adapter's speeds from its driver's name ("cp210x" on
// Linux; empty where the system does not tell), its USB id ("10c4:ea60";
// empty when unknown) and its product text (the USB product string, or the
// Windows device name): a note when its chip cannot make the reader's speeds
// (5728 baud, and 33600 to 35600 for the loader) or may not, empty otherwise.
std::string AdapterNote(const std::string& driver, const std::string& usbId, const std::string& product);
