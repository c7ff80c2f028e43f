// The Qt window's wiring: its controls, their places, captions and initial
// states, the events that reach the window logic (clicks, double-clicks,
// hover, close), the status colours on screen, and the program entry. The
// window logic itself is tested in tests/app/Unit1Test.cpp.

#include <QCloseEvent>
#include <QEnterEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FormFixture.h"
#include "app/qt/Application.h"
#include "app/qt/Colors.h"
#include "reader/StatusMessages.h"
#include "settings/RegFile.h"

namespace {

const std::string kKey = kSettingsKey;

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

}  // namespace

using QtMainWindowTest = FormFixture;

TEST_F(QtMainWindowTest, FirstStartWithoutSettings)
{
    // Program opens through a port that refuses every open.
    VirtualClock clock;
    RefusingOpener opener;
    linkSetup.clock = &clock;
    linkSetup.ports = &opener;
    QtMainWindow& f = MakeForm();
    EXPECT_EQ(f.windowTitle(), "Torvik Card Loader for Norvale USB SM/Phoenix V1.1");
    EXPECT_EQ(f.size(), QSize(378, 155));
    EXPECT_EQ(f.minimumSize(), f.maximumSize()) << "fixed size";
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);

    EXPECT_EQ(f.ComPort->currentText(), "Com1");
    EXPECT_EQ(f.ComPort->currentIndex(), -1);
    EXPECT_EQ(f.ComPort->count(), 16);
    EXPECT_EQ(f.ComPort->itemText(15), "Com16");
    EXPECT_TRUE(f.ComPort->isEditable());
    EXPECT_FALSE(f.Program->isEnabled());
    EXPECT_TRUE(InputsEnabled());
    EXPECT_TRUE(f.VerifyCheckBox->isChecked());
    EXPECT_EQ(f.Status().Text(), "");
    EXPECT_EQ(f.Status().Color(), clBtnFace);
    EXPECT_TRUE(f.Status().font().bold());
    EXPECT_FALSE(f.Status().isReadOnly());
    EXPECT_EQ(f.ProgressBar1->value(), 0);
    EXPECT_EQ(f.LinkLabel->text().toStdString(), LinkAddress);
    EXPECT_EQ(LinkAddress.rfind("https://example.com/", 0), 0u) << "a reserved example address";
    EXPECT_EQ(f.Image1->pixmap().size(), QSize(204, 89));
    ASSERT_NE(CardImage.Data, nullptr);
    EXPECT_EQ(CardImage.Length, 0);
    EXPECT_EQ(store.keys.count(kKey), 1u) << "the key is created at start";

    // Component positions and sizes within the client area.
    const struct {
        QWidget* widget;
        QRect rect;
    } layout[] = {
        {f.Image1, {165, 8, 204, 89}},       {f.ComPort, {88, 8, 65, 21}},
        {f.Load, {8, 32, 145, 25}},          {f.Program, {8, 64, 145, 25}},
        {f.VerifyCheckBox, {8, 94, 145, 17}}, {f.ProgressBar1, {8, 112, 361, 12}},
        {f.LinkLabel, {165, 96, 204, 13}},   {&f.Status(), {8, 128, 361, 21}},
    };
    for (const auto& item : layout) EXPECT_EQ(item.widget->geometry(), item.rect) << item.widget->objectName().toStdString();

    // Tab order: Load, Program, Status, ComPort, VerifyCheckBox (the progress
    // bar takes no focus).
    const std::vector<QWidget*> stops = {f.Load, f.Program, &f.Status(), f.ComPort, f.VerifyCheckBox};
    std::vector<QWidget*> chain;
    QWidget* w = f.Load;
    do {
        if (std::find(stops.begin(), stops.end(), w) != stops.end()) chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != f.Load && chain.size() < 10);
    EXPECT_EQ(chain, stops);
    EXPECT_EQ(f.ProgressBar1->focusPolicy(), Qt::NoFocus);

    // With no entry selected a Program click names port 0, which opens
    // nothing.
    LoadThroughDialog(MakeFile("card.tvk", 100));
    ASSERT_TRUE(f.Program->isEnabled());
    QTest::mouseClick(f.Program, Qt::LeftButton);
    EXPECT_EQ(opener.names, (std::vector<std::string>{".\\COM0"}));
    EXPECT_EQ(f.Status().Text(), "Could not open comport!");
    EXPECT_EQ(f.Status().Color(), clRed);
    EXPECT_TRUE(InputsEnabled());
    EXPECT_TRUE(f.Program->isEnabled());
    EXPECT_FALSE(Link().SerialChannel.IsOpen);
}

TEST_F(QtMainWindowTest, StoredComPortSelectsOnlyExistingEntries)
{
    const struct {
        int32_t stored;
        int index;
        const char* text;
    } cases[] = {
        {0, 0, "Com1"}, {5, 5, "Com6"}, {15, 15, "Com16"}, {16, -1, "Com1"}, {-1, -1, "Com1"}, {-100000, -1, "Com1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        store.keys[kKey]["ComPort"] = c.stored;
        QtMainWindow& f = MakeForm();
        EXPECT_EQ(f.ComPort->currentIndex(), c.index);
        EXPECT_EQ(f.ComPortIndex(), c.index);
        EXPECT_EQ(f.ComPort->currentText(), c.text);
    }
}

TEST_F(QtMainWindowTest, EditedPortTextNamesNoEntry)
{
    store.keys[kKey]["ComPort"] = 2;
    QtMainWindow& f = MakeForm();
    EXPECT_EQ(f.ComPortIndex(), 2);
    f.ComPort->setEditText("Com7");
    EXPECT_EQ(f.ComPortIndex(), -1) << "the selection no longer matches what is shown";
    f.ComPort->setEditText("Com3");
    EXPECT_EQ(f.ComPortIndex(), 2);
}

TEST_F(QtMainWindowTest, StoredPositionIsAppliedAsItStands)
{
    store.keys[kKey]["Xpos"] = 40;
    store.keys[kKey]["Ypos"] = -20;  // off the screen: applied anyway
    QtMainWindow& f = MakeForm();
    EXPECT_EQ(f.pos(), QPoint(40, -20));

    store.keys[kKey].erase("Ypos");
    store.keys[kKey]["Xpos"] = 77;
    QtMainWindow& g = MakeForm();
    g.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&g));
    const int placedY = g.y();
    for (int i = 0; i < 200 && g.x() != 77; ++i) QTest::qWait(10);
    EXPECT_EQ(g.x(), 77);
    EXPECT_EQ(g.y(), placedY) << "only the stored axis moves";
}

TEST_F(QtMainWindowTest, WrongTypedSettingIsShownThenTheWindowStarts)
{
    const struct {
        const char* name;
        MemoryStore::Value value;
    } cases[] = {
        {"ComPort", std::string("3")}, {"Xpos", std::string("10")}, {"LastFile", int32_t{4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store.keys.clear();
        store.keys[kKey][c.name] = c.value;
        errors.clear();
        bool windowHiddenDuringError = false;
        QtWindowServices s = Services();
        s.showError = [&](const std::string& message) {
            errors.push_back(message);
            windowHiddenDuringError = MainWindow() != nullptr && !MainWindow()->isVisible();
        };
        s.terminate = [] { QCoreApplication::quit(); };
        bool sawWindow = false;
        QTimer::singleShot(0, [&] {
            sawWindow = MainWindow() != nullptr && MainWindow()->isVisible();
            if (MainWindow()) MainWindow()->close();
        });
        EXPECT_EQ(RunApplication(*qApp, s), 0);
        EXPECT_EQ(errors, (std::vector<std::string>{std::string("Invalid data type for '") + c.name + "'"}));
        EXPECT_TRUE(windowHiddenDuringError);
        EXPECT_TRUE(sawWindow) << "the program starts with the value's default";
        EXPECT_EQ(Form1, nullptr);
        EXPECT_EQ(store.keys[kKey][c.name].index(), c.value.index() == 0 ? 1u : 0u) << "rewritten with its type";
    }
}

TEST_F(QtMainWindowTest, MissingImageBufferEndsStartUp)
{
    QtWindowServices s = Services();
    s.allocateImage = [](std::size_t) { return nullptr; };
    bool windowLeftBehind = true;
    s.showError = [&](const std::string& message) {
        errors.push_back(message);
        windowLeftBehind = Form1 != nullptr;
    };
    EXPECT_EQ(RunApplication(*qApp, s), 0);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("memory"), std::string::npos) << errors[0];
    EXPECT_FALSE(windowLeftBehind) << "Form1 must not point at the destroyed window";
    EXPECT_EQ(CardImage.Data, nullptr);
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible());
}

TEST_F(QtMainWindowTest, EntryRunsTheLoopUntilTheWindowCloses)
{
    // Closed by the user; ended with the desktop session (the session
    // manager's question, then the application quits with the window open).
    for (const bool sessionEnd : {false, true}) {
        SCOPED_TRACE(sessionEnd);
        store.keys[kKey] = {{"LastFile", std::string("/cards/kept.tvk")}};
        store.writeLog.clear();
        terminations = 0;
        QtWindowServices s = Services();
        s.terminate = [this] {
            ++terminations;
            QCoreApplication::quit();
        };
        bool sawWindow = false;
        QTimer::singleShot(0, [&] {
            sawWindow = MainWindow() != nullptr && MainWindow()->isVisible();
            if (!MainWindow()) return;
            MainWindow()->move(21, 43);
            if (!sessionEnd) {
                MainWindow()->close();
                return;
            }
            EXPECT_TRUE(MainWindow()->QueryEndSession());
            EXPECT_EQ(store.writeLog.size(), 5u) << "stored at the question";
            EXPECT_TRUE(MainWindow()->isVisible());
            QCoreApplication::quit();
        });
        EXPECT_EQ(RunApplication(*qApp, s), 0);
        EXPECT_TRUE(sawWindow);
        EXPECT_EQ(terminations, 1);
        EXPECT_EQ(Form1, nullptr);
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(std::get<std::string>(store.keys[kKey]["LastFile"]), "/cards/kept.tvk");
        EXPECT_EQ(std::get<int32_t>(store.keys[kKey]["Xpos"]), 21);
        EXPECT_EQ(store.writeLog.size(), sessionEnd ? 10u : 5u);
    }
}

TEST_F(QtMainWindowTest, DialogIsAskedWithTheLastFile)
{
    store.keys[kKey]["LastFile"] = std::string("/cards/old/previous.tvk");
    MakeForm();
    LoadThroughDialog(std::nullopt);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Load Torvik Loader File");
    EXPECT_EQ(QtNameFilters(requests[0].filter),
              (std::vector<std::string>{"TorvikLoader files (*.tvk)", "All Files (*)"}));
    EXPECT_EQ(requests[0].initialDirectory, "/cards/old/previous.tvk");
    EXPECT_EQ(requests[0].initialFileName, "previous.tvk");
}

TEST_F(QtMainWindowTest, CloseStoresAllFiveValuesEveryTime)
{
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        store.writeLog.clear();
        terminations = 0;
        QtMainWindow& f = MakeForm();
        f.move(12, 34);
        EXPECT_TRUE(f.close());
        EXPECT_EQ(store.writeLog, (std::vector<std::string>{"Version", "ComPort", "Xpos", "Ypos", "LastFile"}));
        auto& values = store.keys[kKey];
        EXPECT_EQ(std::get<int32_t>(values["Version"]), 10);
        EXPECT_EQ(std::get<int32_t>(values["ComPort"]), -1) << "no entry selected";
        EXPECT_EQ(std::get<int32_t>(values["Xpos"]), 12);
        EXPECT_EQ(std::get<int32_t>(values["Ypos"]), 34);
        EXPECT_EQ(std::get<std::string>(values["LastFile"]), "");
        EXPECT_EQ(CardImage.Data, nullptr) << "buffer released";
        EXPECT_EQ(terminations, 1);
    }
}

TEST_F(QtMainWindowTest, FailingWriteKeepsTheWindowOpen)
{
    store.failingWrites = {"Xpos"};
    QtMainWindow& f = MakeForm();
    f.show();
    EXPECT_FALSE(f.close());
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(errors, (std::vector<std::string>{"Failed to set data for 'Xpos'"}));
    EXPECT_EQ(store.writeLog, (std::vector<std::string>{"Version", "ComPort"})) << "values before it stay written";
    EXPECT_NE(CardImage.Data, nullptr) << "buffer kept";
    EXPECT_EQ(terminations, 0);

    // The window still works, and closes once the store accepts the values.
    LoadThroughDialog(MakeFile("after.tvk", 40));
    EXPECT_EQ(f.Status().Text(), "after.tvk loaded.");
    store.failingWrites.clear();
    EXPECT_TRUE(f.close());
    EXPECT_EQ(terminations, 1);
}

TEST_F(QtMainWindowTest, SettingsRoundTripThroughTheRegFile)
{
    const std::string storePath = (folder / "config" / "USB_TorvikLoader.reg").string();
    auto services = [&] {
        QtWindowServices s = Services();
        s.openRegistry = [storePath] { return std::make_unique<TRegFileRegistry>(storePath); };
        return s;
    };
    const std::string image = MakeFile("round \"trip\".tvk", 50);
    {
        form = std::make_unique<QtMainWindow>(services());
        form->ComPort->setCurrentIndex(2);
        form->move(40, 50);
        LoadThroughDialog(image);
        ASSERT_TRUE(form->close());
    }
    LastFile.clear();
    form = std::make_unique<QtMainWindow>(services());
    EXPECT_EQ(form->ComPort->currentText(), "Com3");
    EXPECT_EQ(form->pos(), QPoint(40, 50));
    EXPECT_EQ(LastFile, image);

    std::ifstream in(storePath, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"Version\"=dword:0000000a"), std::string::npos) << text;
    EXPECT_NE(text.find("\"ComPort\"=dword:00000002"), std::string::npos) << text;
}

TEST_F(QtMainWindowTest, HoverMakesTheLinkBoldAndLeavesItUnderlined)
{
    QtMainWindow& f = MakeForm();
    EXPECT_FALSE(f.LinkLabel->font().bold());
    EXPECT_FALSE(f.LinkLabel->font().underline());
    EXPECT_EQ(f.LinkLabel->palette().color(QPalette::WindowText), QColor(0, 0, 128));

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(f.LinkLabel, &enter);
    EXPECT_TRUE(f.LinkLabel->font().bold());
    EXPECT_TRUE(f.LinkLabel->font().underline());

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(f.LinkLabel, &leave);
    EXPECT_FALSE(f.LinkLabel->font().bold());
    EXPECT_TRUE(f.LinkLabel->font().underline());
}

TEST_F(QtMainWindowTest, DoubleClicksOpenTheLink)
{
    QtMainWindow& f = MakeForm();
    QTest::mouseDClick(f.LinkLabel, Qt::LeftButton);
    QTest::mouseDClick(f.Image1, Qt::LeftButton);
    QTest::mouseClick(f.LinkLabel, Qt::LeftButton);  // a single click does nothing
    EXPECT_EQ(opened, (std::vector<std::string>{LinkAddress, LinkAddress}));
}

TEST_F(QtMainWindowTest, StatusColoursReachTheScreen)
{
    QtMainWindow& f = MakeForm();
    const struct {
        TColor color;
        QColor shown;
    } cases[] = {
        {clRed, QColor(255, 0, 0)},
        {clLime, QColor(0, 255, 0)},
        {clYellow, QColor(255, 255, 0)},
        {0x00332211, QColor(0x11, 0x22, 0x33)},
        {clBtnFace, QApplication::palette().color(QPalette::Button)},
    };
    for (const auto& c : cases) {
        f.Status().SetColor(c.color);
        EXPECT_EQ(f.Status().Color(), c.color);
        EXPECT_EQ(f.Status().palette().color(QPalette::Base), c.shown) << std::hex << c.color;
        EXPECT_EQ(ToQColor(c.color, QApplication::palette()), c.shown);
    }
}

TEST_F(QtMainWindowTest, KeyboardWorksAfterLoadAndProgram)
{
    VirtualClock clock;
    RefusingOpener opener;
    linkSetup.clock = &clock;
    linkSetup.ports = &opener;
    QtMainWindow& f = MakeForm();
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    const auto focus = [] { return QApplication::focusWidget(); };
    EXPECT_EQ(focus(), f.Load) << "at start";

    // Enter (either key) presses the focused push button, and the button
    // has the focus again when its handler ends.
    const struct {
        QPushButton* button;
        Qt::Key key;
        size_t dialogs;      // open dialogs asked for so far
        const char* status;  // after the handler
    } presses[] = {
        {f.Load, Qt::Key_Return, 1, "card.tvk loaded."},
        {f.Program, Qt::Key_Enter, 1, "Could not open comport!"},
        {f.Load, Qt::Key_Enter, 2, "card.tvk loaded."},
        {f.Program, Qt::Key_Return, 2, "Could not open comport!"},
    };
    nextChoice = MakeFile("card.tvk", 100);
    for (const auto& p : presses) {
        SCOPED_TRACE(p.button->text().toStdString() + " " + std::to_string(p.key));
        p.button->setFocus();
        QTest::keyClick(p.button, p.key);
        EXPECT_EQ(requests.size(), p.dialogs);
        EXPECT_EQ(f.Status().Text(), p.status);
        EXPECT_EQ(focus(), p.button);
    }

    // After the run Tab moves on and Space toggles the check box.
    for (QWidget* next : {static_cast<QWidget*>(&f.Status()), static_cast<QWidget*>(f.ComPort),
                          static_cast<QWidget*>(f.VerifyCheckBox)}) {
        QTest::keyClick(focus(), Qt::Key_Tab);
        EXPECT_EQ(focus(), next) << next->objectName().toStdString();
    }
    QTest::keyClick(focus(), Qt::Key_Space);
    EXPECT_FALSE(f.VerifyCheckBox->isChecked());
    // Up and Down in the port list select its entries.
    f.ComPort->setFocus();
    QTest::keyClick(focus(), Qt::Key_Down);
    EXPECT_EQ(f.ComPortIndex(), 1);
    QTest::keyClick(focus(), Qt::Key_Up);
    EXPECT_EQ(f.ComPortIndex(), 0);
}

// Runs at the scale in QT_SCALE_FACTOR: 1 by default, 2 in a second run
// (app_qt_tests_scale_2).
TEST_F(QtMainWindowTest, TextsFitTheirControls)
{
    const double scale = qEnvironmentVariableIsSet("QT_SCALE_FACTOR") ? qgetenv("QT_SCALE_FACTOR").toDouble() : 1.0;
    QtMainWindow& f = MakeForm();
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    ASSERT_EQ(f.devicePixelRatio(), scale);

    // The room each control leaves its text, as its style draws it.
    const auto buttonRoom = [](QAbstractButton* b, QStyle::SubElement element) {
        QStyleOptionButton option;
        option.initFrom(b);
        option.text = b->text();
        return b->style()->subElementRect(element, &option, b);
    };
    const auto comboRoom = [&f] {
        QStyleOptionComboBox option;
        option.initFrom(f.ComPort);
        option.editable = true;
        return f.ComPort->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField,
                                                  f.ComPort);
    };
    const auto editRoom = [&f] {
        QStyleOptionFrame option;
        option.initFrom(&f.Status());
        option.lineWidth = f.Status().hasFrame() ? 1 : 0;
        return f.Status().style()->subElementRect(QStyle::SE_LineEditContents, &option, &f.Status());
    };
    QStringList ports;
    for (int i = 0; i < f.ComPort->count(); ++i) ports << f.ComPort->itemText(i);
    // The longest texts the status field shows.
    const QStringList statuses = {status_text::kWrongAtr, status_text::kErrorProgramming,
                                  QString::fromStdString(status_text::Progress(true, 100)),
                                  QString::fromStdString(status_text::Optimizing(21))};
    QFont hover = f.LinkLabel->font();
    hover.setBold(true);
    hover.setUnderline(true);
    const struct {
        const char* what;
        QRect room;
        QFont font;
        QStringList texts;
    } rows[] = {
        {"Label1", f.Label1->contentsRect(), f.Label1->font(), {f.Label1->text()}},
        {"LinkLabel", f.LinkLabel->contentsRect(), f.LinkLabel->font(), {f.LinkLabel->text()}},
        {"LinkLabel under the pointer", f.LinkLabel->contentsRect(), hover, {f.LinkLabel->text()}},
        {"Load", buttonRoom(f.Load, QStyle::SE_PushButtonContents), f.Load->font(), {f.Load->text()}},
        {"Program", buttonRoom(f.Program, QStyle::SE_PushButtonContents), f.Program->font(), {f.Program->text()}},
        {"VerifyCheckBox", buttonRoom(f.VerifyCheckBox, QStyle::SE_CheckBoxContents), f.VerifyCheckBox->font(),
         {f.VerifyCheckBox->text()}},
        {"ComPort", comboRoom(), f.ComPort->font(), ports},
        {"Status", editRoom(), f.Status().font(), statuses},
    };
    for (const auto& row : rows) {
        const QFontMetrics metrics(row.font, &f);
        for (const QString& text : row.texts) {
            SCOPED_TRACE(std::string(row.what) + ": " + text.toStdString());
            EXPECT_LE(metrics.horizontalAdvance(text), row.room.width());
            EXPECT_LE(metrics.height(), row.room.height());
        }
    }
}

TEST(QtMainWindowHelpers, QtNameFilters)
{
    EXPECT_EQ(QtNameFilters("Images (*.tvk;*.bin)|*.tvk;*.bin|Text|*.txt"),
              (std::vector<std::string>{"Images (*.tvk *.bin)", "Text (*.txt)"}));
    EXPECT_TRUE(QtNameFilters("").empty());
}
