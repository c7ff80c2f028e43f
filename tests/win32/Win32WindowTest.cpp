// The Win32 window's wiring: its controls, their places (the 96-DPI layout
// scaled to the screen), captions, styles and initial states, the tab order,
// the events that reach the window logic (clicks, double-clicks, hover, the
// hand cursor, close), the status and link colours, and keyboard navigation
// during a wait. The window logic itself is tested in tests/form. Needs a
// display (under Wine: an X server); without one the tests are skipped.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MemoryRegistry.h"
#include "app/win32/Win32MainWindow.h"
#include "programming/ProgramData.h"

#include <commctrl.h>

namespace {

std::wstring TextOf(HWND hwnd)
{
    wchar_t buffer[512] = {};
    GetWindowTextW(hwnd, buffer, 512);
    return buffer;
}

class Win32WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LastFile.clear();
        CardImage = TCardImage{};
        Win32WindowServices s;
        s.openRegistry = [this] { return store.NewAccessor(); };
        s.chooseFile = [this](const FileDialogRequest& request) {
            requests.push_back(request);
            return choice;
        };
        s.openAddress = [this](const std::string& address) {
            opened.push_back(address);
            return true;
        };
        s.showError = [this](const std::string& message) { errors.push_back(message); };
        s.terminate = [this] { ++terminations; };
        try {
            window = std::make_unique<Win32MainWindow>(s);
        } catch (const std::exception& e) {
            GTEST_SKIP() << "no window can be created here (no display?): " << e.what();
        }
    }

    void TearDown() override { window.reset(); }

    HWND Item(int id) const { return window->Item(id); }

    // A control's place in the window's client area.
    RECT Place(int id) const
    {
        RECT r{};
        GetWindowRect(Item(id), &r);
        MapWindowPoints(nullptr, window->Handle(), reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    MemoryStore store;
    std::optional<std::string> choice;
    std::vector<FileDialogRequest> requests;
    std::vector<std::string> opened;
    std::vector<std::string> errors;
    int terminations = 0;
    std::unique_ptr<Win32MainWindow> window;
};

TEST_F(Win32WindowTest, ControlsStandWhereTheLayoutPutsThem)
{
    HWND main = window->Handle();
    EXPECT_EQ(TextOf(main), L"Torvik Card Loader for Norvale USB SM/Phoenix V1.1");
    const LONG_PTR style = GetWindowLongPtrW(main, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) << "fixed size, close box only";
    RECT client{};
    GetClientRect(main, &client);
    EXPECT_EQ(client.right, window->Scale(378));
    EXPECT_EQ(client.bottom, window->Scale(155));
    EXPECT_NE(GetClassLongPtrW(main, GCLP_HICON), 0) << "the program's icon";

    const struct {
        int id;
        const wchar_t* cls;
        const wchar_t* text;
        int x, y, w, h;
        bool enabled;
        bool tabStop;
    } controls[] = {
        {kIdImage1, L"Static", L"", 165, 8, 204, 89, true, false},
        {kIdComPort, L"ComboBox", L"Com1", 88, 8, 65, 21, true, true},
        {kIdLabel1, L"Static", L"Com port:", 8, 12, 45, 13, true, false},
        {kIdLoad, L"Button", L"Load File", 8, 32, 145, 25, true, true},
        {kIdProgram, L"Button", L"Program", 8, 64, 145, 25, false, true},
        {kIdProgressBar1, PROGRESS_CLASSW, L"", 8, 112, 361, 12, true, false},
        {kIdLinkLabel, L"Static", L"https://example.com/velmar", 165, 96, 204, 13, true, false},
        {kIdStatus, L"Edit", L"", 8, 128, 361, 21, true, true},
        {kIdVerifyCheckBox, L"Button", L"Verify programming", 8, 94, 145, 17, true, true},
    };
    for (const auto& c : controls) {
        SCOPED_TRACE(c.id);
        HWND control = Item(c.id);
        ASSERT_NE(control, nullptr);
        wchar_t cls[64] = {};
        GetClassNameW(control, cls, 64);
        EXPECT_EQ(_wcsicmp(cls, c.cls), 0) << "class";
        EXPECT_EQ(TextOf(control), c.text);
        const RECT r = Place(c.id);
        EXPECT_EQ(r.left, window->Scale(c.x));
        EXPECT_EQ(r.top, window->Scale(c.y));
        EXPECT_EQ(r.right - r.left, window->Scale(c.w));
        // A drop-down combo box takes the height its font gives the field.
        if (c.id != kIdComPort) {
            EXPECT_EQ(r.bottom - r.top, window->Scale(c.h));
        }
        EXPECT_EQ(IsWindowEnabled(control) != FALSE, c.enabled);
        EXPECT_EQ((GetWindowLongPtrW(control, GWL_STYLE) & WS_TABSTOP) != 0, c.tabStop);
    }

    HWND combo = Item(kIdComPort);
    EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 16);
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), CB_ERR) << "no entry selected";
    EXPECT_EQ(SendMessageW(Item(kIdVerifyCheckBox), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(Item(kIdProgressBar1), PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageW(Item(kIdProgressBar1), PBM_GETPOS, 0, 0), 0);
    EXPECT_NE(SendMessageW(Item(kIdImage1), STM_GETIMAGE, IMAGE_BITMAP, 0), 0) << "the logo";
    EXPECT_FALSE(GetWindowLongPtrW(Item(kIdStatus), GWL_STYLE) & ES_READONLY);

    // Tab order: Load, Program, Status, ComPort, VerifyCheckBox, Load ...
    EnableWindow(Item(kIdProgram), TRUE);
    const int order[] = {kIdLoad, kIdProgram, kIdStatus, kIdComPort, kIdVerifyCheckBox, kIdLoad};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        EXPECT_EQ(GetNextDlgTabItem(main, Item(order[i]), FALSE), Item(order[i + 1])) << i;
}

TEST_F(Win32WindowTest, EventsReachTheWindowLogic)
{
    HWND main = window->Handle();
    // Load: the dialog is asked with the title and filter; cancelled here.
    SendMessageW(Item(kIdLoad), BM_CLICK, 0, 0);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Load Torvik Loader File");
    EXPECT_EQ(TextOf(Item(kIdStatus)), L" not loaded.");

    // Double-clicks on the link and the logo open the address.
    SendMessageW(main, WM_COMMAND, MAKEWPARAM(kIdLinkLabel, STN_DBLCLK), reinterpret_cast<LPARAM>(Item(kIdLinkLabel)));
    SendMessageW(main, WM_COMMAND, MAKEWPARAM(kIdImage1, STN_DBLCLK), reinterpret_cast<LPARAM>(Item(kIdImage1)));
    EXPECT_EQ(opened, (std::vector<std::string>{LinkAddress, LinkAddress}));

    // Hover: bold and underlined, then underlined only; the hand cursor.
    SendMessageW(Item(kIdLinkLabel), WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    EXPECT_TRUE(window->LinkBold());
    EXPECT_TRUE(window->LinkUnderlined());
    SendMessageW(Item(kIdLinkLabel), WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(window->LinkBold());
    EXPECT_TRUE(window->LinkUnderlined());
    SendMessageW(Item(kIdLinkLabel), WM_SETCURSOR, reinterpret_cast<WPARAM>(Item(kIdLinkLabel)),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(GetCursor(), LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));

    // The port the user picks is what the logic reads; typed text names none.
    SendMessageW(Item(kIdComPort), CB_SETCURSEL, 2, 0);
    EXPECT_EQ(window->SelectedPort(), 2);
    SetWindowTextW(Item(kIdComPort), L"Com7");
    EXPECT_EQ(window->SelectedPort(), -1);
    SendMessageW(Item(kIdComPort), CB_SETCURSEL, 2, 0);

    // The close box stores the settings and asks to terminate.
    SetWindowPos(main, nullptr, 40, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SendMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(store.writeLog, (std::vector<std::string>{"Version", "ComPort", "Xpos", "Ypos", "LastFile"}));
    EXPECT_EQ(std::get<int32_t>(store.keys[kSettingsKey]["ComPort"]), 2);
    EXPECT_EQ(std::get<int32_t>(store.keys[kSettingsKey]["Xpos"]), 40);
    EXPECT_EQ(std::get<int32_t>(store.keys[kSettingsKey]["Ypos"]), 50);
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(IsWindow(main)) << "the window is gone";
}

TEST_F(Win32WindowTest, StatusAndLinkColoursReachTheScreen)
{
    HWND main = window->Handle();
    HDC dc = CreateCompatibleDC(nullptr);
    const struct {
        TColor color;
        COLORREF shown;
    } cases[] = {
        {clRed, RGB(255, 0, 0)},
        {clLime, RGB(0, 255, 0)},
        {clYellow, RGB(255, 255, 0)},
        {0x00332211, RGB(0x11, 0x22, 0x33)},
        {clBtnFace, GetSysColor(COLOR_BTNFACE)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.color);
        window->Status().SetColor(c.color);
        for (UINT message : {WM_CTLCOLOREDIT, WM_CTLCOLORSTATIC}) {  // enabled and disabled field
            const auto brush = reinterpret_cast<HBRUSH>(
                SendMessageW(main, message, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(Item(kIdStatus))));
            LOGBRUSH lb{};
            ASSERT_NE(GetObjectW(brush, sizeof lb, &lb), 0);
            EXPECT_EQ(lb.lbColor, c.shown);
            EXPECT_EQ(GetBkColor(dc), c.shown);
        }
    }
    SendMessageW(main, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(Item(kIdLinkLabel)));
    EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 128)) << "navy link";
    DeleteDC(dc);
}

TEST_F(Win32WindowTest, WaitsKeepTheWindowAliveWithKeyboardNavigation)
{
    window->Show(SW_SHOWNORMAL);
    SetForegroundWindow(window->Handle());
    SetFocus(Item(kIdLoad));
    ASSERT_EQ(GetFocus(), Item(kIdLoad));
    // A Tab pressed during a wait moves the focus as in a dialog; other
    // messages are dispatched.
    PostMessageW(Item(kIdLoad), WM_KEYDOWN, VK_TAB, 0);
    PostMessageW(window->Handle(), WM_COMMAND, MAKEWPARAM(kIdLinkLabel, STN_DBLCLK),
                 reinterpret_cast<LPARAM>(Item(kIdLinkLabel)));
    window->ProcessMessages();
    EXPECT_EQ(GetFocus(), Item(kIdStatus)) << "Program is disabled, so Tab goes on to the status field";
    EXPECT_EQ(opened.size(), 1u);

    // A quit request met during a wait is left for the message loop.
    PostQuitMessage(0);
    window->ProcessMessages();
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

}  // namespace
