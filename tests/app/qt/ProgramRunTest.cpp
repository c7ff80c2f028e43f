// The Program sequence end to end through the real window on the simulated
// reader and card, on a virtual clock: prompts and their colours, speed
// calibration, progress, the final message, every failure, the controls
// during and after a run, and closing the window in the middle of a run.

#include <QCoreApplication>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FormFixture.h"
#include "reader/StatusMessages.h"
#include "simulator/Simulator.h"

namespace {

const std::string kKey = kSettingsKey;

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

class ProgramRunTest : public FormFixture {
protected:
    // Builds the window on Com1 with `image` loaded, and the simulated reader
    // with `options`.
    void Prepare(const std::string& options, size_t imageSize)
    {
        clock.SetPollStep(100);
        opener = std::make_unique<sim::SimulatorOpener>(clock, sim::SimOptions::Parse(options));
        linkSetup.clock = &clock;
        linkSetup.ports = opener.get();
        linkSetup.failures = opener->Failures();
        linkSetup.processMessages = [this] { Pump(); };
        QtMainWindow& f = MakeForm();
        f.show();
        f.ComPort->setCurrentIndex(0);
        QObject::connect(&f.Status(), &QLineEdit::textChanged,
                         [this](const QString& text) { texts.push_back(text.toStdString()); });
        image = MakeFile("card.tvk", imageSize, 3);
        LoadThroughDialog(image);
        ASSERT_TRUE(f.Program->isEnabled());
        texts.clear();
    }

    // The core's message processing: the toolkit's events, then a look at
    // the window as the user would see it.
    void Pump()
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!form) return;
        ++pumps;
        if (AnyInputEnabled()) inputsEnabledDuringRun = true;
        const TColor c = form->Status().Color();
        if (colors.empty() || colors.back() != c) colors.push_back(c);
        if (onPump) onPump();
    }

    void ClickProgram() { QTest::mouseClick(form->Program, Qt::LeftButton); }

    void ExpectIdleAfterRun()
    {
        EXPECT_FALSE(inputsEnabledDuringRun) << "inputs must stay disabled for the whole run";
        EXPECT_GT(pumps, 0);
        EXPECT_TRUE(InputsEnabled());
        EXPECT_TRUE(form->Program->isEnabled());
        EXPECT_FALSE(form->RunInProgress());
        EXPECT_FALSE(Link().SerialChannel.IsOpen) << "the port is closed after every run";
        EXPECT_FALSE(opener->Reader().HandleOpen());
        EXPECT_FALSE(Link().pump.AbortRequested());
    }

    void TearDown() override
    {
        form.reset();
        FormFixture::TearDown();
    }

    VirtualClock clock;
    std::unique_ptr<sim::SimulatorOpener> opener;
    std::string image;
    std::vector<std::string> texts;
    std::vector<TColor> colors;
    std::function<void()> onPump;
    bool inputsEnabledDuringRun = false;
    int pumps = 0;
};

TEST_F(ProgramRunTest, ProgramsTheSimulatedCardThroughTheWindow)
{
    Prepare("card=in,remove=1500,insert=4000", 1000);
    const int64_t start = clock.PeekMs();
    ClickProgram();

    EXPECT_EQ(form->Status().Text(), status_text::kCardProgrammed);
    EXPECT_EQ(form->Status().Color(), clLime);
    EXPECT_EQ(form->Status().palette().color(QPalette::Base), QColor(0, 255, 0));
    ExpectIdleAfterRun();

    // The prompts, in order: remove, set up, insert, calibrate, write, the
    // read pass.
    auto find = [this](const std::string& prefix, size_t from) {
        for (size_t i = from; i < texts.size(); ++i)
            if (StartsWith(texts[i], prefix)) return i;
        return texts.size();
    };
    const size_t remove = find(status_text::kRemoveCard, 0);
    const size_t setting = find("Wait Setting Phoenix 3.58MHz.", remove);
    const size_t insert = find(status_text::kInsertCard, setting);
    const size_t optimizing = find("Optimizing " + std::string(21, '*'), insert);
    const size_t writing = find("Programming and verifying ", optimizing);
    const size_t verifying = find("Verifying 0%", writing);
    ASSERT_LT(verifying, texts.size()) << "prompts missing or out of order: " << ::testing::PrintToString(texts);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [](const std::string& t) { return StartsWith(t, "Optimizing *"); }),
              21);
    EXPECT_EQ(texts.back(), status_text::kCardProgrammed);

    // The slot prompts blink yellow and red; success is green.
    const TColor blink[] = {clYellow, clRed, clYellow};
    const auto yellowRed = std::search(colors.begin(), colors.end(), std::begin(blink), std::end(blink));
    EXPECT_NE(yellowRed, colors.end()) << "no blinking seen";
    EXPECT_NE(std::find(yellowRed, colors.end(), clBtnFace), colors.end()) << "button face again after the prompt";

    // The card holds the image, its last block filled up with zeros.
    const std::vector<uint8_t>& memory = opener->Reader().Memory();
    bool same = true;
    for (size_t i = 0; i < 1000; ++i) same = same && memory[i] == Pattern(i, 3);
    EXPECT_TRUE(same);
    for (size_t i = 1000; i < 1008; ++i) EXPECT_EQ(memory[i], 0) << i;
    EXPECT_EQ(memory[1008], 0xFF) << "nothing written beyond the image";
    EXPECT_EQ(CardImage.Length, 1008);
    EXPECT_EQ(form->ProgressBar1->value(), (1008 - 16) * 100 / 1008);
    EXPECT_GT(clock.PeekMs() - start, 3000) << "the removal and insertion waits took their time";
}

TEST_F(ProgramRunTest, EveryFailureLeavesItsMessageAndFreesTheControls)
{
    const struct {
        const char* options;
        std::string text;
        TColor color;
    } cases[] = {
        {"card=in", status_text::kRemoveCard, clRed},  // never taken out
        {"card=out,silent=1", status_text::ErrorSetting("Phoenix"), clRed},
        {"card=out", status_text::kInsertCard, clRed},  // never put in
        {"card=out,insert=300,atr=none", status_text::kWrongAtr, clRed},
        {"card=out,insert=300,badcell=0x20", status_text::kErrorProgramming, clRed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        form.reset();
        texts.clear();
        colors.clear();
        inputsEnabledDuringRun = false;
        pumps = 0;
        Prepare(c.options, 64);
        ClickProgram();
        EXPECT_EQ(form->Status().Text(), c.text);
        EXPECT_EQ(form->Status().Color(), c.color);
        EXPECT_TRUE(std::find(texts.begin(), texts.end(), status_text::kCardProgrammed) == texts.end());
        ExpectIdleAfterRun();
        EXPECT_TRUE(errors.empty());
    }
}

TEST_F(ProgramRunTest, ClosingDuringARunStopsItThenStoresAndCloses)
{
    const struct {
        const char* when;
        const char* options;
        std::string trigger;  // status text (prefix) at which the user closes
        bool sessionEnds;     // the desktop session ends instead
    } cases[] = {
        {"while asked to remove the card", "card=in", status_text::kRemoveCard, false},
        {"while writing blocks", "card=out,insert=300", "Programming and verifying 2", false},
        {"the session ends while writing blocks", "card=out,insert=300", "Programming and verifying 2", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.when);
        form.reset();
        store.writeLog.clear();
        terminations = 0;
        Prepare(c.options, 4096);
        bool closeAsked = false;
        bool bufferKeptDuringRun = true;
        onPump = [&] {
            if (!closeAsked && StartsWith(form->Status().Text(), c.trigger)) {
                closeAsked = true;
                if (c.sessionEnds) EXPECT_FALSE(form->QueryEndSession()) << "the session is asked to wait";
                else form->close();
                // The close waits for the run: nothing stored, nothing freed.
                bufferKeptDuringRun = CardImage.Data != nullptr && form->isVisible() && store.writeLog.empty();
            }
        };
        const int64_t start = clock.PeekMs();
        ClickProgram();
        onPump = nullptr;

        ASSERT_TRUE(closeAsked);
        EXPECT_TRUE(bufferKeptDuringRun);
        EXPECT_LT(clock.PeekMs() - start, 25000) << "the run stopped at its next wait";
        EXPECT_NE(form->Status().Text(), status_text::kCardProgrammed);
        EXPECT_FALSE(Link().SerialChannel.IsOpen);
        EXPECT_FALSE(opener->Reader().HandleOpen());
        EXPECT_FALSE(Link().pump.AbortRequested());
        EXPECT_EQ(store.writeLog, (std::vector<std::string>{"Version", "ComPort", "Xpos", "Ypos", "LastFile"}));
        EXPECT_EQ(std::get<int32_t>(store.keys[kKey]["ComPort"]), 0);
        EXPECT_EQ(CardImage.Data, nullptr);
        EXPECT_FALSE(form->isVisible());
        EXPECT_EQ(terminations, 1);
        EXPECT_LT(opener->Reader().BlockWrites(), 4096 / 16) << "not every block was written";
    }
}
