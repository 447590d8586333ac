// Small services of the controller: the DJ logo and the hidden diagnostics unlock, the memory of each deck's
// mode, and the test whether the DJ application runs.
#include "host/host_state.h"

#include "host/serato_parts.h"

#include "platform/log.h"
#include "platform/path_names.h"
#include "platform/text.h"

#include <QBuffer>
#include <QImageWriter>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace plindo::host {

namespace {
// The diagnostics unlock stays armed this long after the trigger file was chosen.
constexpr double kSecretArmSec = 5.0;
// The longer side of a stored logo.
constexpr double kLogoMaxSide = 512.0;
constexpr int kLogoQuality = 85;
// Screen frames younger than this mean the DJ application runs.
constexpr double kFrameFreshSec = 5.0;

bool namesDJApp(std::string_view name) { return name.starts_with("Serato DJ"); }

// Reads `file` under the open folder `dir` in small chunks, handing each to `take` until it returns false;
// no allocation, so a scan over every process costs only its system calls.
template <typename Take>
void readChunks(int dir, const char* file, Take take) {
    const int fd = ::openat(dir, file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[512];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
        if (!take(std::string_view(buf, size_t(n)))) break;
    }
    ::close(fd);
}

// The first field of /proc/<pid>/<name>, up to `end` (and, where `lastPart`, after its last slash or backslash),
// names the DJ application. Only the field's start matters, so only that is kept.
bool fieldNamesDJApp(int dir, const char* pid, const char* name, char end, bool lastPart) {
    char file[64];
    std::snprintf(file, sizeof file, "%s/%s", pid, name);
    char text[64];
    size_t len = 0;
    readChunks(dir, file, [&](std::string_view chunk) {
        for (const char c : chunk) {
            if (c == end) return false;
            if (lastPart && (c == '/' || c == '\\'))
                len = 0;
            else if (len < sizeof text)
                text[len++] = c;
        }
        return true;
    });
    return namesDJApp(std::string_view(text, len));
}

// Its name (the first line of comm), or argv[0]'s last path part (cmdline up to the first NUL).
bool processNamesDJApp(int dir, const char* pid) {
    return fieldNamesDJApp(dir, pid, "comm", '\n', false) || fieldNamesDJApp(dir, pid, "cmdline", '\0', true);
}
}  // namespace

std::string HostState::logoPath() const { return (std::filesystem::path(tempFolder_) / "dj_logo.jpg").string(); }

std::optional<std::vector<uint8_t>> HostState::jpegData(const QImage& image) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) return std::nullopt;
    const double m = std::max(image.width(), image.height());
    const double s = m <= 1.0 ? 1.0 : std::min(1.0, kLogoMaxSide / m);
    const int w = std::max(1, static_cast<int>(std::lround(image.width() * s)));
    const int h = std::max(1, static_cast<int>(std::lround(image.height() * s)));
    const QImage scaled = s < 1.0 ? image.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation) : image;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(kLogoQuality);
    if (!writer.write(scaled.convertToFormat(QImage::Format_RGB32)) || bytes.isEmpty()) return std::nullopt;
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void HostState::useDJLogo(const std::string& path) {
    if (platform::text::asciiLower(platform::lastPathComponent(path)) == kSecretLogoName) {
        assignSecretBlinkUntil(mediaNow() + kSecretArmSec);
        return;
    }
    const QImage image(QString::fromStdString(path));
    const auto jpeg = jpegData(image);
    if (!jpeg) return;  // not a readable image: nothing changes
    setDJLogo(*jpeg, true);
}

void HostState::setDJLogo(const std::vector<uint8_t>& jpeg, bool broadcast) {
    const std::filesystem::path file = logoPath();
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (jpeg.empty()) {
        std::filesystem::remove(file, ec);
    } else {
        // Written beside and renamed, so that a reader never sees half a logo.
        const auto tmp = file.string() + ".part";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
        }
        std::filesystem::rename(tmp, file, ec);
        if (ec) {
            std::filesystem::remove(tmp, ec);
            platform::logger("host").error("logo not stored: {}", file.string());
        }
    }
    assignDJLogo(QImage(QString::fromStdString(file.string())));
    if (!broadcast) return;
    const double generation = static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    server->sendDJLogo(link::SharedLogo::chunks(jpeg), generation);
}

void HostState::takeLogoChunk(double generation, int index, int count, const std::string& chunk,
                              const std::string& sender) {
    const double nowMs = link::SharedLogo::wallClockMs();
    if (const auto lead = link::SharedLogo::leadMs(generation, nowMs)) {
        noteClockLead(sender, *lead / 1000.0, group::ClockLeadNotice::Ignored::logo);
        return;
    }
    if (auto bytes = logoAssembler_.add(generation, index, count, chunk, nowMs)) setDJLogo(*bytes, false);
}

void HostState::blinkPanelTapped() {
    if (!(mediaNow() < secretBlinkUntil() || dynamoUnlocked())) return;
    assignSecretBlinkUntil(0);
    assignDynamoUnlocked(true);
    assignShowSecret(true);
    server->sendSecret();
}

void HostState::saveDeckMode(int slot, const std::string& mode) {
    settings_.setValue("deck.mode.slot" + std::to_string(slot), mode);
}

bool HostState::isSeratoRunning() const {
    const double lastFrame = seratoTap ? seratoTap->lastFrameWall() : 0.0;
    if (lastFrame > 0 && clock_.now() - lastFrame < kFrameFreshSec) return true;
    // Once a second: each process's name files are read through the folder's handle, without allocating.
    DIR* proc = ::opendir(procRoot_.c_str());
    if (!proc) return false;
    const int dir = ::dirfd(proc);
    bool found = false;
    while (const dirent* e = ::readdir(proc)) {
        const char* name = e->d_name;
        const auto digit = [](char c) { return c >= '0' && c <= '9'; };
        if (!*name || !std::all_of(name, name + std::strlen(name), digit)) continue;
        if (processNamesDJApp(dir, name)) {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

void HostState::presenceScan() {
    if (presenceScanning_) return;  // a slow scan is not queued twice
    presenceScanning_ = true;
    std::weak_ptr<int> alive = life_;
    platform::MainExecutor& main = main_;
    presenceQueue_->post([this, alive, &main] {
        const bool running = isSeratoRunning();
        main.post([this, alive, running] {
            if (!alive.lock()) return;
            presenceScanning_ = false;
            applyPresence(running);
        });
    });
}

}  // namespace plindo::host
