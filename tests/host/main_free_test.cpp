// Slow reads never hold the main thread: the running-programs scan and the control endpoint's library reads
// run elsewhere while main keeps serving; their results land on main afterwards.
#include "library_rig.h"
#include "link/raw_http.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <future>

namespace plindo::host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::LibraryRig;

// True when main runs a posted turn within a few seconds.
bool mainAnswers(platform::QueueExecutor& main) {
    auto turned = std::make_shared<std::promise<void>>();
    auto seen = turned->get_future();
    main.post([turned] { turned->set_value(); });
    return seen.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
}

TEST(MainStaysFree, TheRunningProgramsScanRunsOffMain) {
    LibraryRig rig;  // manual timers
    // A process whose name blocks the reader until the test writes it: the scan stands still meanwhile.
    const fs::path proc = rig.temp.dir / "proc" / "4242";
    fs::create_directories(proc);
    ASSERT_EQ(::mkfifo((proc / "comm").c_str(), 0600), 0);
    auto& host = rig.make();
    std::thread timers([&] { rig.main.advanceTimers(1.0); });
    // Opening the writing end waits for the scan to open the reading end; the scan then waits for the name.
    const int fd = ::open((proc / "comm").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(mainAnswers(rig.main));
    const std::string name = "Serato DJ Pro\n";
    EXPECT_EQ(::write(fd, name.data(), name.size()), static_cast<ssize_t>(name.size()));
    ::close(fd);
    timers.join();
    bool running = false;
    for (int i = 0; i < 5000 && !running; ++i) {
        rig.main.drain();
        running = host.seratoRunning();
        if (!running) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(running);
}

TEST(MainStaysFree, ControlLibraryReadsAnswerOnceReadWhileMainServes) {
    const struct {
        const char* target;
        std::function<void(const json&)> check;
    } cases[] = {
        {"/ctl?cmd=crate&pane=0&key=Plindo%25%25Files",
         [](const json& a) { EXPECT_EQ(a["status"], "Crate Files: 2 tracks") << a.dump(); }},
        {"/ctl?cmd=library&reload=1",
         [](const json& a) { EXPECT_EQ(a["panes"][1]["status"], "Files: 2 tracks") << a.dump(); }},
    };
    for (const auto& c : cases) {
        LibraryRig rig;
        rig.audio("a.wav");
        rig.audio("b.wav");
        auto& host = rig.started();
        rig.settle();
        const int port = host.fileServer->boundPort();
        ASSERT_GT(port, 0);
        // The library queue is busy with a large read.
        std::mutex held;
        std::unique_lock hold(held);
        host.libraryQueue().post([&] { std::lock_guard g(held); });
        auto answer = std::async(std::launch::async, [&] {
            return link::testing::bodyOf(link::testing::roundTrip(port, link::testing::getRequest(c.target)));
        });
        // Main serves other work once the endpoint's command has started the read, and before it has landed.
        bool started = false, answers = true;
        for (int i = 0; i < 5000 && answers && !started; ++i) {
            auto status = std::make_shared<std::promise<std::string>>();
            auto seen = status->get_future();
            rig.main.post([&host, status] { status->set_value(host.panes()[0].status); });
            answers = seen.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
            started = answers && seen.get().ends_with("loading \u2026");
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(answers && started) << c.target;
        hold.unlock();
        c.check(json::parse(answer.get(), nullptr, false));
    }
}

}  // namespace
}  // namespace plindo::host
