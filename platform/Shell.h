#pragma once
// Opening an address with the system's default action.

#include <string>

// Asks the desktop to open `address` (a web address) with its default
// program, shown normally. Returns at once; a failure is ignored by callers
// and reported here only as false.
bool ShellOpen(const std::string& address);
