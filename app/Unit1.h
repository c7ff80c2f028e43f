#pragma once
// The main window: port choice, Load File, Program, "Verify programming", the
// progress bar and the status field. It restores and stores its settings,
// loads the card image and runs the Program sequence on the core.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/Window.h"

class QCloseEvent;
class QShowEvent;

// Program-wide texts of the window's unit.
extern std::string LastFile;     // full path of the last chosen card image
extern std::string LinkAddress;  // the maker's web page, shown by LinkLabel

// The settings key under HKEY_LOCAL_MACHINE.
extern const char kSettingsKey[];
// The open dialog's filter, in the toolkit's "caption|patterns|..." form.
extern const char kLoadFilter[];

// What the Load dialog is asked to show.
struct FileDialogRequest {
    std::string title;
    std::vector<std::string> nameFilters;  // Qt name filters; the first is in force
    std::string initialDirectory;          // LastFile as it stands (may name a file)
    std::string initialFileName;           // the name part of LastFile
};

// The window's ways out to the system, replaceable so that tests need no
// modal dialog, no real settings store and no desktop.
struct FormServices {
    // A new settings accessor (root HKEY_LOCAL_MACHINE).
    std::function<std::unique_ptr<TRegistry>()> openRegistry;
    // Shows the modal open dialog; the chosen path, or nothing when cancelled.
    std::function<std::optional<std::string>(const FileDialogRequest&)> chooseFile;
    // Opens an address with the desktop's default action.
    std::function<bool(const std::string&)> openAddress;
    // Shows an error in a message box and returns when it is dismissed.
    std::function<void(const std::string&)> showError;
    // Asks the application to terminate.
    std::function<void()> terminate;
    // Allocates the card image buffer with new[]; null when out of memory.
    std::function<uint8_t*(std::size_t)> allocateImage;

    // The production services: the system's settings store, QFileDialog,
    // ShellOpen, QMessageBox, QCoreApplication::quit and new (nothrow).
    static FormServices Defaults();
};

// The status field: a single-line edit with a bold font whose background
// colour the core sets in BGR.
class TStatusEdit final : public QLineEdit, public StatusControl {
public:
    explicit TStatusEdit(QWidget* parent);
    void SetText(const std::string& text) override;
    std::string Text() const override;
    void SetColor(TColor color) override;
    TColor Color() const override { return color_; }

private:
    TColor color_ = clBtnFace;
};

// A label that reports double-clicks and the pointer entering and leaving.
class TEventLabel final : public QLabel {
public:
    explicit TEventLabel(QWidget* parent) : QLabel(parent) {}
    std::function<void()> onDoubleClick;
    std::function<void()> onMouseEnter;
    std::function<void()> onMouseLeave;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
};

class TForm1 final : public QWidget, public ProgramWindow {
public:
    // Reads the stored settings and allocates the CardImage buffer. Throws
    // ERegistryException when a stored value has the wrong type and
    // std::runtime_error when the buffer cannot be allocated; nothing is
    // shown then. Sets Form1 to the new window first.
    explicit TForm1(FormServices services = FormServices::Defaults());
    ~TForm1() override;

    // Components, in declaration order.
    TEventLabel* Image1;
    QComboBox* ComPort;
    QLabel* Label1;
    QPushButton* Load;
    QPushButton* Program;
    QProgressBar* ProgressBar1;
    TEventLabel* LinkLabel;
    TStatusEdit* StatusField;  // the component "Status"; reached through Status()
    QCheckBox* VerifyCheckBox;

    // Handlers.
    // Stores the settings, releases the CardImage buffer and asks the
    // application to terminate; canClose stays true. A value that cannot be
    // written raises ERegistryException and stops there (buffer kept).
    void FormCloseQuery(QObject* sender, bool& canClose);
    // The open dialog, then the load of at most 0x40000 bytes and its status.
    void LoadClick(QObject* sender);
    // SetReaderMode -> WaitForCard -> ProgramCard -> success message; always
    // closes the port and enables the controls again. A close requested
    // meanwhile stops the run at its next wait and is carried out afterwards.
    void ProgramClick(QObject* sender);
    void LinkLabelDblClick(QObject* sender);
    void Image1DblClick(QObject* sender);
    void LinkLabelMouseEnter(QObject* sender);
    void LinkLabelMouseLeave(QObject* sender);

    // ProgramWindow.
    // The selected entry's index, or -1 when none is selected or the text has
    // been edited away from the selected entry.
    int ComPortIndex() const override;
    bool VerifyChecked() const override;
    TStatusEdit& Status() override { return *StatusField; }
    void SetProgress(int position) override;

    // True while ProgramClick runs.
    bool RunInProgress() const { return running_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void EnableControls(bool enabled);
    void CreateComponents();
    void ReadSettings();
    void ReleaseCardImage();
    // Runs a handler body; an error that escapes it is shown in a message box
    // and the message loop goes on.
    void Guarded(const std::function<void()>& body);

    FormServices services_;
    uint8_t* buffer_ = nullptr;
    bool running_ = false;
    bool closeRequested_ = false;
    bool closed_ = false;
    // A stored position with only one of its two values, applied once shown.
    std::optional<int> pendingX_;
    std::optional<int> pendingY_;
};

// The one main window; null outside the program's message loop.
extern TForm1* Form1;

// The name part of a path: the text after its last separator ("\" or ":" on
// Windows, also "/" there; "/" elsewhere), all of it when it has none.
std::string NamePart(const std::string& path);

// The toolkit's "caption|patterns|caption|patterns" filter as Qt name filters
// ("caption (patterns)"). On systems where "*.*" would skip names without a
// dot it becomes "*".
std::vector<std::string> QtNameFilters(const std::string& filter);

