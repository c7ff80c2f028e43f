#include "app/win32/Win32MainWindow.h"

#include <commctrl.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/Shell.h"
#include "platform/win32/Utf16.h"

namespace {

const wchar_t kWindowClass[] = L"TForm1";
const wchar_t kApplicationTitle[] = L"USB_TorvikLoader";
constexpr COLORREF kNavy = RGB(0, 0, 128);
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

std::string WindowText(HWND hwnd)
{
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), length + 1)));
    return Utf8(text);
}

// "caption|patterns|..." as the dialog wants it: NUL-separated, ending in
// two NULs.
std::wstring DialogFilter(const std::string& filter)
{
    std::wstring out = Utf16(filter);
    for (wchar_t& c : out)
        if (c == L'|') c = L'\0';
    out.push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

std::optional<std::string> ShowOpenDialog(const FileDialogRequest& request)
{
    const std::wstring filter = DialogFilter(request.filter);
    const std::wstring title = Utf16(request.title);
    const std::wstring folder = Utf16(request.initialDirectory);
    std::vector<wchar_t> file(32768, L'\0');
    const std::wstring name = Utf16(request.initialFileName);
    if (name.size() < file.size()) std::copy(name.begin(), name.end(), file.begin());
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    // Owned by the main window, so that the window cannot be closed while
    // the dialog is open.
    dialog.hwndOwner = MainWindow() != nullptr ? MainWindow()->Handle() : nullptr;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = kOpenDialogFlags;
    if (!GetOpenFileNameW(&dialog)) return std::nullopt;
    return Utf8(file.data());
}

void ShowErrorBox(const std::string& message)
{
    HWND owner = MainWindow() != nullptr && IsWindowVisible(MainWindow()->Handle()) ? MainWindow()->Handle() : nullptr;
    MessageBoxW(owner, Utf16(message).c_str(), kApplicationTitle, MB_OK | MB_ICONERROR);
}

// Pixels per inch of the screen the window opens on.
int ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

int IdOf(Control control)
{
    switch (control) {
        case Control::VerifyCheckBox: return kIdVerifyCheckBox;
        case Control::ComPort: return kIdComPort;
        case Control::Load: return kIdLoad;
        case Control::Program: return kIdProgram;
        case Control::Status: return kIdStatus;
    }
    return kIdLoad;
}

// The system timer at 1 ms for as long as it lives.
class FineTimer {
public:
    explicit FineTimer(const std::function<void(bool)>& hold) : hold_(hold) { hold_(true); }
    ~FineTimer() { hold_(false); }
    FineTimer(const FineTimer&) = delete;
    FineTimer& operator=(const FineTimer&) = delete;

private:
    const std::function<void(bool)>& hold_;
};

}  // namespace

Win32WindowServices Win32WindowServices::Defaults()
{
    Win32WindowServices s;
    const FormServices core = FormServices::Defaults();
    s.openRegistry = core.openRegistry;
    s.chooseFile = ShowOpenDialog;
    s.openAddress = ShellOpen;
    s.showError = ShowErrorBox;
    s.terminate = [] { PostQuitMessage(0); };
    s.allocateImage = core.allocateImage;
    s.fineTimer = [](bool hold) {
        if (hold) timeBeginPeriod(1);
        else timeEndPeriod(1);
    };
    s.blockSessionEnd = [](HWND window, const wchar_t* reason) {
        if (reason != nullptr) ShutdownBlockReasonCreate(window, reason);
        else ShutdownBlockReasonDestroy(window);
    };
    return s;
}

Win32MainWindow* MainWindow() { return Form1 ? dynamic_cast<Win32MainWindow*>(&Form1->View()) : nullptr; }

// --- The status field ---------------------------------------------------------

void Win32MainWindow::StatusEdit::SetText(const std::string& text)
{
    SetWindowTextW(owner_.Item(kIdStatus), Utf16(text).c_str());
}

std::string Win32MainWindow::StatusEdit::Text() const { return WindowText(owner_.Item(kIdStatus)); }

void Win32MainWindow::StatusEdit::SetColor(TColor color)
{
    color_ = color;
    if (owner_.statusBrush_ != nullptr) DeleteObject(owner_.statusBrush_);
    owner_.statusBrush_ = CreateSolidBrush(owner_.StatusBackground());
    InvalidateRect(owner_.Item(kIdStatus), nullptr, TRUE);
}

COLORREF Win32MainWindow::StatusBackground() const
{
    // Colours are BGR like COLORREF; button face is the system's colour.
    const TColor color = status_.Color();
    if (color == clBtnFace) return GetSysColor(COLOR_BTNFACE);
    if (color & 0x80000000u) return GetSysColor(static_cast<int>(color & 0xFF));
    return static_cast<COLORREF>(color & 0x00FFFFFF);
}

// --- The window ---------------------------------------------------------------

Win32MainWindow::Win32MainWindow(Win32WindowServices services) : services_(std::move(services))
{
    const Win32WindowServices defaults = Win32WindowServices::Defaults();
    if (!services_.chooseFile) services_.chooseFile = defaults.chooseFile;
    if (!services_.openAddress) services_.openAddress = defaults.openAddress;
    if (!services_.showError) services_.showError = defaults.showError;
    if (!services_.terminate) services_.terminate = defaults.terminate;
    if (!services_.fineTimer) services_.fineTimer = defaults.fineTimer;
    if (!services_.blockSessionEnd) services_.blockSessionEnd = defaults.blockSessionEnd;

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    if (!GetClassInfoExW(instance, kWindowClass, &cls)) {
        cls.cbSize = sizeof cls;
        cls.style = CS_DBLCLKS;
        cls.lpfnWndProc = WindowProc;
        cls.hInstance = instance;
        cls.hIcon = static_cast<HICON>(LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                                  GetSystemMetrics(SM_CYICON), 0));
        cls.hIconSm = static_cast<HICON>(LoadImageW(instance, L"IDI_ICON1", IMAGE_ICON,
                                                    GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        cls.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        cls.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
        cls.lpszClassName = kWindowClass;
        if (!RegisterClassExW(&cls)) throw std::runtime_error("The window class cannot be registered.");
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    dpi_ = services_.dpi > 0 ? services_.dpi : ScreenDpi();
    // The taskbar button shows the window's own caption: a hidden owner
    // window captioned with the program's name would take the button, but
    // it would also take the button's thumbnail (an empty one) and an entry
    // of its own in Alt+Tab.
    RECT frame{0, 0, Scale(378), Scale(155)};
    AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
    hwnd_ = CreateWindowExW(0, kWindowClass, Utf16(kCaption).c_str(), kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                            frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) throw std::runtime_error("The main window cannot be created.");
    CreateControls();

    FormServices core;
    core.openRegistry = services_.openRegistry;
    core.allocateImage = services_.allocateImage;
    core.link = services_.link;
    try {
        logic_ = std::make_unique<TForm1>(*this, std::move(core));
    } catch (...) {
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
        throw;
    }
}

Win32MainWindow::~Win32MainWindow()
{
    logic_.reset();
    if (hwnd_ != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(font_), static_cast<HGDIOBJ>(statusFont_),
                           static_cast<HGDIOBJ>(linkFont_), static_cast<HGDIOBJ>(logo_),
                           static_cast<HGDIOBJ>(statusBrush_)})
        if (object != nullptr) DeleteObject(object);
}

HFONT Win32MainWindow::MakeFont(bool bold, bool underline) const
{
    // "MS Sans Serif" 8 point: 11 pixels at 96 pixels per inch.
    return CreateFontW(-Scale(11), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, underline, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                       L"MS Sans Serif");
}

HWND Win32MainWindow::AddControl(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w,
                                 int h, DWORD exStyle)
{
    HWND control = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, Scale(x), Scale(y), Scale(w),
                                   Scale(h), hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    if (control == nullptr) throw std::runtime_error("A control of the main window cannot be created.");
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return control;
}

void Win32MainWindow::CreateControls()
{
    font_ = MakeFont(false, false);
    statusFont_ = MakeFont(true, false);
    linkFont_ = MakeFont(false, false);
    SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

    // Created in tab order: Load, Program, ProgressBar1 (no tab stop),
    // Status, ComPort, VerifyCheckBox; then the controls without a tab stop.
    // The push buttons report their focus (BS_NOTIFY): the focused one is
    // drawn as the one Enter presses.
    AddControl(L"BUTTON", L"Load File", BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP | WS_GROUP, kIdLoad, 8, 32, 145, 25);
    HWND program =
        AddControl(L"BUTTON", L"Program", BS_PUSHBUTTON | BS_NOTIFY | WS_TABSTOP, kIdProgram, 8, 64, 145, 25);
    EnableWindow(program, FALSE);
    HWND progress = AddControl(PROGRESS_CLASSW, L"", PBS_SMOOTH, kIdProgressBar1, 8, 112, 361, 12);
    SendMessageW(progress, PBM_SETRANGE32, 0, 100);
    SendMessageW(progress, PBM_SETPOS, 0, 0);
    HWND status = AddControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, kIdStatus, 8, 128, 361, 21, WS_EX_CLIENTEDGE);
    SendMessageW(status, WM_SETFONT, reinterpret_cast<WPARAM>(statusFont_), FALSE);
    status_.SetColor(clBtnFace);
    // The drop-down list reaches below the field; the field's own height
    // follows the font (about 21 pixels).
    HWND combo = AddControl(L"COMBOBOX", L"", CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, kIdComPort, 88, 8, 65, 21 + 200);
    for (int i = 1; i <= kPortEntries; ++i)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Utf16("Com" + std::to_string(i)).c_str()));
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    SetWindowTextW(combo, L"Com1");
    HWND verify = AddControl(L"BUTTON", L"Verify programming", BS_AUTOCHECKBOX | WS_TABSTOP, kIdVerifyCheckBox, 8, 94,
                             145, 17);
    SendMessageW(verify, BM_SETCHECK, BST_CHECKED, 0);

    HWND image = AddControl(L"STATIC", L"", SS_BITMAP | SS_CENTERIMAGE | SS_NOTIFY, kIdImage1, 165, 8, 204, 89);
    logo_ = static_cast<HBITMAP>(
        LoadImageW(GetModuleHandleW(nullptr), L"IDB_LOGO", IMAGE_BITMAP, Scale(204), Scale(89), LR_DEFAULTCOLOR));
    SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(logo_));
    // SS_BITMAP sizes the control to the picture: back to its place.
    SetWindowPos(image, nullptr, Scale(165), Scale(8), Scale(204), Scale(89), SWP_NOZORDER | SWP_NOACTIVATE);
    // Labels keep their text on one line: a text wider than its box must
    // never wrap its end onto a hidden second line. Label1 grows to its text
    // instead; the link is centred on a single line (SS_CENTERIMAGE), its
    // width fixed.
    AddControl(L"STATIC", L"Com port:", SS_LEFTNOWORDWRAP | SS_NOPREFIX, kIdLabel1, 8, 12, 45, 13);
    FitLabel(kIdLabel1, 45, 13);
    HWND link = AddControl(L"STATIC", L"", SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX | SS_NOTIFY, kIdLinkLabel, 165,
                           96, 204, 13);
    SendMessageW(link, WM_SETFONT, reinterpret_cast<WPARAM>(linkFont_), FALSE);
    SetWindowSubclass(link, LinkProc, 1, reinterpret_cast<DWORD_PTR>(this));
    SetFocus(GetDlgItem(hwnd_, kIdLoad));
}

void Win32MainWindow::FitLabel(int id, int w, int h)
{
    HWND label = Item(id);
    const std::wstring text = Utf16(WindowText(label));
    HDC dc = GetDC(label);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, std::max<int>(Scale(w), size.cx), std::max<int>(Scale(h), metrics.tmHeight),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32MainWindow::Show(int how)
{
    ShowWindow(hwnd_, how);
    UpdateWindow(hwnd_);
    SetFocus(Item(kIdLoad));
}

void Win32MainWindow::Dispatch(void (TForm1::*handler)(void*), int id)
{
    if (!logic_) return;
    HWND sender = Item(id);
    logic_->Guarded([&] { (logic_.get()->*handler)(sender); });
}

LRESULT CALLBACK Win32MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<Win32MainWindow*>(create->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->Handle(message, wParam, lParam);
}

LRESULT Win32MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            const int code = HIWORD(wParam);
            if ((id == kIdLoad || id == kIdProgram) && (code == BN_SETFOCUS || code == BN_KILLFOCUS)) {
                const DWORD look = code == BN_SETFOCUS ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
                SendMessageW(Item(id), BM_SETSTYLE, look | BS_NOTIFY, TRUE);
            } else if (id == kIdLoad && code == BN_CLICKED) {
                Dispatch(&TForm1::LoadClick, id);
            } else if (id == kIdProgram && code == BN_CLICKED) {
                // The run's waits end on their millisecond only with the
                // system timer at 1 ms; it is released when the run ends.
                FineTimer fine(services_.fineTimer);
                Dispatch(&TForm1::ProgramClick, id);
            } else if (id == kIdLinkLabel && code == STN_DBLCLK) {
                Dispatch(&TForm1::LinkLabelDblClick, id);
            } else if (id == kIdImage1 && code == STN_DBLCLK) {
                Dispatch(&TForm1::Image1DblClick, id);
            }
            return 0;
        }
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORSTATIC: {
            const HDC dc = reinterpret_cast<HDC>(wParam);
            const HWND control = reinterpret_cast<HWND>(lParam);
            if (control == Item(kIdStatus)) {
                SetBkColor(dc, StatusBackground());
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                return reinterpret_cast<LRESULT>(statusBrush_);
            }
            if (control == Item(kIdLinkLabel)) {
                SetTextColor(dc, kNavy);
                SetBkMode(dc, TRANSPARENT);
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
            }
            break;
        }
        case DM_GETDEFID: {
            // Enter presses the focused push button (the dialog navigation
            // asks the window which button that is); elsewhere it does
            // nothing.
            HWND focus = GetFocus();
            for (int id : {kIdLoad, kIdProgram})
                if (focus != nullptr && focus == Item(id) && IsWindowEnabled(focus))
                    return MAKELRESULT(id, DC_HASDEFID);
            return 0;
        }
        case WM_ACTIVATE:
            if (!logic_) break;
            if (LOWORD(wParam) == WA_INACTIVE) {
                logic_->WindowDeactivated();
                break;
            }
            // The control that had the focus gets it back, not the window
            // itself; during a run the window keeps it.
            if (HIWORD(wParam) == 0 && logic_->WindowActivated()) return 0;
            break;
        case WM_SYSCOLORCHANGE:
            // The status background may be the button face: a new brush of
            // the new colour. The progress bar, a common control, hears of
            // the change from its parent.
            status_.SetColor(status_.Color());
            SendMessageW(Item(kIdProgressBar1), WM_SYSCOLORCHANGE, wParam, lParam);
            break;
        case WM_QUERYENDSESSION:
            if (!logic_ || logic_->OnQueryEndSession()) return TRUE;
            // A run is stopping; the window closes when it has. Meanwhile the
            // session is asked to wait, and tells the user why.
            if (!sessionBlocked_) services_.blockSessionEnd(hwnd_, kSessionBlockReason);
            sessionBlocked_ = true;
            return FALSE;
        case WM_ENDSESSION:
            if (logic_ && logic_->OnEndSession(wParam != FALSE) && hwnd_ != nullptr) DestroyWindow(hwnd_);
            return 0;
        case WM_CLOSE:
            if (!logic_ || logic_->OnCloseRequest()) DestroyWindow(hwnd_);
            return 0;
        case WM_DESTROY:
            if (sessionBlocked_) services_.blockSessionEnd(hwnd_, nullptr);
            sessionBlocked_ = false;
            hwnd_ = nullptr;
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK Win32MainWindow::LinkProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                           DWORD_PTR data)
{
    auto* self = reinterpret_cast<Win32MainWindow*>(data);
    switch (message) {
        case WM_MOUSEMOVE:
            if (!self->linkHover_) {
                self->linkHover_ = true;
                TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd, 0};
                TrackMouseEvent(&track);
                if (self->logic_) self->logic_->Guarded([self, hwnd] { self->logic_->LinkLabelMouseEnter(hwnd); });
            }
            break;
        case WM_MOUSELEAVE:
            self->linkHover_ = false;
            if (self->logic_) self->logic_->Guarded([self, hwnd] { self->logic_->LinkLabelMouseLeave(hwnd); });
            break;
        case WM_SETCURSOR:
            SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
            return TRUE;
        case WM_NCDESTROY:
            RemoveWindowSubclass(hwnd, LinkProc, 1);
            break;
        default:
            break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

// --- TFormView --------------------------------------------------------------

void Win32MainWindow::SetEnabled(Control control, bool enabled)
{
    EnableWindow(Item(IdOf(control)), enabled ? TRUE : FALSE);
}

std::optional<Control> Win32MainWindow::FocusedControl() const
{
    HWND focus = GetFocus();
    if (focus == nullptr || hwnd_ == nullptr) return std::nullopt;
    for (Control control :
         {Control::VerifyCheckBox, Control::ComPort, Control::Load, Control::Program, Control::Status}) {
        HWND item = Item(IdOf(control));
        // The port list's focus is in the edit field inside it.
        if (focus == item || IsChild(item, focus)) return control;
    }
    return std::nullopt;
}

bool Win32MainWindow::FocusControl(Control control)
{
    HWND item = Item(IdOf(control));
    if (item == nullptr || !IsWindowEnabled(item)) return false;
    SetFocus(item);
    return true;
}

bool Win32MainWindow::WindowActive() const { return hwnd_ != nullptr && GetActiveWindow() == hwnd_; }

int Win32MainWindow::SelectedPort() const
{
    HWND combo = Item(kIdComPort);
    const LRESULT index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return -1;
    // Text typed over the selected entry names no entry.
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    std::wstring item(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(item.data()));
    item.resize(static_cast<size_t>(length > 0 ? length : 0));
    return WindowText(combo) == Utf8(item) ? static_cast<int>(index) : -1;
}

void Win32MainWindow::SelectPort(int index) { SendMessageW(Item(kIdComPort), CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

bool Win32MainWindow::VerifyChecked() const
{
    return SendMessageW(Item(kIdVerifyCheckBox), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void Win32MainWindow::SetProgress(int position) { SendMessageW(Item(kIdProgressBar1), PBM_SETPOS, static_cast<WPARAM>(position), 0); }

void Win32MainWindow::SetLinkCaption(const std::string& text) { SetWindowTextW(Item(kIdLinkLabel), Utf16(text).c_str()); }

void Win32MainWindow::SetLinkStyle(bool bold, bool underline)
{
    linkBold_ = bold;
    linkUnderline_ = underline;
    HFONT font = MakeFont(bold, underline);
    SendMessageW(Item(kIdLinkLabel), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (linkFont_ != nullptr) DeleteObject(linkFont_);
    linkFont_ = font;
}

int Win32MainWindow::Left() const
{
    RECT r{};
    GetWindowRect(hwnd_, &r);
    return r.left;
}

int Win32MainWindow::Top() const
{
    RECT r{};
    GetWindowRect(hwnd_, &r);
    return r.top;
}

void Win32MainWindow::MoveTo(std::optional<int> left, std::optional<int> top)
{
    // Applied as stored; an axis without a value keeps the place the window
    // system chose.
    SetWindowPos(hwnd_, nullptr, left.value_or(Left()), top.value_or(Top()), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::optional<std::string> Win32MainWindow::ChooseFile(const FileDialogRequest& request)
{
    return services_.chooseFile(request);
}

void Win32MainWindow::ShowError(const std::string& message) { services_.showError(message); }

void Win32MainWindow::OpenAddress(const std::string& address) { services_.openAddress(address); }

void Win32MainWindow::ProcessMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the message loop, which ends on it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        // Tab, arrow keys, Enter and Space move and press as in a dialog.
        if (hwnd_ != nullptr && IsDialogMessageW(hwnd_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void Win32MainWindow::CloseWindow()
{
    if (hwnd_ != nullptr) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

void Win32MainWindow::Terminate() { services_.terminate(); }

// --- The program ----------------------------------------------------------------

int RunWin32Application(int show, Win32WindowServices services)
{
    const auto showError = services.showError ? services.showError : Win32WindowServices::Defaults().showError;
    // Between the turns of a wait the window sleeps until its next message or
    // the wait's end, whichever comes first.
    if (!services.link.waitForMessages)
        services.link.waitForMessages = [](int64_t leftMicros) {
            if (leftMicros <= 0) return;
            const DWORD ms = static_cast<DWORD>(std::min<int64_t>((leftMicros + 999) / 1000, 60'000));
            MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        };
    return RunWindowProgram(
        showError,
        [&] {
            Win32MainWindow form(std::move(services));
            form.Show(show);
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (form.Handle() != nullptr && IsDialogMessageW(form.Handle(), &msg)) continue;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        });
}
