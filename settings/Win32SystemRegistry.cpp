// The settings store on Windows: the registry itself.

#include "platform/win32/Win32Registry.h"
#include "settings/SystemRegistry.h"

std::unique_ptr<TRegistry> CreateRegistry() { return CreateWin32Registry(OpenRegistryKey); }
