#include "link/p2p_file_fetch.h"

#include "platform/http_client.h"
#include "platform/log.h"
#include "platform/temp_files.h"
#include "platform/uuid.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace plindo::link {

namespace {

constexpr const char* kServiceType = "_plindo-file._tcp";
// How long one look at the advertised services waits, and the pause before the next look.
constexpr double kBrowseWaitSec = 0.2;
constexpr auto kBrowseAgain = std::chrono::milliseconds(200);

std::atomic<int> gLiveJobs{0};

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

std::string P2PFileFetch::Failure::message() const {
    switch (kind) {
        case Kind::NoService: return "no file service found (" + detail + ")";
        case Kind::BadResponse: return "server said " + detail;
        case Kind::Truncated:
            return "transfer broke off (" + std::to_string(got) + " of " + std::to_string(want) + " bytes)";
        case Kind::Network:
        case Kind::Write: return detail;
    }
    return detail;
}

std::optional<std::string> P2PFileFetch::chooseService(const std::vector<std::string>& names,
                                                       const std::optional<std::string>& wanted, const std::string& own) {
    if (wanted) {
        if (std::find(names.begin(), names.end(), *wanted) != names.end()) return wanted;
        return std::nullopt;
    }
    for (const auto& n : names)
        if (n != own) return n;
    return std::nullopt;
}

int P2PFileFetch::liveJobs() { return gLiveJobs.load(); }

struct P2PFileFetch::Job : std::enable_shared_from_this<P2PFileFetch::Job> {
    Job(std::shared_ptr<platform::ServiceBrowser> b, Request r, std::function<void(Result)> d)
        : browser(std::move(b)), request(std::move(r)), done(std::move(d)), timer(io), browseTimer(io) {}

    std::shared_ptr<platform::ServiceBrowser> browser;
    Request request;
    std::function<void(Result)> done;
    asio::io_context io;  // the job's own serial queue
    asio::steady_timer timer;
    asio::steady_timer browseTimer;
    std::shared_ptr<platform::HttpGet> get;
    bool finished = false;
    std::vector<std::string> seenServices;
    std::string filePath;  // the temporary file while the body is written
    FILE* file = nullptr;
    int64_t written = 0;
    int badStatus = 0;
    std::string writeError;

    void start() {
        timer.expires_after(seconds(request.timeoutSec));
        timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec) self->onTimeout();
        });
        asio::post(io, [self = shared_from_this()] { self->browse(); });
    }

    void onTimeout() {
        if (finished) return;
        std::string names;
        for (const auto& n : seenServices) names += (names.empty() ? "" : ", ") + n;
        finish(Failure{Failure::Kind::NoService, names.empty() ? "none advertised" : names});
    }

    void browse() {
        if (finished || get) return;
        const auto found = browser ? browser->browse(kServiceType, kBrowseWaitSec) : std::vector<platform::ServiceInstance>{};
        if (finished) return;
        std::vector<std::string> names;
        for (const auto& s : found) {
            if (s.type != kServiceType) continue;
            if (std::find(seenServices.begin(), seenServices.end(), s.name) == seenServices.end()) seenServices.push_back(s.name);
            names.push_back(s.name);
        }
        const auto chosen = chooseService(names, request.serviceName, request.ownServiceName);
        if (!chosen) {
            browseTimer.expires_after(kBrowseAgain);
            browseTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
                if (!ec) self->browse();
            });
            return;
        }
        const auto it = std::find_if(found.begin(), found.end(), [&](const auto& s) { return s.name == *chosen; });
        connect(*it);
    }

    void connect(const platform::ServiceInstance& service) {
        platform::HttpGet::Request r;
        r.host = service.host;
        r.port = service.port;
        r.target = request.requestPath;
        r.hostHeader = "plindo";
        platform::HttpGet::Handlers h;
        std::weak_ptr<Job> weak = shared_from_this();
        h.onHead = [weak](const platform::HttpResponseHead& head) {
            auto self = weak.lock();
            return self && self->onHead(head);
        };
        h.onBody = [weak](std::string_view data) {
            auto self = weak.lock();
            return self && self->onBody(data);
        };
        h.onDone = [weak](const platform::HttpGet::Result& result) {
            if (auto self = weak.lock()) self->complete(result);
        };
        get = platform::HttpGet::start(io, std::move(r), std::move(h));
    }

    bool onHead(const platform::HttpResponseHead& head) {
        if (head.status != 200) {
            badStatus = head.status;
            return false;
        }
        filePath = platform::tempFolder() + "/" + platform::randomUuid() + "-" +
                   platform::safeFileNameTail(request.suggestedName);
        file = std::fopen(filePath.c_str(), "wbx");
        if (!file) {
            writeError = filePath + ": " + std::strerror(errno);
            filePath.clear();
            return false;
        }
        return true;
    }

    bool onBody(std::string_view data) {
        if (std::fwrite(data.data(), 1, data.size(), file) != data.size()) {
            writeError = filePath + ": " + std::strerror(errno);
            return false;
        }
        written += static_cast<int64_t>(data.size());
        return true;
    }

    void complete(const platform::HttpGet::Result& r) {
        if (finished) return;
        using O = platform::HttpGet::Outcome;
        if (file && std::fclose(file) != 0 && writeError.empty()) writeError = filePath + ": " + std::strerror(errno);
        file = nullptr;
        if (badStatus != 0) return finish(Failure{Failure::Kind::BadResponse, "HTTP " + std::to_string(badStatus)});
        if (!writeError.empty()) return finish(Failure{Failure::Kind::Write, writeError});
        switch (r.outcome) {
            case O::Complete: break;
            case O::NoHead: return finish(Failure{Failure::Kind::BadResponse, "no HTTP header"});
            case O::TooLong:
            case O::Truncated: {
                Failure f{Failure::Kind::Truncated, {}};
                f.got = static_cast<int64_t>(r.bodyBytes);
                f.want = r.head && r.head->contentLength ? *r.head->contentLength : 0;
                return finish(f);
            }
            default: return finish(Failure{Failure::Kind::Network, r.error});
        }
        if (written == 0) return finish(Failure{Failure::Kind::BadResponse, "empty body"});
        std::string path = std::move(filePath);
        filePath.clear();
        finish(std::move(path));
    }

    void finish(Result result) {
        if (finished) return;
        finished = true;
        timer.cancel();
        browseTimer.cancel();
        if (get) get->cancel();  // its completion finds `finished` set
        if (file) {
            std::fclose(file);
            file = nullptr;
        }
        // A failed or abandoned transfer leaves no partial file behind.
        if (!filePath.empty()) std::remove(filePath.c_str());
        filePath.clear();
        auto d = std::move(done);
        done = nullptr;
        if (d) d(std::move(result));
    }
};

void P2PFileFetch::fetch(std::shared_ptr<platform::ServiceBrowser> browser, Request request,
                         std::function<void(Result)> done) {
    auto job = std::make_shared<Job>(std::move(browser), std::move(request), std::move(done));
    ++gLiveJobs;
    job->start();
    // The job's queue: a thread that runs its handlers and ends once nothing is left to do.
    std::thread([job]() mutable {
        pthread_setname_np(pthread_self(), "plindo.p2pfetch");
        job->io.run();
        job->get.reset();
        job.reset();
        --gLiveJobs;
    }).detach();
}

}  // namespace plindo::link
