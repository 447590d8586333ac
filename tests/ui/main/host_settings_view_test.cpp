// The settings window: what it lists, what a user's choice writes, and that redraws write nothing.
#include "../fake_host.h"
#include "link/orv_server.h"
#include "ui/main/host_settings_view.h"
#include "ui_main_test_util.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace plindo::test {
namespace {

using ui::HostSettingsView;

std::vector<std::string> items(const QComboBox* c) {
    std::vector<std::string> out;
    for (int i = 0; i < c->count(); ++i) out.push_back(c->itemText(i).toStdString());
    return out;
}

struct SettingsRig {
    FakeHost host;
    ScriptedDialogs dialogs;
    HostSettingsView view{host, dialogs};
    SettingsRig() {
        host.assignDevices({{1, "null", "null", 2}, {2, "pa:Three", "Three", 3}, {3, "pa:Five", "Five", 5},
                            {4, "pa:Eight", "Eight", 8}});
        view.show();
        host.take();
    }
    template <typename W>
    W* find(const char* name) {
        auto* w = view.findChild<W*>(name);
        EXPECT_TRUE(w) << name;
        return w;
    }
};

TEST(HostSettingsView, ListsDevicesAndOnlyWholeChannelPairs) {
    SettingsRig rig;
    EXPECT_EQ(rig.view.width(), 480);
    auto* device = rig.find<QComboBox>("device0");
    EXPECT_EQ(items(device), (std::vector<std::string>{"null", "Three (3 ch)", "Five (5 ch)", "Eight (8 ch)"}));
    EXPECT_EQ(device->currentIndex(), -1) << "no uid chosen yet";
    struct Case {
        const char* uid;
        std::vector<std::string> pairs;  // empty: the fixed text instead of a picker
    } cases[] = {
        {"null", {}},
        {"pa:Three", {"Channels 1\u20132"}},
        {"pa:Five", {"Channels 1\u20132", "Channels 3\u20134"}},
        {"pa:Eight", {"Channels 1\u20132", "Channels 3\u20134", "Channels 5\u20136", "Channels 7\u20138"}},
        {"gone", {}},
    };
    for (const auto& c : cases) {
        rig.host.assignSelectedUID(0, c.uid);
        auto* pairs = rig.find<QComboBox>("channels0");
        auto* text = rig.find<QLabel>("channelsText0");
        EXPECT_EQ(pairs->isVisible(), !c.pairs.empty()) << c.uid;
        EXPECT_EQ(text->isVisible(), c.pairs.empty()) << c.uid;
        EXPECT_EQ(text->text().toStdString(), "Channels 1\u20132");
        if (!c.pairs.empty()) EXPECT_EQ(items(pairs), c.pairs) << c.uid;
        EXPECT_EQ(device->currentIndex(), device->findData(QString(c.uid))) << c.uid;  // -1 for a uid not listed
    }
    rig.host.assignSelectedUID(1, "pa:Eight");
    rig.host.assignSelectedChan(1, 4);
    EXPECT_EQ(rig.find<QComboBox>("channels1")->currentText().toStdString(), "Channels 5\u20136");
    EXPECT_TRUE(rig.host.take().empty()) << "a redraw writes nothing back";
    screenshot(rig.view, "settings");
}

TEST(HostSettingsView, AnotherDeviceStartsOnPairOneAndAppliesOnce) {
    SettingsRig rig;
    // The change is applied now, and the caption says so.
    std::vector<std::string> captions;
    for (const QLabel* l : rig.view.findChildren<QLabel*>())
        if (l->text().startsWith("Device changes")) captions.push_back(l->text().toStdString());
    EXPECT_EQ(captions, std::vector<std::string>{"Device changes apply at once."});
    rig.host.assignSelectedUID(0, "pa:Eight");
    rig.host.assignSelectedChan(0, 4);
    auto* device = rig.find<QComboBox>("device0");
    Q_EMIT device->activated(1);  // the user picks "Three"
    EXPECT_EQ(rig.host.take(), (std::vector<std::string>{"writeSelectedUID(0,pa:Three)", "writeSelectedChan(0,0)",
                                                         "applyOutput(1)"}));
    EXPECT_EQ(rig.host.settings_.stringValue("orv.devUID.1"), "pa:Three");
    Q_EMIT device->activated(1);  // the same again: nothing
    EXPECT_TRUE(rig.host.take().empty());

    rig.host.assignSelectedUID(1, "pa:Eight");
    Q_EMIT rig.find<QComboBox>("channels1")->activated(3);
    EXPECT_EQ(rig.host.take(), (std::vector<std::string>{"writeSelectedChan(1,6)", "applyOutput(2)"}));
    EXPECT_EQ(rig.host.settings_.intValue("orv.devChan.2"), 6);

    rig.find<QPushButton>("refreshDevices")->click();
    EXPECT_EQ(rig.host.take(), std::vector<std::string>{"loadDeviceChannels()"});
}

TEST(HostSettingsView, PlayheadTextLogoButtonAndNetworkNoticeFollowTheState) {
    SettingsRig rig;
    auto* text = rig.find<QLabel>("playheadText");
    EXPECT_FALSE(text->isVisible());
    rig.find<QCheckBox>("mePlayhead")->click();
    EXPECT_EQ(rig.host.settings_.boolValue("orv.mePlayhead"), true);
    EXPECT_TRUE(text->isVisible()) << "the settings notice redraws the form";
    for (auto [stored, shown] : {std::pair{0, ":6000 "}, {-3, ":6000 "}, {6100, ":6100 "}}) {
        rig.host.settings_.setValue("orv.meOscPort", stored);
        rig.view.refresh();
        EXPECT_EQ(text->text().toStdString(), std::string("Playhead via OSC on port ") + shown +
                                                  "(Position1/2). Don't bind a second listener on this port in parallel.");
    }
    rig.find<QCheckBox>("followEase")->click();
    EXPECT_EQ(rig.host.settings_.boolValue("orv.followEase"), false);

    auto* logo = rig.find<QPushButton>("logo");
    EXPECT_EQ(logo->text().toStdString(), "Choose DJ logo (Album art fallback)\u2026");
    rig.dialogs.answers = {std::nullopt, QString("/p/logo.png")};
    logo->click();  // cancelled
    logo->click();
    EXPECT_EQ(rig.host.take(), std::vector<std::string>{"useDJLogo(/p/logo.png)"});
    QImage img(4, 4, QImage::Format_RGB32);
    img.fill(Qt::red);
    rig.host.assignDJLogo(img);
    EXPECT_EQ(logo->text().toStdString(), "Replace DJ logo (Album art fallback)\u2026");
    rig.find<QPushButton>("logoReset")->click();
    EXPECT_EQ(rig.host.take(), std::vector<std::string>{"setDJLogo(0,1)"});

    auto* notice = rig.find<QWidget>("networkNotice");
    EXPECT_FALSE(notice->isVisible());
    link::localNetworkDenied().setValue(1.0);
    rig.view.refresh();
    EXPECT_TRUE(notice->isVisible());
    screenshot(rig.view, "settings_notice");
    link::localNetworkDenied().setValue(0.0);
    rig.view.refresh();
    EXPECT_FALSE(notice->isVisible());
    EXPECT_EQ(rig.find<QLabel>("build")->text(), "Build 1215");
}

TEST(HostSettingsView, FolderTypingSurvivesRedrawsAndTheButtonsReachTheController) {
    SettingsRig rig;
    auto* folder = rig.find<QLineEdit>("folder");
    EXPECT_EQ(folder->text(), "/home/dj/Music");
    rig.view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&rig.view));
    folder->setFocus();
    folder->selectAll();
    QTest::keyClicks(folder, "/srv/mu");
    EXPECT_EQ(rig.host.settings_.stringValue("orv.libraryFolder"), "/srv/mu");
    rig.host.settings_.setValue("orv.libraryFolder", "/elsewhere");
    rig.host.noteConfigChanged();
    QTest::keyClicks(folder, "sic");
    EXPECT_EQ(folder->text(), "/srv/music");
    EXPECT_EQ(rig.host.settings_.stringValue("orv.libraryFolder"), "/srv/music");
    rig.find<QPushButton>("reloadLibrary")->setFocus();
    rig.host.settings_.setValue("orv.libraryFolder", "/elsewhere");
    rig.host.noteConfigChanged();
    EXPECT_EQ(folder->text(), "/elsewhere") << "without focus the field follows the setting";

    rig.dialogs.answers = {std::nullopt, QString("/srv/crates")};
    rig.find<QPushButton>("chooseFolder")->click();
    rig.find<QPushButton>("chooseFolder")->click();
    rig.find<QPushButton>("reloadLibrary")->click();
    EXPECT_EQ(rig.dialogs.asked, (std::vector<std::string>{"folder(Use as Files folder,/elsewhere)",
                                                           "folder(Use as Files folder,/elsewhere)"}));
    EXPECT_EQ(rig.host.take(), (std::vector<std::string>{"setLibraryFolder(/srv/crates)", "reloadLibrary()"}));
}

}  // namespace
}  // namespace plindo::test
