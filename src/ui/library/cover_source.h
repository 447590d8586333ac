#pragma once
// Where the crate's covers come from: encoded image bytes by track path, at once from a cache or later
// through a request. The process-wide cover store stands behind it in the window; tests give a fake.
#include "library/cover_store.h"

#include <functional>
#include <optional>
#include <string>

namespace plindo::ui {

class CoverSource {
public:
    using Bytes = library::CoverStore::Image;  // null: no picture
    using Completion = std::function<void(Bytes)>;

    virtual ~CoverSource() = default;
    virtual Bytes cached(const std::string& key) const = 0;
    // The completion runs on the main thread: at once, later, or more than once (a retry may bring the
    // picture after a first empty answer).
    virtual void request(const std::string& key, const std::optional<std::string>& url,
                         const std::optional<std::string>& filePath, int attempt, Completion completion) = 0;
};

// The process-wide cover store, answering on the Qt main thread.
class StoreCoverSource final : public CoverSource {
public:
    explicit StoreCoverSource(library::CoverStore& store) : store_(store) {}
    static StoreCoverSource& shared();  // call on the main thread

    Bytes cached(const std::string& key) const override { return store_.cached(key); }
    void request(const std::string& key, const std::optional<std::string>& url,
                 const std::optional<std::string>& filePath, int attempt, Completion completion) override {
        store_.request(key, url, filePath, attempt, std::move(completion));
    }

private:
    library::CoverStore& store_;
};

}  // namespace plindo::ui
