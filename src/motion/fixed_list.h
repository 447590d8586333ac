#pragma once
// A list with its storage inline: the real-time paths hand results back in these so that nothing on them
// allocates. Appending past the capacity is refused (push returns false) instead of growing.
#include <array>
#include <cstddef>
#include <initializer_list>

namespace plindo::motion {

template <typename T, std::size_t N>
class FixedList {
public:
    static constexpr std::size_t kCapacity = N;

    FixedList() = default;
    FixedList(std::initializer_list<T> items) {
        for (const T& v : items) push(v);
    }

    bool push(const T& v) {
        if (size_ >= N) return false;
        items_[size_++] = v;
        return true;
    }
    // Drops the first element, keeping the order of the rest.
    void popFront() {
        if (size_ == 0) return;
        for (std::size_t i = 1; i < size_; ++i) items_[i - 1] = items_[i];
        --size_;
    }
    void clear() { size_ = 0; }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool full() const { return size_ >= N; }
    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T& front() { return items_[0]; }
    const T& front() const { return items_[0]; }
    T& back() { return items_[size_ - 1]; }
    const T& back() const { return items_[size_ - 1]; }
    T* begin() { return items_.data(); }
    T* end() { return items_.data() + size_; }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + size_; }
    const T* data() const { return items_.data(); }

    bool operator==(const FixedList& o) const {
        if (size_ != o.size_) return false;
        for (std::size_t i = 0; i < size_; ++i)
            if (!(items_[i] == o.items_[i])) return false;
        return true;
    }

private:
    std::array<T, N> items_{};
    std::size_t size_ = 0;
};

}  // namespace plindo::motion
