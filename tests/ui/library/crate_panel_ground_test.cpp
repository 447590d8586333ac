// The crate keeps its painted scene and the panel's blurred ground between frames: whatever road the view took to a
// state, it paints the pixels a view made directly in that state paints.
#include "crate_test_support.h"

#include <gtest/gtest.h>

namespace plindo::ui {
namespace {

using test::FakeCoverSource;
using test::RecordingCrateView;

struct Crate {
    FakeCoverSource covers;
    RecordingCrateView view{covers};
    int selection = 0;
    explicit Crate(int w) {
        view.selectedIdxGet = [this] { return selection; };
        view.selectedIdxSet = [this](int v) { selection = v; };
        view.setBlinkClock([] { return 0.1; });
        view.inputsChanged();
        test::showAt(view, w, 800);
        view.setTracks(test::someTracks(30));
    }
};

TEST(CratePanelGround, FollowsScrollMarksAndBlinkAsAFreshViewWould) {
    // 290 wide the covers reach under the panel; 1000 wide they stay clear of it.
    for (int width : {290, 1000}) {
        Crate walked(width);
        const QImage start = walked.view.grab().toImage();
        walked.view.scrollBy(260);
        const QImage away = walked.view.grab().toImage();
        EXPECT_NE(away, start) << width;
        walked.view.scrollBy(-260);
        EXPECT_EQ(walked.view.grab().toImage(), start) << width;

        // The ring's other phase, then a mark.
        Crate direct(width);
        for (Crate* c : {&walked, &direct}) c->view.setBlinkClock([] { return 0.5; });
        EXPECT_EQ(walked.view.grab().toImage(), direct.view.grab().toImage()) << width;
        for (Crate* c : {&walked, &direct}) {
            c->view.loadedPath = walked.view.model().items()[size_t(walked.selection)].track.path;
            c->view.inputsChanged();
        }
        EXPECT_EQ(walked.view.grab().toImage(), direct.view.grab().toImage()) << width;
    }
}

}  // namespace
}  // namespace plindo::ui
