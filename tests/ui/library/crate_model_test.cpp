// The crate's entries, focus and selection, without a widget.
#include "ui/library/crate_model.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace plindo::ui {
namespace {

using library::LibTrack;

std::vector<LibTrack> tracks(int n, const std::string& prefix = "/m/t") {
    std::vector<LibTrack> v;
    for (int i = 0; i < n; ++i) v.push_back({prefix + std::to_string(i) + ".mp3", "t" + std::to_string(i)});
    return v;
}

struct Recorder {
    std::vector<std::string> log;
    int selection = -1;
    CrateModel::Hooks hooks(bool bound = true) {
        CrateModel::Hooks h;
        h.onFocusPath = [this](const CrateModel::OptPath& p) { log.push_back("focus(" + p.value_or("none") + ")"); };
        h.onEntryCount = [this](int n) { log.push_back("count(" + std::to_string(n) + ")"); };
        h.startMetaLoad = [this](const std::string& p) { log.push_back("load(" + p + ")"); };
        h.cancelMetaLoad = [this] { log.push_back("cancel"); };
        if (bound) {
            h.selectedGet = [this] { return std::optional(selection); };
            h.selectedSet = [this](int v) {
                selection = v;
                log.push_back("select(" + std::to_string(v) + ")");
            };
        }
        return h;
    }
};

TEST(CrateModel, FlipNamesBecomeEntriesWithIdsAndLabels) {
    CrateModel m;
    m.setTracks({{"/m/a.mp3", "a"}, {"/m/b.mp3", "b"}});
    TrackMetaLite meta;
    meta.flipNames = {"Intro", ""};
    m.applyMeta(meta, "/m/a.mp3");
    ASSERT_EQ(m.count(), 4);
    const struct { const char* id; const char* label; } rows[] = {
        {"/m/a.mp3", ""}, {"/m/a.mp3#0", "FLIP 1 Intro"}, {"/m/a.mp3#1", "FLIP 2"}, {"/m/b.mp3", ""}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(m.items()[i].id(), rows[i].id);
        EXPECT_EQ(m.items()[i].label(), rows[i].label);
    }
}

TEST(CrateModel, FocusReportsTrackChangesAndLoadsOnlyUncachedPaths) {
    Recorder r;
    CrateModel m(r.hooks());
    m.setTracks(tracks(3));
    m.focusPicked(1, -3.5);
    EXPECT_EQ(m.focusOffset(), -3.5);
    EXPECT_EQ(r.log, (std::vector<std::string>{"count(3)", "cancel", "load(/m/t1.mp3)", "focus(/m/t1.mp3)",
                                               "select(1)"}));
    r.log.clear();
    m.focusPicked(1, 2);  // same entry: only the offset moves
    EXPECT_EQ(m.focusOffset(), 2);
    EXPECT_TRUE(r.log.empty());

    // A flip of the focused track: new index, same path, so no load, no report, metadata kept.
    TrackMetaLite meta;
    meta.title = "T1";
    meta.flipNames = {"Drop"};
    m.applyMeta(meta, "/m/t1.mp3");
    EXPECT_EQ(m.meta(), meta);
    r.log.clear();
    m.focusPicked(2, 0);
    EXPECT_EQ(m.focusedID(), "/m/t1.mp3#0");
    EXPECT_EQ(m.focusedFlip(), 0);
    EXPECT_EQ(m.meta(), meta);
    EXPECT_EQ(r.log, (std::vector<std::string>{"select(2)"}));

    // Back to a cached track: metadata at once, no load.
    m.focusPicked(3, 0);
    r.log.clear();
    m.focusPicked(1, 0);
    EXPECT_EQ(m.meta(), meta);
    EXPECT_EQ(r.log, (std::vector<std::string>{"cancel", "focus(/m/t1.mp3)", "select(1)"}));
}

TEST(CrateModel, TrainRange) {
    CrateModel m;
    m.setTracks(tracks(30));
    EXPECT_EQ(m.trainRange(), std::make_pair(0, 0));
    m.focusPicked(20, 0);
    EXPECT_EQ(m.trainRange(), std::make_pair(6, 20));
    m.focusPicked(3, 0);
    EXPECT_EQ(m.trainRange(), std::make_pair(0, 3));
    m.focusPicked(std::nullopt, 0);
    EXPECT_EQ(m.trainRange(), std::make_pair(0, 0));
}

TEST(CrateModel, SelectionToFollow) {
    Recorder r;
    CrateModel m(r.hooks());
    r.selection = 3;
    m.setTracks(tracks(10));
    EXPECT_EQ(m.selectionToFollow(), std::nullopt);  // the first value is where the caller stands
    m.focusPicked(3, 0);
    for (int v : {3, -1, 10}) {
        r.selection = v;
        EXPECT_EQ(m.selectionToFollow(), std::nullopt) << v;
    }
    r.selection = 7;
    EXPECT_EQ(m.selectionToFollow(), 7);
    EXPECT_EQ(m.selectionToFollow(), std::nullopt);  // seen already
    // Focusing 7 leaves the binding alone, since it already holds 7.
    r.log.clear();
    m.focusPicked(7, 0);
    EXPECT_EQ(r.selection, 7);
    EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "select(7)"), 0);
}

TEST(CrateModel, RebuildsWhenRowsChangeAndClearsAGoneFocus) {
    Recorder r;
    CrateModel m(r.hooks(false));
    m.setTracks({});
    EXPECT_EQ(r.log, (std::vector<std::string>{"count(0)"}));
    EXPECT_EQ(m.focusedFlip(), -1);

    m.setTracks({{"/a", "a"}, {"/b", "b"}});
    m.focusPicked(1, 0);
    r.log.clear();
    m.setTracks({{"/a", "a"}, {"/b", "b"}});  // the same rows: nothing
    EXPECT_TRUE(r.log.empty());
    m.setTracks({{"/a", "a"}, {"/c", "c"}});  // same length, same first path: still a new crate
    EXPECT_EQ(m.items()[1].track.path, "/c");
    EXPECT_EQ(m.focusedIdx(), std::nullopt);
    EXPECT_EQ(r.log, (std::vector<std::string>{"count(2)", "cancel", "focus(none)"}));
    m.setTracks({{"/a", "a"}, {"/c", "C"}});  // a renamed row too
    EXPECT_EQ(m.items()[1].track.name, "C");

    // The focus is reported gone even when its old index lies beyond the new list.
    m.focusPicked(1, 0);
    r.log.clear();
    m.setTracks({});
    EXPECT_EQ(r.log, (std::vector<std::string>{"count(0)", "cancel", "focus(none)"}));
    EXPECT_EQ(m.focusedItem(), nullptr);
}

TEST(CrateModel, DuplicatesAreFocusedByIndex) {
    Recorder r;
    CrateModel m(r.hooks());
    m.setTracks({{"/A", "A"}, {"/B", "B"}, {"/A", "A"}, {"/C", "C"}});
    m.focusPicked(1, 0);
    m.focusPicked(2, 0);
    EXPECT_EQ(m.focusedIdx(), 2);
    EXPECT_EQ(r.selection, 2);
    m.focusPicked(3, 0);
    EXPECT_EQ(m.focusedIdx(), 3);
    // A rebuild keeps the focus on the same copy of a listed-twice file.
    m.focusPicked(2, 0);
    TrackMetaLite meta;
    meta.flipNames = {"x"};
    m.applyMeta(meta, "/B");
    EXPECT_EQ(m.focusedIdx(), 3);
    EXPECT_EQ(m.focusedItem()->track.path, "/A");
}

TEST(CrateModel, LateMetadataForAnotherTrackIsCachedButNotShown) {
    CrateModel m;
    m.setTracks(tracks(3));
    m.focusPicked(0, 0);
    TrackMetaLite other;
    other.title = "other";
    m.applyMeta(other, "/m/t2.mp3");
    EXPECT_EQ(m.meta(), std::nullopt);
    ASSERT_NE(m.cached("/m/t2.mp3"), nullptr);
    m.focusPicked(2, 0);
    EXPECT_EQ(m.meta(), other);
}

}  // namespace
}  // namespace plindo::ui
