// The program as a user starts it: one copy per settings folder, the second launch raising the first, a
// killed or quitting copy never blocking the next, no display without --headless, and a real screenshot.
#include "host/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>

#include <memory>
#include <random>
#include <set>

namespace plindo::test {
namespace {

constexpr int kStartMs = 20000;  // a sanitizer build under a loaded machine starts slowly

// One user's folders and the copies of the program started in them.
class Launcher {
public:
    Launcher() {
        for (const char* sub : {"config/plindo", "state", "home", "runtime"}) QDir().mkpath(dir_.filePath(sub));
        QFile::setPermissions(dir_.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // Ports of our own, so copies started by other tests at the same time do not meet.
        std::random_device rd;
        const int port = 20000 + int(rd() % 20000);
        QFile s(dir_.filePath("config/plindo/settings.json"));
        EXPECT_TRUE(s.open(QIODevice::WriteOnly));
        s.write(QString(R"({"orv.oscPort": %1, "orv.meOscPort": %2})").arg(port).arg(port + 1).toUtf8());
    }
    ~Launcher() {
        for (auto& p : procs_) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    enum class Display { offscreen, none };
    QProcessEnvironment env(Display d = Display::offscreen) const {
        auto e = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) e.remove(v);
        if (d == Display::offscreen) e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        e.insert("XDG_STATE_HOME", dir_.filePath("state"));
        e.insert("XDG_RUNTIME_DIR", dir_.filePath("runtime"));
        e.insert("HOME", dir_.filePath("home"));
        return e;
    }

    QProcess* start(const QStringList& args, Display d = Display::offscreen, const QString& program = PLINDO_APP) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env(d));
        p->setProcessChannelMode(QProcess::SeparateChannels);
        p->start(program, args);
        EXPECT_TRUE(p->waitForStarted(kStartMs));
        procs_.push_back(std::move(p));
        return procs_.back().get();
    }

    // A copy answers on the socket now.
    bool answers() const {
        host::SingleInstance probe(dir_.filePath("config/plindo"));
        QLocalSocket s;
        s.connectToServer(probe.serverName());
        return s.waitForConnected(100);
    }
    // The running copy answers on its socket.
    bool listening(int ms = kStartMs) const {
        return QTest::qWaitFor([&] { return answers(); }, ms);
    }

    static std::string err(QProcess* p) { return p->readAllStandardError().toStdString(); }
    static bool finishes(QProcess* p, int ms = kStartMs) {
        return QTest::qWaitFor([&] { return p->state() == QProcess::NotRunning; }, ms);
    }
    // Ends a copy the way a user's Ctrl-C does; true when it ended cleanly.
    static bool stop(QProcess* p) {
        if (p->state() == QProcess::NotRunning) return false;
        ::kill(pid_t(p->processId()), SIGTERM);
        return finishes(p) && p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
    }

    QString path(const QString& name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<QProcess>> procs_;
};

TEST(Launch, ASecondLaunchRaisesTheFirstAndEndsWithoutAController) {
    Launcher l;
    QProcess* first = l.start({});
    ASSERT_TRUE(l.listening());
    QElapsedTimer took;
    took.start();
    QProcess* second = l.start({});
    ASSERT_TRUE(Launcher::finishes(second));
    EXPECT_LT(took.elapsed(), 5000) << "well within the lock wait";
    EXPECT_EQ(second->exitCode(), 0);
    const std::string said = Launcher::err(second);
    EXPECT_NE(said.find("already running"), std::string::npos) << said;
    EXPECT_EQ(said.find("[host]"), std::string::npos) << "no controller was made: " << said;

    std::string firstSaid;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        firstSaid += Launcher::err(first);
        return firstSaid.find("another launch asked for the window") != std::string::npos;
    }, 5000));
    QTest::qWait(300);
    firstSaid += Launcher::err(first);
    size_t n = 0;
    for (size_t at = firstSaid.find("another launch asked"); at != std::string::npos; at = firstSaid.find("another launch asked", at + 1)) ++n;
    EXPECT_EQ(n, 1u);

    // A headless copy beside the window names the holder and ends with 1.
    QProcess* headless = l.start({"--headless"});
    ASSERT_TRUE(Launcher::finishes(headless));
    EXPECT_EQ(headless->exitCode(), 1);
    EXPECT_NE(Launcher::err(headless).find("pid " + std::to_string(first->processId())), std::string::npos);
    EXPECT_TRUE(Launcher::stop(first));
}

TEST(Launch, AWindowBesideAHeadlessCopyNamesItsPidAndEndsWithOne) {
    Launcher l;
    QProcess* headless = l.start({"--headless"});
    ASSERT_TRUE(l.listening());
    QProcess* window = l.start({});
    ASSERT_TRUE(Launcher::finishes(window));
    EXPECT_EQ(window->exitCode(), 1);
    const std::string said = Launcher::err(window);
    EXPECT_NE(said.find("headless copy is running (pid " + std::to_string(headless->processId()) + ")"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("brought it to the front"), std::string::npos) << said;
    EXPECT_EQ(headless->state(), QProcess::Running);
    EXPECT_TRUE(Launcher::stop(headless));
}

// A settings folder that cannot be written: under a plain file, so not even the superuser can make it.
TEST(SingleInstance, AnUnwritableSettingsFolderKeepsItsLockInTheRuntimeFolder) {
    QTemporaryDir dir;
    QFile blocker(dir.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString settings = dir.filePath("file/plindo"), runtime = dir.filePath("runtime");
    host::SingleInstance first(settings, runtime);
    const auto claim = first.claimHeadless();
    EXPECT_EQ(claim.outcome, host::SingleInstance::Outcome::first) << claim.error.toStdString();
    EXPECT_TRUE(claim.error.isEmpty());
    EXPECT_TRUE(first.lockPath().startsWith(runtime + "/plindo-")) << first.lockPath().toStdString();
    EXPECT_TRUE(QFile::exists(first.lockPath()));
    EXPECT_NE(claim.warning.indexOf("cannot write"), -1) << claim.warning.toStdString();
    // Another launch for the same folder finds that lock and its holder.
    host::SingleInstance second(settings, runtime);
    const auto again = second.claimHeadless();
    EXPECT_EQ(again.outcome, host::SingleInstance::Outcome::heldByOther);
    EXPECT_TRUE(again.error.isEmpty()) << again.error.toStdString();
    EXPECT_EQ(again.holderPid, QCoreApplication::applicationPid());
    first.release();
    EXPECT_EQ(second.claimHeadless().outcome, host::SingleInstance::Outcome::first);
}

TEST(Launch, AKilledOrQuittingCopyNeverBlocksTheNext) {
    Launcher l;
    QProcess* first = l.start({});
    ASSERT_TRUE(l.listening());
    first->kill();  // SIGKILL: lock file and socket stay behind
    ASSERT_TRUE(Launcher::finishes(first));
    QProcess* second = l.start({});
    ASSERT_TRUE(l.listening());
    QTest::qWait(500);
    EXPECT_EQ(second->state(), QProcess::Running) << Launcher::err(second);

    // Quit and launch at once: the new copy, started as soon as the old one has begun to quit (its socket
    // gone; it takes up to one poll of the signal flag to get there), waits for the lock if need be and goes on.
    ::kill(pid_t(second->processId()), SIGTERM);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !l.answers(); }, kStartMs));
    QProcess* third = l.start({});
    ASSERT_TRUE(Launcher::finishes(second));
    EXPECT_EQ(second->exitCode(), 0);
    ASSERT_TRUE(l.listening());
    QTest::qWait(500);
    const std::string said = Launcher::err(third);
    EXPECT_EQ(third->state(), QProcess::Running) << said;
    EXPECT_EQ(said.find("already running"), std::string::npos) << said;
    EXPECT_TRUE(Launcher::stop(third));
}

TEST(Launch, TwoLaunchesAtOnceLeaveOne) {
    Launcher l;
    QProcess* a = l.start({});
    QProcess* b = l.start({});
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return a->state() == QProcess::NotRunning || b->state() == QProcess::NotRunning;
    }, kStartMs));
    QTest::qWait(1000);
    QProcess* ended = a->state() == QProcess::NotRunning ? a : b;
    QProcess* running = ended == a ? b : a;
    EXPECT_EQ(ended->exitCode(), 0) << Launcher::err(ended);
    EXPECT_EQ(running->state(), QProcess::Running);
    EXPECT_TRUE(l.listening());
    EXPECT_TRUE(Launcher::stop(running));
}

TEST(Launch, WithoutADisplayOnlyHeadlessRuns) {
    Launcher l;
    QProcess* plain = l.start({}, Launcher::Display::none);
    ASSERT_TRUE(Launcher::finishes(plain));
    EXPECT_EQ(plain->exitCode(), 2);
    EXPECT_NE(Launcher::err(plain).find("plindo --headless"), std::string::npos);

    QProcess* headless = l.start({"--headless"}, Launcher::Display::none);
    ASSERT_TRUE(l.listening());
    EXPECT_EQ(headless->state(), QProcess::Running) << Launcher::err(headless);
    EXPECT_TRUE(Launcher::stop(headless));

    QProcess* bad = l.start({"--screenshot"}, Launcher::Display::none);
    ASSERT_TRUE(Launcher::finishes(bad));
    EXPECT_EQ(bad->exitCode(), 2);
}

TEST(Launch, ScreenshotUnderARealXServerShowsTheWindow) {
    const QString xvfb = QStandardPaths::findExecutable("xvfb-run");
    if (xvfb.isEmpty()) GTEST_SKIP() << "xvfb-run is not installed";
    Launcher l;
    const QString png = l.path("w.png");
    QProcess* p = l.start({"-a", "-s", "-screen 0 1600x1000x24", PLINDO_APP, "--screenshot", png},
                          Launcher::Display::none, xvfb);
    ASSERT_TRUE(Launcher::finishes(p, 90000));
    EXPECT_EQ(p->exitCode(), 0) << Launcher::err(p);
    QImage img(png);
    ASSERT_FALSE(img.isNull());
    EXPECT_GE(img.width(), 1280);
    EXPECT_GE(img.height(), 860);
    std::set<QRgb> colours;
    for (int y = 0; y < img.height(); y += 7)
        for (int x = 0; x < img.width(); x += 7) colours.insert(img.pixel(x, y));
    EXPECT_GE(colours.size(), 3u) << "not a blank picture";
    EXPECT_EQ(QColor(img.pixel(img.width() / 2, img.height() / 2)), QColor(Qt::black)) << "the centre column";
    EXPECT_LT(QColor(img.pixel(20, img.height() / 2)).value(), 60) << "a dark window";

    // An unwritable path ends with 1.
    QProcess* bad = l.start({"-a", "-s", "-screen 0 1600x1000x24", PLINDO_APP, "--screenshot", l.path("no/such/dir/w.png")},
                            Launcher::Display::none, xvfb);
    ASSERT_TRUE(Launcher::finishes(bad, 90000));
    EXPECT_EQ(bad->exitCode(), 1) << Launcher::err(bad);
}

}  // namespace
}  // namespace plindo::test
