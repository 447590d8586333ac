#pragma once
// The deck players' peer fetch: a blocking call over P2PFileFetch, for the background side of a track load.
#include "motion/follow_player.h"
#include "platform/service_discovery.h"

#include <memory>
#include <string>

namespace plindo::link {

// `ownServiceName` is this host's track server, never chosen when the load names no server.
motion::FollowPlayer::PeerFetch peerTrackFetch(std::shared_ptr<platform::ServiceBrowser> browser, std::string ownServiceName);

}  // namespace plindo::link
