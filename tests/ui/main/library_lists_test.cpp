// The crate column and the plain track list of a library pane.
#include "../fake_host.h"
#include "ui/main/crate_rows.h"
#include "ui/main/crate_tree_column.h"
#include "ui/main/focus_frame.h"
#include "ui/main/track_list.h"

#include <QMimeData>
#include <QTest>

#include <gtest/gtest.h>

namespace plindo::test {
namespace {

using library::CrateNode;
using ui::CrateRow;

// A: [A1, A2: [A2x]], B (empty children list), C (leaf).
std::vector<CrateNode> tree() {
    CrateNode a2x{"x", "A%%A2%%x", std::nullopt};
    CrateNode a1{"A1", "A%%A1", std::nullopt};
    CrateNode a2{"A2", "A%%A2", std::vector<CrateNode>{a2x}};
    CrateNode a{"A", "A", std::vector<CrateNode>{a1, a2}};
    CrateNode b{"B", "B", std::vector<CrateNode>{}};
    CrateNode c{"C", "C", std::nullopt};
    return {a, b, c};
}

std::vector<std::string> shape(const std::vector<CrateRow>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows)
        out.push_back(std::to_string(r.depth) + r.name + (r.hasChildren ? (r.open ? "v" : ">") : "") +
                      (r.selected ? "*" : ""));
    return out;
}

TEST(CrateRows, OpenNodesShowTheirChildrenOneLevelDeeper) {
    struct Case {
        std::set<std::string> expanded;
        std::optional<std::string> selected;
        std::vector<std::string> rows;
    };
    const Case cases[] = {
        {{}, std::nullopt, {"0A>", "0B>", "0C"}},
        {{"A"}, "A%%A1", {"0Av", "1A1*", "1A2>", "0B>", "0C"}},
        {{"A", "A%%A2"}, std::nullopt, {"0Av", "1A1", "1A2v", "2x", "0B>", "0C"}},
        {{"A%%A2"}, "A%%A2%%x", {"0A>", "0B>", "0C"}},  // a closed parent hides an open child
        {{"B"}, std::nullopt, {"0A>", "0Bv", "0C"}},    // an empty children list opens to nothing
        {{"C"}, "C", {"0A>", "0B>", "0C*"}},
    };
    for (const auto& c : cases) EXPECT_EQ(shape(ui::crateRows(tree(), c.expanded, c.selected)), c.rows);
    EXPECT_EQ(ui::crateRowIndent(0), 6);
    EXPECT_EQ(ui::crateRowIndent(2), 34);
}

struct ColumnFixture {
    FakeHost host;
    std::unique_ptr<ui::CrateTreeColumn> column;
    explicit ColumnFixture(int pane = 0) {
        host::LibPane p;
        p.crateTree = tree();
        p.expanded = {"A"};
        host.assignPane(pane, p);
        column = std::make_unique<ui::CrateTreeColumn>(host, pane);
        column->resize(200, 300);
        column->show();
        host.take();
    }
    void tap(int row, bool chevron = false) {
        const QRect r = chevron ? column->chevronRect(row) : column->rowRect(row);
        const QPoint at = chevron ? r.center() : QPoint(r.right() - 10, r.center().y());
        QTest::mouseClick(column->viewport(), Qt::LeftButton, {}, at);
    }
};

TEST(CrateTreeColumn, TopRowsToggleDeeperRowsSelectChevronsOnlyToggle) {
    ColumnFixture f;
    ASSERT_EQ(shape(f.column->rows()), (std::vector<std::string>{"0Av", "1A1", "1A2>", "0B>", "0C"}));
    // Indent and chevron: rows step in by 14 per level; only nodes with a children list have a chevron.
    EXPECT_EQ(f.column->chevronRect(1), QRect());
    EXPECT_EQ(f.column->chevronRect(2).left(), 20);
    EXPECT_EQ(f.column->chevronRect(3).left(), 6);
    EXPECT_EQ(f.column->chevronRect(4), QRect());

    f.tap(0);  // top level: closes, never selects
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeExpanded(0,)", "writePaneFocus(0,crates)", "setActivePane(0)"}));
    EXPECT_EQ(shape(f.column->rows()), (std::vector<std::string>{"0A>", "0B>", "0C"}));
    f.tap(2);  // a top-level leaf toggles too
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeExpanded(0,C)", "writePaneFocus(0,crates)", "setActivePane(0)"}));
    f.tap(0, true);  // chevron: opens, nothing else
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeExpanded(0,A|C)"}));
    f.tap(2, true);  // a deeper chevron
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeExpanded(0,A|A%%A2|C)"}));
    f.tap(3);  // depth 2: selects
    EXPECT_EQ(f.host.take(),
              (std::vector<std::string>{"selectCrate(A%%A2%%x,0,0)", "writePaneFocus(0,crates)", "setActivePane(0)"}));
    f.tap(2);  // depth 1 with children: selects too
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"selectCrate(A%%A2,0,0)", "writePaneFocus(0,crates)", "setActivePane(0)"}));
}

TEST(CrateTreeColumn, TintAndFrameFollowThePanesFocusAndTheActivePane) {
    FakeHost host;
    host::LibPane p;  // an empty tree
    p.focus = host::LibFocus::crates;
    host.assignPane(1, p);
    ui::CrateTreeColumn column(host, 1);
    column.resize(180, 200);
    column.show();
    const QColor base = column.grab().toImage().pixelColor(90, 100);
    EXPECT_TRUE(column.tinted());
    EXPECT_FALSE(column.focusFrame()->lit()) << "pane 1 is not active";
    host.assignActivePane(1);
    EXPECT_TRUE(column.focusFrame()->lit());
    EXPECT_TRUE(column.focusFrame()->testAttribute(Qt::WA_TransparentForMouseEvents));
    p.focus = host::LibFocus::tracks;
    host.assignPane(1, p);
    EXPECT_FALSE(column.tinted());
    EXPECT_FALSE(column.focusFrame()->lit());
    EXPECT_NE(column.grab().toImage().pixelColor(90, 100), base) << "the tint is gone";
}

TEST(CrateTreeColumn, ANewSelectionScrollsItsRowToTheCentre) {
    FakeHost host;
    host::LibPane p;
    std::vector<CrateNode> kids;
    for (int i = 0; i < 200; ++i) kids.push_back({"k" + std::to_string(i), "R%%k" + std::to_string(i), std::nullopt});
    p.crateTree = {CrateNode{"R", "R", kids}};
    p.expanded = {"R"};
    host.assignPane(0, p);
    ui::CrateTreeColumn column(host, 0);
    column.resize(180, 300);
    column.show();
    p.selectedCrate = "R%%k150";
    host.assignPane(0, p);
    const QRect r = column.rowRect(151);
    EXPECT_NEAR(r.center().y(), column.viewport()->height() / 2, r.height());
}

struct ListFixture {
    FakeHost host;
    std::unique_ptr<ui::TrackList> list;
    host::LibPane pane;
    explicit ListFixture(int count) {
        for (int i = 0; i < count; ++i) pane.tracks.push_back({"/m/t" + std::to_string(i) + ".mp3", "t" + std::to_string(i)});
        pane.view = "liste";
        host.assignPane(0, pane);
        list = std::make_unique<ui::TrackList>(host, 0);
        list->resize(300, 400);
    }
};

TEST(TrackList, TapWritesIndexThenPathThenFocusAndTheDragIsTextOnly) {
    ListFixture f(30);
    f.list->show();
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeLibEntryCount(0,30)"})) << "first show";
    QTest::mouseClick(f.list->viewport(), Qt::LeftButton, {}, f.list->rowRect(3).center());
    EXPECT_EQ(f.host.take(),
              (std::vector<std::string>{"writeSelectedTrackIdx(0,3)", "writeLibFocusPath(0,/m/t3.mp3)", "setLibFocus(1)"}));
    std::unique_ptr<QMimeData> drag(f.list->model()->mimeData({f.list->model()->index(5, 0)}));
    ASSERT_TRUE(drag);
    EXPECT_EQ(drag->formats(), QStringList{"text/plain"});
    EXPECT_EQ(drag->text(), "/m/t5.mp3");
    EXPECT_FALSE(drag->hasUrls());
}

TEST(TrackList, ASelectionFromOutsideFocusesItsPathAndScrollsOnlyWhenInside) {
    ListFixture f(200);
    f.list->show();
    f.host.take();
    f.host.writeSelectedTrackIdx(0, 150);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeSelectedTrackIdx(0,150)", "writeLibFocusPath(0,/m/t150.mp3)"}));
    EXPECT_NEAR(f.list->rowRect(150).center().y(), f.list->viewport()->height() / 2, f.list->rowRect(150).height());
    f.host.writeSelectedTrackIdx(0, -1);
    f.host.writeSelectedTrackIdx(0, 500);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeSelectedTrackIdx(0,-1)", "writeSelectedTrackIdx(0,500)"}));
    EXPECT_EQ(f.host.panes()[0].libFocusPath, "/m/t150.mp3") << "-1 and outside keep the path";
}

TEST(TrackList, EntryCountFollowsALengthChangeOnly) {
    ListFixture f(3);
    f.list->show();
    f.host.take();
    host::LibPane p = f.host.panes()[0];
    p.tracks = {{"/a", "a"}, {"/b", "b"}, {"/c", "c"}};  // same length, other tracks
    f.host.assignPane(0, p);
    EXPECT_TRUE(f.host.take().empty());
    p.tracks.push_back({"/d", "d"});
    f.host.assignPane(0, p);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeLibEntryCount(0,4)"}));
    p = f.host.panes()[0];
    p.tracks.clear();
    f.host.assignPane(0, p);
    EXPECT_EQ(f.host.take(), (std::vector<std::string>{"writeLibEntryCount(0,0)"}));
}

TEST(TrackList, FrameIsLitOnlyOnTheActivePaneWithTrackFocus) {
    ListFixture f(3);
    struct Case {
        int active;
        host::LibFocus focus;
        bool lit;
    };
    for (const Case c : {Case{0, host::LibFocus::tracks, true}, Case{1, host::LibFocus::tracks, false},
                         Case{0, host::LibFocus::crates, false}}) {
        f.host.assignActivePane(c.active);
        f.host.writePaneFocus(0, c.focus);
        EXPECT_EQ(f.list->focusFrame()->lit(), c.lit) << c.active;
    }
}

}  // namespace
}  // namespace plindo::test
