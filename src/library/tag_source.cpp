#include "library/tag_source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plindo::library {

namespace TagRange {

std::optional<int64_t> add(int64_t a, int64_t b) {
    int64_t r = 0;
    if (a < 0 || b < 0 || __builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

bool fits(int64_t offset, uint64_t count, int64_t limit) {
    if (offset < 0 || limit < 0 || offset > limit) return false;
    return count <= static_cast<uint64_t>(limit - offset);
}

}  // namespace TagRange

std::optional<std::vector<uint8_t>> TagSource::region(int64_t offset, int64_t count) const {
    if (count < 0 || !TagRange::fits(offset, static_cast<uint64_t>(count), size())) return std::nullopt;
    std::vector<uint8_t> out(static_cast<size_t>(count));
    if (!readAt(offset, out)) return std::nullopt;
    return out;
}

std::vector<uint8_t> TagSource::clipped(int64_t offset, int64_t count) const {
    const int64_t n = size();
    if (offset < 0 || offset >= n || count <= 0) return {};
    const int64_t take = std::min(count, n - offset);
    auto r = region(offset, take);
    return r ? std::move(*r) : std::vector<uint8_t>{};
}

bool MemoryTagSource::readAt(int64_t offset, std::span<uint8_t> out) const {
    if (!TagRange::fits(offset, out.size(), size())) return false;
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return true;
}

FileTagSource::FileTagSource(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    size_ = static_cast<int64_t>(st.st_size);
}

FileTagSource::~FileTagSource() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

// Covers a header walk (the atoms of a movie header, the blocks of a FLAC file) in one read.
constexpr int64_t kWindow = 16 << 10;
// Reads above this size are regions (a tag, an item): taken from the window when it holds them, else read
// directly so the window never doubles their cost.
constexpr int64_t kHeaderRead = 512;

}  // namespace

bool FileTagSource::readAt(int64_t offset, std::span<uint8_t> out) const {
    if (fd_ < 0 || !TagRange::fits(offset, out.size(), size_)) return false;
    const auto n = static_cast<int64_t>(out.size());
    const auto inWindow = [&] {
        return offset >= windowAt_ && offset - windowAt_ <= static_cast<int64_t>(window_.size()) - n;
    };
    if (!inWindow()) {
        if (n > kHeaderRead) return readFile(offset, out) == out.size();
        window_.resize(static_cast<size_t>(std::min(kWindow, size_ - offset)));
        windowAt_ = offset;
        // A file that shrank since it was opened fills less of the window; what it holds still serves.
        window_.resize(readFile(offset, window_));
        if (!inWindow()) return false;
    }
    if (n > 0) std::memcpy(out.data(), window_.data() + (offset - windowAt_), out.size());
    return true;
}

size_t FileTagSource::readFile(int64_t offset, std::span<uint8_t> out) const {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t r = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        // A file that shrank since it was opened reads short: that region is simply not there.
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

}  // namespace plindo::library
