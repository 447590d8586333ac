#pragma once
// A controller for window tests: publishes what a test assigns and logs every operation and field write in
// order, as "name(args)".
#include "group/deck_inventory.h"
#include "host/host_ui.h"
#include "platform/clock.h"
#include "platform/settings.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace plindo::test {

class FakeHost : public host::HostUi {
public:
    FakeHost() : HostUi(executor_), config_(settings_, "/home/dj") {
        config_.addChangeListener([this] { noteConfigChanged(); });
    }

    std::vector<std::string> calls;
    platform::MemorySettings settings_;
    platform::FakeClock clock{1000.0};

    // Answers of the operations that return something.
    std::map<int, double> zoomValue;
    std::map<int, bool> zoomAutoValue;
    bool libraryCommandAnswer = false;
    std::map<int, std::string> slotSides;
    std::map<int, double> remoteAngles;
    int remoteAngleReads = 0;
    std::map<int, host::PlaceSnapshot> places;
    std::map<int, host::DynamoSnapshot> dynamos;
    std::map<int, double> yawRates;
    // Group members feeding a deck with their earbuds or watch: (name, last seen on `clock`).
    std::map<int, std::pair<std::string, double>> buds;
    std::map<int, std::pair<std::string, double>> watches;
    std::map<int, std::vector<host::SeratoCueRow>> cueRows;
    host::SeratoBrowserSnapshot browser;

    // Lets a test publish state as the controller would.
    using HostUi::assignActivePane;
    using HostUi::assignBlinkColor;
    using HostUi::assignDeck;
    using HostUi::assignDeckEnv;
    using HostUi::assignDeckMarks;
    using HostUi::assignDevices;
    using HostUi::assignDJLogo;
    using HostUi::assignDynamoUnlocked;
    using HostUi::assignGroupMuted;
    using HostUi::assignLibSync;
    using HostUi::assignMappingOffer;
    using HostUi::assignPane;
    using HostUi::assignSecretBlinkUntil;
    using HostUi::assignSelectedChan;
    using HostUi::assignSelectedUID;
    using HostUi::assignShowSecret;
    using HostUi::assignStatusLine;
    using HostUi::bumpSeratoBrowserRev;
    using HostUi::noteConfigChanged;

    motion::HostConfig& config() override { return config_; }
    double mediaNow() const override { return clock.now(); }

    void writeStatusLine(const std::string& l) override { log("writeStatusLine(" + l + ")"); HostUi::writeStatusLine(l); }
    void writeSelectedUID(int i, const std::string& u) override {
        log("writeSelectedUID(" + std::to_string(i) + "," + u + ")");
        HostUi::writeSelectedUID(i, u);
    }
    void writeSelectedChan(int i, int s) override { log("writeSelectedChan(" + n(i) + "," + n(s) + ")"); HostUi::writeSelectedChan(i, s); }
    void writeMappingOffer(bool on) override { log("writeMappingOffer(" + n(on) + ")"); HostUi::writeMappingOffer(on); }
    void writeShowSecret(bool on) override { log("writeShowSecret(" + n(on) + ")"); HostUi::writeShowSecret(on); }
    void writeActivePane(int p) override { log("writeActivePane(" + n(p) + ")"); HostUi::writeActivePane(p); }
    void writePaneView(int p, const std::string& v) override { log("writePaneView(" + n(p) + "," + v + ")"); HostUi::writePaneView(p, v); }
    void writeSelectedTrackIdx(int p, int i) override {
        log("writeSelectedTrackIdx(" + n(p) + "," + n(i) + ")");
        HostUi::writeSelectedTrackIdx(p, i);
    }
    void writeLibFocusPath(int p, const std::string& s) override {
        log("writeLibFocusPath(" + n(p) + "," + s + ")");
        HostUi::writeLibFocusPath(p, s);
    }
    void writeLibEntryCount(int p, int c) override { log("writeLibEntryCount(" + n(p) + "," + n(c) + ")"); HostUi::writeLibEntryCount(p, c); }
    void writePaneFocus(int p, host::LibFocus f) override {
        log("writePaneFocus(" + n(p) + "," + (f == host::LibFocus::tracks ? "tracks" : "crates") + ")");
        HostUi::writePaneFocus(p, f);
    }
    void writeExpanded(int p, const std::set<std::string>& e) override {
        std::string s;
        for (const auto& x : e) s += (s.empty() ? "" : "|") + x;
        log("writeExpanded(" + n(p) + "," + s + ")");
        HostUi::writeExpanded(p, e);
    }

    void start() override { log("start()"); }
    void terminate() override { log("terminate()"); }
    void loadDeviceChannels() override { log("loadDeviceChannels()"); }
    void applyOutput(int d) override { log("applyOutput(" + n(d) + ")"); }
    void setLibraryFolder(const std::string& p) override { log("setLibraryFolder(" + p + ")"); }
    void reloadLibrary() override { log("reloadLibrary()"); }
    void useDJLogo(const std::string& p) override { log("useDJLogo(" + p + ")"); }
    void setDJLogo(const std::vector<uint8_t>& j, bool b) override { log("setDJLogo(" + n(int(j.size())) + "," + n(b) + ")"); }
    void setLibSync(bool on) override { log("setLibSync(" + n(on) + ")"); HostUi::setLibSync(on); }
    void setDynamoUnlocked(bool on) override { log("setDynamoUnlocked(" + n(on) + ")"); HostUi::setDynamoUnlocked(on); }
    void blinkPanelTapped() override { log("blinkPanelTapped()"); }
    double zoom(int d) const override { auto it = zoomValue.find(d); return it == zoomValue.end() ? 0 : it->second; }
    void setZoom(int d, double s) override { log("setZoom(" + n(d) + "," + std::to_string(s) + ")"); }
    bool zoomAuto(int d) const override { auto it = zoomAutoValue.find(d); return it == zoomAutoValue.end() || it->second; }
    void setZoomAuto(int d, bool on) override { log("setZoomAuto(" + n(d) + "," + n(on) + ")"); }
    bool libraryCommand(uint16_t k, bool s) override { log("libraryCommand(" + n(k) + "," + n(s) + ")"); return libraryCommandAnswer; }
    void seratoLibraryCommand(int d, const std::string& c, int k) override {
        log("seratoLibraryCommand(" + n(d) + "," + c + "," + n(k) + ")");
    }
    host::SeratoBrowserSnapshot seratoBrowserRows() const override { return browser; }
    void setActivePane(int p) override { log("setActivePane(" + n(p) + ")"); HostUi::setActivePane(p); }
    void selectCrate(const std::optional<std::string>& c, int p, bool a) override {
        log("selectCrate(" + c.value_or("<none>") + "," + n(p) + "," + n(a) + ")");
    }
    void setLibFocus(bool t) override { log("setLibFocus(" + n(t) + ")"); }
    void toggleDeckView(int d, bool on, bool st) override { log("toggleDeckView(" + n(d) + "," + n(on) + "," + n(st) + ")"); }
    void setSeratoDeck(int d, bool on) override { log("setSeratoDeck(" + n(d) + "," + n(on) + ")"); }
    void transportButton(int d) override { log("transportButton(" + n(d) + ")"); }
    void announceLocalLoad(int d, const std::string& p) override { log("announceLocalLoad(" + n(d) + "," + p + ")"); }
    void setShareTracks(int d, bool on) override { log("setShareTracks(" + n(d) + "," + n(on) + ")"); }
    void setGroupMuted(bool on) override { log("setGroupMuted(" + n(on) + ")"); assignGroupMuted(on); }
    std::optional<std::string> slotSide(int o) const override {
        auto it = slotSides.find(o);
        return it == slotSides.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    double remoteLastAngle(int d) const override {
        ++const_cast<FakeHost*>(this)->remoteAngleReads;
        auto it = remoteAngles.find(d);
        return it == remoteAngles.end() ? 0 : it->second;
    }
    host::PlaceSnapshot place(int d) const override { auto it = places.find(d); return it == places.end() ? host::PlaceSnapshot{} : it->second; }
    double placeYawRate(int d) const override { auto it = yawRates.find(d); return it == yawRates.end() ? 0 : it->second; }
    std::optional<std::string> budMember(int d, double maxAge) const override { return member(buds, d, maxAge); }
    std::optional<std::string> watchMember(int d, double maxAge) const override { return member(watches, d, maxAge); }
    host::DynamoSnapshot dynamo(int d) const override { auto it = dynamos.find(d); return it == dynamos.end() ? host::DynamoSnapshot{} : it->second; }
    std::optional<std::vector<host::SeratoCueRow>> seratoCueRows(int d) const override {
        auto it = cueRows.find(d);
        return it == cueRows.end() ? std::nullopt : std::optional<std::vector<host::SeratoCueRow>>(it->second);
    }

    // A real inventory over the fake's settings, made and loaded on first use.
    group::DeckInventory* deckInventory() override {
        if (!inventory_) {
            inventory_ = std::make_unique<group::DeckInventory>(settings_, "studio");
            inventory_->load();
        }
        return inventory_.get();
    }

    // The calls logged since the last take, then forgets them.
    std::vector<std::string> take() { return std::exchange(calls, {}); }

private:
    static std::string n(int v) { return std::to_string(v); }
    static std::string n(bool v) { return v ? "1" : "0"; }
    void log(std::string s) { calls.push_back(std::move(s)); }
    std::optional<std::string> member(const std::map<int, std::pair<std::string, double>>& m, int d, double maxAge) const {
        auto it = m.find(d);
        if (it == m.end() || !(clock.now() - it->second.second < maxAge)) return std::nullopt;
        return it->second.first;
    }

    platform::InlineExecutor executor_;
    motion::HostConfig config_;
    std::unique_ptr<group::DeckInventory> inventory_;
};

}  // namespace plindo::test
