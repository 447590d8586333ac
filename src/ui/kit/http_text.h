#pragma once
// One GET of a small text (JSON from the host's own track server): runs on the kit queue, keeps at most 1 MB,
// answers once on the main thread. A new `get` or `cancel` drops the answer of the request before it; the
// destructor cancels too, so a view that goes away is never called back.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace plindo::ui {

class HttpText {
public:
    static constexpr size_t kMaxBytes = 1 << 20;
    static constexpr double kIdleTimeoutSec = 10.0;

    struct Reply {
        bool ok = false;     // the whole body arrived with status 200
        int status = 0;      // 0 when no answer arrived
        std::string body;    // the whole body of a complete answer, whatever its status; else empty
        std::string error;   // why not ok
    };
    using Done = std::function<void(const Reply&)>;

    HttpText() = default;
    ~HttpText();
    HttpText(const HttpText&) = delete;
    HttpText& operator=(const HttpText&) = delete;

    // Call on the main thread. `done` runs later on the main thread, exactly once unless cancelled first.
    void get(const std::string& url, Done done);
    void cancel();
    bool busy() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace plindo::ui
