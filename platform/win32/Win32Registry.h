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

// How a key is opened: with full access, only when it exists (Open) or
// created when missing (Create); or for reading only (Read), in the 32-bit
// view of the registry that 32-bit programs see on 64-bit Windows (Read32).
enum class KeyAccess { Open, Create, Read, Read32 };

// Opens `path` under `root` as `access` says; a Win32 error code as
// RegCreateKeyExW/RegOpenKeyExW return it. The caller closes the key.
using RegistryKeyOpener = std::function<LONG(HKEY root, const std::wstring& path, KeyAccess access, HKEY* key)>;

// The real RegCreateKeyExW/RegOpenKeyExW: KEY_ALL_ACCESS, KEY_READ, or
// KEY_READ | KEY_WOW64_32KEY.
LONG OpenRegistryKey(HKEY root, const std::wstring& path, KeyAccess access, HKEY* key);

// An accessor whose absolute keys go to HKEY_LOCAL_MACHINE; where opening
// there is refused (ERROR_ACCESS_DENIED), the same path under
// HKEY_CURRENT_USER is used instead. A key new there starts from the values
// an older program left, taken from the first of these that holds any:
//   1. HKEY_CURRENT_USER\Software\Classes\VirtualStore\MACHINE\SOFTWARE
//      \WOW6432Node\<path after "Software\">: a 32-bit program on 64-bit
//      Windows, its writes redirected to WOW6432Node and then virtualised;
//   2. HKEY_CURRENT_USER\Software\Classes\VirtualStore\MACHINE\<path>: a
//      program without a manifest whose writes were virtualised;
//   3. <path> in the 32-bit view of HKEY_LOCAL_MACHINE: what a 32-bit program
//      stored there with administrator rights.
// All keys, those of the older values too, are opened through `opener`.
std::unique_ptr<TRegistry> CreateWin32Registry(RegistryKeyOpener opener = OpenRegistryKey);
