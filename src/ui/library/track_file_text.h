#pragma once
// A track's "/tags" and "/deck/meta" answers read from the file itself, for when the track server does not
// answer (stopped because no deck shares its files, or asked on a port it does not listen on). The texts are
// the server's own documents, so the views read them with the same decoders. Reading a file may take seconds
// (the length probe): it runs on a queue of its own and answers on the main thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plindo::ui {

// The documents for `path`; none when it is not a regular file (a FIFO or a device would hang the reader).
// Blocking: call off the main thread.
std::optional<std::string> localTagsText(const std::string& path);
std::optional<std::string> localDeckMetaText(const std::string& path);

class TrackFileText {
public:
    enum class Route { tags, deckMeta };
    using Done = std::function<void(const std::optional<std::string>& text)>;

    TrackFileText() = default;
    ~TrackFileText();
    TrackFileText(const TrackFileText&) = delete;
    TrackFileText& operator=(const TrackFileText&) = delete;

    // Call on the main thread. `done` runs later on the main thread, once, unless cancelled first; a new read
    // cancels the one before. The destructor cancels too.
    void read(Route route, const std::string& path, Done done);
    void cancel();
    bool busy() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace plindo::ui
