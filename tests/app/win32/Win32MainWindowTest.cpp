// The Win32 window's wiring: its controls, their places (the 96-DPI layout
// scaled to the screen), captions, styles and initial states, texts that fit
// their controls at 96, 120 and 144 DPI, the tab order, the events that reach
// the window logic (clicks, double-clicks, hover, the hand cursor, close),
// the keyboard as a user presses it (SendInput), the end of the session, the
// status and link colours, and keyboard navigation during a wait. The window
// logic itself is tested in tests/app/Unit1Test.cpp. Needs a display (under
// Wine: an X server); without one the tests are skipped.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/win32/Win32MainWindow.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "serial/Scom.h"
#include "simulator/Simulator.h"
#include "support/MemoryRegistry.h"
#include "KeyPress.h"

#include <commctrl.h>

namespace {

std::wstring TextOf(HWND hwnd)
{
    wchar_t buffer[512] = {};
    GetWindowTextW(hwnd, buffer, 512);
    return buffer;
}

// Opens nothing: a Program run ends at once in "Could not open comport!".
class RefusingOpener final : public CommPortOpener {
public:
    std::unique_ptr<CommPort> Open(const std::string&) override { return nullptr; }
};

class Win32MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LastFile.clear();
        CardImage = TCardImage{};
        MakeWindow(0);
    }

    // A new window laid out for `dpi` (0: the screen's).
    void MakeWindow(int dpi)
    {
        window.reset();
        Win32WindowServices s;
        s.dpi = dpi;
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
        s.fineTimer = [this](bool hold) { timerHeld += hold ? 1 : -1; };
        s.blockSessionEnd = [this](HWND, const wchar_t* reason) { blocks.push_back(reason ? reason : L"(lifted)"); };
        s.link = linkSetup;
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

    // Shows the window and makes it the one that receives the keyboard.
    void Activate()
    {
        if (!IsWindowVisible(window->Handle())) window->Show(SW_SHOWNORMAL);
        SetForegroundWindow(window->Handle());
        PumpUntil([this] { return GetForegroundWindow() == window->Handle(); });
    }

    // Presses and releases each key as the keyboard does, then lets the
    // window process them.
    void Press(const std::vector<WORD>& keys)
    {
        for (WORD key : keys) {
            SendKeyPress(key);
            PumpUntil([] { return false; }, 60);
        }
    }

    // Processes the window's messages until `done` or `ms` have passed.
    bool PumpUntil(const std::function<bool()>& done, DWORD ms = 2000)
    {
        const ULONGLONG end = GetTickCount64() + ms;
        for (;;) {
            if (window->Handle() != nullptr) window->ProcessMessages();
            if (done()) return true;
            if (GetTickCount64() > end) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
    }

    std::string MakeImage(size_t size)
    {
        const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                           ("torvik-win32-window-" + std::to_string(GetCurrentProcessId()) + ".tvk");
        std::ofstream(path, std::ios::binary) << std::string(size, '\x5A');
        images.push_back(path);
        return path.u8string();
    }

    std::optional<Control> Focused() const { return window->FocusedControl(); }

    ~Win32MainWindowTest() override
    {
        std::error_code ec;
        for (const auto& image : images) std::filesystem::remove(image, ec);
    }

    MemoryStore store;
    std::optional<std::string> choice;
    std::vector<FileDialogRequest> requests;
    std::vector<std::string> opened;
    std::vector<std::string> errors;
    int terminations = 0;
    int timerHeld = 0;  // fine timer holds not yet released
    std::vector<std::wstring> blocks;
    std::vector<std::filesystem::path> images;
    // What the windows made from now on link to (none: the program's own
    // chain).
    LinkSetup linkSetup;
    std::unique_ptr<Win32MainWindow> window;
};

TEST_F(Win32MainWindowTest, ControlsStandWhereTheLayoutPutsThem)
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
        if (c.id != kIdLabel1) {
            EXPECT_EQ(r.right - r.left, window->Scale(c.w));
        }
        // A drop-down combo box takes the height its font gives the field;
        // Label1 grows to its text.
        if (c.id == kIdLabel1) {
            EXPECT_GE(r.right - r.left, window->Scale(c.w));
            EXPECT_GE(r.bottom - r.top, window->Scale(c.h));
        } else if (c.id != kIdComPort) {
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

TEST_F(Win32MainWindowTest, EventsReachTheWindowLogic)
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

TEST_F(Win32MainWindowTest, StatusAndLinkColoursReachTheScreen)
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

    // A new system button-face colour reaches the status field's background.
    window->Status().SetColor(clBtnFace);
    const int element = COLOR_BTNFACE;
    const COLORREF before = GetSysColor(COLOR_BTNFACE);
    const COLORREF changed = before == RGB(1, 2, 3) ? RGB(4, 5, 6) : RGB(1, 2, 3);
    ASSERT_TRUE(SetSysColors(1, &element, &changed));
    SendMessageW(main, WM_SYSCOLORCHANGE, 0, 0);
    const auto brush = reinterpret_cast<HBRUSH>(
        SendMessageW(main, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(Item(kIdStatus))));
    LOGBRUSH lb{};
    GetObjectW(brush, sizeof lb, &lb);
    SetSysColors(1, &element, &before);
    EXPECT_EQ(lb.lbColor, changed);
    DeleteDC(dc);
}

TEST_F(Win32MainWindowTest, TextsFitTheirControlsAtEveryDpi)
{
    std::vector<std::wstring> ports;
    for (int i = 1; i <= kPortEntries; ++i) ports.push_back(L"Com" + std::to_wstring(i));
    std::vector<std::wstring> statuses;
    for (const std::string& text : {std::string(status_text::kWrongAtr), std::string(status_text::kErrorProgramming),
                                    status_text::Progress(true, 100), status_text::Optimizing(21)})
        statuses.push_back(std::wstring(text.begin(), text.end()));

    for (int dpi : {96, 120, 144}) {
        SCOPED_TRACE(dpi);
        MakeWindow(dpi);
        ASSERT_TRUE(window);
        // Static texts stay on their one line.
        for (int id : {kIdLabel1, kIdLinkLabel}) {
            const LONG_PTR style = GetWindowLongPtrW(Item(id), GWL_STYLE);
            EXPECT_TRUE((style & SS_TYPEMASK) == SS_LEFTNOWORDWRAP || (style & SS_CENTERIMAGE)) << id;
        }
        // The room each control leaves its text.
        const auto room = [this](int id) {
            RECT r{};
            GetClientRect(Item(id), &r);
            if (id == kIdLoad || id == kIdProgram) InflateRect(&r, -window->Scale(6), -window->Scale(3));
            if (id == kIdVerifyCheckBox) r.left += window->Scale(13 + 4);  // the box and its gap
            if (id == kIdStatus) SendMessageW(Item(id), EM_GETRECT, 0, reinterpret_cast<LPARAM>(&r));
            if (id == kIdComPort) {
                COMBOBOXINFO combo{};
                combo.cbSize = sizeof combo;
                GetComboBoxInfo(Item(id), &combo);
                r = combo.rcItem;
            }
            return r;
        };
        const struct {
            int id;
            std::vector<std::wstring> texts;  // none: the control's own
            bool hover;                       // the link under the pointer (bold)
        } rows[] = {
            {kIdLabel1, {}, false},       {kIdLinkLabel, {}, false},    {kIdLinkLabel, {}, true},
            {kIdLoad, {}, false},         {kIdProgram, {}, false},      {kIdVerifyCheckBox, {}, false},
            {kIdComPort, ports, false},   {kIdStatus, statuses, false},
        };
        for (const auto& row : rows) {
            HWND control = Item(row.id);
            if (row.hover) SendMessageW(control, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
            const std::vector<std::wstring> texts =
                row.texts.empty() ? std::vector<std::wstring>{TextOf(control)} : row.texts;
            const RECT r = room(row.id);
            HDC dc = GetDC(control);
            const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
            TEXTMETRICW metrics{};
            GetTextMetricsW(dc, &metrics);
            for (const std::wstring& text : texts) {
                SCOPED_TRACE(::testing::Message()
                             << row.id << (row.hover ? " bold" : "") << " \"" << text.c_str() << "\"");
                ASSERT_FALSE(text.empty());
                SIZE size{};
                GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
                EXPECT_LE(size.cx, r.right - r.left);
                EXPECT_LE(metrics.tmHeight, r.bottom - r.top);
            }
            SelectObject(dc, old);
            ReleaseDC(control, dc);
        }
    }
}

TEST_F(Win32MainWindowTest, KeyboardWorksAsInADialog)
{
    VirtualClock clock;
    RefusingOpener opener;
    linkSetup.clock = &clock;
    linkSetup.ports = &opener;
    MakeWindow(0);
    Activate();
    ASSERT_EQ(GetForegroundWindow(), window->Handle());
    EXPECT_EQ(Focused(), Control::Load) << "at start";
    choice = MakeImage(100);
    SendMessageW(Item(kIdComPort), CB_SETCURSEL, 0, 0);

    // One window, one user: each row starts where the one before left it
    // unless it puts the focus somewhere first.
    const struct {
        const char* what;
        std::optional<Control> start;
        std::vector<WORD> keys;
        Control focus;                // after the keys
        size_t dialogs;               // open dialogs asked for so far
        std::function<bool()> check;  // what else the user sees
    } rows[] = {
        {"Enter on Load File opens the dialog", std::nullopt, {VK_RETURN}, Control::Load, 1,
         [this] { return window->Status().Text().find(" loaded.") != std::string::npos; }},
        {"Enter on Program runs it", Control::Program, {VK_RETURN}, Control::Program, 1,
         [this] { return window->Status().Text() == status_text::kCouldNotOpenPort; }},
        {"after the run Tab reaches the check box, Space clears it", std::nullopt, {VK_TAB, VK_TAB, VK_TAB, VK_SPACE},
         Control::VerifyCheckBox, 1, [this] { return !window->VerifyChecked(); }},
        {"Space on Load File opens the dialog", Control::Load, {VK_SPACE}, Control::Load, 2, [] { return true; }},
        {"Down and Up in the port list select", Control::ComPort, {VK_DOWN, VK_DOWN, VK_UP}, Control::ComPort, 2,
         [this] { return window->SelectedPort() == 1; }},
        {"Enter in the status field presses nothing", Control::Status, {VK_RETURN}, Control::Status, 2,
         [this] { return window->Status().Text().find(" loaded.") != std::string::npos; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.start) window->FocusControl(*row.start);
        Press(row.keys);
        // The keys arrive through the system's input queue: give them time.
        PumpUntil([&] { return Focused() == row.focus && requests.size() == row.dialogs && row.check(); });
        EXPECT_EQ(Focused(), row.focus);
        EXPECT_EQ(requests.size(), row.dialogs);
        EXPECT_TRUE(row.check());
    }
    EXPECT_EQ(timerHeld, 0) << "released after the run";

    // The focus survives the window losing and regaining activation.
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                 nullptr, nullptr);
    SetForegroundWindow(other);
    EXPECT_TRUE(PumpUntil([&] { return GetActiveWindow() == other; }));
    Activate();
    EXPECT_EQ(Focused(), Control::Status);
    DestroyWindow(other);
}

TEST_F(Win32MainWindowTest, SessionEndStoresTheSettingsAndWaitsForARun)
{
    const std::vector<std::string> five = {"Version", "ComPort", "Xpos", "Ypos", "LastFile"};
    HWND main = window->Handle();
    SendMessageW(Item(kIdComPort), CB_SETCURSEL, 4, 0);
    SetWindowPos(main, nullptr, 40, 50, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    // Outside a run the query stores the five values; the window goes on
    // until the session really ends.
    EXPECT_EQ(SendMessageW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    EXPECT_EQ(store.writeLog, five);
    EXPECT_EQ(std::get<int32_t>(store.keys[kSettingsKey]["ComPort"]), 4);
    EXPECT_EQ(std::get<int32_t>(store.keys[kSettingsKey]["Xpos"]), 40);
    SendMessageW(main, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
    EXPECT_TRUE(IsWindow(main));
    EXPECT_NE(CardImage.Data, nullptr);
    SendMessageW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_FALSE(IsWindow(main));
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(CardImage.Data, nullptr);
    EXPECT_TRUE(blocks.empty());

    // During a run the session is asked to wait; the run stops and the
    // window closes, storing the settings. The fine timer is held for the
    // run only.
    VirtualClock clock;
    sim::SimulatorOpener opener(clock, sim::SimOptions::Parse("card=in"));
    LRESULT answer = TRUE;
    std::vector<int> heldDuringRun;
    linkSetup.clock = &clock;
    linkSetup.ports = &opener;
    linkSetup.failures = opener.Failures();
    linkSetup.processMessages = [&] {
        window->ProcessMessages();
        heldDuringRun.push_back(timerHeld);
        if (heldDuringRun.size() == 50) answer = SendMessageW(main, WM_QUERYENDSESSION, 0, 0);
    };
    MakeWindow(0);
    main = window->Handle();
    store.writeLog.clear();
    choice = MakeImage(64);
    SendMessageW(Item(kIdLoad), BM_CLICK, 0, 0);
    SendMessageW(Item(kIdComPort), CB_SETCURSEL, 0, 0);
    EXPECT_EQ(timerHeld, 0) << "not while idle or loading";
    const int64_t start = clock.PeekMs();
    SendMessageW(Item(kIdProgram), BM_CLICK, 0, 0);
    ASSERT_GE(heldDuringRun.size(), 50u);
    EXPECT_EQ(answer, FALSE);
    EXPECT_EQ(heldDuringRun, std::vector<int>(heldDuringRun.size(), 1));
    EXPECT_EQ(timerHeld, 0);
    EXPECT_EQ(window->Status().Text(), status_text::kRemoveCard) << "stopped while asking for the card's removal";
    EXPECT_LT(clock.PeekMs() - start, 5000) << "not after the 30 s prompt";
    PumpUntil([&] { return !IsWindow(main); });
    EXPECT_FALSE(IsWindow(main));
    EXPECT_EQ(store.writeLog, five);
    EXPECT_EQ(std::get<int32_t>(store.keys[kSettingsKey]["ComPort"]), 0);
    EXPECT_EQ(terminations, 2);
    EXPECT_EQ(blocks, (std::vector<std::wstring>{kSessionBlockReason, L"(lifted)"}));
}

TEST_F(Win32MainWindowTest, WaitsKeepTheWindowAliveWithKeyboardNavigation)
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
