#pragma once
// A least-recently-used cache keyed by track path, bounded by a total cost (bytes, or 1 per entry). The
// newest entry always stays, even alone above the bound: whoever stored it shows it anyway. Main thread only.
#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

namespace plindo::ui {

template <typename V>
class WaveLruCache {
public:
    using Cost = std::function<size_t(const V&)>;

    explicit WaveLruCache(size_t capacity, Cost cost = [](const V&) { return size_t{1}; })
        : capacity_(capacity), costOf_(std::move(cost)) {}

    // The entry, now the most recently used; null when absent.
    const V* find(const std::string& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return nullptr;
        order_.splice(order_.begin(), order_, it->second);
        return &it->second->value;
    }
    bool contains(const std::string& key) const { return index_.count(key) != 0; }

    void put(const std::string& key, V value) {
        erase(key);
        const size_t c = costOf_(value);
        order_.push_front({key, std::move(value), c});
        index_[key] = order_.begin();
        total_ += c;
        trim();
    }
    void erase(const std::string& key) {
        auto it = index_.find(key);
        if (it == index_.end()) return;
        total_ -= it->second->cost;
        order_.erase(it->second);
        index_.erase(it);
    }
    void clear() {
        order_.clear();
        index_.clear();
        total_ = 0;
    }
    void setCapacity(size_t capacity) {
        capacity_ = capacity;
        trim();
    }

    size_t capacity() const { return capacity_; }
    size_t cost() const { return total_; }
    size_t size() const { return index_.size(); }

private:
    struct Entry {
        std::string key;
        V value;
        size_t cost;
    };
    void trim() {
        while (total_ > capacity_ && order_.size() > 1) {
            const Entry& last = order_.back();
            total_ -= last.cost;
            index_.erase(last.key);
            order_.pop_back();
        }
    }

    size_t capacity_;
    Cost costOf_;
    std::list<Entry> order_;  // most recent first
    std::unordered_map<std::string, typename std::list<Entry>::iterator> index_;
    size_t total_ = 0;
};

}  // namespace plindo::ui
