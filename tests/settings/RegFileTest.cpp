// The .reg settings store: the text format (parsing, writing, escaping,
// encodings) and the accessor over a file (round trip, typed reads, corrupt
// and unwritable stores, atomic replacement).

#include "settings/RegFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using regfile::Document;
using regfile::Value;
using regfile::ValueType;

namespace {

const char kKey[] = "\\Software\\Velmar_Software\\USB_TorvikLoader\\";
const char kFullKey[] = "HKEY_LOCAL_MACHINE\\Software\\Velmar_Software\\USB_TorvikLoader";

Value MakeDword(const std::string& name, uint32_t v)
{
    Value value;
    value.name = name;
    value.type = ValueType::Dword;
    value.dword = v;
    return value;
}

Value MakeText(const std::string& name, const std::string& text, ValueType type = ValueType::String)
{
    Value value;
    value.name = name;
    value.type = type;
    value.text = text;
    return value;
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class TempFolder {
public:
    TempFolder()
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path() / ("regfile-test-" + std::to_string(stamp));
        fs::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
        return names;
    }

private:
    fs::path path_;
};

}  // namespace

// --- The text format -------------------------------------------------------

TEST(RegFileFormat, EveryValueTypeSurvivesWriteAndRead)
{
    Document doc;
    regfile::Key& key = doc.Ensure(kFullKey);
    key.Set(MakeDword("Version", 10));
    key.Set(MakeDword("ComPort", 0xFFFFFFFFu));
    key.Set(MakeDword("Zero", 0));
    key.Set(MakeText("LastFile", "C:\\Cards\\my \"best\" card.tvk"));
    key.Set(MakeText("Empty", ""));
    key.Set(MakeText("Unicode", "/home/j\xC3\xBCrgen/\xE2\x82\xAC/\xF0\x9D\x84\x9E.tvk"));
    key.Set(MakeText("Lines", "first\r\nsecond\ttab"));
    key.Set(MakeText("Expand", "%HOME%\\cards", ValueType::ExpandString));
    key.Set(MakeText("Blob", "hex:01,02,ff", ValueType::Other));
    key.Set(MakeText("", "default value"));
    doc.keys.push_back(regfile::Key{"HKEY_LOCAL_MACHINE\\Software\\Other", {MakeDword("X", 7)}});
    const regfile::Key& written = doc.keys[0];

    const std::string text = regfile::Serialize(doc);
    for (char c : text) ASSERT_TRUE(static_cast<unsigned char>(c) < 0x80) << "the file must stay ASCII";

    const Document back = regfile::Parse(text);
    ASSERT_EQ(back.keys.size(), 2u);
    const regfile::Key& k = back.keys[0];
    ASSERT_EQ(k.values.size(), written.values.size());
    for (size_t i = 0; i < written.values.size(); ++i) {
        SCOPED_TRACE(written.values[i].name);
        EXPECT_EQ(k.values[i].name, written.values[i].name);
        EXPECT_EQ(k.values[i].type, written.values[i].type);
        EXPECT_EQ(k.values[i].dword, written.values[i].dword);
        EXPECT_EQ(k.values[i].text, written.values[i].text);
    }
    EXPECT_EQ(back.keys[1].Find("x")->dword, 7u);
}

TEST(RegFileFormat, WritesTheRegistryEditorsForm)
{
    Document doc;
    regfile::Key& key = doc.Ensure(kFullKey);
    key.Set(MakeDword("Version", 10));
    key.Set(MakeDword("ComPort", static_cast<uint32_t>(-1)));
    key.Set(MakeText("LastFile", "C:\\Cards\\a \"b\".tvk"));
    key.Set(MakeText("Name", "\xC3\xA9"));  // e acute: UTF-16LE E9 00

    EXPECT_EQ(regfile::Serialize(doc),
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Velmar_Software\\USB_TorvikLoader]\r\n"
              "\"Version\"=dword:0000000a\r\n"
              "\"ComPort\"=dword:ffffffff\r\n"
              "\"LastFile\"=\"C:\\\\Cards\\\\a \\\"b\\\".tvk\"\r\n"
              "\"Name\"=hex(1):e9,00,00,00\r\n"
              "\r\n");
}

TEST(RegFileFormat, ReadsWhatTheRegistryEditorExports)
{
    // UTF-16LE with BOM and CRLF, as the editor exports it; a comment; a long
    // hex(1) value broken over lines; hex(4) as a dword; names in other case.
    const std::string utf8 =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "; exported\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmar_Software\\USB_TorvikLoader]\r\n"
        "\"comport\"=dword:00000003\r\n"
        "\"Path\"=hex(1):41,00,\\\r\n"
        "  42,00,00,00\r\n"
        "\"Four\"=hex(4):10,00,00,80\r\n"
        "\"Quoted\" = \"a\\\\b\"\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : utf8) {
        utf16 += c;
        utf16 += '\0';
    }
    const Document doc = regfile::Parse(utf16);
    const regfile::Key* key = doc.Find(kFullKey);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Find("ComPort")->dword, 3u);
    EXPECT_EQ(key->Find("path")->text, "AB");
    EXPECT_EQ(key->Find("Four")->type, ValueType::Dword);
    EXPECT_EQ(key->Find("Four")->dword, 0x80000010u);
    EXPECT_EQ(key->Find("Quoted")->text, "a\\b");

    // The older header and a UTF-8 BOM are read too.
    const Document old = regfile::Parse("\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"y\"\n");
    EXPECT_EQ(old.Find("HKEY_LOCAL_MACHINE\\A")->Find("x")->text, "y");
}

TEST(RegFileFormat, DeletionEntriesRemoveWhatCameBefore)
{
    const Document doc = regfile::Parse(
        "Windows Registry Editor Version 5.00\n"
        "[HKEY_LOCAL_MACHINE\\A]\n\"keep\"=dword:1\n\"drop\"=dword:2\n"
        "[HKEY_LOCAL_MACHINE\\A\\Sub]\n\"x\"=dword:3\n"
        "[HKEY_LOCAL_MACHINE\\B]\n\"y\"=dword:4\n"
        "[HKEY_LOCAL_MACHINE\\A]\n\"drop\"=-\n"
        "[-HKEY_LOCAL_MACHINE\\B]\n");
    ASSERT_NE(doc.Find("HKEY_LOCAL_MACHINE\\A"), nullptr);
    EXPECT_NE(doc.Find("HKEY_LOCAL_MACHINE\\A")->Find("keep"), nullptr);
    EXPECT_EQ(doc.Find("HKEY_LOCAL_MACHINE\\A")->Find("drop"), nullptr);
    EXPECT_NE(doc.Find("HKEY_LOCAL_MACHINE\\A\\Sub"), nullptr);
    EXPECT_EQ(doc.Find("HKEY_LOCAL_MACHINE\\B"), nullptr);
}

TEST(RegFileFormat, RejectsMalformedText)
{
    const std::string h = "Windows Registry Editor Version 5.00\n";
    const std::string k = h + "[HKEY_LOCAL_MACHINE\\A]\n";
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty file", ""},
        {"no header", "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:1\n"},
        {"value before any key", h + "\"x\"=dword:1\n"},
        {"unterminated string", k + "\"x\"=\"abc\n"},
        {"unknown escape", k + "\"x\"=\"a\\nb\"\n"},
        {"missing equals", k + "\"x\" dword:1\n"},
        {"dword too long", k + "\"x\"=dword:123456789\n"},
        {"bad hex byte", k + "\"x\"=hex:01,zz\n"},
        {"bad hex type", k + "\"x\"=hex(q):01\n"},
        {"continuation past end", k + "\"x\"=hex:01,\\\n"},
        {"unknown data", k + "\"x\"=qword:1\n"},
        {"unclosed key", h + "[HKEY_LOCAL_MACHINE\\A\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(regfile::Parse(c.text), regfile::ParseError);
    }
}

TEST(RegFileFormat, Utf16ConversionHandlesPairsAndBadInput)
{
    // U+1D11E needs a surrogate pair.
    const std::vector<uint8_t> clef = regfile::Utf8ToUtf16Le("\xF0\x9D\x84\x9E");
    EXPECT_EQ(clef, (std::vector<uint8_t>{0x34, 0xD8, 0x1E, 0xDD, 0x00, 0x00}));
    EXPECT_EQ(regfile::Utf16LeToUtf8(clef), "\xF0\x9D\x84\x9E");
    // A lone continuation byte, a truncated sequence and an overlong form each
    // become U+FFFD.
    EXPECT_EQ(regfile::Utf16LeToUtf8(regfile::Utf8ToUtf16Le("a\x80" "b\xE2\x82" "c\xC0\xAF")),
              "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD");
    // A lone surrogate in the file becomes U+FFFD; reading stops at a zero.
    EXPECT_EQ(regfile::Utf16LeToUtf8({0x00, 0xD8, 0x41, 0x00, 0x00, 0x00, 0x42, 0x00}), "\xEF\xBF\xBD" "A");
}

// --- The accessor over a file -----------------------------------------------

TEST(RegFileStore, ValuesRoundTripThroughTheFile)
{
    TempFolder folder;
    const std::string path = (folder.Path() / "config" / "store.reg").string();
    {
        TRegFileRegistry reg(path);
        ASSERT_TRUE(reg.OpenKey(kKey, true));
        EXPECT_EQ(reg.CurrentPath(), kFullKey);
        EXPECT_TRUE(fs::exists(path)) << "creating the key stores it";
        reg.WriteInteger("Version", 10);
        reg.WriteInteger("ComPort", -1);
        reg.WriteInteger("Xpos", -32768);
        reg.WriteString("LastFile", "/cards/\"odd\"\\name.tvk");
        reg.WriteInteger("Version", 11);  // replaces, does not add
        reg.CloseKey();
    }
    TRegFileRegistry reg(path);
    ASSERT_TRUE(reg.OpenKey(kKey, false));
    EXPECT_EQ(reg.ReadInteger("version"), 11);
    EXPECT_EQ(reg.ReadInteger("ComPort"), -1);
    EXPECT_EQ(reg.ReadInteger("Xpos"), -32768);
    EXPECT_EQ(reg.ReadString("LastFile"), "/cards/\"odd\"\\name.tvk");
    EXPECT_FALSE(reg.ValueExists("Ypos"));
    const Document doc = regfile::Parse(ReadAll(path));
    EXPECT_EQ(doc.Find(kFullKey)->values.size(), 4u);
}

TEST(RegFileStore, TypedReadsRaiseTheAccessorsErrors)
{
    TempFolder folder;
    const std::string path = (folder.Path() / "store.reg").string();
    WriteAll(path,
             "Windows Registry Editor Version 5.00\n"
             "[HKEY_LOCAL_MACHINE\\Software\\Velmar_Software\\USB_TorvikLoader]\n"
             "\"ComPort\"=\"3\"\n\"LastFile\"=dword:00000001\n\"Blob\"=hex:01\n");
    TRegFileRegistry reg(path);
    ASSERT_TRUE(reg.OpenKey(kKey, true));
    const struct {
        bool integer;
        const char* name;
        const char* message;
    } cases[] = {
        {true, "ComPort", "Invalid data type for 'ComPort'"},
        {false, "LastFile", "Invalid data type for 'LastFile'"},
        {true, "Blob", "Invalid data type for 'Blob'"},
        {false, "Blob", "Invalid data type for 'Blob'"},
        {true, "Missing", "Failed to get data for 'Missing'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            if (c.integer) reg.ReadInteger(c.name);
            else reg.ReadString(c.name);
            ADD_FAILURE() << "no error raised";
        } catch (const ERegistryException& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(RegFileStore, OpeningFollowsTheKeyRules)
{
    TempFolder folder;
    const std::string path = (folder.Path() / "store.reg").string();
    TRegFileRegistry reg(path);
    EXPECT_FALSE(reg.OpenKey(kKey, false)) << "missing key, no create";
    EXPECT_FALSE(fs::exists(path)) << "nothing stored when nothing was created";
    ASSERT_TRUE(reg.OpenKey("\\Software\\Velmar_Software\\", true));
    ASSERT_TRUE(reg.OpenKey("USB_TorvikLoader", true)) << "relative to the open key";
    EXPECT_EQ(reg.CurrentPath(), kFullKey);
    reg.CloseKey();
    EXPECT_FALSE(reg.ValueExists("Version"));
    EXPECT_THROW(reg.WriteInteger("Version", 10), ERegistryException) << "no key open";
}

TEST(RegFileStore, CorruptFileIsMovedAsideNotOverwritten)
{
    TempFolder folder;
    const fs::path path = folder.Path() / "store.reg";
    const std::string junk = "this is not a registry file\n\"ComPort\"=dword:3\n";

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        WriteAll(path, junk);
        TRegFileRegistry reg(path.string());
        ASSERT_TRUE(reg.OpenKey(kKey, true));
        EXPECT_FALSE(reg.ValueExists("ComPort")) << "starts as with no settings";
        reg.WriteInteger("ComPort", 4);
    }
    // Two corrupt files in quick succession: both kept, under distinct names.
    int aside = 0;
    for (const std::string& name : folder.Names()) {
        if (name.rfind("store.reg.corrupt-", 0) != 0) continue;
        ++aside;
        EXPECT_EQ(ReadAll(folder.Path() / name), junk);
    }
    EXPECT_EQ(aside, 2);
    TRegFileRegistry reg(path.string());
    ASSERT_TRUE(reg.OpenKey(kKey, false));
    EXPECT_EQ(reg.ReadInteger("ComPort"), 4);
}

TEST(RegFileStore, UnusableStoreBehavesAsKeyNotOpened)
{
    TempFolder folder;
    // The store's folder cannot exist: its parent is a plain file.
    WriteAll(folder.Path() / "blocker", "x");
    TRegFileRegistry blocked((folder.Path() / "blocker" / "store.reg").string());
    EXPECT_FALSE(blocked.OpenKey(kKey, true));

    // The store's name is taken by a folder: it cannot be read or replaced,
    // and the folder is left as it was.
    fs::create_directories(folder.Path() / "taken.reg" / "inside");
    TRegFileRegistry taken((folder.Path() / "taken.reg").string());
    EXPECT_FALSE(taken.OpenKey(kKey, true));
    EXPECT_TRUE(fs::is_directory(folder.Path() / "taken.reg" / "inside"));
}

TEST(RegFileStore, FailedWriteRaisesAndKeepsEarlierValues)
{
    TempFolder folder;
    const fs::path path = folder.Path() / "store.reg";
    TRegFileRegistry reg(path.string());
    ASSERT_TRUE(reg.OpenKey(kKey, true));
    reg.WriteInteger("Version", 10);
    const std::string before = ReadAll(path);

    // Something takes the store's name away: a folder that rename cannot
    // replace.
    const fs::path moved = folder.Path() / "kept.reg";
    fs::rename(path, moved);
    fs::create_directories(path / "inside");
    try {
        reg.WriteInteger("ComPort", 2);
        FAIL() << "no error raised";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'ComPort'");
    }
    EXPECT_EQ(ReadAll(moved), before);
    for (const std::string& name : folder.Names())
        EXPECT_EQ(name.find(".tmp-"), std::string::npos) << "temporary file left behind: " << name;
}

TEST(RegFileStore, ReplaceIsAtomicAndLeavesNoTemporaryFiles)
{
    TempFolder folder;
    const fs::path path = folder.Path() / "deep" / "er" / "file.reg";
    ASSERT_TRUE(regfile::ReplaceFileAtomically(path.string(), "first"));
    const std::string big(100000, 'x');
    ASSERT_TRUE(regfile::ReplaceFileAtomically(path.string(), big));
    EXPECT_EQ(ReadAll(path), big);
    EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), fs::directory_iterator()), 1);

    // A target that cannot be replaced keeps what it had.
    fs::create_directories(folder.Path() / "dir.reg" / "inside");
    EXPECT_FALSE(regfile::ReplaceFileAtomically((folder.Path() / "dir.reg").string(), "new"));
    EXPECT_TRUE(fs::is_directory(folder.Path() / "dir.reg" / "inside"));
    for (const std::string& name : folder.Names())
        EXPECT_EQ(name.find(".tmp-"), std::string::npos) << "temporary file left behind: " << name;
}

#ifndef _WIN32
TEST(RegFileStore, ReplaceKeepsASymbolicLinkAndThePermissions)
{
    TempFolder folder;
    const fs::path real = folder.Path() / "dotfiles" / "USB_TorvikLoader.reg";
    const fs::path link = folder.Path() / "config" / "USB_TorvikLoader.reg";
    fs::create_directories(real.parent_path());
    fs::create_directories(link.parent_path());
    std::ofstream(real) << "old";
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    fs::create_symlink("../dotfiles/USB_TorvikLoader.reg", link);

    ASSERT_TRUE(regfile::ReplaceFileAtomically(link.string(), "new"));
    EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
    EXPECT_EQ(ReadAll(real), "new");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

// (On Windows the settings live in the real registry, not in this file.)
TEST(RegFileStore, DefaultPathFollowsTheConfigurationFolder)
{
    struct SavedVariable {
        const char* name;
        bool set;
        std::string value;
        explicit SavedVariable(const char* n) : name(n), set(std::getenv(n) != nullptr), value(set ? std::getenv(n) : "") {}
        ~SavedVariable()
        {
            if (set) setenv(name, value.c_str(), 1);
            else unsetenv(name);
        }
    } xdg("XDG_CONFIG_HOME"), home("HOME");

    setenv("XDG_CONFIG_HOME", "/tmp/xdg-test", 1);
    EXPECT_EQ(regfile::DefaultStorePath(), "/tmp/xdg-test/Velmar_Software/USB_TorvikLoader.reg");
    // A relative folder is not valid there and is ignored.
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(regfile::DefaultStorePath(), "/home/someone/.config/Velmar_Software/USB_TorvikLoader.reg");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(regfile::DefaultStorePath(), "/home/someone/.config/Velmar_Software/USB_TorvikLoader.reg");
}
#endif
