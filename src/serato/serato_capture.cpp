#include "serato/serato_capture.h"

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/serial_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

namespace plindo::serato::SeratoCapture {

namespace {

struct State {
    std::atomic<bool> enabled{false};
    std::atomic<size_t> backlog{0};
    std::mutex folderLock;
    std::string folder;
    // Read by the window while the capture queue writes them.
    std::atomic<int64_t> count{0};
    std::mutex pathLock;
    std::string lastPath;
    // Capture queue only:
    int fd = -1;
    std::string path;  // of the open file
    bool openFailLogged = false;
    bool halted = false;  // a write failed: records are dropped until capture is switched on again
};

State& state() {
    static auto* s = [] {
        auto* st = new State;  // process-wide, never torn down
        const std::string base = platform::stateFolder();
        st->folder = base.empty() ? std::string() : base + "/Logs";
        return st;
    }();
    return *s;
}

platform::SerialQueue& queue() {
    static auto* q = new platform::SerialQueue("serato.capture");
    return *q;
}

void putLE(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void openCaptureFile(State& s) {
    const std::string folder = captureFolder();
    if (folder.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);  // an error shows at the open below
    const std::string path = folder + "/" + captureFileName(std::time(nullptr));
    // Appends when a file of the same second exists already (capture switched off and on again within
    // it), so the records written there before are kept.
    s.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (s.fd >= 0) {
        s.path = path;
        s.openFailLogged = false;
        s.count.store(0, std::memory_order_relaxed);
        std::lock_guard g(s.pathLock);
        s.lastPath = path;
    } else if (!s.openFailLogged) {
        s.openFailLogged = true;
        platform::logger("serato-in").error("capture file {} not opened: {}", path, std::strerror(errno));
    }
}

void closeCaptureFile(State& s) {
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
}

// One record in one write; a record that cannot be written whole is cut off again, so the file stays a
// clean run of records.
// A failed write (a full disk, a file gone bad) switches capture off with one log line, rather than failing
// again on every frame that follows.
void writeRecord(State& s, const std::vector<uint8_t>& record) {
    if (s.halted) return;
    if (s.fd < 0) openCaptureFile(s);
    if (s.fd < 0) return;
    struct stat st {};
    const off_t before = ::fstat(s.fd, &st) == 0 ? st.st_size : -1;
    size_t done = 0;
    int err = 0;
    while (done < record.size()) {
        const ssize_t n = ::write(s.fd, record.data() + done, record.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (done == record.size()) {
        s.count.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (done > 0 && before >= 0) (void)!::ftruncate(s.fd, before);
    platform::logger("serato-in").error("capture write to {} failed: {}; capture switched off", s.path, std::strerror(err));
    s.enabled.store(false, std::memory_order_relaxed);
    s.halted = true;
    closeCaptureFile(s);
}

}  // namespace

void setCaptureEnabled(bool on) {
    State& s = state();
    s.enabled.store(on, std::memory_order_relaxed);
    if (on) queue().post([&s] { s.halted = false; });
    else queue().post([&s] { closeCaptureFile(s); });
}

bool captureEnabled() { return state().enabled.load(std::memory_order_relaxed); }

std::string capturePath() {
    State& s = state();
    std::lock_guard g(s.pathLock);
    return s.lastPath;
}

int64_t captureCount() { return state().count.load(std::memory_order_relaxed); }

bool captureRecord(std::span<const uint8_t> message) { return captureRecord(message, platform::mediaNow()); }

bool captureRecord(std::span<const uint8_t> message, double uptime) {
    State& s = state();
    const size_t size = message.size() + 12;
    if (message.size() > UINT32_MAX) return false;
    if (s.backlog.fetch_add(size) + size > kMaxBacklogBytes) {
        s.backlog.fetch_sub(size);
        return false;
    }
    std::vector<uint8_t> record;
    record.reserve(size);
    putLE(record, std::bit_cast<uint64_t>(uptime), 8);
    putLE(record, message.size(), 4);
    record.insert(record.end(), message.begin(), message.end());
    queue().post([&s, record = std::move(record)] {
        writeRecord(s, record);
        s.backlog.fetch_sub(record.size());
    });
    return true;
}

void setCaptureFolder(const std::string& folder) {
    State& s = state();
    std::lock_guard g(s.folderLock);
    s.folder = folder;
}

std::string captureFolder() {
    State& s = state();
    std::lock_guard g(s.folderLock);
    return s.folder;
}

std::string captureFileName(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return std::string("serato-rane-") + stamp + ".bin";
}

void drain() { queue().sync([] {}); }

}  // namespace plindo::serato::SeratoCapture
