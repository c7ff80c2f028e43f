// The main window's logic (TForm1) on an in-memory window: start-up with and
// without stored settings, wrong-typed settings, loading files and the status
// rules, the Program click, errors inside the handlers, closing and storing,
// the link and its hover styles. The toolkits' windows are tested for their
// wiring only (tests/app/qt, tests/app/win32).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/Unit1.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"
#include "support/MemoryRegistry.h"

namespace {

const std::string kKey = kSettingsKey;

class MemoryStatus final : public StatusControl {
public:
    void SetText(const std::string& text) override
    {
        if (onSetText) onSetText(text);
        text_ = text;
    }
    std::string Text() const override { return text_; }
    void SetColor(TColor color) override { color_ = color; }
    TColor Color() const override { return color_; }
    std::function<void(const std::string&)> onSetText;

private:
    std::string text_;
    TColor color_ = clBtnFace;
};

// The window as a toolkit would show it, in memory, with the user's answers
// scripted and everything the logic asks for recorded.
class MemoryView final : public TFormView {
public:
    void SetEnabled(Control control, bool on) override
    {
        if (onEnable) onEnable(control, on);
        enabled[control] = on;
        // A disabled control loses the keyboard focus, as in the toolkits.
        if (!on && focus == control) focus.reset();
    }
    int SelectedPort() const override { return port; }
    void SelectPort(int index) override { port = index; }
    bool VerifyChecked() const override { return verify; }
    StatusControl& Status() override { return status; }
    void SetProgress(int position) override { progress = position; }
    void SetLinkCaption(const std::string& text) override { link = text; }
    void SetLinkStyle(bool b, bool u) override
    {
        bold = b;
        underline = u;
    }
    std::optional<Control> FocusedControl() const override { return active ? focus : std::nullopt; }
    bool FocusControl(Control control) override
    {
        if (!enabled[control]) return false;
        focus = control;
        return true;
    }
    bool WindowActive() const override { return active; }
    int Left() const override { return left; }
    int Top() const override { return top; }
    void MoveTo(std::optional<int> x, std::optional<int> y) override
    {
        left = x.value_or(left);
        top = y.value_or(top);
        ++moves;
    }
    std::optional<std::string> ChooseFile(const FileDialogRequest& request) override
    {
        requests.push_back(request);
        if (onChoose) onChoose();
        return nextChoice;
    }
    void ShowError(const std::string& message) override
    {
        errors.push_back(message);
        formSeenByErrorBox.push_back(Form1);
    }
    void OpenAddress(const std::string& address) override { opened.push_back(address); }
    void ProcessMessages() override
    {
        if (onProcess) onProcess();
    }
    void CloseWindow() override
    {
        if (Form1 != nullptr && Form1->OnCloseRequest()) closed = true;
    }
    void Terminate() override { ++terminations; }

    std::map<Control, bool> enabled{{Control::VerifyCheckBox, true},
                                    {Control::ComPort, true},
                                    {Control::Load, true},
                                    {Control::Program, false},
                                    {Control::Status, true}};
    std::optional<Control> focus = Control::Load;
    bool active = true;
    int port = -1;
    bool verify = true;
    MemoryStatus status;
    int progress = 0;
    std::string link;
    bool bold = false;
    bool underline = false;
    int left = 200;  // where the window system puts a new window
    int top = 150;
    int moves = 0;
    std::optional<std::string> nextChoice;
    std::function<void()> onChoose;
    std::function<void(Control, bool)> onEnable;
    std::function<void()> onProcess;
    std::vector<FileDialogRequest> requests;
    std::vector<std::string> errors;
    std::vector<TForm1*> formSeenByErrorBox;
    std::vector<std::string> opened;
    bool closed = false;
    int terminations = 0;
};

// Opens nothing and remembers the names asked for.
class RefusingOpener final : public CommPortOpener {
public:
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override
    {
        names.push_back(deviceName);
        return nullptr;
    }
    std::vector<std::string> names;
};

class Unit1Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        LastFile.clear();
        CardImage = TCardImage{};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        folder = std::filesystem::temp_directory_path() / ("torvik-form-test-" + std::to_string(stamp));
        std::filesystem::create_directories(folder);
    }

    void TearDown() override
    {
        form.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    FormServices Services()
    {
        FormServices s;
        s.openRegistry = [this] { return store.NewAccessor(); };
        s.link = linkSetup;
        return s;
    }

    // A fresh window on a fresh in-memory view.
    TForm1& MakeForm()
    {
        form.reset();
        view = std::make_unique<MemoryView>();
        form = std::make_unique<TForm1>(*view, Services());
        return *form;
    }

    std::string MakeFile(const std::string& name, size_t size, uint8_t seed = 1)
    {
        const std::filesystem::path path = folder / std::filesystem::u8path(name);
        std::ofstream out(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) out.put(static_cast<char>(Pattern(i, seed)));
        return path.u8string();
    }

    static uint8_t Pattern(size_t i, uint8_t seed) { return static_cast<uint8_t>((i * 7 + seed * 31 + (i >> 8)) & 0xFF); }

    void Load(const std::optional<std::string>& choice)
    {
        view->nextChoice = choice;
        form->Guarded([this] { form->LoadClick(nullptr); });
    }

    bool InputsEnabled() const
    {
        return view->enabled[Control::Load] && view->enabled[Control::ComPort] &&
               view->enabled[Control::VerifyCheckBox];
    }
    bool ProgramEnabled() const { return view->enabled[Control::Program]; }

    // The window's reader link.
    ReaderLink& Link() { return form->Link(); }

    MemoryStore store;
    // What the windows made from now on link to (none: the program's own
    // chain).
    LinkSetup linkSetup;
    std::unique_ptr<MemoryView> view;
    std::unique_ptr<TForm1> form;
    std::filesystem::path folder;
};

}  // namespace

TEST_F(Unit1Test, FirstStartWithoutSettings)
{
    // Program opens through a port that refuses every open.
    VirtualClock clock;
    RefusingOpener opener;
    linkSetup.clock = &clock;
    linkSetup.ports = &opener;
    TForm1& f = MakeForm();
    EXPECT_EQ(Form1, &f);
    EXPECT_EQ(view->port, -1);
    EXPECT_EQ(view->moves, 0) << "the window system's default position";
    EXPECT_FALSE(ProgramEnabled());
    EXPECT_TRUE(InputsEnabled());
    EXPECT_EQ(view->status.Text(), "");
    EXPECT_EQ(view->status.Color(), clBtnFace);
    EXPECT_EQ(view->link, LinkAddress);
    EXPECT_EQ(LinkAddress.rfind("https://example.com/", 0), 0u) << "a reserved example address";
    ASSERT_NE(CardImage.Data, nullptr);
    EXPECT_EQ(CardImage.Length, 0);
    EXPECT_EQ(store.keys.count(kKey), 1u) << "the key is created at start";
    EXPECT_TRUE(view->errors.empty());

    // With no entry selected a Program click names port 0, which opens
    // nothing.
    Load(MakeFile("card.tvk", 100));
    ASSERT_TRUE(ProgramEnabled());
    f.ProgramClick(nullptr);
    EXPECT_EQ(opener.names, (std::vector<std::string>{".\\COM0"}));
    EXPECT_EQ(view->status.Text(), "Could not open comport!");
    EXPECT_EQ(view->status.Color(), clRed);
    EXPECT_TRUE(InputsEnabled());
    EXPECT_TRUE(ProgramEnabled());
    EXPECT_FALSE(Link().SerialChannel.IsOpen);
}

TEST_F(Unit1Test, StoredSettingsAreAppliedAsTheyStand)
{
    using Values = std::map<std::string, MemoryStore::Value>;
    const struct {
        const char* what;
        Values stored;
        int port;
        int left, top;  // 200, 150: where the window system put it
        std::string lastFile;
    } cases[] = {
        {"Com1", {{"ComPort", 0}}, 0, 200, 150, ""},
        {"Com16", {{"ComPort", 15}}, 15, 200, 150, ""},
        {"index past the list", {{"ComPort", 16}}, -1, 200, 150, ""},
        {"no selection stored", {{"ComPort", -1}}, -1, 200, 150, ""},
        {"far out", {{"ComPort", -100000}}, -1, 200, 150, ""},
        {"position off the screen", {{"Xpos", 40}, {"Ypos", -20}}, -1, 40, -20, ""},
        {"left edge only", {{"Xpos", 77}}, -1, 77, 150, ""},
        {"top edge only", {{"Ypos", 66}}, -1, 200, 66, ""},
        {"last file", {{"LastFile", std::string("/cards/kept.tvk")}}, -1, 200, 150, "/cards/kept.tvk"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        store.keys.clear();
        store.keys[kKey] = c.stored;
        LastFile.clear();
        MakeForm();
        EXPECT_EQ(view->port, c.port);
        EXPECT_EQ(view->left, c.left);
        EXPECT_EQ(view->top, c.top);
        EXPECT_EQ(LastFile, c.lastFile);
        EXPECT_TRUE(view->errors.empty());
    }
}

TEST_F(Unit1Test, WrongTypedSettingIsReportedThenItsDefaultIsUsedAndRewritten)
{
    const struct {
        const char* name;
        MemoryStore::Value value;
        MemoryStore::Value rewritten;
    } cases[] = {
        {"ComPort", std::string("3"), int32_t{-1}},
        {"Xpos", std::string("10"), int32_t{200}},
        {"Ypos", std::string("10"), int32_t{150}},
        {"LastFile", int32_t{4}, std::string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store.keys.clear();
        store.keys[kKey] = {{"ComPort", 2}, {"Xpos", 30}, {"Ypos", 40}, {"LastFile", std::string("/c/a.tvk")}};
        store.keys[kKey][c.name] = c.value;
        LastFile.clear();
        TForm1& f = MakeForm();
        EXPECT_EQ(view->errors, (std::vector<std::string>{std::string("Invalid data type for '") + c.name + "'"}));
        EXPECT_EQ(view->formSeenByErrorBox, (std::vector<TForm1*>{&f}));
        // The other values are still read.
        EXPECT_EQ(view->port, c.rewritten == MemoryStore::Value(int32_t{-1}) ? -1 : 2);
        ASSERT_NE(CardImage.Data, nullptr) << "the program starts";
        EXPECT_TRUE(f.OnCloseRequest());
        EXPECT_EQ(store.keys[kKey][c.name], c.rewritten) << "stored with its right type at close";
        EXPECT_EQ(view->terminations, 1);
    }
}

TEST_F(Unit1Test, MissingImageBufferEndsStartUpWithoutAWindowBehind)
{
    view = std::make_unique<MemoryView>();
    FormServices s = Services();
    s.allocateImage = [](std::size_t) { return nullptr; };
    try {
        TForm1 f(*view, s);
        FAIL() << "started without the card image buffer";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("memory"), std::string::npos) << e.what();
        EXPECT_EQ(Form1, nullptr) << "nothing may reach the half-built window while the error is shown";
    }
    EXPECT_EQ(CardImage.Data, nullptr);
}

TEST_F(Unit1Test, LoadSetsLengthStatusAndProgramByFileSize)
{
    const struct {
        size_t size;
        int32_t length;
        const char* suffix;
        TColor color;
        bool program;
    } cases[] = {
        {0, 0, " not loaded.", clRed, false},
        {15, 15, " not loaded.", clRed, false},
        {16, 16, " loaded.", clLime, false},  // loaded, yet too short to program
        {17, 17, " loaded.", clLime, true},
        {0x40000, 0x40000, " loaded.", clLime, true},
        {0x40000 + 1000, 0x40000, " loaded.", clLime, true},
    };
    MakeForm();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string name = "image" + std::to_string(c.size) + ".tvk";
        const std::string path = MakeFile(name, c.size, static_cast<uint8_t>(c.size));
        bool inputsOffInDialog = false;
        view->onChoose = [&] { inputsOffInDialog = !InputsEnabled() && !ProgramEnabled(); };
        Load(path);
        EXPECT_TRUE(inputsOffInDialog) << "inputs are disabled while the dialog is open";
        EXPECT_EQ(CardImage.Length, c.length);
        EXPECT_EQ(view->status.Text(), name + c.suffix);
        EXPECT_EQ(view->status.Color(), c.color);
        EXPECT_EQ(ProgramEnabled(), c.program);
        EXPECT_TRUE(InputsEnabled());
        EXPECT_EQ(LastFile, path);
        bool same = true;
        for (int32_t i = 0; i < c.length; ++i) same = same && CardImage.Data[i] == Pattern(i, static_cast<uint8_t>(c.size));
        EXPECT_TRUE(same) << "the buffer holds the file's first bytes";
    }
}

TEST_F(Unit1Test, DialogAndCancelWorkFromWhatIsKept)
{
    // Nothing known: just the suffix, with its leading blank.
    MakeForm();
    Load(std::nullopt);
    EXPECT_EQ(view->status.Text(), " not loaded.");
    EXPECT_EQ(view->status.Color(), clRed);

    // A stored last file but nothing loaded yet.
    store.keys[kKey]["LastFile"] = std::string("/cards/old/stored.tvk");
    MakeForm();
    Load(std::nullopt);
    ASSERT_EQ(view->requests.size(), 1u);
    EXPECT_EQ(view->requests[0].title, "Load Torvik Loader File");
    EXPECT_EQ(view->requests[0].filter, "TorvikLoader files (*.tvk)|*.tvk|All Files (*.*)|*.*");
    EXPECT_EQ(view->requests[0].initialDirectory, "/cards/old/stored.tvk");
    EXPECT_EQ(view->requests[0].initialFileName, "stored.tvk");
    EXPECT_EQ(view->status.Text(), "stored.tvk not loaded.");
    EXPECT_EQ(view->status.Color(), clRed);
    EXPECT_FALSE(ProgramEnabled());

    // After a good load the cancel keeps image and button.
    const std::string good = MakeFile("good.tvk", 100);
    Load(good);
    view->status.SetColor(clBtnFace);
    Load(std::nullopt);
    EXPECT_EQ(view->status.Text(), "good.tvk loaded.");
    EXPECT_EQ(view->status.Color(), clLime);
    EXPECT_TRUE(ProgramEnabled());
    EXPECT_EQ(CardImage.Length, 100);
    EXPECT_EQ(LastFile, good);

    // A short file after it: the length drops, the rest stays in the buffer.
    Load(MakeFile("short.tvk", 10, 2));
    EXPECT_EQ(CardImage.Length, 10);
    EXPECT_FALSE(ProgramEnabled());
    EXPECT_EQ(view->status.Text(), "short.tvk not loaded.");
    EXPECT_EQ(CardImage.Data[10], Pattern(10, 1));
}

TEST_F(Unit1Test, UnreadableFilesGiveLengthMinusOne)
{
    MakeForm();
    std::filesystem::create_directories(folder / "folder.tvk");
    const std::string cases[] = {
        (folder / "missing.tvk").string(),
        (folder / "folder.tvk").string(),
    };
    for (const std::string& path : cases) {
        SCOPED_TRACE(path);
        Load(MakeFile("good.tvk", 64));
        Load(path);
        EXPECT_EQ(CardImage.Length, -1);
        EXPECT_EQ(view->status.Text(), NamePart(path) + " not loaded.");
        EXPECT_EQ(view->status.Color(), clRed);
        EXPECT_FALSE(ProgramEnabled());
        EXPECT_EQ(LastFile, path) << "the chosen name is kept and stored at close";
    }
}

TEST_F(Unit1Test, NonAsciiFileNamesLoadAndAreStoredAsUtf8)
{
    MakeForm();
    const std::string path = MakeFile("K\xC3\xA4rtchen \xE2\x82\xAC.tvk", 40);
    Load(path);
    EXPECT_EQ(CardImage.Length, 40);
    EXPECT_EQ(view->status.Text(), "K\xC3\xA4rtchen \xE2\x82\xAC.tvk loaded.");
    ASSERT_TRUE(form->OnCloseRequest());
    EXPECT_EQ(std::get<std::string>(store.keys[kKey]["LastFile"]), path);
}

TEST_F(Unit1Test, ErrorsInsideHandlersLeaveTheWindowUsableAndClosable)
{
    const struct {
        const char* what;
        bool program;  // Program click rather than Load
        std::function<void(MemoryView&)> arrange;
        std::string shown;
    } cases[] = {
        {"dialog fails", false, [](MemoryView& v) { v.onChoose = [] { throw std::runtime_error("no dialog"); }; },
         "no dialog"},
        {"dialog throws a non-exception", false, [](MemoryView& v) { v.onChoose = [] { throw 7; }; }, ""},
        {"controls fail as the run starts", true,
         [](MemoryView& v) {
             v.onEnable = [&v](Control c, bool on) {
                 if (c == Control::ComPort && !on) {
                     v.onEnable = nullptr;
                     throw std::runtime_error("control gone");
                 }
             };
         },
         "control gone"},
        {"status fails inside the run", true,
         [](MemoryView& v) { v.status.onSetText = [](const std::string&) { throw std::logic_error("status gone"); }; },
         "status gone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock clock;
        sim::SimulatorOpener opener(clock, sim::SimOptions::Parse("card=out,insert=300"));
        linkSetup.clock = &clock;
        linkSetup.ports = &opener;
        linkSetup.failures = opener.Failures();
        TForm1& f = MakeForm();
        view->port = 0;
        Load(MakeFile("card.tvk", 64));
        ASSERT_TRUE(ProgramEnabled());
        c.arrange(*view);
        f.Guarded([&] {
            if (c.program) f.ProgramClick(nullptr);
            else f.LoadClick(nullptr);
        });
        view->status.onSetText = nullptr;
        EXPECT_EQ(view->errors, (std::vector<std::string>{c.shown}));
        EXPECT_FALSE(Link().SerialChannel.IsOpen);
        EXPECT_FALSE(opener.Reader().HandleOpen());
        EXPECT_TRUE(InputsEnabled());
        EXPECT_TRUE(ProgramEnabled());
        EXPECT_FALSE(f.RunInProgress());
        EXPECT_TRUE(f.OnCloseRequest()) << "the window can still be closed";
        EXPECT_EQ(view->terminations, 1);
    }
}

TEST_F(Unit1Test, CloseDuringLoadWaitsForTheLoad)
{
    TForm1& f = MakeForm();
    const std::string path = MakeFile("card.tvk", 64);
    bool refused = false;
    view->onChoose = [&] { refused = !f.OnCloseRequest() && CardImage.Data != nullptr; };
    Load(path);
    EXPECT_TRUE(refused) << "the buffer is still needed while the dialog is open";
    EXPECT_EQ(view->status.Text(), "card.tvk loaded.");
    EXPECT_TRUE(view->closed) << "the close is carried out after the load";
    EXPECT_EQ(std::get<std::string>(store.keys[kKey]["LastFile"]), path);
    EXPECT_EQ(CardImage.Data, nullptr);
}

TEST_F(Unit1Test, CloseStoresAllFiveValuesEveryTime)
{
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        store.writeLog.clear();
        TForm1& f = MakeForm();
        view->left = 12;
        view->top = 34;
        EXPECT_TRUE(f.OnCloseRequest());
        EXPECT_EQ(store.writeLog, (std::vector<std::string>{"Version", "ComPort", "Xpos", "Ypos", "LastFile"}));
        auto& values = store.keys[kKey];
        EXPECT_EQ(std::get<int32_t>(values["Version"]), 10);
        EXPECT_EQ(std::get<int32_t>(values["ComPort"]), -1) << "no entry selected";
        EXPECT_EQ(std::get<int32_t>(values["Xpos"]), 12);
        EXPECT_EQ(std::get<int32_t>(values["Ypos"]), 34);
        EXPECT_EQ(std::get<std::string>(values["LastFile"]), "");
        EXPECT_EQ(CardImage.Data, nullptr) << "buffer released";
        EXPECT_EQ(view->terminations, 1);
    }
}

TEST_F(Unit1Test, CloseWithoutAStoreOrWithAFailingWrite)
{
    store.refuseOpen = true;
    TForm1& f = MakeForm();
    EXPECT_TRUE(f.OnCloseRequest());
    EXPECT_TRUE(store.writeLog.empty());
    EXPECT_EQ(CardImage.Data, nullptr);
    EXPECT_EQ(view->terminations, 1);
    EXPECT_TRUE(view->errors.empty()) << "nothing is reported";

    store.refuseOpen = false;
    store.failingWrites = {"Xpos"};
    TForm1& g = MakeForm();
    EXPECT_FALSE(g.OnCloseRequest());
    EXPECT_EQ(view->errors, (std::vector<std::string>{"Failed to set data for 'Xpos'"}));
    EXPECT_EQ(store.writeLog, (std::vector<std::string>{"Version", "ComPort"})) << "values before it stay written";
    EXPECT_NE(CardImage.Data, nullptr) << "buffer kept";
    EXPECT_EQ(view->terminations, 0);
    store.failingWrites.clear();
    EXPECT_TRUE(g.OnCloseRequest());
    EXPECT_EQ(view->terminations, 1);
}

TEST_F(Unit1Test, FocusComesBackAfterLoadAndProgramAndOnActivation)
{
    VirtualClock clock;
    RefusingOpener opener;
    linkSetup.clock = &clock;
    linkSetup.ports = &opener;
    const std::string good = MakeFile("good.tvk", 100);
    const std::string shortFile = MakeFile("short.tvk", 10);
    const struct {
        const char* what;
        std::optional<Control> focused;  // before the click
        std::function<void()> act;
        std::optional<Control> focusAfter;
    } cases[] = {
        {"Load keeps it across the dialog", Control::Load, [this] { Load(std::nullopt); }, Control::Load},
        {"Program gets it back after a run", Control::Program,
         [this] { form->ProgramClick(nullptr); }, Control::Program},
        {"Program that stays disabled hands it to Load", Control::Program,
         [this, &shortFile] { Load(shortFile); }, Control::Load},
        {"no control had it: Load", std::nullopt, [this] { Load(std::nullopt); }, Control::Load},
        {"the window is inactive when the run ends: nothing until activation", Control::Program,
         [this] {
             view->onChoose = [this] { view->active = false; };
             Load(std::nullopt);
         },
         std::nullopt},
        {"deactivation outside a run remembers the check box", Control::VerifyCheckBox,
         [this] {
             form->WindowDeactivated();
             view->focus.reset();  // where the toolkit left it meanwhile
             EXPECT_TRUE(form->WindowActivated());
         },
         Control::VerifyCheckBox},
        {"activation during a run gives nothing", Control::Load,
         [this] {
             view->onChoose = [this] { EXPECT_FALSE(form->WindowActivated()); };
             Load(std::nullopt);
         },
         Control::Load},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MakeForm();
        view->port = 0;
        Load(good);
        ASSERT_TRUE(ProgramEnabled());
        view->focus = c.focused;
        c.act();
        view->onChoose = nullptr;
        EXPECT_EQ(view->focus, c.focusAfter);
        if (!view->active) {
            // Activation gives back what the run took.
            view->active = true;
            EXPECT_TRUE(form->WindowActivated());
            EXPECT_EQ(view->focus, c.focused);
        }
    }
}

TEST_F(Unit1Test, SessionEndStoresTheSettingsAndTheWindowGoesOnUntilItEnds)
{
    const std::vector<std::string> five = {"Version", "ComPort", "Xpos", "Ypos", "LastFile"};
    // Outside a run: stored at the query, the window goes on until the end.
    TForm1& f = MakeForm();
    view->port = 4;
    view->left = 12;
    EXPECT_TRUE(f.OnQueryEndSession());
    EXPECT_EQ(store.writeLog, five);
    EXPECT_EQ(std::get<int32_t>(store.keys[kKey]["ComPort"]), 4);
    EXPECT_EQ(std::get<int32_t>(store.keys[kKey]["Xpos"]), 12);
    EXPECT_NE(CardImage.Data, nullptr);
    EXPECT_FALSE(f.OnEndSession(false)) << "the session goes on, and so does the window";
    EXPECT_NE(CardImage.Data, nullptr);
    EXPECT_EQ(view->terminations, 0);
    EXPECT_TRUE(f.OnEndSession(true));
    EXPECT_EQ(CardImage.Data, nullptr);
    EXPECT_EQ(view->terminations, 1);
    EXPECT_TRUE(f.OnCloseRequest());
    EXPECT_EQ(store.writeLog, five) << "nothing stored twice";

    // A value that cannot be stored is shown; the session still may end.
    store.writeLog.clear();
    store.failingWrites = {"Xpos"};
    EXPECT_TRUE(MakeForm().OnQueryEndSession());
    EXPECT_EQ(view->errors, (std::vector<std::string>{"Failed to set data for 'Xpos'"}));
    store.failingWrites.clear();

    // While the open dialog is up: stored, and the image stays for the load.
    store.writeLog.clear();
    TForm1& g = MakeForm();
    view->onChoose = [&] {
        EXPECT_TRUE(g.OnQueryEndSession());
        EXPECT_FALSE(g.OnEndSession(true));
    };
    Load(MakeFile("card.tvk", 64));
    view->onChoose = nullptr;
    std::vector<std::string> twice = five;
    twice.insert(twice.end(), five.begin(), five.end());
    EXPECT_EQ(store.writeLog, twice) << "at the query, and again as the session ends under the load";
    EXPECT_EQ(CardImage.Length, 64);
    EXPECT_EQ(view->status.Text(), "card.tvk loaded.");
}

TEST_F(Unit1Test, SessionEndDuringARunStopsItThenCloses)
{
    const struct {
        const char* what;
        bool sessionEnds;  // the session ends without waiting for the run
        bool viewPumps;    // the window's waits process the view's messages, no pump of the test's
    } cases[] = {{"the session waits", false, false},
                 {"the session ends regardless", true, false},
                 {"the question comes among the view's messages", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualClock clock;
        sim::SimulatorOpener opener(clock, sim::SimOptions::Parse("card=in"));
        bool asked = false;
        bool answer = true;
        std::vector<std::string> storedDuringRun;
        bool imageKeptDuringRun = false;
        linkSetup.clock = &clock;
        linkSetup.ports = &opener;
        linkSetup.failures = opener.Failures();
        const std::function<void()> pump = [&] {
            if (asked || !form || view->status.Text() != status_text::kRemoveCard) return;
            asked = true;
            answer = form->OnQueryEndSession();
            if (c.sessionEnds) {
                EXPECT_FALSE(form->OnEndSession(true));
            }
            storedDuringRun = store.writeLog;
            imageKeptDuringRun = CardImage.Data != nullptr;
        };
        linkSetup.processMessages = c.viewPumps ? nullptr : pump;
        store.writeLog.clear();
        TForm1& f = MakeForm();
        if (c.viewPumps) view->onProcess = pump;
        view->port = 0;
        Load(MakeFile("card.tvk", 64));
        const int64_t start = clock.PeekMs();
        f.ProgramClick(nullptr);
        ASSERT_TRUE(asked);
        EXPECT_FALSE(answer) << "the session is asked to wait";
        EXPECT_TRUE(imageKeptDuringRun);
        EXPECT_EQ(storedDuringRun.size(), c.sessionEnds ? 5u : 0u);
        EXPECT_LT(clock.PeekMs() - start, 5000) << "the run stopped at its next wait, not after the 30 s prompt";
        EXPECT_FALSE(f.RunInProgress());
        EXPECT_FALSE(Link().SerialChannel.IsOpen);
        EXPECT_TRUE(view->closed) << "closed as for a close";
        EXPECT_EQ(store.writeLog.size(), storedDuringRun.size() + 5);
        EXPECT_EQ(CardImage.Data, nullptr);
        EXPECT_EQ(view->terminations, 1);
    }
}

TEST_F(Unit1Test, LinkOpensOnDoubleClickAndHoverLeavesItUnderlined)
{
    TForm1& f = MakeForm();
    f.LinkLabelDblClick(nullptr);
    f.Image1DblClick(nullptr);
    EXPECT_EQ(view->opened, (std::vector<std::string>{LinkAddress, LinkAddress}));

    EXPECT_FALSE(view->bold);
    EXPECT_FALSE(view->underline);
    f.LinkLabelMouseEnter(nullptr);
    EXPECT_TRUE(view->bold);
    EXPECT_TRUE(view->underline);
    f.LinkLabelMouseLeave(nullptr);
    EXPECT_FALSE(view->bold);
    EXPECT_TRUE(view->underline);
}

TEST(Unit1Helpers, NamePart)
{
    const struct {
        const char* path;
        const char* name;
    } names[] = {
        {"", ""}, {"card.tvk", "card.tvk"}, {"/home/u/cards/a.tvk", "a.tvk"}, {"/home/u/", ""},
#ifdef _WIN32
        {"C:\\Cards\\b.tvk", "b.tvk"}, {"C:b.tvk", "b.tvk"},
#else
        {"/odd\\name.tvk", "odd\\name.tvk"}, {"/a:b.tvk", "a:b.tvk"},
#endif
    };
    for (const auto& n : names) EXPECT_EQ(NamePart(n.path), n.name) << n.path;
}
