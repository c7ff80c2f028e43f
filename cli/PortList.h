#pragma once
// The "ports" command: the serial devices present and the Com number that
// names each.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// One serial device, or one TORVIK_COM<n> that is set. Members the system
// does not tell stay empty.
struct PortEntry {
    std::string device;        // "/dev/ttyUSB0", "COM3"
    std::string usbId;         // "0403:6001"
    std::string manufacturer;  // the USB strings
    std::string product;
    std::string serial;
    std::string driver;  // "ftdi_sio"
    std::string byId;    // its /dev/serial/by-id name
    std::string name;    // Windows: the device's friendly name
    std::vector<uint32_t> com;  // the Com numbers that resolve to it
    std::string note;           // AdapterNote
    bool adapter = false;       // a USB serial adapter, where a reader appears
                                // (Windows: any port but the serial driver's own)
    std::string variable;       // "TORVIK_COM7" (then only value and com)
    std::string value;
};

// The serial devices, with where the system tells the USB vendor:product,
// maker, product and serial number, the driver, the /dev/serial/by-id name
// and the Com numbers that resolve to each; then every TORVIK_COM<n> that is
// set. On Windows the COM ports of the system's serial device map.
std::vector<PortEntry> ListPorts();

// Writes one line per device of `entries`, a note below an adapter whose chip
// is known not to make the reader's speeds (AdapterNote), and one line per
// TORVIK_COM<n>. When no adapter is among the devices, ends with a hint: where
// a plugged-in reader appears and how to name it, and the simulated reader to
// try the program without one.
void WritePortList(std::ostream& out, const std::vector<PortEntry>& entries);

// What is known of an adapter's speeds from its driver's name ("cp210x" on
// Linux; empty where the system does not tell), its USB id ("10c4:ea60";
// empty when unknown) and its product text (the USB product string, or the
// Windows device name): a note when its chip cannot make the reader's speeds
// (5728 baud, and 33600 to 35600 for the loader) or may not, empty otherwise.
std::string AdapterNote(const std::string& driver, const std::string& usbId, const std::string& product);
