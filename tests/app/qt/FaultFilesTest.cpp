// The card image file and the settings file when they misbehave, through the
// real window: a file that disappears or changes between the dialog and the
// read, one that cannot be read even by root, a pipe and a device chosen as
// the image; a Program run must leave the image file exactly as it was; a
// corrupt settings file at start gives the default settings without a word,
// keeps the corrupt file aside and is replaced by a complete one at close.

#include <QCoreApplication>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "FormFixture.h"
#include "settings/RegFile.h"
#include "reader/StatusMessages.h"
#include "simulator/Simulator.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

class FaultFilesTest : public FormFixture {
protected:
    // Loads `path` through the dialog; `meanwhile` runs after the user has
    // chosen the file and before the window reads it.
    void LoadChanging(const std::string& path, const std::function<void()>& meanwhile)
    {
        QtWindowServices s = Services();
        form.reset();
        s.chooseFile = [path, meanwhile](const FileDialogRequest&) {
            meanwhile();
            return std::optional<std::string>(path);
        };
        form = std::make_unique<QtMainWindow>(s);
        QTest::mouseClick(form->Load, Qt::LeftButton);
    }
};

TEST_F(FaultFilesTest, ImageThatCannotBeReadIsNotLoaded)
{
    const std::string fifo = (folder / "pipe.tvk").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Reading this file fails whoever reads it.
    const fs::path unreadable = folder / "unreadable.tvk";
    fs::create_symlink("/proc/self/mem", unreadable);

    const struct {
        const char* what;
        std::string path;
        std::function<void()> meanwhile;
    } cases[] = {
        {"deleted after it was chosen", MakeFile("gone.tvk", 500), [this] { fs::remove(folder / "gone.tvk"); }},
        {"unreadable contents", unreadable.string(), [] {}},
        {"a pipe, which must not block the window", fifo, [] {}},
        {"a device", "/dev/zero", [] {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadChanging(c.path, c.meanwhile);
        EXPECT_EQ(CardImage.Length, -1);
        EXPECT_EQ(form->Status().Text(), NamePart(c.path) + " not loaded.");
        EXPECT_EQ(form->Status().Color(), clRed);
        EXPECT_FALSE(form->Program->isEnabled());
        EXPECT_TRUE(InputsEnabled());
        EXPECT_EQ(LastFile, c.path);
        EXPECT_TRUE(errors.empty());
    }
}

TEST_F(FaultFilesTest, ImageChangedAfterChoosingIsReadAsItThenStands)
{
    const std::string path = MakeFile("card.tvk", 1000, 1);
    const struct {
        const char* what;
        size_t newSize;
        int32_t length;
        const char* status;
    } cases[] = {
        {"cut short", 10, 10, "card.tvk not loaded."},
        {"grown past the card", kCardImageSize + 100, kCardImageSize, "card.tvk loaded."},
        {"rewritten", 100, 100, "card.tvk loaded."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MakeFile("card.tvk", 1000, 1);
        LoadChanging(path, [&] { MakeFile("card.tvk", c.newSize, 9); });
        ASSERT_EQ(CardImage.Length, c.length);
        EXPECT_EQ(form->Status().Text(), c.status);
        bool same = true;
        for (int32_t i = 0; i < c.length; ++i) same = same && CardImage.Data[i] == Pattern(static_cast<size_t>(i), 9);
        EXPECT_TRUE(same) << "the buffer holds the file as it stood when read";
    }
}

TEST_F(FaultFilesTest, ProgramRunsNeverChangeTheImageFile)
{
    // 1000 bytes: the run pads the image in memory to 1008.
    const std::string path = MakeFile("card.tvk", 1000, 4);
    const std::string before = ReadAll(path);
    const auto modified = fs::last_write_time(path);

    for (const char* options : {"card=out,insert=300", "card=out,insert=300,badcell=0x40"}) {
        SCOPED_TRACE(options);
        VirtualClock clock;
        clock.SetPollStep(100);
        sim::SimulatorOpener opener(clock, sim::SimOptions::Parse(options));
        linkSetup.clock = &clock;
        linkSetup.ports = &opener;
        linkSetup.failures = opener.Failures();
        linkSetup.processMessages = [] { QCoreApplication::processEvents(); };
        QtMainWindow& f = MakeForm();
        f.ComPort->setCurrentIndex(0);
        LoadThroughDialog(path);
        ASSERT_TRUE(f.Program->isEnabled());
        QTest::mouseClick(f.Program, Qt::LeftButton);
        EXPECT_NE(f.Status().Text().find("programm"), std::string::npos) << f.Status().Text();
        EXPECT_EQ(CardImage.Length, 1008);

        EXPECT_EQ(ReadAll(path), before) << "the file is read, never written";
        EXPECT_EQ(fs::last_write_time(path), modified);
        LoadThroughDialog(path);
        EXPECT_EQ(CardImage.Length, 1000) << "loading again reads the file as it was";
        form.reset();
    }
}

TEST_F(FaultFilesTest, CorruptSettingsFileGivesDefaultsAndIsKeptAside)
{
    const fs::path store = folder / "config" / "USB_TorvikLoader.reg";
    fs::create_directories(store.parent_path());
    const std::string junk = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmar_Soft";
    std::ofstream(store, std::ios::binary) << junk;

    QtWindowServices s = Services();
    s.openRegistry = [store] { return std::make_unique<TRegFileRegistry>(store.string()); };
    form = std::make_unique<QtMainWindow>(s);
    EXPECT_EQ(form->ComPort->currentIndex(), -1) << "default settings";
    EXPECT_TRUE(errors.empty()) << "nothing is reported";
    form->ComPort->setCurrentIndex(3);
    ASSERT_TRUE(form->close());
    EXPECT_EQ(terminations, 1);

    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(store.parent_path()))
        if (entry.path().filename().string().rfind("USB_TorvikLoader.reg.corrupt-", 0) == 0) aside.push_back(entry.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadAll(aside[0]), junk);
    const regfile::Document doc = regfile::Parse(ReadAll(store));
    const regfile::Key* key = doc.Find("HKEY_LOCAL_MACHINE\\Software\\Velmar_Software\\USB_TorvikLoader");
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->Find("ComPort"), nullptr);
    EXPECT_EQ(key->Find("ComPort")->dword, 3u);
    EXPECT_NE(key->Find("LastFile"), nullptr);
}
