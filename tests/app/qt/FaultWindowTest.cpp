// The fault table of the core fault matrix, through the real window: a Program
// click on the simulated reader with each device fault, with and without
// "Verify programming". Each run must end in its message and colour with the
// port closed, no error box, the inputs disabled for the whole run and
// enabled again afterwards (Program too, the image being loaded), and - with
// verify - "Card successfully programmed." only when the card holds the
// image.

#include <QCoreApplication>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FormFixture.h"
#include "reader/StatusMessages.h"
#include "simulator/Simulator.h"
#include "support/FaultTable.h"
#include "support/FaultyPorts.h"

using namespace fault_table;

class FaultWindowTest : public FormFixture {};

TEST_F(FaultWindowTest, EveryFaultEndsInItsMessageWithTheControlsBack)
{
    for (const Fault& fault : Faults()) {
        for (bool verify : {true, false}) {
            const Expect& expect = verify ? fault.verifyOn : fault.verifyOff;
            for (int seed = 1; seed <= fault.seeds; ++seed) {
                SCOPED_TRACE(fault.name + (verify ? ", verify" : ", no verify") + ", seed " + std::to_string(seed));
                VirtualClock clock;
                clock.SetPollStep(4 * kPollStepMicros);  // each poll also processes Qt events
                sim::SimulatorOpener simulator(clock, sim::SimOptions::Parse(SimulatorOptions(fault, seed)));
                simulator.Reader().SetRecording(false);
                FaultyOpener faulty(simulator);
                if (fault.arrange) fault.arrange(faulty);

                linkSetup.clock = &clock;
                linkSetup.ports = &faulty;
                linkSetup.failures = simulator.Failures();
                QtMainWindow& f = MakeForm();
                f.ComPort->setCurrentIndex(0);
                f.VerifyCheckBox->setChecked(verify);
                const std::vector<uint8_t> image = MakeImage(fault.imageBytes, static_cast<uint32_t>(seed));
                const std::string path = (folder / "card.tvk").string();
                std::ofstream(path, std::ios::binary)
                    .write(reinterpret_cast<const char*>(image.data()), fault.imageBytes);
                LoadThroughDialog(path);
                ASSERT_TRUE(f.Program->isEnabled());

                Live live{simulator.Reader(), [&f] { return f.Status().Text(); }};
                bool inputSeenEnabled = false;
                bool hang = false;
                const int64_t start = clock.PeekMicros();
                ReaderLink& runLink = Link();
                runLink.pump.processMessages = [&] {
                    QCoreApplication::processEvents();
                    if (AnyInputEnabled()) inputSeenEnabled = true;
                    if (fault.during) fault.during(live);
                    if (clock.PeekMicros() - start > kHangLimitMicros) {
                        hang = true;
                        runLink.pump.RequestAbort();
                    }
                };
                QTest::mouseClick(f.Program, Qt::LeftButton);

                const std::string text = f.Status().Text();
                EXPECT_NE(std::find(expect.texts.begin(), expect.texts.end(), text), expect.texts.end()) << text;
                EXPECT_EQ(f.Status().Color(), text == status_text::kCardProgrammed ? clLime : clRed);
                EXPECT_FALSE(hang);
                EXPECT_FALSE(inputSeenEnabled) << "inputs must stay disabled for the whole run";
                EXPECT_TRUE(InputsEnabled());
                EXPECT_TRUE(f.Program->isEnabled());
                EXPECT_FALSE(runLink.SerialChannel.IsOpen);
                EXPECT_FALSE(simulator.Reader().HandleOpen());
                EXPECT_TRUE(errors.empty());
                const Card card = CardStateOf(simulator.Reader().Memory(), image, (fault.imageBytes + 15) / 16 * 16);
                if (expect.card != Card::Any) {
                    EXPECT_STREQ(CardName(card), CardName(expect.card));
                }
                if (verify && text == status_text::kCardProgrammed) {
                    EXPECT_EQ(card, Card::Holds) << "success shown, but the card does not hold the image";
                }
                form.reset();
                errors.clear();
            }
        }
    }
}
