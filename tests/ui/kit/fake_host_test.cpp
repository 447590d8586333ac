// The window tests' controller: view writes land in the published record and are logged in order.
#include "../fake_host.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace plindo::test {
namespace {

TEST(FakeHost, ViewWritesPublishOneChangeEachAndLogInOrder) {
    FakeHost host;
    QSignalSpy panes(&host, &host::HostUi::panesChanged);
    host.writeSelectedTrackIdx(1, 7);
    host.writeLibFocusPath(1, "/m/a.mp3");
    host.setActivePane(1);
    EXPECT_EQ(panes.count(), 2);
    EXPECT_EQ(host.panes()[1].selectedTrackIdx, 7);
    EXPECT_EQ(host.activePane(), 1);
    EXPECT_EQ(host.take(), (std::vector<std::string>{"writeSelectedTrackIdx(1,7)", "writeLibFocusPath(1,/m/a.mp3)",
                                                     "setActivePane(1)"}));
}

}  // namespace
}  // namespace plindo::test
