#include "link/peer_track_fetch.h"

#include "link/p2p_file_fetch.h"

#include <future>

namespace plindo::link {

motion::FollowPlayer::PeerFetch peerTrackFetch(std::shared_ptr<platform::ServiceBrowser> browser, std::string ownServiceName) {
    return [browser = std::move(browser), own = std::move(ownServiceName)](
               const std::string& requestPath, const std::optional<std::string>& server, const std::string& suggestedName,
               double timeoutSec) {
        auto promise = std::make_shared<std::promise<P2PFileFetch::Result>>();
        auto future = promise->get_future();
        P2PFileFetch::fetch(browser, {requestPath, server, own, suggestedName, timeoutSec},
                            [promise](P2PFileFetch::Result r) { promise->set_value(std::move(r)); });
        // The fetch reports exactly once, at the latest when its time limit passes.
        const auto result = future.get();
        motion::FollowPlayer::FetchedFile out;
        if (const auto* path = std::get_if<std::string>(&result))
            out.path = *path;
        else
            out.error = std::get<P2PFileFetch::Failure>(result).message();
        return out;
    };
}

}  // namespace plindo::link
