#pragma once
// The main window on plain Win32: the real controls at their places (the
// 96-DPI layout scaled to the screen's DPI), wired to the window logic
// (TForm1), which it owns. Its dialog, error box, link and termination go
// through Win32WindowServices so that tests need no modal dialog, no real
// settings store and no desktop. Texts are UTF-8 inside, UTF-16 at every
// Win32 call.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/Unit1.h"

struct Win32WindowServices : WindowServices {
    // Pixels per inch the window is laid out for; 0: the screen's.
    int dpi = 0;
    // Holds (true) and releases (false) the system timer at 1 ms, so that
    // the waits of a Program run end on their millisecond rather than on the
    // next 15.6 ms tick.
    std::function<void(bool hold)> fineTimer;
    // Asks the ending session to wait for `window`, showing `reason`; a null
    // reason lifts the request.
    std::function<void(HWND window, const wchar_t* reason)> blockSessionEnd;

    // GetOpenFileNameW, ShellExecuteW, MessageBoxW, PostQuitMessage, the
    // system's registry, new (nothrow), the screen's DPI, timeBeginPeriod and
    // timeEndPeriod, ShutdownBlockReasonCreate and ShutdownBlockReasonDestroy.
    static Win32WindowServices Defaults();
};

// The open dialog: the Explorer-style dialog (OFN_EXPLORER) that returns only
// a file that exists in a folder that exists (OFN_FILEMUSTEXIST,
// OFN_PATHMUSTEXIST: a typed name that names nothing is refused by the dialog
// itself, which says so and stays open), without the read-only check box
// (OFN_HIDEREADONLY), and leaving the program's working folder where it was
// (OFN_NOCHANGEDIR).
constexpr DWORD kOpenDialogFlags =
    OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;

// What the window asks an ending session to wait for during a Program run.
constexpr wchar_t kSessionBlockReason[] = L"Programming a card";

// Control identifiers (WM_COMMAND, GetDlgItem).
enum : int {
    kIdImage1 = 101,
    kIdComPort,
    kIdLabel1,
    kIdLoad,
    kIdProgram,
    kIdProgressBar1,
    kIdLinkLabel,
    kIdStatus,
    kIdVerifyCheckBox,
};

class Win32MainWindow final : public TFormView {
public:
    // Creates the window (hidden) and its controls, then the window logic,
    // which reads the stored settings. Throws std::runtime_error when the
    // window cannot be created or the card image buffer cannot be allocated;
    // Form1 is null then.
    explicit Win32MainWindow(Win32WindowServices services = Win32WindowServices::Defaults());
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    HWND Handle() const { return hwnd_; }
    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
    TForm1& Logic() { return *logic_; }
    // Pixels for a length of the 96-DPI layout.
    int Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }
    // The link's font as last set: bold and underlined.
    bool LinkBold() const { return linkBold_; }
    bool LinkUnderlined() const { return linkUnderline_; }

    void Show(int how);

    // TFormView.
    void SetEnabled(Control control, bool enabled) override;
    int SelectedPort() const override;
    void SelectPort(int index) override;
    bool VerifyChecked() const override;
    StatusControl& Status() override { return status_; }
    void SetProgress(int position) override;
    void SetLinkCaption(const std::string& text) override;
    void SetLinkStyle(bool bold, bool underline) override;
    std::optional<Control> FocusedControl() const override;
    bool FocusControl(Control control) override;
    bool WindowActive() const override;
    int Left() const override;
    int Top() const override;
    void MoveTo(std::optional<int> left, std::optional<int> top) override;
    std::optional<std::string> ChooseFile(const FileDialogRequest& request) override;
    void ShowError(const std::string& message) override;
    void OpenAddress(const std::string& address) override;
    void ProcessMessages() override;
    void CloseWindow() override;
    void Terminate() override;

    // The status field's background, as WM_CTLCOLOREDIT answers it.
    COLORREF StatusBackground() const;

private:
    class StatusEdit final : public StatusControl {
    public:
        explicit StatusEdit(Win32MainWindow& owner) : owner_(owner) {}
        void SetText(const std::string& text) override;
        std::string Text() const override;
        void SetColor(TColor color) override;
        TColor Color() const override { return color_; }

    private:
        Win32MainWindow& owner_;
        TColor color_ = clBtnFace;
    };

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK LinkProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                     DWORD_PTR self);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    HWND AddControl(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w, int h,
                    DWORD exStyle = 0);
    HFONT MakeFont(bool bold, bool underline) const;
    // Widens and heightens a label to its text in its own font, never below
    // its layout size (w x h at 96 DPI), so that it never cuts its text.
    void FitLabel(int id, int w, int h);
    void Dispatch(void (TForm1::*handler)(void*), int id);

    Win32WindowServices services_;
    StatusEdit status_{*this};
    HWND hwnd_ = nullptr;
    int dpi_ = 96;
    HFONT font_ = nullptr;
    HFONT statusFont_ = nullptr;
    HFONT linkFont_ = nullptr;
    HBITMAP logo_ = nullptr;
    HBRUSH statusBrush_ = nullptr;
    bool linkBold_ = false;
    bool linkUnderline_ = false;
    bool linkHover_ = false;
    bool sessionBlocked_ = false;
    std::unique_ptr<TForm1> logic_;
};

// The Win32 window whose logic is Form1; null when there is none.
Win32MainWindow* MainWindow();

// Runs the program: installs message processing for the core's waits,
// creates Form1, shows it and runs the message loop until the application
// terminates. An error while the window is created is shown in a message box
// and the window never appears. Returns 0 in every case.
int RunWin32Application(int show, Win32WindowServices services = Win32WindowServices::Defaults());
