#pragma once
// A small HTTP/1.1 GET client on Asio: one request per connection ("Connection: close"), the response read to
// the end of the stream. The body is handed on in chunks as it arrives, so a caller can write it straight to
// disk, and a body longer than its Content-Length is refused as soon as the excess arrives.
#include <asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace plindo::platform {

struct HttpUrl {
    std::string host;
    int port = 80;
    std::string target = "/";  // path and query, percent-encoded as given
};

// "http://host[:port][/path][?query]"; none for other schemes, a missing host, a bad port, or characters that
// cannot appear in a request line.
std::optional<HttpUrl> parseHttpUrl(std::string_view url);

struct HttpResponseHead {
    int status = 0;
    std::optional<int64_t> contentLength;
    size_t bodyStart = 0;  // offset of the body in the bytes given to the parser
};

// Finds the first "\r\n\r\n" and reads the status line ("HTTP/..." and a decimal status) and the last
// Content-Length line (name in any case, value trimmed of blanks and tabs). None when the terminator is
// missing, the head is not ASCII or the status line is malformed.
std::optional<HttpResponseHead> parseHttpResponseHead(std::string_view bytes);

class HttpGet : public std::enable_shared_from_this<HttpGet> {
public:
    struct Request {
        std::string host;  // IPv4/IPv6 text or a name
        int port = 80;
        std::string target = "/";
        std::string hostHeader;     // the Host line; the host when empty
        double idleTimeoutSec = 0;  // no byte for this long ends the request; 0: no limit
    };

    enum class Outcome {
        Complete,   // the stream ended after a head; the body matched any Content-Length
        Failed,     // resolving, connecting, sending or receiving failed (`error` says why)
        NoHead,     // the stream ended (or the head grew too long) without a readable head
        TooLong,    // more body than Content-Length arrived
        Truncated,  // the stream ended before Content-Length bytes of body
        Stopped,    // a handler asked to stop, or cancel() was called
        TimedOut,   // the idle limit passed
    };

    struct Result {
        Outcome outcome = Outcome::Failed;
        std::string error;
        std::optional<HttpResponseHead> head;
        uint64_t bodyBytes = 0;
    };

    struct Handlers {
        std::function<bool(const HttpResponseHead&)> onHead;  // false stops the transfer
        std::function<bool(std::string_view)> onBody;         // false stops the transfer
        std::function<void(const Result&)> onDone;            // exactly once
    };

    // Starts the request on `io`; every handler runs there. The object stays alive until `onDone` has run.
    static std::shared_ptr<HttpGet> start(asio::io_context& io, Request request, Handlers handlers);

    // Ends the transfer with `Stopped` unless it has already ended; call on the io_context's thread.
    void cancel();

    struct Impl;
    explicit HttpGet(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

private:
    std::shared_ptr<Impl> impl_;
};

// Blocking download of a URL into a file, on the calling thread (with an io_context of its own). The file is
// written only for status 200 and removed again on any failure.
struct HttpDownload {
    bool ok = false;
    int status = 0;  // 0 when no head arrived
    std::string error;
};
HttpDownload httpDownloadToFile(const std::string& url, const std::string& filePath, double idleTimeoutSec = 60.0);

}  // namespace plindo::platform
