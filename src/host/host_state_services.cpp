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
#include <filesystem>
#include <fstream>

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

// The first line of a small file under /proc, without its newline.
std::string firstLine(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::string line;
    std::getline(in, line, '\n');
    return line;
}

// argv[0] of a process: the text before the first NUL, its last path part after "/" or "\".
std::string programName(const std::filesystem::path& cmdline) {
    std::ifstream in(cmdline, std::ios::binary);
    std::string arg0;
    std::getline(in, arg0, '\0');
    const auto cut = arg0.find_last_of("/\\");
    return cut == std::string::npos ? arg0 : arg0.substr(cut + 1);
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
    std::error_code ec;
    for (std::filesystem::directory_iterator it(procRoot_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        if (namesDJApp(firstLine(it->path() / "comm")) || namesDJApp(programName(it->path() / "cmdline"))) return true;
    }
    return false;
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
