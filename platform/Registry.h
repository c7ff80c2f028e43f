#pragma once
// The settings store, shaped like the toolkit's registry accessor: one key
// under HKEY_LOCAL_MACHINE with typed 32-bit integer and string values.
//
// On Windows this is the real registry. Elsewhere it is a file in the user's
// configuration directory in the Windows .reg text format.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// Raised by the accessor: "Invalid data type for '%s'" when a value has
// another type than the one read, "Failed to set data for '%s'" when a value
// cannot be written. %s is the value's name.
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TRegistry {
public:
    virtual ~TRegistry() = default;
    // Opens `key` (absolute when it starts with "\") under HKEY_LOCAL_MACHINE
    // with full access, creating it when missing and canCreate is true.
    // False when it cannot be opened or created; nothing is reported.
    virtual bool OpenKey(const std::string& key, bool canCreate) = 0;
    // Closes the open key; writes made through it are stored by then.
    virtual void CloseKey() = 0;
    virtual bool ValueExists(const std::string& name) = 0;
    // Throws ERegistryException "Invalid data type for 'name'" when the value
    // is not of the type asked for, "Failed to get data for 'name'" when it
    // does not exist.
    virtual int32_t ReadInteger(const std::string& name) = 0;
    virtual std::string ReadString(const std::string& name) = 0;
    // Throws ERegistryException "Failed to set data for 'name'".
    virtual void WriteInteger(const std::string& name, int32_t value) = 0;
    virtual void WriteString(const std::string& name, const std::string& value) = 0;
};
