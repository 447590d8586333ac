#pragma once
// A list with its storage inline: the real-time paths hand results back in these so that nothing on them
// allocates. Appending past the capacity is refused (push returns false) instead of growing. The storage is
// left uninitialised until used, so a large capacity costs nothing until it is filled.
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>

namespace plindo::motion {

template <typename T, std::size_t N>
class FixedList {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "FixedList holds plain values only");

public:
    static constexpr std::size_t kCapacity = N;

    FixedList() = default;
    FixedList(std::initializer_list<T> items) {
        for (const T& v : items) push(v);
    }

    bool push(const T& v) {
        if (size_ >= N) return false;
        std::construct_at(ptr() + size_, v);
        ++size_;
        return true;
    }
    // Drops the first element, keeping the order of the rest.
    void popFront() {
        if (size_ == 0) return;
        for (std::size_t i = 1; i < size_; ++i) ptr()[i - 1] = ptr()[i];
        --size_;
    }
    void clear() { size_ = 0; }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool full() const { return size_ >= N; }
    T& operator[](std::size_t i) { return ptr()[i]; }
    const T& operator[](std::size_t i) const { return ptr()[i]; }
    T& front() { return ptr()[0]; }
    const T& front() const { return ptr()[0]; }
    T& back() { return ptr()[size_ - 1]; }
    const T& back() const { return ptr()[size_ - 1]; }
    T* begin() { return ptr(); }
    T* end() { return ptr() + size_; }
    const T* begin() const { return ptr(); }
    const T* end() const { return ptr() + size_; }
    const T* data() const { return ptr(); }

    bool operator==(const FixedList& o) const {
        if (size_ != o.size_) return false;
        for (std::size_t i = 0; i < size_; ++i)
            if (!(ptr()[i] == o.ptr()[i])) return false;
        return true;
    }

private:
    T* ptr() { return std::launder(reinterpret_cast<T*>(storage_)); }
    const T* ptr() const { return std::launder(reinterpret_cast<const T*>(storage_)); }

    alignas(T) std::byte storage_[sizeof(T) * N];
    std::size_t size_ = 0;
};

}  // namespace plindo::motion
