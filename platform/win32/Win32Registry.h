#pragma once
// The settings store on the Windows registry, with the step that opens a key
// replaceable so that tests can make HKEY_LOCAL_MACHINE refuse access (Wine's
// registry does not enforce rights).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/Registry.h"

// Opens (create = true: creates when missing) `path` under `root` with full
// access; a Win32 error code as RegCreateKeyExW/RegOpenKeyExW return it.
using RegistryKeyOpener = std::function<LONG(HKEY root, const std::wstring& path, bool create, HKEY* key)>;

// The real RegCreateKeyExW/RegOpenKeyExW with KEY_ALL_ACCESS.
LONG OpenRegistryKey(HKEY root, const std::wstring& path, bool create, HKEY* key);

// An accessor whose absolute keys go to HKEY_LOCAL_MACHINE; where opening
// there is refused (ERROR_ACCESS_DENIED), the same path under
// HKEY_CURRENT_USER is used instead, and a new key there starts from the
// values Windows kept for older programs without a manifest under
// HKEY_CURRENT_USER\Software\Classes\VirtualStore\MACHINE (same path).
std::unique_ptr<TRegistry> CreateWin32Registry(RegistryKeyOpener opener = OpenRegistryKey);
