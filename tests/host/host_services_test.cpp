// The controller's small services: the logo and the diagnostics unlock, the deck mode, whether the DJ
// application runs, and the watch on its mapping folder.
#include "host_rig.h"

#include <gtest/gtest.h>

#include <QColor>

#include <filesystem>
#include <fstream>

namespace plindo::host {
namespace {

namespace fs = std::filesystem;
using link::testing::writeFile;
using testing::HostRig;

QImage picture(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(200, 40, 40));
    return img;
}

TEST(HostLogo, JpegKeepsSmallImagesAndFitsLargeOnesInto512) {
    struct Case {
        int w, h, outW, outH;
    };
    for (const auto c : {Case{4000, 1000, 512, 128}, Case{300, 200, 300, 200}, Case{600, 900, 341, 512}}) {
        const auto jpeg = HostState::jpegData(picture(c.w, c.h));
        ASSERT_TRUE(jpeg) << c.w << "x" << c.h;
        QImage back;
        ASSERT_TRUE(back.loadFromData(jpeg->data(), static_cast<int>(jpeg->size()), "JPEG"));
        EXPECT_EQ(back.width(), c.outW);
        EXPECT_EQ(back.height(), c.outH);
    }
    EXPECT_FALSE(HostState::jpegData(QImage()));
}

TEST(HostLogo, StoresSharesAndDropsTheLogo) {
    HostRig rig;
    auto& host = rig.started();
    // A group peer to share with.
    const auto peer = link::testing::phone(9);
    const std::vector<link::OSCValue> args{link::testing::I(0), link::testing::S("Peer"), link::testing::I(0),
                                           link::testing::S("host"), link::testing::I(1), link::testing::S("1215"),
                                           link::testing::S("")};
    const auto hello = link::OSCMessage::encode("/orv/hello", args);
    host.server->handleDatagram(hello.data(), hello.size(), peer, platform::systemClock().now());
    rig.sink.take();

    const fs::path chosen = rig.temp.dir / "mine.png";
    ASSERT_TRUE(picture(1200, 600).save(QString::fromStdString(chosen.string())));
    rig.onMain([&] { host.useDJLogo(chosen.string()); });
    ASSERT_TRUE(fs::exists(host.logoPath()));
    EXPECT_EQ(host.djLogo().size(), QSize(512, 256));
    auto sent = rig.sink.take();
    ASSERT_FALSE(sent.empty());
    const auto& first = sent.front().msg;
    EXPECT_EQ(first.address, "/orv/djlogo");
    EXPECT_EQ(first.args.at(2).i, static_cast<int>(sent.size()));  // the chunk count

    // A file that is no image changes nothing.
    writeFile(rig.temp.dir / "notes.png", "not an image");
    rig.onMain([&] { host.useDJLogo((rig.temp.dir / "notes.png").string()); });
    EXPECT_FALSE(host.djLogo().isNull());
    EXPECT_TRUE(rig.sink.take().empty());

    // The empty logo removes the file and tells the peers with one message of count 0.
    rig.onMain([&] { host.setDJLogo({}, true); });
    EXPECT_FALSE(fs::exists(host.logoPath()));
    EXPECT_TRUE(host.djLogo().isNull());
    sent = rig.sink.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg.args.at(2).i, 0);

    // A logo left in the temp folder is there again at the next launch.
    rig.onMain([&] { host.setDJLogo(*HostState::jpegData(picture(64, 32)), false); });
    EXPECT_TRUE(rig.sink.take().empty());
    rig.destroy();
    auto& again = rig.make();
    EXPECT_EQ(again.djLogo().size(), QSize(64, 32));
}

TEST(HostLogo, TheTriggerNameArmsTheUnlockForFiveSeconds) {
    EXPECT_EQ(std::string(HostState::kSecretLogoName).size(), 27u);
    HostRig rig;
    auto& host = rig.started();
    // Tapping the panel while nothing is armed does nothing.
    rig.onMain([&] { host.blinkPanelTapped(); });
    EXPECT_FALSE(host.dynamoUnlocked());

    rig.onMain([&] { host.useDJLogo("/anywhere/PLINDO-Diagnostics-Key.JPEG"); });
    EXPECT_NEAR(host.secretBlinkUntil(), host.mediaNow() + 5.0, 0.5);
    EXPECT_TRUE(host.djLogo().isNull());
    rig.onMain([&] { host.blinkPanelTapped(); });
    EXPECT_TRUE(host.dynamoUnlocked());
    EXPECT_TRUE(host.showSecret());
    EXPECT_EQ(host.secretBlinkUntil(), 0.0);
}

TEST(HostServices, DeckModeIsStoredPerSlot) {
    HostRig rig;
    auto& host = rig.make();
    rig.onMain([&] {
        host.saveDeckMode(2, "serato");
        host.saveDeckMode(1, "plindo");
    });
    EXPECT_EQ(rig.settings.stringValue("deck.mode.slot2"), "serato");
    EXPECT_EQ(rig.settings.stringValue("deck.mode.slot1"), "plindo");
}

TEST(HostServices, FindsTheDJApplicationAmongTheRunningPrograms) {
    struct Case {
        const char* comm;
        std::string cmdline;
        bool running;
    };
    const Case cases[] = {
        {"Serato DJ Pro", "", true},
        {"wine64-preload", std::string("C:\\Program Files\\Serato\\Serato DJ Pro\\Serato DJ Pro.exe\0", 55), true},
        {"SeratoDJ", std::string("/opt/Serato DJ Lite/bin/Serato DJ Lite\0--x\0", 43), true},
        // A long path: the name lies past the first reads of the file.
        {"wine64-preload", std::string(700, 'x') + "\\Serato DJ Pro.exe" + std::string("\0", 1), true},
        // A file of its library open in an editor is not the application.
        {"vim", std::string("vim\0/home/dj/Music/_Serato_/database V2\0", 41), false},
        {"serato-helper", std::string("/usr/bin/serato-helper\0", 23), false},
    };
    for (const auto& c : cases) {
        HostRig rig;
        const fs::path proc = rig.temp.dir / "proc";
        fs::create_directories(proc / "1" );
        writeFile(proc / "1" / "comm", "bash\n");
        fs::create_directories(proc / "4242");
        writeFile(proc / "4242" / "comm", std::string(c.comm) + "\n");
        writeFile(proc / "4242" / "cmdline", c.cmdline);
        fs::create_directories(proc / "self-like");
        writeFile(proc / "self-like" / "comm", "Serato DJ Pro\n");  // not a process number
        auto& host = rig.make();
        EXPECT_EQ(host.isSeratoRunning(), c.running) << c.comm;
        rig.onMain([&] { host.presenceCheck(); });
        EXPECT_EQ(host.seratoRunning(), c.running) << c.comm;
    }
}

TEST(HostServices, MappingWatchOffersTheMappingOncePerRun) {
    HostRig rig;
    const fs::path proc = rig.temp.dir / "proc" / "77";
    fs::create_directories(proc);
    auto& host = rig.started();
    rig.onMain([&] {
        host.presenceCheck();
        host.mappingWatch();
    });
    EXPECT_FALSE(host.mappingOffer());  // not running: no offer

    writeFile(proc / "comm", "Serato DJ Pro\n");
    rig.onMain([&] {
        host.presenceCheck();
        host.mappingWatch();
    });
    EXPECT_TRUE(host.mappingOffer());
    EXPECT_EQ(host.statusLine(), "Serato mapping Plindo.xml not installed \u2014 Settings \u2192 Save Serato mapping\u2026");
    rig.onMain([&] {
        host.writeMappingOffer(false);
        host.mappingWatch();
    });
    EXPECT_FALSE(host.mappingOffer());  // once per run

    // The next run offers again, unless the mapping is there by then.
    fs::remove(proc / "comm");
    rig.onMain([&] { host.presenceCheck(); });
    writeFile(proc / "comm", "Serato DJ Pro\n");
    rig.onMain([&] {
        host.presenceCheck();
        host.mappingWatch();
    });
    EXPECT_TRUE(host.mappingOffer());
    const fs::path xml = rig.library.root() / "MIDI" / "Xml";
    fs::create_directories(xml);
    writeFile(xml / "Plindo.xml", "<x/>");
    rig.onMain([&] {
        host.writeMappingOffer(false);
        fs::remove(proc / "comm");
        host.presenceCheck();
        writeFile(proc / "comm", "Serato DJ Pro\n");
        host.presenceCheck();
        host.mappingWatch();
    });
    EXPECT_FALSE(host.mappingOffer());
}

TEST(HostServices, AReloadedMappingInitialisesTheActiveDecksAgain) {
    HostRig rig;
    auto& host = rig.started();
    const fs::path xml = rig.library.root() / "MIDI" / "Xml";
    fs::create_directories(xml);
    rig.onMain([&] { host.seratoOut->setActive(1, true); });
    rig.midi.clearSent();
    const auto touch = [&](int second) {
        writeFile(xml / "AUTO_SAVE.xml", "<m/>");
        fs::last_write_time(xml / "AUTO_SAVE.xml", fs::file_time_type() + std::chrono::seconds(1'700'000'000 + second));
        rig.onMain([&] { host.mappingWatch(); });
    };
    touch(1);  // first sight: only remembered
    EXPECT_EQ(rig.midi.sentCount(), 0u);
    rig.onMain([&] { host.mappingWatch(); });  // unchanged
    EXPECT_EQ(rig.midi.sentCount(), 0u);
    touch(2);
    EXPECT_GT(rig.midi.sentCount(), 0u);
    rig.onMain([&] { host.seratoOut->setActive(1, false); });
}

}  // namespace
}  // namespace plindo::host
