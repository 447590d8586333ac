#pragma once
// One headless copy of the program in folders of its own, on ports of its own, asked through its control
// endpoint.
#include "link/raw_http.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace plindo::host::testing {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr double kStartSec = 30.0;  // a sanitizer build on a loaded machine starts slowly

inline int freePort(bool tcp) {
    asio::io_context io;
    if (tcp) {
        asio::ip::tcp::acceptor a(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        return a.local_endpoint().port();
    }
    asio::ip::udp::socket s(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    return s.local_endpoint().port();
}

// One headless copy in folders of its own, on ports of its own.
class Headless {
public:
    // `extra`: settings stored besides the ports.
    explicit Headless(const json& extra = json::object()) {
        dir_ = fs::temp_directory_path() / ("plindo-headless-" + std::to_string(::getpid()) + "-" + std::to_string(++count_));
        fs::remove_all(dir_);
        for (const char* sub : {"config/plindo", "state", "home", "runtime", "tmp"}) fs::create_directories(dir_ / sub);
        fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        osc_ = freePort(false);
        json settings = extra;
        settings["orv.oscPort"] = osc_;
        settings["orv.meOscPort"] = osc_ + 1;
        std::ofstream(dir_ / "config/plindo/settings.json") << settings.dump();
        port_ = freePort(true);
    }
    ~Headless() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
        }
        // A failed test shows how the copy ended (a sanitizer report, an abort) before its folder goes.
        if (::testing::Test::HasFailure()) {
            std::ifstream log(dir_ / "stderr.log");
            std::vector<std::string> lines;
            for (std::string line; std::getline(log, line);) lines.push_back(std::move(line));
            const size_t from = lines.size() > 60 ? lines.size() - 60 : 0;
            std::fprintf(stderr, "--- last lines of the copy's log (%s) ---\n", dir_.c_str());
            for (size_t i = from; i < lines.size(); ++i) std::fprintf(stderr, "%s\n", lines[i].c_str());
        }
        fs::remove_all(dir_);
    }

    bool start() {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            for (const char* drop : {"XDG_CONFIG_HOME=", "XDG_STATE_HOME=", "XDG_RUNTIME_DIR=", "HOME=", "TMPDIR=",
                                     "DISPLAY=", "WAYLAND_DISPLAY="}) {
                if (v.starts_with(drop)) goto skip;
            }
            env.push_back(v);
        skip:;
        }
        env.push_back("XDG_CONFIG_HOME=" + (dir_ / "config").string());
        env.push_back("XDG_STATE_HOME=" + (dir_ / "state").string());
        env.push_back("XDG_RUNTIME_DIR=" + (dir_ / "runtime").string());
        env.push_back("HOME=" + (dir_ / "home").string());
        env.push_back("TMPDIR=" + (dir_ / "tmp").string());
        const std::vector<std::string> args{PLINDO_APP, "--headless", "--midi", "loopback", "--http-port",
                                            std::to_string(port_)};
        std::vector<char*> argv, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        // Its log goes to a file of its own, so the test's output stays readable.
        const std::string logFile = (dir_ / "stderr.log").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int spawned = ::posix_spawn(&pid_, PLINDO_APP, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return false;
        // Up once the control endpoint answers from the main phase.
        const auto until = Clock::now() + std::chrono::duration<double>(kStartSec);
        while (Clock::now() < until) {
            const auto answer = ctl("");
            if (answer.is_object() && answer.value("phase", "") == "main") return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    json ctl(const std::string& query) const {
        const auto r = plindo::link::testing::roundTrip(port_, plindo::link::testing::getRequest("/ctl" + query), 5.0);
        return json::parse(plindo::link::testing::bodyOf(r), nullptr, false);
    }

    // The answer once main took the request up. A request main was too busy for within the endpoint's wait
    // was answered "busy" and not carried out, so it is asked again (a loaded machine stalls main for that long).
    json ask(const std::string& query) const {
        const auto until = Clock::now() + std::chrono::duration<double>(kStartSec);
        json answer = ctl(query);
        while (answer.is_object() && answer.value("error", "") == "busy" && Clock::now() < until) answer = ctl(query);
        return answer;
    }

    int oscPort() const { return osc_; }
    const fs::path& dir() const { return dir_; }

    // Ends it at once, as a crash or a pulled cable would.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
    }

    // Sends SIGTERM; the exit status once it ended within `limitSec`, else none.
    std::optional<int> terminate(double limitSec) {
        ::kill(pid_, SIGTERM);
        const auto until = Clock::now() + std::chrono::duration<double>(limitSec);
        while (Clock::now() < until) {
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }

private:
    static inline int count_ = 0;
    fs::path dir_;
    int port_ = 0;
    int osc_ = 0;
    pid_t pid_ = -1;
};

}  // namespace plindo::host::testing
