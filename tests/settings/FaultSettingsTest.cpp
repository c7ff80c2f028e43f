// The settings file when things go wrong around it: a store that is corrupt
// in various ways, one that may be read but not written, and a disk that is
// full when the store is created or a value is written. Whatever happens, the
// store on disk is never left damaged or half written: it holds either what
// it held before or a complete new store, and a corrupt one is kept aside
// byte for byte.
//
// Read-only and full-disk conditions run in a child process: the child drops
// root rights (a read-only file does not stop root) or lowers its file-size
// limit (writes past it fail as on a full disk), so the test process itself
// is not affected.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "settings/RegFile.h"

namespace fs = std::filesystem;

namespace {

const char kKey[] = "\\Software\\Velmar_Software\\USB_TorvikLoader\\";

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

// A complete store as the program writes it.
std::string GoodStore()
{
    regfile::Document doc;
    regfile::Key& key = doc.Ensure("HKEY_LOCAL_MACHINE\\Software\\Velmar_Software\\USB_TorvikLoader");
    regfile::Value v;
    v.name = "Version";
    v.type = regfile::ValueType::Dword;
    v.dword = 10;
    key.Set(v);
    v.name = "ComPort";
    v.dword = 2;
    key.Set(v);
    v.name = "LastFile";
    v.type = regfile::ValueType::String;
    v.text = "/cards/demo.tvk";
    key.Set(v);
    return regfile::Serialize(doc);
}

class FaultSettingsTest : public ::testing::Test {
protected:
    FaultSettingsTest()
    {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        folder = fs::temp_directory_path() / ("torvik-settings-fault-" + std::to_string(stamp));
        fs::create_directories(folder);
        path = folder / "store.reg";
    }
    ~FaultSettingsTest() override
    {
        std::error_code ec;
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(folder, ec);
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path().filename().string());
        return out;
    }

#if defined(__unix__)
    // Runs `body` in a child process after `prepare` (also in the child);
    // the child's exit status is the number of failed checks, or 100 when it
    // did not end normally.
    static int InChild(const std::function<bool()>& prepare, const std::function<int()>& body)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            if (!prepare()) _exit(99);
            _exit(body());
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return 100;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }
#endif

    fs::path folder;
    fs::path path;
};

TEST_F(FaultSettingsTest, CorruptStoreIsKeptAsideByteForByte)
{
    const std::string good = GoodStore();
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"cut off in the middle of a value", good.substr(0, good.find("ComPort") + 12)},
        {"binary junk", std::string("\x00\x01\xFE\xFF\x80 garbage\r\n", 15)},
        {"a value before any key", "Windows Registry Editor Version 5.00\r\n\"Version\"=dword:0000000a\r\n"},
        {"an unreadable dword", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Velmar_Software\\USB_TorvikLoader]\n"
                                "\"ComPort\"=dword:xyz\n"},
        {"empty", ""},
    };
    for (const auto& [name, text] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        WriteAll(path, text);

        TRegFileRegistry reg(path.string());
        ASSERT_TRUE(reg.OpenKey(kKey, true)) << "the program starts with default settings";
        EXPECT_FALSE(reg.ValueExists("ComPort"));
        reg.WriteInteger("ComPort", 5);
        reg.CloseKey();

        std::vector<std::string> aside;
        for (const std::string& n : Names())
            if (n.rfind("store.reg.corrupt-", 0) == 0) aside.push_back(n);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadAll(folder / aside[0]), text) << "the corrupt store is kept as it was";
        EXPECT_NO_THROW(regfile::Parse(ReadAll(path))) << "the new store is complete";
        TRegFileRegistry again(path.string());
        ASSERT_TRUE(again.OpenKey(kKey, false));
        EXPECT_EQ(again.ReadInteger("ComPort"), 5);
    }
}

#if defined(__unix__)

TEST_F(FaultSettingsTest, ReadOnlyStoreIsNeitherOpenedNorTouched)
{
    // Store and folder readable by everyone, writable by their owner only;
    // the child runs as another user (or, when not root, as this one with
    // the write bits removed).
    const std::string good = GoodStore();
    WriteAll(path, good);
    const bool root = geteuid() == 0;
    fs::permissions(folder, root ? fs::perms(0755) : fs::perms(0555));
    fs::permissions(path, fs::perms(0444));

    const int failures = InChild(
        [root] {
            if (!root) return true;
            return setgid(65534) == 0 && setuid(65534) == 0;
        },
        [this] {
            int failed = 0;
            TRegFileRegistry reg(path.string());
            // Full access is asked for: a store that cannot be written is not
            // opened, so the window neither reads nor stores settings.
            if (reg.OpenKey(kKey, true)) ++failed;
            try {
                reg.WriteInteger("ComPort", 7);
                ++failed;
            } catch (const ERegistryException&) {
            }
            return failed;
        });
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ReadAll(path), good) << "the store is untouched";
    EXPECT_EQ(Names(), std::vector<std::string>{"store.reg"}) << "nothing left beside it";
}

TEST_F(FaultSettingsTest, FullDiskNeverLeavesAHalfWrittenStore)
{
    // The file-size limit makes every write past it fail, as a full disk
    // does; SIGXFSZ is ignored so that the write reports the failure.
    auto fullDisk = [](rlim_t bytes) {
        return [bytes] {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{bytes, bytes};
            return setrlimit(RLIMIT_FSIZE, &limit) == 0;
        };
    };
    const std::string good = GoodStore();

    struct Case {
        const char* name;
        bool existing;  // a store exists before
    };
    for (const Case& c : {Case{"first start: the key cannot be created", false},
                          Case{"close: a value cannot be written", true}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder);
        fs::create_directories(folder);
        if (c.existing) WriteAll(path, good);

        const int failures = InChild(fullDisk(c.existing ? good.size() : 16), [this, &c] {
            int failed = 0;
            TRegFileRegistry reg(path.string());
            const bool opened = reg.OpenKey(kKey, true);
            if (opened != c.existing) ++failed;  // a key that cannot be created is not open
            if (!opened) return failed;
            // The first value makes the store longer than the limit.
            try {
                reg.WriteString("LastFile", std::string(200, 'x'));
                ++failed;
            } catch (const ERegistryException& e) {
                if (std::string(e.what()) != "Failed to set data for 'LastFile'") ++failed;
            }
            return failed;
        });
        EXPECT_EQ(failures, 0);
        if (c.existing) {
            EXPECT_EQ(ReadAll(path), good) << "the old store stays whole";
            EXPECT_EQ(Names(), std::vector<std::string>{"store.reg"}) << "no temporary file left behind";
        } else {
            EXPECT_TRUE(Names().empty()) << "no partial store left behind";
        }
    }
}

#endif

}  // namespace
