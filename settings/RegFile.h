#pragma once
// The portable settings store: registry keys and values kept in a text file
// in the Windows .reg format ("Windows Registry Editor Version 5.00"), so a
// person can read it and it imports into a real registry unchanged.
//
// The file holds keys in brackets and typed values under them:
//
//   [HKEY_LOCAL_MACHINE\Software\Velmar_Software\USB_TorvikLoader]
//   "Version"=dword:0000000a
//   "LastFile"="C:\\Cards\\demo.tvk"
//
// Strings of printable ASCII are written quoted, with "\" and '"' escaped by a
// backslash. Any other string (control characters, non-ASCII letters) is
// written as hex(1), the UTF-16LE bytes a real registry stores, so the file
// stays plain ASCII and imports exactly whatever the editor's code page.
// Values of other types met in a file (binary, multi-string, ...) are kept as
// they stand and written back unchanged.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace regfile {

// A file that is not a valid .reg text; the message names the line.
class ParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ValueType {
    Dword,         // dword:, or hex(4): of 4 bytes
    String,        // "...", or hex(1):
    ExpandString,  // hex(2):
    Other,         // any other hex form, kept as its data text
};

struct Value {
    std::string name;  // empty for the key's default value (@)
    ValueType type = ValueType::String;
    uint32_t dword = 0;
    std::string text;  // String, ExpandString: UTF-8; Other: the data after '='
};

struct Key {
    std::string path;  // full path with its root, e.g. HKEY_LOCAL_MACHINE\Software\X
    std::vector<Value> values;

    // Lookups ignore case, as the registry does.
    Value* Find(const std::string& name);
    const Value* Find(const std::string& name) const;
    // Replaces the value of the same name in place, or appends it.
    void Set(Value value);
};

struct Document {
    std::vector<Key> keys;

    Key* Find(const std::string& path);
    const Key* Find(const std::string& path) const;
    // The key of `path`, appended when missing.
    Key& Ensure(const std::string& path);
};

// Parses .reg text (UTF-8 with or without BOM, or UTF-16LE with BOM). Deletion
// entries ([-KEY], "name"=-) remove what came before them. Throws ParseError
// on anything it cannot read exactly.
Document Parse(const std::string& text);

// The document as .reg text, ASCII only, with CRLF line ends as the registry
// editor writes them.
std::string Serialize(const Document& document);

// Quoted form of a string: backslash and double quote escaped.
std::string Quote(const std::string& text);

// UTF-8 to the UTF-16LE bytes of hex(1)/hex(2), terminating zero included, and
// back. Invalid UTF-8 sequences become U+FFFD.
std::vector<uint8_t> Utf8ToUtf16Le(const std::string& text);
std::string Utf16LeToUtf8(const std::vector<uint8_t>& bytes);

// Writes `content` to a temporary file beside `path` and renames it over
// `path`, so readers see either the old or the new file, never a part.
// Creates missing parent folders. A symbolic link at `path` stays in place and
// the file it points at is replaced; an existing file's permissions carry over
// to the new one. False, with nothing changed at `path`, when any step fails.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);

// Renames an unreadable store to "<path>.corrupt-<date>-<time>" (with "-N"
// added if that exists). Returns the new name, or empty when it could not be
// moved.
std::string MoveAside(const std::string& path);

// $XDG_CONFIG_HOME (default ~/.config) + "/Velmar_Software/USB_TorvikLoader.reg".
std::string DefaultStorePath();

}  // namespace regfile

// The registry accessor over a .reg file, root HKEY_LOCAL_MACHINE.
//
// OpenKey reads the file. A file that cannot be parsed is moved aside (a note
// goes to stderr) and the store starts empty; a file that cannot be read, or a
// key that must be created but cannot be stored, makes OpenKey return false.
// Every write replaces the whole file atomically at once, so values written
// before a failing one stay stored.
class TRegFileRegistry final : public TRegistry {
public:
    explicit TRegFileRegistry(std::string path);

    bool OpenKey(const std::string& key, bool canCreate) override;
    void CloseKey() override;
    bool ValueExists(const std::string& name) override;
    int32_t ReadInteger(const std::string& name) override;
    std::string ReadString(const std::string& name) override;
    void WriteInteger(const std::string& name, int32_t value) override;
    void WriteString(const std::string& name, const std::string& value) override;

    // Full path of the open key ("HKEY_LOCAL_MACHINE\..."); empty when closed.
    const std::string& CurrentPath() const { return currentPath_; }

private:
    const regfile::Value* Lookup(const std::string& name);
    void Store(regfile::Value value);

    std::string path_;
    regfile::Document document_;
    std::string currentPath_;
};
