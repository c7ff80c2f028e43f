#pragma once
// The "ports" command: the serial devices present and the Com number that
// names each.

#include <ostream>
#include <string>

// Writes one line per serial device: its path, and where the system tells,
// the USB vendor:product, maker, product and serial number, its
// /dev/serial/by-id name, and the Com number that resolves to it. Then every
// TORVIK_COM<n> that is set, with its value. On Windows the COM ports of the
// system's serial device map. Below an adapter whose chip is known not to make
// the reader's speeds, a note says so (AdapterNote).
void WritePortList(std::ostream& out);

// What is known of an adapter's speeds from its driver's name ("cp210x" on
// Linux; empty where the system does not tell), its USB id ("10c4:ea60";
// empty when unknown) and its product text (the USB product string, or the
// Windows device name): a note when its chip cannot make the reader's speeds
// (5728 baud, and 33600 to 35600 for the loader) or may not, empty otherwise.
std::string AdapterNote(const std::string& driver, const std::string& usbId, const std::string& product);
