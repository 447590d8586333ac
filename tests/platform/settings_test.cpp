#include "platform/log.h"
#include "platform/settings.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace plindo::platform;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct TempFolder {
    TempFolder() {
        std::string t = (fs::temp_directory_path() / "plindo-settings-XXXXXX").string();
        path = ::mkdtemp(t.data());
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

std::string readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& p, const std::string& bytes) {
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

// Collects what the "settings" category logs while alive.
struct LogCapture {
    LogCapture() : sink(std::make_shared<spdlog::sinks::ostream_sink_mt>(out)) { logger("settings").sinks().push_back(sink); }
    ~LogCapture() {
        auto& sinks = logger("settings").sinks();
        std::erase(sinks, sink);
    }
    std::ostringstream out;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink;
};

}  // namespace

TEST(Settings, TypedReadsTellAbsentFromStoredAndAcceptNeighbourTypes) {
    TempFolder dir;
    MemorySettings mem;
    FileSettings file(dir.path + "/plindo/settings.json");
    for (Settings* s : {static_cast<Settings*>(&mem), static_cast<Settings*>(&file)}) {
        EXPECT_FALSE(s->value("orv.followEase"));
        EXPECT_FALSE(s->boolValue("orv.followEase"));
        EXPECT_FALSE(s->intValue("orv.oscPort"));

        s->setValue("f", false);
        EXPECT_EQ(s->boolValue("f"), false);  // a stored false is not "nothing"
        s->setValue("zero", 0);
        s->setValue("two", 2);
        s->setValue("half", 0.5);
        s->setValue("text", "7100");
        s->setValue("yes", true);
        s->setValue("huge", 1e300);
        EXPECT_EQ(s->boolValue("zero"), false);
        EXPECT_EQ(s->boolValue("two"), true);
        EXPECT_EQ(s->boolValue("half"), true);
        EXPECT_FALSE(s->boolValue("text"));
        EXPECT_EQ(s->intValue("yes"), 1);
        EXPECT_EQ(s->intValue("half"), 0);
        EXPECT_FALSE(s->intValue("huge"));  // does not fit: nothing rather than garbage
        EXPECT_FALSE(s->intValue("text"));
        EXPECT_EQ(s->doubleValue("two"), 2.0);
        EXPECT_EQ(s->doubleValue("yes"), 1.0);
        EXPECT_EQ(s->stringValue("text"), "7100");
        EXPECT_FALSE(s->stringValue("two"));

        s->setValue("two", nullptr);  // storing null removes
        EXPECT_FALSE(s->value("two"));
        s->remove("text");
        EXPECT_FALSE(s->stringValue("text"));
    }
}

TEST(Settings, FileKeepsValuesAcrossInstancesAndLeavesNoTemporaries) {
    TempFolder dir;
    const std::string path = dir.path + "/deep/plindo/settings.json";
    {
        FileSettings s(path);
        s.setValue("orv.oscPort", 7200);
        s.setValue("orv.libraryFolder", "/home/dj/Müsic & Co");
        s.setValue("gone", 1);
        s.remove("gone");
    }
    FileSettings again(path);
    EXPECT_EQ(again.intValue("orv.oscPort"), 7200);
    EXPECT_EQ(again.stringValue("orv.libraryFolder"), "/home/dj/Müsic & Co");
    EXPECT_FALSE(again.value("gone"));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(fs::path(path).parent_path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(Settings, ReaderNeverSeesAHalfWrittenFile) {
    TempFolder dir;
    const std::string path = dir.path + "/settings.json";
    FileSettings s(path);
    s.setValue("pad", std::string(64 * 1024, 'x'));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!stop) {
            const auto text = readFile(path);
            const auto j = json::parse(text, nullptr, false);
            if (j.is_discarded() || !j.is_object() || !j.contains("pad")) ++bad;
        }
    });
    for (int i = 0; i < 200; ++i) s.setValue("n", i);
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(FileSettings(path).intValue("n"), 199);
}

TEST(Settings, CorruptFileGivesDefaultsAndIsKeptBeforeTheFirstWrite) {
    TempFolder dir;
    const std::string path = dir.path + "/settings.json";
    const std::string broken = "{\"orv.oscPort\": 7200, \"orv.libraryFolder\": \"/mus";
    writeFile(path, broken);
    LogCapture logs;
    {
        FileSettings s(path);
        EXPECT_FALSE(s.value("orv.oscPort"));
        EXPECT_NE(logs.out.str().find("using defaults"), std::string::npos);
        EXPECT_EQ(readFile(path), broken);  // reading alone changes nothing on disk
        s.setValue("orv.followEase", false);
        EXPECT_EQ(readFile(path + ".corrupt"), broken);
        EXPECT_EQ(FileSettings(path).boolValue("orv.followEase"), false);
        s.setValue("second", 1);  // later writes do not touch the kept copy again
        EXPECT_EQ(readFile(path + ".corrupt"), broken);
    }
    // A second bad file never replaces the first kept copy; a top-level non-object counts as bad too.
    writeFile(path, "[1, 2]");
    FileSettings s(path);
    EXPECT_FALSE(s.value("second"));
    s.remove("absent");  // nothing changes, so nothing is written
    EXPECT_EQ(readFile(path), "[1, 2]");
    s.setValue("third", 3);
    EXPECT_EQ(readFile(path + ".corrupt"), broken);
    EXPECT_EQ(readFile(path + ".corrupt.1"), "[1, 2]");
}

TEST(Settings, ListenersRunOutsideTheLockAndMayUnsubscribe) {
    TempFolder dir;
    MemorySettings mem;
    FileSettings file(dir.path + "/settings.json");
    for (Settings* s : {static_cast<Settings*>(&mem), static_cast<Settings*>(&file)}) {
        std::vector<std::string> seen;
        int id = 0;
        id = s->addChangeListener([&](const std::string& key) {
            // Reading and writing the store from a listener would deadlock under its lock.
            seen.push_back(key + "=" + (s->value(key) ? s->value(key)->dump() : "none"));
            if (key == "stop") s->removeChangeListener(id);
        });
        s->setValue("a", 1);
        s->remove("a");
        s->setValue("stop", true);
        s->setValue("after", 2);
        EXPECT_EQ(seen, (std::vector<std::string>{"a=1", "a=none", "stop=true"}));
    }
}

TEST(Settings, DefaultPathFollowsXdgConfigHome) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(FileSettings::defaultPath(), "/tmp/cfg/plindo/settings.json");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored as XDG asks
    ::setenv("HOME", "/home/dj", 1);
    EXPECT_EQ(FileSettings::defaultPath(), "/home/dj/.config/plindo/settings.json");
    if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", home.c_str(), 1);
}

TEST(Settings, WriteFailuresAndOddTextNeverThrowOrLoseTheOtherKeys) {
    TempFolder dir;
    // A folder that cannot exist: its parent is a plain file.
    writeFile(dir.path + "/plain", "x");
    LogCapture logs;
    FileSettings stuck(dir.path + "/plain/plindo/settings.json");
    stuck.setValue("orv.oscPort", 7300);
    EXPECT_EQ(stuck.intValue("orv.oscPort"), 7300);  // kept in memory for this run
    EXPECT_NE(logs.out.str().find("cannot write"), std::string::npos);

    // A path from a non-UTF-8 file system must not make the whole file unwritable.
    const std::string path = dir.path + "/settings.json";
    FileSettings s(path);
    s.setValue("orv.oscPort", 7200);
    EXPECT_NO_THROW(s.setValue("orv.libraryFolder", std::string("/mnt/\xFF\xFEmusic")));
    FileSettings again(path);
    EXPECT_EQ(again.intValue("orv.oscPort"), 7200);
    EXPECT_TRUE(again.stringValue("orv.libraryFolder"));
}

TEST(Settings, SpecialPathsNeverBlockNorGetReplaced) {
    TempFolder dir;
    const std::string path = dir.path + "/settings.json";
    const struct {
        const char* name;
        std::function<void()> make;
        const char* logged;  // the cause the log line names
    } cases[] = {
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, "not a regular file"},
        {"folder", [&] { fs::create_directory(path); }, "not a regular file"},
        {"link loop", [&] { fs::create_symlink(path, path); }, "Too many levels of symbolic links"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        const auto kind = fs::symlink_status(path).type();
        LogCapture logs;
        auto made = std::async(std::launch::async, [&] { return std::make_unique<FileSettings>(path); });
        if (made.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            ADD_FAILURE() << "start-up blocked";
            ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
        }
        auto s = made.get();
        EXPECT_NE(logs.out.str().find(c.logged), std::string::npos) << logs.out.str();
        EXPECT_EQ(logs.out.str().find("No such file"), std::string::npos);
        s->setValue("orv.followEase", false);
        EXPECT_EQ(s->boolValue("orv.followEase"), false) << "kept in memory";
        EXPECT_EQ(fs::symlink_status(path).type(), kind) << "left as it was";
        fs::remove(path);
    }

    // A file that cannot be read for lack of permission keeps its keys (root reads everything).
    if (::geteuid() != 0) {
        writeFile(path, R"({"orv.oscPort": 7200})");
        fs::permissions(path, fs::perms::none);
        LogCapture logs;
        FileSettings s(path);
        EXPECT_NE(logs.out.str().find("Permission denied"), std::string::npos) << logs.out.str();
        s.setValue("orv.followEase", false);
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(readFile(path), R"({"orv.oscPort": 7200})");
    }
}

TEST(Settings, ALinkedFileIsWrittenThroughTheLink) {
    TempFolder dir;
    const std::string real = dir.path + "/dotfiles/plindo.json", link = dir.path + "/conf/settings.json";
    writeFile(real, R"({"orv.oscPort": 7200})");
    fs::create_directories(dir.path + "/conf");
    fs::create_symlink("../dotfiles/plindo.json", link);  // relative, as dotfile managers make them
    {
        FileSettings s(link);
        EXPECT_EQ(s.intValue("orv.oscPort"), 7200);
        s.setValue("orv.followEase", false);
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(json::parse(readFile(real)), json::parse(R"({"orv.oscPort": 7200, "orv.followEase": false})"));
    // A link whose target does not exist yet gets it made.
    fs::create_symlink(dir.path + "/dotfiles/new.json", dir.path + "/conf/dangling.json");
    FileSettings(dir.path + "/conf/dangling.json").setValue("orv.oscPort", 1);
    EXPECT_TRUE(fs::is_symlink(dir.path + "/conf/dangling.json"));
    EXPECT_EQ(json::parse(readFile(dir.path + "/dotfiles/new.json")), json::parse(R"({"orv.oscPort": 1})"));

    // A link to a file that holds no settings: that file is neither renamed nor overwritten; settings.json
    // becomes a file of its own.
    const std::string notes = dir.path + "/notes.txt", odd = dir.path + "/conf/odd.json";
    writeFile(notes, "shopping list\n");
    fs::create_symlink(notes, odd);
    LogCapture logs;
    FileSettings(odd).setValue("orv.oscPort", 2);
    EXPECT_EQ(readFile(notes), "shopping list\n");
    EXPECT_FALSE(fs::exists(notes + ".corrupt"));
    EXPECT_FALSE(fs::is_symlink(odd));
    EXPECT_EQ(json::parse(readFile(odd)), json::parse(R"({"orv.oscPort": 2})"));
    EXPECT_NE(logs.out.str().find("which is not a settings file"), std::string::npos);
}

TEST(Settings, OversizedOrDeeplyNestedFilesCountAsDamaged) {
    TempFolder dir;
    const std::string path = dir.path + "/settings.json";
    const std::string deep = "{\"a\": " + std::string(200000, '[') + std::string(200000, ']') + "}";
    const std::string big = "{\"a\": \"" + std::string(size_t{2} << 20, 'x') + "\"}";
    const std::string fine = "{\"a\": " + std::string(60, '[') + "\"[[[[\"" + std::string(60, ']') + "}";
    for (const std::string* text : {&deep, &big}) {
        writeFile(path, *text);
        FileSettings s(path);
        EXPECT_FALSE(s.value("a"));
        s.setValue("b", 1);
        EXPECT_TRUE(fs::exists(path + ".corrupt"));
        fs::remove(path + ".corrupt");
    }
    writeFile(path, fine);
    EXPECT_TRUE(FileSettings(path).value("a"));
}

TEST(Settings, TemporariesOfAKilledWriteAreRemovedAtStart) {
    TempFolder dir;
    const std::string path = dir.path + "/settings.json";
    writeFile(path, R"({"orv.oscPort": 7200})");
    const std::vector<std::pair<std::string, bool>> names = {
        {"settings.json.a1B2c3", false}, {"settings.json.ZZZZZZ", false},  // mkstemp's names: removed
        {"settings.json.corrupt", true},  {"settings.json.abc", true},      // kept copies, other names
        {"settings.json.abc-12", true},   {"other.json.a1B2c3", true},
    };
    for (const auto& [name, kept] : names) writeFile(dir.path + "/" + name, "{");
    FileSettings s(path);
    EXPECT_EQ(s.intValue("orv.oscPort"), 7200);
    for (const auto& [name, kept] : names) EXPECT_EQ(fs::exists(dir.path + "/" + name), kept) << name;
}

// A save makes the new contents durable before they replace the old file, and the replacement durable
// after; a sync that fails leaves the old file as it was.
TEST(Settings, ASaveSyncsTheNewFileBeforeTheRenameAndTheFolderAfter) {
    TempFolder dir;
    const std::string path = dir.path + "/settings.json";
    std::vector<std::string> calls;
    std::string synced;  // what the synced file held
    bool failFileSync = false;
    const auto kindOf = [](int fd) {
        struct stat st {};
        ::fstat(fd, &st);
        return std::string(S_ISDIR(st.st_mode) ? "folder" : "file");
    };
    FileSettings::FileOps ops{
        .fsync =
            [&](int fd) {
                const std::string kind = kindOf(fd);
                calls.push_back("fsync " + kind);
                if (kind == "file") {
                    std::string bytes(4096, '\0');
                    bytes.resize(static_cast<size_t>(std::max<ssize_t>(0, ::pread(fd, bytes.data(), bytes.size(), 0))));
                    synced = bytes;
                    if (failFileSync) {
                        errno = EIO;
                        return -1;
                    }
                }
                return ::fsync(fd);
            },
        .rename =
            [&](const char* from, const char* to) {
                calls.push_back(std::string("rename to ") + (to == path ? "the settings file" : to));
                return ::rename(from, to);
            },
    };
    FileSettings s(path, ops);
    s.setValue("orv.oscPort", 7200);
    EXPECT_EQ(calls, (std::vector<std::string>{"fsync file", "rename to the settings file", "fsync folder"}));
    EXPECT_EQ(synced, readFile(path));

    calls.clear();
    failFileSync = true;
    LogCapture log;
    s.setValue("orv.oscPort", 7300);
    EXPECT_EQ(calls, std::vector<std::string>{"fsync file"});
    EXPECT_NE(log.out.str().find("cannot write"), std::string::npos);
    EXPECT_EQ(FileSettings(path).intValue("orv.oscPort"), 7200);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path)) ++entries;
    EXPECT_EQ(entries, 1);  // the temporary is gone
}
