#pragma once
// The program's text is UTF-8 on every system: its arguments coming in and
// what it writes to a console going out.
//
// On Windows the narrow argv holds the arguments in the ANSI code page,
// which cannot spell every file name (and mangles those it cannot), and a
// console reads output in its OEM code page. Elsewhere both are UTF-8
// already under a UTF-8 locale, and the functions change nothing.

#include <string>
#include <vector>

// The arguments after the program's name, as UTF-8. On Windows they come
// from the UTF-16 command line (CommandLineToArgvW), so that "kärt.tvk"
// reaches the program as the name the user typed; elsewhere argv as it
// stands.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// On Windows sets the console's output code page to UTF-8 until the program
// exits, so that names it prints show as their characters; elsewhere does
// nothing. Output to a file or pipe is UTF-8 bytes either way.
void UseUtf8Console();
