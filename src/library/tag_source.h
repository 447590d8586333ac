#pragma once
// Random access to the bytes of a tagged file. Readers fetch only the regions they need (a tag, a block, an
// atom) so a multi-gigabyte file costs what its tags cost. Files are read with pread, never mapped: a file
// that shrinks while mapped would raise SIGBUS.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace plindo::library {

class TagSource {
public:
    virtual ~TagSource() = default;
    virtual int64_t size() const = 0;
    // Fills `out` from `offset`; false when the range is not entirely inside the source or the read fails.
    virtual bool readAt(int64_t offset, std::span<uint8_t> out) const = 0;

    // The bytes [offset, offset + count); nothing when the range is not entirely readable.
    std::optional<std::vector<uint8_t>> region(int64_t offset, int64_t count) const;
    // Up to `count` bytes from `offset`, clipped at the end; empty when offset is outside.
    std::vector<uint8_t> clipped(int64_t offset, int64_t count) const;
};

class MemoryTagSource final : public TagSource {
public:
    explicit MemoryTagSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    int64_t size() const override { return static_cast<int64_t>(bytes_.size()); }
    bool readAt(int64_t offset, std::span<uint8_t> out) const override;

private:
    std::span<const uint8_t> bytes_;
};

// Small reads (headers on a walk) are served from one read-ahead window, so walking a few dozen atoms or
// blocks costs one or two system calls; large reads go straight to the file. One reader at a time.
class FileTagSource final : public TagSource {
public:
    // Opens read-only; ok() is false when the file cannot be opened or is not a regular file.
    explicit FileTagSource(const std::string& path);
    ~FileTagSource() override;
    FileTagSource(const FileTagSource&) = delete;
    FileTagSource& operator=(const FileTagSource&) = delete;

    bool ok() const { return fd_ >= 0; }
    int64_t size() const override { return size_; }
    bool readAt(int64_t offset, std::span<uint8_t> out) const override;

private:
    // Bytes read into `out` from `offset`; fewer when the file ends early.
    size_t readFile(int64_t offset, std::span<uint8_t> out) const;

    int fd_ = -1;
    int64_t size_ = 0;
    mutable std::vector<uint8_t> window_;
    mutable int64_t windowAt_ = 0;
};

// Checked 64-bit range arithmetic for offsets and sizes taken from files.
namespace TagRange {
// a + b, or nothing when it overflows or either is negative.
std::optional<int64_t> add(int64_t a, int64_t b);
// True when [offset, offset + count) lies within [0, limit).
bool fits(int64_t offset, uint64_t count, int64_t limit);
}  // namespace TagRange

}  // namespace plindo::library
