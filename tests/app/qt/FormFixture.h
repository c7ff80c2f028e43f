#pragma once
// A fixture that builds the real main window with test services: an
// in-memory settings store, a scripted open dialog, and recorders for opened
// addresses, error boxes and termination requests. Files live in a temporary
// folder.

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/qt/QtMainWindow.h"
#include "programming/ProgramData.h"
#include "serial/ReaderLink.h"
#include "support/MemoryRegistry.h"

class FormFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        LastFile.clear();
        CardImage = TCardImage{};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        folder = std::filesystem::temp_directory_path() / ("torvik-app-test-" + std::to_string(stamp));
        std::filesystem::create_directories(folder);
    }

    void TearDown() override
    {
        form.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    QtWindowServices Services()
    {
        QtWindowServices s;
        s.openRegistry = [this] { return store.NewAccessor(); };
        s.chooseFile = [this](const FileDialogRequest& request) {
            requests.push_back(request);
            return nextChoice;
        };
        s.openAddress = [this](const std::string& address) {
            opened.push_back(address);
            return true;
        };
        s.showError = [this](const std::string& message) { errors.push_back(message); };
        s.terminate = [this] { ++terminations; };
        s.link = linkSetup;
        return s;
    }

    QtMainWindow& MakeForm()
    {
        form = std::make_unique<QtMainWindow>(Services());
        return *form;
    }

    // A file of `size` bytes with a recognisable pattern; returns its path.
    std::string MakeFile(const std::string& name, size_t size, uint8_t seed = 1)
    {
        const std::filesystem::path path = folder / name;
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) out.put(static_cast<char>(Pattern(i, seed)));
        return path.string();
    }

    static uint8_t Pattern(size_t i, uint8_t seed) { return static_cast<uint8_t>((i * 7 + seed * 31 + (i >> 8)) & 0xFF); }

    // Clicks Load with the dialog answering `choice` (nothing = cancel).
    void LoadThroughDialog(const std::optional<std::string>& choice)
    {
        nextChoice = choice;
        QTest::mouseClick(form->Load, Qt::LeftButton);
    }

    bool InputsEnabled() const
    {
        return form->Load->isEnabled() && form->ComPort->isEnabled() && form->VerifyCheckBox->isEnabled();
    }
    bool AnyInputEnabled() const
    {
        return form->Load->isEnabled() || form->ComPort->isEnabled() || form->VerifyCheckBox->isEnabled() ||
               form->Program->isEnabled();
    }

    // The window's reader link.
    ReaderLink& Link() { return form->Logic().Link(); }

    MemoryStore store;
    // What the windows made from now on link to (none: the program's own
    // chain).
    LinkSetup linkSetup;
    std::optional<std::string> nextChoice;
    std::vector<FileDialogRequest> requests;
    std::vector<std::string> opened;
    std::vector<std::string> errors;
    int terminations = 0;
    std::filesystem::path folder;
    std::unique_ptr<QtMainWindow> form;
};
