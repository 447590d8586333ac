// The published state signals once per property per main turn, whatever the number of writes.
#include "host/host_ui.h"
#include "platform/queue_executor.h"
#include "platform/settings.h"

#include <gtest/gtest.h>

#include <atomic>

namespace plindo::host {
namespace {

class Published final : public HostUi {
public:
    explicit Published(platform::MainExecutor& main) : HostUi(main), config_(settings_) {}
    motion::HostConfig& config() override { return config_; }
    double mediaNow() const override { return 0; }
    using HostUi::assignDeck;
    using HostUi::assignStatusLine;

private:
    platform::MemorySettings settings_;
    motion::HostConfig config_;
};

TEST(HostUi, ManyWritesInOneTurnSignalOncePerProperty) {
    platform::QueueExecutor main;
    Published ui(main);
    std::atomic<int> decks{0}, status{0}, panes{0};
    QObject::connect(&ui, &HostUi::decksChanged, [&] { ++decks; });
    QObject::connect(&ui, &HostUi::statusLineChanged, [&] { ++status; });
    QObject::connect(&ui, &HostUi::panesChanged, [&] { ++panes; });

    main.invokeSync([&] {
        for (int i = 0; i < 20; ++i) {
            DeckInfo d;
            d.posSec = i;
            ui.assignDeck(1 + i % 2, d);
            ui.assignStatusLine("line " + std::to_string(i));
            ui.writeLibFocusPath(i % 2, "/a/" + std::to_string(i));
        }
    });
    main.drain();
    EXPECT_EQ(decks, 1);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(panes, 1);
    EXPECT_EQ(ui.deck(1).posSec, 18);
    EXPECT_EQ(ui.statusLine(), "line 19");

    // Writing what is already there signals nothing.
    main.invokeSync([&] { ui.assignStatusLine("line 19"); });
    main.drain();
    EXPECT_EQ(status, 1);

    // A name from outside is shown on one line and drives no terminal; letters stay as they are.
    main.invokeSync([&] { ui.writeStatusLine("Deck 1: K\xC3\xB6ln.mp3\n2026-01-01 [host] error: X\x1B[2J"); });
    EXPECT_EQ(ui.statusLine(), "Deck 1: K\xC3\xB6ln.mp3\\n2026-01-01 [host] error: X\\x1b[2J");
}

TEST(HostUi, InitialValuesAndOutOfRangeWrites) {
    platform::QueueExecutor main;
    Published ui(main);
    EXPECT_EQ(ui.blinkColor(), -1);
    EXPECT_EQ(ui.panes()[1].status, "Library: not loaded yet");
    EXPECT_EQ(ui.panes()[0].view, "kiste");
    EXPECT_EQ(ui.activePaneStatus(), "Library: not loaded yet");
    main.invokeSync([&] {
        ui.writeSelectedTrackIdx(5, 3);  // no such pane
        ui.assignDeck(3, DeckInfo{.path = "x"});
    });
    main.drain();
    EXPECT_EQ(ui.deck(3).path, "");
    EXPECT_FALSE(ui.isSeratoDeck(1));
}

}  // namespace
}  // namespace plindo::host
