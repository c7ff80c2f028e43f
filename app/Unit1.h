#pragma once
// The main window's logic, free of any toolkit: port choice, Load File,
// Program, "Verify programming", the progress bar and the status field. It
// restores and stores its settings, loads the card image and runs the Program
// sequence on the core. Each toolkit's window (app/qt, app/win32) creates the
// real controls, implements TFormView over them and forwards its events to
// the handlers of TForm1. The window keeps one reader link
// (serial/ReaderLink.h), the one its Program runs go through.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "devices/PortChain.h"
#include "platform/Registry.h"
#include "programming/ProgramData.h"
#include "programming/ProgramWindow.h"
#include "serial/ReaderLink.h"

// Program-wide texts of the window's unit.
extern std::string LastFile;     // full path of the last chosen card image
extern std::string LinkAddress;  // the maker's web page, shown by LinkLabel
// The card image the window loads and programs: its buffer belongs to the one
// main window (null outside its life).
extern TCardImage CardImage;

// The window's caption.
extern const char kCaption[];
// The settings key under HKEY_LOCAL_MACHINE.
extern const char kSettingsKey[];
// The open dialog's title and filter ("caption|patterns|caption|patterns").
extern const char kDialogTitle[];
extern const char kLoadFilter[];
// Entries of the port list: Com1 ... Com16.
constexpr int kPortEntries = 16;

// What the Load dialog is asked to show.
struct FileDialogRequest {
    std::string title;
    std::string filter;            // caption|patterns pairs; the first is in force
    std::string initialDirectory;  // LastFile as it stands (may name a file)
    std::string initialFileName;   // the name part of LastFile
};

// A window face's ways out to the system, replaceable so that tests need no
// modal dialog, no real settings store and no desktop. Each face derives its
// services from this and gives them their production defaults.
struct WindowServices {
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
    // What the window's reader link is made of (FormServices::link).
    LinkSetup link;
};

// The window's controls that the logic switches on and off or gives the
// keyboard focus: EnableControls switches the first four; the status field
// only ever holds the focus.
enum class Control { VerifyCheckBox, ComPort, Load, Program, Status };

// What the window logic needs from a toolkit's window: its controls, its
// position and the system's dialogs. Texts are UTF-8.
class TFormView {
public:
    virtual ~TFormView() = default;

    virtual void SetEnabled(Control control, bool enabled) = 0;
    // Index of the selected port entry, -1 when none is selected (or the
    // text shown no longer names the selected entry).
    virtual int SelectedPort() const = 0;
    // Selects entry `index` (0 for Com1 ... 15 for Com16).
    virtual void SelectPort(int index) = 0;
    virtual bool VerifyChecked() const = 0;
    virtual StatusControl& Status() = 0;
    // Position of the progress bar, 0 to 100.
    virtual void SetProgress(int position) = 0;
    virtual void SetLinkCaption(const std::string& text) = 0;
    virtual void SetLinkStyle(bool bold, bool underline) = 0;

    // The control that has the keyboard focus, nothing when none of the
    // window's controls has it (the window is inactive, or the focused
    // control was disabled).
    virtual std::optional<Control> FocusedControl() const = 0;
    // Gives `control` the keyboard focus. False, and nothing changes, when it
    // is disabled and cannot take it.
    virtual bool FocusControl(Control control) = 0;
    // True while the window is the active window, the one that receives the
    // keyboard.
    virtual bool WindowActive() const = 0;

    // The window's left and top edge in screen pixels.
    virtual int Left() const = 0;
    virtual int Top() const = 0;
    // Moves the window; an axis without a value stays where the window
    // system puts it.
    virtual void MoveTo(std::optional<int> left, std::optional<int> top) = 0;

    // Shows the modal open dialog; the chosen path, or nothing when cancelled.
    virtual std::optional<std::string> ChooseFile(const FileDialogRequest& request) = 0;
    // Shows an error in a message box and returns when it is dismissed.
    virtual void ShowError(const std::string& message) = 0;
    // Opens an address with the desktop's default action.
    virtual void OpenAddress(const std::string& address) = 0;
    // Processes the window messages that are waiting, then returns.
    virtual void ProcessMessages() = 0;
    // Closes the window as the user's close box does (asks OnCloseRequest).
    virtual void CloseWindow() = 0;
    // Asks the application to terminate.
    virtual void Terminate() = 0;
};

// The window's ways out to the system that are not part of a window.
struct FormServices {
    // A new settings accessor (root HKEY_LOCAL_MACHINE).
    std::function<std::unique_ptr<TRegistry>()> openRegistry;
    // Allocates the card image buffer with new[]; null when out of memory.
    std::function<uint8_t*(std::size_t)> allocateImage;
    // What the window's reader link is made of: its clock and the opener of
    // its ports with their kept device and watch (without an opener the
    // window builds the program's own chain: devices/PortChain.h
    // SystemChain), and the pump's hooks (no processMessages: the view's
    // ProcessMessages; no waitForMessages: a sleep to the next millisecond).
    LinkSetup link;

    // The system's settings store and new (nothrow); no link parts, so that
    // the window builds the program's own chain.
    static FormServices Defaults();
};

class TForm1 final : public ProgramWindow {
public:
    // Reads the stored settings into `view` and allocates the CardImage
    // buffer. A stored value of the wrong type is reported through the view's
    // error box and its default is kept (the value is rewritten at close).
    // Throws std::runtime_error when the buffer cannot be allocated; Form1 is
    // then null again. Sets Form1 to the new window first.
    explicit TForm1(TFormView& view, FormServices services = FormServices::Defaults());
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    TFormView& View() { return view_; }
    // The window's reader link.
    ReaderLink& Link() { return link_; }

    // Handlers; the sender is ignored.
    // Stores the settings, releases the CardImage buffer and asks the
    // application to terminate; canClose stays true. A value that cannot be
    // written raises ERegistryException and stops there (buffer kept).
    void FormCloseQuery(void* sender, bool& canClose);
    // The open dialog, then the load of at most 0x40000 bytes and its status.
    // A close requested meanwhile is carried out afterwards.
    void LoadClick(void* sender);
    // SetReaderMode -> WaitForCard -> ProgramCard -> success message; always
    // closes the port and enables the controls again, even when an error
    // escapes. A close requested meanwhile stops the run at its next wait and
    // is carried out afterwards.
    void ProgramClick(void* sender);
    void LinkLabelDblClick(void* sender);
    void Image1DblClick(void* sender);
    void LinkLabelMouseEnter(void* sender);
    void LinkLabelMouseLeave(void* sender);

    // The user asks to close the window. True when it may close now: the
    // settings are stored (FormCloseQuery). During a Program run the close
    // (or a Load) is deferred until it has ended; when a value cannot be stored
    // the error is shown and the window stays open.
    bool OnCloseRequest();
    // Runs a handler body; an error that escapes it is shown in the error box
    // and the message loop goes on.
    void Guarded(const std::function<void()>& body);

    // Keyboard focus. Load and Program remember the focused control before
    // they disable the inputs and give it back when they end (to Load when
    // it stays disabled or nothing had the focus); while the window is
    // inactive then, it gets it back on activation. Deactivation outside a
    // run remembers the focused control for the next activation.
    void WindowDeactivated();
    // True when a control was given the focus; false during a Load or a
    // Program run, which keep the inputs disabled.
    bool WindowActivated();

    // The session is about to end (logoff, shutdown). Outside a Program run
    // the settings are stored as the close stores them and the answer is
    // true: the session may end, and the window goes on until it does.
    // During a run the answer is false: the run is asked to stop at its next
    // wait and the window then closes as for a close, storing the settings;
    // the face asks the session to wait for it meanwhile. A value that
    // cannot be stored is shown in the error box; the answer stays true.
    bool OnQueryEndSession();
    // The session ends (`ending`) or goes on. When it ends the card image is
    // released, the application asked to terminate and the window takes no
    // further close (the settings were stored by the query). If a Load or
    // Program run is still in hand, the settings are stored now and the
    // image stays, as the run still reads it until the process ends. Returns
    // true when the window is done and the face may destroy it.
    bool OnEndSession(bool ending);

    // ProgramWindow.
    int ComPortIndex() const override { return view_.SelectedPort(); }
    bool VerifyChecked() const override { return view_.VerifyChecked(); }
    StatusControl& Status() override { return view_.Status(); }
    void SetProgress(int position) override { view_.SetProgress(position); }

    // True while ProgramClick runs.
    bool RunInProgress() const { return running_; }

private:
    void EnableControls(bool enabled);
    // The end of LoadClick and ProgramClick, whatever escaped them: the
    // controls enabled again and a close asked for meanwhile carried out.
    void EndHandler() noexcept;
    void ReadSettings();
    // Writes the five values in their order; a value that cannot be written
    // raises ERegistryException and stops there. Nothing is written when the
    // key cannot be opened.
    void StoreSettings();
    void ReleaseCardImage();
    // A close asked for during a Program run: the run stops at its next wait
    // and the window closes once it has.
    void StopRunThenClose();
    void RememberFocus();
    bool GiveFocusBack();

    TFormView& view_;
    FormServices services_;
    // The program's own chain, when none was given.
    std::unique_ptr<SystemChain> ownChain_;
    ReaderLink link_;
    uint8_t* buffer_ = nullptr;
    bool running_ = false;
    bool loading_ = false;
    bool closeRequested_ = false;
    bool closed_ = false;
    // The control to give the focus back to; nothing: Load.
    std::optional<Control> focus_;
};

// The one main window; null outside the program's message loop.
extern TForm1* Form1;

// The program entry's frame, the same for every face: runs `createAndRun`
// (create the window, show it, run the message loop until the application
// terminates). An error that escapes it, a wrong setting or no memory for the
// card image among them, is shown with `showError` and the window never
// appears. Afterwards Form1 is null. Returns 0 in every case.
int RunWindowProgram(const std::function<void(const std::string&)>& showError,
                     const std::function<void()>& createAndRun);

// The name part of a path: the text after its last separator ("\" or ":" on
// Windows, also "/" there; "/" elsewhere), all of it when it has none.
std::string NamePart(const std::string& path);
