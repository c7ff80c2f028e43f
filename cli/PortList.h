#pragma once
// The "ports" command: the serial devices present and the Com number that
// names each.

#include <ostream>

// Writes one line per serial device: its path, and where the system tells,
// the USB vendor:product, maker, product and serial number, its
// /dev/serial/by-id name, and the Com number that resolves to it. Then every
// TORVIK_COM<n> that is set, with its value. On Windows the COM ports of the
// system's serial device map.
void WritePortList(std::ostream& out);
