#pragma once
// Fetches a file straight from another host's track server, found by browsing for "_plindo-file._tcp": one
// GET, the response read to the end of the stream, the body streamed into a new file in the temporary folder.
// Each fetch runs on a serial queue of its own ("plindo.p2pfetch") and reports exactly once.
#include "platform/service_discovery.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace plindo::link {

class P2PFileFetch {
public:
    P2PFileFetch() = delete;

    struct Failure {
        enum class Kind { NoService, BadResponse, Truncated, Network, Write };
        Kind kind = Kind::Network;
        std::string detail;  // the names seen, the server's complaint, or the system's error text
        int64_t got = 0;
        int64_t want = 0;
        // "no file service found (...)", "server said ...", "transfer broke off (got of want bytes)", or the
        // network or file error as the system words it.
        std::string message() const;
    };

    // The file's path, or why there is none. The caller owns the file and removes it when done.
    using Result = std::variant<std::string, Failure>;

    struct Request {
        std::string requestPath;                 // target after "GET ", e.g. "/audio/stream?path=..."
        std::optional<std::string> serviceName;  // the track server to use; none: any but our own
        std::string ownServiceName;              // this host's track server, never chosen without a name
        std::string suggestedName;               // tail of the result file's name
        double timeoutSec = 12.0;                // the one limit of the whole fetch, whatever its phase
    };

    // Returns at once; `done` runs on the fetch's own queue.
    static void fetch(std::shared_ptr<platform::ServiceBrowser> browser, Request request,
                      std::function<void(Result)> done);

    // Fetches still running (each holds a thread until it has reported and wound down).
    static int liveJobs();

    // The service to use among the advertised `names`, in their order: the wanted one if it is there, else
    // (without a wanted name) the first that is not our own.
    static std::optional<std::string> chooseService(const std::vector<std::string>& names,
                                                    const std::optional<std::string>& wanted, const std::string& own);

    struct Job;
};

}  // namespace plindo::link
