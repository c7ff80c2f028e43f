#pragma once
// The program's settings store: the registry on Windows
// (platform/win32/Win32Registry.h), a .reg file in the user's configuration
// folder elsewhere (settings/RegFile.h).

#include <memory>

#include "platform/Registry.h"

// A new accessor on this system's settings store, root HKEY_LOCAL_MACHINE.
std::unique_ptr<TRegistry> CreateRegistry();
