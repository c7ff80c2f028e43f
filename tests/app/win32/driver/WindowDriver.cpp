// Drives a running USB_TorvikLoader.exe from outside, as a user would, for
// the end-to-end run under Wine (tools/test-windows.sh). Keys and clicks go
// through SendInput to the window in the foreground, as the keyboard and the
// mouse send them: a control that is disabled or a focus that went astray
// makes the step fail. One step per call:
//
//   window_driver hold S               keeps a hidden window open for S s, so
//                                      that Wine's desktop process stays up
//                                      between test programs
//   window_driver windows              lists the top-level windows
//   window_driver wait MS              the window appears within MS ms;
//                                      prints "shown after N ms"
//   window_driver state                prints caption, port, status, position,
//                                      the check box and the focused control
//   window_driver load PATH            Enter on the focused Load File, then
//                                      the open dialog: PATH and Open
//   window_driver port PORT            clicks into the port list and selects
//                                      Com<PORT> with Up and Down
//   window_driver program PORT MS      as port, then clicks Program and waits
//                                      up to MS ms for the run to end; prints
//                                      the final status text
//   window_driver keys KEY...          presses tab, space, enter, up or down
//   window_driver endsession           the session ends (logoff): asks, then
//                                      ends it; prints the window's answer
//   window_driver pixel                prints the status field's background
//                                      colour as seen on the screen (RRGGBB)
//   window_driver move X Y             moves the window to X, Y on the screen
//   window_driver close MS             closes the window; it is gone in MS ms
//
// Exits 0 when the step did what it says, 1 otherwise.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../KeyPress.h"

namespace {

const wchar_t kClass[] = L"TForm1";
const wchar_t kCaption[] = L"Torvik Card Loader for Norvale USB SM/Phoenix V1.1";
// Control identifiers of the window (app/win32/Win32MainWindow.h).
constexpr int kIdComPort = 102;
constexpr int kIdLoad = 104;
constexpr int kIdProgram = 105;
constexpr int kIdStatus = 108;
constexpr int kIdVerifyCheckBox = 109;

HWND FindMain() { return FindWindowW(kClass, kCaption); }

// The control of `main` that has the keyboard focus, by name.
const char* FocusName(HWND main)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info) || info.hwndFocus == nullptr) return "none";
    const struct {
        int id;
        const char* name;
    } controls[] = {{kIdComPort, "ComPort"}, {kIdLoad, "Load"}, {kIdProgram, "Program"},
                    {kIdStatus, "Status"},   {kIdVerifyCheckBox, "VerifyCheckBox"}};
    for (const auto& c : controls) {
        HWND control = GetDlgItem(main, c.id);
        // The port list's focus is in the edit field inside it.
        if (info.hwndFocus == control || IsChild(control, info.hwndFocus)) return c.name;
    }
    return info.hwndFocus == main ? "window" : "other";
}

std::wstring TextOf(HWND hwnd)
{
    wchar_t buffer[1024] = {};
    DWORD_PTR got = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL, 5000, &got);
    return buffer;
}

std::string Narrow(const std::wstring& text)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const char* text)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    return out;
}

template <typename F>
bool WaitFor(DWORD ms, F&& done)
{
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() > end) return false;
        Sleep(50);
    }
}

// Brings the window to the foreground, where keys and clicks reach it.
bool Foreground(HWND main)
{
    SetForegroundWindow(main);
    return WaitFor(3000, [main] { return GetForegroundWindow() == main; });
}

// Presses and releases a key; lets the window take it in.
void PressKey(WORD key)
{
    SendKeyPress(key);
    Sleep(80);
}

// A left click in the middle of `rect` (screen coordinates).
void ClickAt(const RECT& rect)
{
    const int cx = GetSystemMetrics(SM_CXSCREEN) - 1;
    const int cy = GetSystemMetrics(SM_CYSCREEN) - 1;
    INPUT input[3] = {};
    for (INPUT& i : input) {
        i.type = INPUT_MOUSE;
        i.mi.dx = MulDiv((rect.left + rect.right) / 2, 65535, cx);
        i.mi.dy = MulDiv((rect.top + rect.bottom) / 2, 65535, cy);
        i.mi.dwFlags = MOUSEEVENTF_ABSOLUTE;
    }
    input[0].mi.dwFlags |= MOUSEEVENTF_MOVE;
    input[1].mi.dwFlags |= MOUSEEVENTF_LEFTDOWN;
    input[2].mi.dwFlags |= MOUSEEVENTF_LEFTUP;
    SendInput(3, input, sizeof(INPUT));
    Sleep(150);
}

void ClickControl(HWND main, int id)
{
    RECT r{};
    GetWindowRect(GetDlgItem(main, id), &r);
    ClickAt(r);
}

LRESULT Ask(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_NORMAL, 5000, &answer);
    return static_cast<LRESULT>(answer);
}

// Selects Com<port> as a user does: a click into the port list's field,
// Up until the first entry, then Down to the port.
bool ChoosePort(HWND main, int port)
{
    HWND combo = GetDlgItem(main, kIdComPort);
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    GetComboBoxInfo(combo, &info);
    RECT field = info.rcItem;
    MapWindowPoints(combo, nullptr, reinterpret_cast<POINT*>(&field), 2);
    ClickAt(field);
    for (int i = 0; i < 16; ++i) PressKey(VK_UP);
    for (int i = 1; i < port; ++i) PressKey(VK_DOWN);
    const std::wstring wanted = L"Com" + std::to_wstring(port);
    if (!WaitFor(2000, [&] { return Ask(combo, CB_GETCURSEL) == port - 1 && TextOf(combo) == wanted; })) {
        std::printf("the port list shows %s (entry %d), not Com%d\n", Narrow(TextOf(combo)).c_str(),
                    static_cast<int>(Ask(combo, CB_GETCURSEL)), port);
        return false;
    }
    return true;
}

// The open dialog: its file name field is the edit inside the combo box
// cmb13 (0x47C) on current systems, the edit edt1 (0x480) on older ones.
bool AnswerOpenDialog(const std::wstring& path)
{
    HWND dialog = nullptr;
    if (!WaitFor(20000, [&] { return (dialog = FindWindowW(L"#32770", L"Load Torvik Loader File")) != nullptr; })) {
        std::puts("no open dialog");
        return false;
    }
    HWND field = GetDlgItem(dialog, 0x47C);
    if (field == nullptr) field = GetDlgItem(dialog, 0x480);
    if (field == nullptr) {
        std::puts("no file name field in the dialog");
        return false;
    }
    SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return WaitFor(20000, [&] { return !IsWindow(dialog); });
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 2;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string step = argv[1];
    if (step == "hold" && argc > 2) {
        CreateWindowW(L"STATIC", L"torvik-hold", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(std::atoi(argv[2])) * 1000;
        while (GetTickCount64() < end) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 500, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        return 0;
    }
    if (step == "windows") {
        EnumWindows(
            [](HWND hwnd, LPARAM) -> BOOL {
                wchar_t cls[256] = {};
                GetClassNameW(hwnd, cls, 256);
                std::printf("%p %s \"%s\" visible=%d\n", static_cast<void*>(hwnd), Narrow(cls).c_str(),
                            Narrow(TextOf(hwnd)).c_str(), IsWindowVisible(hwnd) ? 1 : 0);
                return TRUE;
            },
            0);
        return 0;
    }
    if (step == "wait") {
        const ULONGLONG start = GetTickCount64();
        const DWORD ms = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 3000;
        if (!WaitFor(ms, [] { return FindMain() != nullptr && IsWindowVisible(FindMain()); })) {
            std::puts("window not shown");
            return 1;
        }
        std::printf("shown after %llu ms\n", static_cast<unsigned long long>(GetTickCount64() - start));
        return 0;
    }
    HWND main = FindMain();
    if (main == nullptr) {
        std::puts("no window");
        return 1;
    }
    if (step == "state") {
        RECT r{};
        GetWindowRect(main, &r);
        HWND combo = GetDlgItem(main, kIdComPort);
        RECT client{};
        GetClientRect(main, &client);
        std::printf("caption=%s\nport=%d\nportText=%s\nstatus=%s\nleft=%ld\ntop=%ld\nprogram=%d\nclient=%ldx%ld\n"
                    "verify=%d\nfocus=%s\n",
                    Narrow(TextOf(main)).c_str(), static_cast<int>(Ask(combo, CB_GETCURSEL)),
                    Narrow(TextOf(combo)).c_str(), Narrow(TextOf(GetDlgItem(main, kIdStatus))).c_str(), r.left,
                    r.top, IsWindowEnabled(GetDlgItem(main, kIdProgram)) ? 1 : 0, client.right, client.bottom,
                    Ask(GetDlgItem(main, kIdVerifyCheckBox), BM_GETCHECK) == BST_CHECKED ? 1 : 0, FocusName(main));
        return 0;
    }
    if (step == "endsession") {
        const LRESULT query = Ask(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        std::printf("query=%d\n", static_cast<int>(query));
        Ask(main, WM_ENDSESSION, query != FALSE, ENDSESSION_LOGOFF);
        return 0;
    }
    if (!Foreground(main)) {
        std::puts("the window does not come to the foreground");
        return 1;
    }
    if (step == "keys") {
        const struct {
            const char* name;
            WORD key;
        } keys[] = {{"tab", VK_TAB}, {"space", VK_SPACE}, {"enter", VK_RETURN}, {"up", VK_UP}, {"down", VK_DOWN}};
        for (int i = 2; i < argc; ++i) {
            bool known = false;
            for (const auto& k : keys)
                if (std::string(argv[i]) == k.name) {
                    PressKey(k.key);
                    known = true;
                }
            if (!known) return 2;
        }
        return 0;
    }
    if (step == "load" && argc > 2) {
        // The path as typed, in UTF-16 (argv holds it in the ANSI code page).
        int count = 0;
        LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
        const std::wstring path = args != nullptr && count > 2 ? args[2] : Wide(argv[2]);
        if (std::string(FocusName(main)) != "Load") {
            std::printf("the focus is on %s, not on Load File\n", FocusName(main));
            return 1;
        }
        PressKey(VK_RETURN);
        if (!AnswerOpenDialog(path)) {
            std::puts("the dialog did not take the file");
            return 1;
        }
        std::printf("%s\n", Narrow(TextOf(GetDlgItem(main, kIdStatus))).c_str());
        return 0;
    }
    if (step == "port" && argc > 2) return ChoosePort(main, std::atoi(argv[2])) ? 0 : 1;
    if (step == "program" && argc > 3) {
        if (!ChoosePort(main, std::atoi(argv[2]))) return 1;
        ClickControl(main, kIdProgram);
        HWND load = GetDlgItem(main, kIdLoad);
        // The run disables Load; it is enabled again when the run has ended.
        if (!WaitFor(5000, [&] { return !IsWindowEnabled(load); })) {
            std::puts("the click on Program started no run");
            return 1;
        }
        if (!WaitFor(static_cast<DWORD>(std::atoi(argv[3])), [&] { return IsWindowEnabled(load) != FALSE; })) {
            std::puts("run did not end");
            return 1;
        }
        std::printf("%s\n", Narrow(TextOf(GetDlgItem(main, kIdStatus))).c_str());
        return 0;
    }
    if (step == "pixel") {
        HWND status = GetDlgItem(main, kIdStatus);
        RECT r{};
        GetWindowRect(status, &r);
        SetForegroundWindow(main);
        Sleep(300);
        HDC screen = GetDC(nullptr);
        // Right of the text, inside the border.
        const COLORREF c = GetPixel(screen, r.right - 6, (r.top + r.bottom) / 2);
        ReleaseDC(nullptr, screen);
        std::printf("%02X%02X%02X\n", GetRValue(c), GetGValue(c), GetBValue(c));
        return 0;
    }
    if (step == "move" && argc > 3) {
        return SetWindowPos(main, nullptr, std::atoi(argv[2]), std::atoi(argv[3]), 0, 0,
                            SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? 0
                   : 1;
    }
    if (step == "close") {
        PostMessageW(main, WM_CLOSE, 0, 0);
        const DWORD ms = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 5000;
        if (!WaitFor(ms, [] { return FindMain() == nullptr; })) {
            std::puts("window still open");
            return 1;
        }
        return 0;
    }
    return 2;
}
