#include "ui/main/host_secret_sheet.h"

#include "../fake_host.h"
#include "ui/kit/dark_theme.h"
#include "ui/main/host_main_screen.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

namespace plindo::ui {
namespace {

// The capture switch as the sheet sees it, with every switching logged.
struct FakeCapture {
    bool on = false;
    std::string path;
    int64_t count = 0;
    std::vector<bool> switched;

    CaptureAccess access() {
        return {[this] { return on; },
                [this](bool v) {
                    on = v;
                    switched.push_back(v);
                },
                [this] { return path; }, [this] { return count; }};
    }
};

struct HostSecretSheetTest : ::testing::Test {
    HostSecretSheetTest() { FrameClock::shared().setManual(true); }
    ::plindo::test::FakeHost host;
    FakeCapture capture;
};

TEST_F(HostSecretSheetTest, OpensMirroringCaptureWithStatoOffAndSwitchesCaptureOffOnce) {
    capture.on = true;
    capture.path = "/tmp/Logs/serato-rane-20261207-011500.bin";
    capture.count = 12;
    HostSecretSheet sheet(host, nullptr, capture.access());
    EXPECT_TRUE(sheet.capture());
    EXPECT_FALSE(sheet.stato());
    EXPECT_EQ(sheet.width(), HostSecretSheet::kWidth);
    EXPECT_EQ(sheet.captureStatus(), "12 Rahmen → serato-rane-20261207-011500.bin");
    EXPECT_TRUE(capture.switched.empty());  // showing it switches nothing

    sheet.captureSwitch()->click();
    EXPECT_EQ(capture.switched, std::vector<bool>{false});
    // Off, the status stays while a file is known, with its final count.
    EXPECT_EQ(sheet.captureStatus(), "12 Rahmen → serato-rane-20261207-011500.bin");
}

TEST_F(HostSecretSheetTest, StatusFollowsTheCounterOnceASecondAndHidesBeforeAnyFile) {
    HostSecretSheet sheet(host, nullptr, capture.access());
    EXPECT_TRUE(sheet.captureStatus().isEmpty());  // right after launch: off, no file

    sheet.captureSwitch()->click();
    EXPECT_EQ(sheet.captureStatus(), "0 Rahmen → –");  // on, no file yet

    capture.path = "/x/serato-rane-20261207-020000.bin";
    capture.count = 5;
    host.clock.advance(0.5);
    FrameClock::shared().step();
    EXPECT_EQ(sheet.captureStatus(), "0 Rahmen → –");  // not yet a second
    host.clock.advance(0.5);
    FrameClock::shared().step();
    EXPECT_EQ(sheet.captureStatus(), "5 Rahmen → serato-rane-20261207-020000.bin");
    capture.count = 900;
    host.clock.advance(1.0);
    FrameClock::shared().step();
    EXPECT_EQ(sheet.captureStatus(), "900 Rahmen → serato-rane-20261207-020000.bin");
}

TEST_F(HostSecretSheetTest, DeckRowsWorkExactlyWhileUnlockedAndPassStatoAtThePress) {
    HostSecretSheet sheet(host, nullptr, capture.access());
    EXPECT_FALSE(sheet.deckRow(1)->isEnabled());
    EXPECT_FALSE(sheet.deckRow(2)->isEnabled());

    sheet.unlockSwitch()->click();
    EXPECT_EQ(host.take(), std::vector<std::string>{"setDynamoUnlocked(1)"});
    QCoreApplication::processEvents();  // the change signal arrives
    EXPECT_TRUE(sheet.deckRow(1)->isEnabled());
    EXPECT_TRUE(sheet.deckRow(2)->isEnabled());

    sheet.statoSwitch()->click();
    sheet.deckButton(1, true)->click();
    sheet.statoSwitch()->click();
    sheet.deckButton(2, true)->click();
    sheet.deckButton(1, false)->click();
    EXPECT_EQ(host.take(), (std::vector<std::string>{"toggleDeckView(1,1,1)", "toggleDeckView(2,1,0)", "toggleDeckView(1,0,0)"}));

    // Locked from elsewhere: the switch and the rows follow.
    host.assignDynamoUnlocked(false);
    QCoreApplication::processEvents();
    EXPECT_FALSE(sheet.unlockSwitch()->isChecked());
    EXPECT_FALSE(sheet.deckRow(1)->isEnabled());
    EXPECT_TRUE(host.take().empty());  // following the controller writes nothing back
}

TEST_F(HostSecretSheetTest, ReturnClosesItAndTheControllerHearsIt) {
    HostSecretSheet sheet(host, nullptr, capture.access());
    sheet.show();
    EXPECT_TRUE(sheet.doneButton()->isDefault());
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_FALSE(sheet.isVisible());
    EXPECT_EQ(host.take(), std::vector<std::string>{"writeShowSecret(0)"});
}

TEST_F(HostSecretSheetTest, TheScreenRaisesItWithShowSecretAndClosingByAnyMeansLowersIt) {
    HostMainScreen screen(host);
    screen.show();
    capture.on = true;
    screen.setSecretSheet([this](QWidget* parent) { return new HostSecretSheet(host, parent, capture.access()); });
    EXPECT_EQ(screen.findChildren<HostSecretSheet*>().size(), 0);

    host.assignShowSecret(true);
    auto sheets = screen.findChildren<HostSecretSheet*>();
    ASSERT_EQ(sheets.size(), 1);
    EXPECT_TRUE(sheets[0]->isVisible());
    EXPECT_TRUE(sheets[0]->capture());
    EXPECT_EQ(sheets[0]->windowModality(), Qt::WindowModal);

    host.take();
    sheets[0]->close();  // the window's own close
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(host.take(), std::vector<std::string>{"writeShowSecret(0)"});
    EXPECT_FALSE(host.showSecret());
    EXPECT_EQ(screen.findChildren<HostSecretSheet*>().size(), 0);

    // Raised again, a fresh sheet: capture as it is now, STATO off.
    capture.on = false;
    host.assignShowSecret(true);
    sheets = screen.findChildren<HostSecretSheet*>();
    ASSERT_EQ(sheets.size(), 1);
    EXPECT_FALSE(sheets[0]->capture());
    EXPECT_FALSE(sheets[0]->stato());
    EXPECT_EQ(sheets[0]->width(), HostSecretSheet::kWidth);
    sheets[0]->setPalette(darkPalette());  // as the application shows it
    sheets[0]->grab().save(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR") + "/host_secret_sheet.png");
    QTest::keyClick(sheets[0], Qt::Key_Escape);
    const auto calls = host.take();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "writeShowSecret(0)"), 1);
}

}  // namespace
}  // namespace plindo::ui
