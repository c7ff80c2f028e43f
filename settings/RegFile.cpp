#include "settings/RegFile.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace regfile {

namespace {

const char kHeader5[] = "Windows Registry Editor Version 5.00";
const char kHeader4[] = "REGEDIT4";
const char kRoot[] = "HKEY_LOCAL_MACHINE";

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

[[noreturn]] void Fail(size_t lineIndex, const std::string& what)
{
    throw ParseError("line " + std::to_string(lineIndex + 1) + ": " + what);
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Reads a quoted string starting at s[pos] == '"'; leaves pos after the
// closing quote.
std::string ParseQuoted(const std::string& s, size_t& pos, size_t lineIndex)
{
    std::string out;
    ++pos;
    while (pos < s.size()) {
        const char c = s[pos++];
        if (c == '"') return out;
        if (c == '\\') {
            if (pos >= s.size() || (s[pos] != '\\' && s[pos] != '"')) Fail(lineIndex, "unknown escape in quoted text");
            out += s[pos++];
        } else {
            out += c;
        }
    }
    Fail(lineIndex, "quoted text without its closing quote");
}

std::vector<uint8_t> ParseHexBytes(const std::string& list, size_t lineIndex)
{
    std::vector<uint8_t> bytes;
    if (Trim(list).empty()) return bytes;
    std::stringstream stream(list);
    std::string item;
    while (std::getline(stream, item, ',')) {
        item = Trim(item);
        if (item.empty() || item.size() > 2) Fail(lineIndex, "bad byte \"" + item + "\" in hex data");
        int value = 0;
        for (char c : item) {
            const int d = HexDigit(c);
            if (d < 0) Fail(lineIndex, "bad byte \"" + item + "\" in hex data");
            value = value * 16 + d;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    if (!list.empty() && Trim(list).back() == ',') Fail(lineIndex, "hex data ends with a comma");
    return bytes;
}

// The value data after '='; returns false for a deletion ("-").
bool ParseData(const std::string& data, size_t lineIndex, Value& value)
{
    if (data == "-") return false;
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        value.type = ValueType::String;
        value.text = ParseQuoted(data, pos, lineIndex);
        if (!Trim(data.substr(pos)).empty()) Fail(lineIndex, "text after a quoted value");
        return true;
    }
    if (StartsWith(data, "dword:")) {
        const std::string digits = Trim(data.substr(6));
        if (digits.empty() || digits.size() > 8) Fail(lineIndex, "a dword needs 1 to 8 hex digits");
        uint32_t v = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0) Fail(lineIndex, "bad hex digit in a dword");
            v = v * 16 + static_cast<uint32_t>(d);
        }
        value.type = ValueType::Dword;
        value.dword = v;
        return true;
    }
    if (StartsWith(data, "hex")) {
        size_t colon = data.find(':');
        if (colon == std::string::npos) Fail(lineIndex, "hex data without ':'");
        const std::string kind = data.substr(3, colon - 3);
        int typeCode = 3;  // plain "hex:" is REG_BINARY
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')
                Fail(lineIndex, "bad hex type \"" + kind + "\"");
            typeCode = 0;
            for (size_t i = 1; i + 1 < kind.size(); ++i) {
                const int d = HexDigit(kind[i]);
                if (d < 0 || typeCode > 0xFFFFFF) Fail(lineIndex, "bad hex type \"" + kind + "\"");
                typeCode = typeCode * 16 + d;
            }
        }
        const std::vector<uint8_t> bytes = ParseHexBytes(data.substr(colon + 1), lineIndex);
        if (typeCode == 1 || typeCode == 2) {
            value.type = typeCode == 1 ? ValueType::String : ValueType::ExpandString;
            value.text = Utf16LeToUtf8(bytes);
        } else if (typeCode == 4 && bytes.size() == 4) {
            value.type = ValueType::Dword;
            value.dword = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                          static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
        } else {
            // Kept in one canonical form: the type and the bytes, no breaks.
            value.type = ValueType::Other;
            std::string text = kind.empty() ? "hex:" : "hex" + kind + ":";
            char pair[4];
            for (size_t i = 0; i < bytes.size(); ++i) {
                std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
                if (i > 0) text += ',';
                text += pair;
            }
            value.text = text;
        }
        return true;
    }
    Fail(lineIndex, "unknown value data \"" + data + "\"");
}

std::string NormaliseKeyPath(std::string path)
{
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

bool IsPrintableAscii(const std::string& s)
{
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
    return true;
}

// hex(N): data with the registry editor's line breaks.
std::string HexData(const std::string& prefix, const std::vector<uint8_t>& bytes, size_t column)
{
    std::string out = prefix;
    column += prefix.size();
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        out += pair;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string DecodeText(const std::string& raw)
{
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
        std::vector<uint8_t> bytes(raw.begin() + 2, raw.end());
        // Utf16LeToUtf8 stops at a zero unit, which never appears in text.
        return Utf16LeToUtf8(bytes);
    }
    if (raw.size() >= 3 && static_cast<unsigned char>(raw[0]) == 0xEF && static_cast<unsigned char>(raw[1]) == 0xBB &&
        static_cast<unsigned char>(raw[2]) == 0xBF)
        return raw.substr(3);
    return raw;
}

std::string UniqueSuffix()
{
    static std::atomic<unsigned> counter{0};
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::to_string(ticks) + "-" + std::to_string(counter++);
}

}  // namespace

Value* Key::Find(const std::string& name)
{
    for (Value& v : values)
        if (SameName(v.name, name)) return &v;
    return nullptr;
}

const Value* Key::Find(const std::string& name) const { return const_cast<Key*>(this)->Find(name); }

void Key::Set(Value value)
{
    if (Value* existing = Find(value.name)) {
        *existing = std::move(value);
    } else {
        values.push_back(std::move(value));
    }
}

Key* Document::Find(const std::string& path)
{
    for (Key& k : keys)
        if (SameName(k.path, path)) return &k;
    return nullptr;
}

const Key* Document::Find(const std::string& path) const { return const_cast<Document*>(this)->Find(path); }

Key& Document::Ensure(const std::string& path)
{
    if (Key* k = Find(path)) return *k;
    keys.push_back(Key{path, {}});
    return keys.back();
}

Document Parse(const std::string& rawText)
{
    const std::string text = DecodeText(rawText);
    std::vector<std::string> lines;
    {
        std::stringstream stream(text);
        std::string line;
        while (std::getline(stream, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }

    Document doc;
    bool header = false;
    Key* current = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t lineIndex = i;
        const std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == ';') continue;
        if (!header) {
            if (line != kHeader5 && line != kHeader4) Fail(lineIndex, "not a registry file (no header line)");
            header = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3) Fail(lineIndex, "bad key line");
            std::string path = line.substr(1, line.size() - 2);
            if (path[0] == '-') {
                path = NormaliseKeyPath(path.substr(1));
                std::vector<Key> kept;
                for (Key& k : doc.keys) {
                    const bool under = k.path.size() > path.size() && k.path[path.size()] == '\\' &&
                                       SameName(k.path.substr(0, path.size()), path);
                    if (!SameName(k.path, path) && !under) kept.push_back(std::move(k));
                }
                doc.keys = std::move(kept);
                current = nullptr;
                continue;
            }
            path = NormaliseKeyPath(path);
            if (path.empty()) Fail(lineIndex, "empty key name");
            current = &doc.Ensure(path);
            continue;
        }
        if (line[0] != '"' && line[0] != '@') Fail(lineIndex, "unexpected text");
        if (current == nullptr) Fail(lineIndex, "value outside a key");

        Value value;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else {
            value.name = ParseQuoted(line, pos, lineIndex);
        }
        while (pos < line.size() && IsSpace(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != '=') Fail(lineIndex, "value without '='");
        std::string data = Trim(line.substr(pos + 1));
        if (StartsWith(data, "hex")) {
            // Long hex data continues on the next lines after a trailing "\".
            while (!data.empty() && data.back() == '\\') {
                data.pop_back();
                if (++i >= lines.size()) Fail(lineIndex, "hex data continues past the end of the file");
                data += Trim(lines[i]);
            }
        }
        if (ParseData(data, lineIndex, value)) {
            current->Set(std::move(value));
        } else {
            std::vector<Value>& values = current->values;
            for (auto it = values.begin(); it != values.end(); ++it)
                if (SameName(it->name, value.name)) {
                    values.erase(it);
                    break;
                }
        }
    }
    if (!header) throw ParseError("line 1: not a registry file (no header line)");
    return doc;
}

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string Serialize(const Document& document)
{
    std::string out = kHeader5;
    out += "\r\n";
    for (const Key& key : document.keys) {
        out += "\r\n[" + key.path + "]\r\n";
        for (const Value& v : key.values) {
            std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
            switch (v.type) {
            case ValueType::Dword: {
                char digits[16];
                std::snprintf(digits, sizeof digits, "%08x", v.dword);
                line += "dword:";
                line += digits;
                break;
            }
            case ValueType::String:
                line += IsPrintableAscii(v.text) ? Quote(v.text) : HexData("hex(1):", Utf8ToUtf16Le(v.text), line.size());
                break;
            case ValueType::ExpandString:
                line += HexData("hex(2):", Utf8ToUtf16Le(v.text), line.size());
                break;
            case ValueType::Other:
                line += v.text;
                break;
            }
            out += line + "\r\n";
        }
    }
    out += "\r\n";
    return out;
}

std::vector<uint8_t> Utf8ToUtf16Le(const std::string& text)
{
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t unit) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    };
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0xFFFD;
        size_t length = 1;
        size_t extra = 0;
        uint32_t minimum = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
            minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
            minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
            minimum = 0x10000;
        }
        if (extra > 0) {
            bool ok = i + extra < text.size();
            for (size_t k = 1; ok && k <= extra; ++k) {
                const unsigned char cc = static_cast<unsigned char>(text[i + k]);
                if ((cc & 0xC0) != 0x80) ok = false;
                else cp = (cp << 6) | (cc & 0x3F);
            }
            if (ok && cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
                length = extra + 1;
            } else {
                cp = 0xFFFD;
            }
        } else if (c >= 0x80) {
            cp = 0xFFFD;
        }
        i += length;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 | (cp >> 10));
            put(0xDC00 | (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    put(0);
    return out;
}

std::string Utf16LeToUtf8(const std::vector<uint8_t>& bytes)
{
    std::string out;
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = static_cast<uint32_t>(bytes[2 * i]) | static_cast<uint32_t>(bytes[2 * i + 1]) << 8;
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t low = static_cast<uint32_t>(bytes[2 * i + 2]) | static_cast<uint32_t>(bytes[2 * i + 3]) << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        AppendUtf8(out, u);
    }
    return out;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& content)
{
    std::error_code ec;
    // A store reached through a symbolic link (a dotfiles folder, say) stays
    // a link: the file it points at is replaced.
    fs::path target(path);
    for (int hops = 0; hops < 40 && fs::is_symlink(target, ec); ++hops) {
        const fs::path link = fs::read_symlink(target, ec);
        if (ec) return false;
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    // The new file gets the old one's permissions (a store kept private stays
    // private).
    const fs::file_status old = fs::status(target, ec);
    const bool keepPermissions = !ec && fs::is_regular_file(old);
    ec.clear();
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), ec);
        if (ec) return false;
    }
    fs::path temp = target;
    temp += ".tmp-" + UniqueSuffix();
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        const bool written = static_cast<bool>(out);
        out.close();
        if (!written || out.fail()) {
            fs::remove(temp, ec);
            return false;
        }
    }
    if (keepPermissions) fs::permissions(temp, old.permissions(), fs::perm_options::replace, ec);
    if (!ec) fs::rename(temp, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    }
    return true;
}

std::string MoveAside(const std::string& path)
{
    char stamp[32] = "unknown";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", local);
    const std::string base = path + ".corrupt-" + stamp;
    std::error_code ec;
    for (int n = 0; n < 1000; ++n) {
        const std::string candidate = n == 0 ? base : base + "-" + std::to_string(n);
        if (fs::exists(candidate, ec) || ec) continue;
        fs::rename(path, candidate, ec);
        return ec ? std::string() : candidate;
    }
    return {};
}

std::string DefaultStorePath()
{
    std::string config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        config = std::string(home) + "/.config";
    } else {
        config = ".config";
    }
    return config + "/Velmar_Software/USB_TorvikLoader.reg";
}

}  // namespace regfile

// ---------------------------------------------------------------------------

namespace {

bool CanWriteBeside(const std::string& path)
{
    std::error_code ec;
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    fs::create_directories(folder, ec);
    if (ec) return false;
    fs::path probe = target;
    probe += ".probe-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    bool ok = false;
    {
        std::ofstream out(probe, std::ios::binary | std::ios::trunc);
        ok = static_cast<bool>(out);
    }
    fs::remove(probe, ec);
    return ok;
}

}  // namespace

TRegFileRegistry::TRegFileRegistry(std::string path) : path_(std::move(path)) {}

bool TRegFileRegistry::OpenKey(const std::string& key, bool canCreate)
{
    std::string relative = key;
    const bool absolute = !relative.empty() && relative.front() == '\\';
    while (!relative.empty() && relative.front() == '\\') relative.erase(relative.begin());
    while (!relative.empty() && relative.back() == '\\') relative.pop_back();
    const std::string base = absolute || currentPath_.empty() ? std::string(regfile::kRoot) : currentPath_;
    const std::string full = relative.empty() ? base : base + "\\" + relative;

    // Read the store afresh: another run may have changed it.
    regfile::Document loaded;
    std::error_code ec;
    const bool exists = fs::exists(path_, ec);
    if (ec) return false;
    if (exists) {
        // A store that cannot be read is treated as one that cannot be
        // opened, not as an empty one that could be written over.
        if (fs::is_directory(path_, ec) || ec) return false;
        std::ifstream in(path_, std::ios::binary);
        if (!in) return false;
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) return false;
        in.close();  // Windows cannot move a file aside while it is open
        try {
            loaded = regfile::Parse(text);
        } catch (const regfile::ParseError& e) {
            const std::string moved = regfile::MoveAside(path_);
            if (moved.empty()) return false;
            std::cerr << "Settings file " << path_ << " could not be read (" << e.what() << "); it was moved to "
                      << moved << " and the program starts with default settings.\n";
            loaded = regfile::Document{};
        }
    }

    if (loaded.Find(full) == nullptr) {
        if (!canCreate) return false;
        loaded.Ensure(full);
        if (!regfile::ReplaceFileAtomically(path_, regfile::Serialize(loaded))) return false;
    } else if (!CanWriteBeside(path_)) {
        // Full access is asked for; a store that cannot be written is closed.
        return false;
    }
    document_ = std::move(loaded);
    currentPath_ = document_.Find(full)->path;
    return true;
}

void TRegFileRegistry::CloseKey() { currentPath_.clear(); }

const regfile::Value* TRegFileRegistry::Lookup(const std::string& name)
{
    if (currentPath_.empty()) return nullptr;
    const regfile::Key* key = document_.Find(currentPath_);
    return key != nullptr ? key->Find(name) : nullptr;
}

bool TRegFileRegistry::ValueExists(const std::string& name) { return Lookup(name) != nullptr; }

int32_t TRegFileRegistry::ReadInteger(const std::string& name)
{
    const regfile::Value* v = Lookup(name);
    if (v == nullptr) throw ERegistryException("Failed to get data for '" + name + "'");
    if (v->type != regfile::ValueType::Dword) throw ERegistryException("Invalid data type for '" + name + "'");
    return static_cast<int32_t>(v->dword);
}

std::string TRegFileRegistry::ReadString(const std::string& name)
{
    const regfile::Value* v = Lookup(name);
    if (v == nullptr) throw ERegistryException("Failed to get data for '" + name + "'");
    if (v->type != regfile::ValueType::String && v->type != regfile::ValueType::ExpandString)
        throw ERegistryException("Invalid data type for '" + name + "'");
    return v->text;
}

void TRegFileRegistry::Store(regfile::Value value)
{
    const std::string name = value.name;
    if (currentPath_.empty()) throw ERegistryException("Failed to set data for '" + name + "'");
    regfile::Document updated = document_;
    updated.Ensure(currentPath_).Set(std::move(value));
    if (!regfile::ReplaceFileAtomically(path_, regfile::Serialize(updated)))
        throw ERegistryException("Failed to set data for '" + name + "'");
    document_ = std::move(updated);
}

void TRegFileRegistry::WriteInteger(const std::string& name, int32_t value)
{
    regfile::Value v;
    v.name = name;
    v.type = regfile::ValueType::Dword;
    v.dword = static_cast<uint32_t>(value);
    Store(std::move(v));
}

void TRegFileRegistry::WriteString(const std::string& name, const std::string& value)
{
    regfile::Value v;
    v.name = name;
    v.type = regfile::ValueType::String;
    v.text = value;
    Store(std::move(v));
}
