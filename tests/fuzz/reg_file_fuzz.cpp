// The settings file parser on arbitrary text: it either refuses the text with
// its parse error or returns a document. The program's own output for that
// document always reads back (so a store it wrote is never moved aside as
// unreadable on the next start) and to the same values: keys, names, numbers
// and kept data exactly, and every string that a registry string can hold
// (valid UTF-8 without a zero character; a registry string ends at its first
// zero, and other bytes become U+FFFD). A second round changes nothing.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "settings/RegFile.h"

namespace {

regfile::Document MustParse(const std::string& text)
{
    try {
        return regfile::Parse(text);
    } catch (const regfile::ParseError&) {
        std::abort();  // the program's own output refused
    }
}

bool Storable(const std::string& text)
{
    return text.find('\0') == std::string::npos &&
           regfile::Utf16LeToUtf8(regfile::Utf8ToUtf16Le(text)) == text;
}

void CompareDocuments(const regfile::Document& a, const regfile::Document& b)
{
    if (a.keys.size() != b.keys.size()) std::abort();
    for (size_t k = 0; k < a.keys.size(); ++k) {
        const regfile::Key& x = a.keys[k];
        const regfile::Key& y = b.keys[k];
        if (x.path != y.path || x.values.size() != y.values.size()) std::abort();
        for (size_t v = 0; v < x.values.size(); ++v) {
            const regfile::Value& p = x.values[v];
            const regfile::Value& q = y.values[v];
            if (p.name != q.name || p.type != q.type) std::abort();
            if (p.type == regfile::ValueType::Dword && p.dword != q.dword) std::abort();
            if (p.type != regfile::ValueType::Dword && Storable(p.text) && p.text != q.text) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    regfile::Document document;
    try {
        document = regfile::Parse(text);
    } catch (const regfile::ParseError&) {
        return 0;
    }
    const std::string written = regfile::Serialize(document);
    const regfile::Document again = MustParse(written);
    CompareDocuments(document, again);
    const std::string rewritten = regfile::Serialize(again);
    if (regfile::Serialize(MustParse(rewritten)) != rewritten) std::abort();
    return 0;
}
