#include "platform/http_client.h"

#include "platform/text.h"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <charconv>
#include <cstdio>
#include <fstream>

namespace plindo::platform {

namespace {

// A response head longer than this is not a head of a track server.
constexpr size_t kMaxResponseHead = 65536;
// Each receive asks for at most this many bytes.
constexpr size_t kReceiveChunk = 262144;

// A decimal integer with an optional sign and no overflow.
std::optional<int64_t> decimal(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
    uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    if (negative) {
        if (v > static_cast<uint64_t>(INT64_MAX) + 1) return std::nullopt;
        return v == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(v);
    }
    if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(v);
}

// A Content-Length value: one or more digits, nothing else, within int64.
std::optional<int64_t> contentLength(std::string_view s) {
    if (s.empty()) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    return decimal(s);
}

bool requestLineSafe(std::string_view s) {
    for (unsigned char c : s)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

}  // namespace

std::optional<HttpUrl> parseHttpUrl(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (url.size() < kScheme.size() || text::asciiLower(url.substr(0, kScheme.size())) != kScheme) return std::nullopt;
    url.remove_prefix(kScheme.size());
    const size_t slash = url.find_first_of("/?#");
    std::string_view authority = url.substr(0, slash);
    std::string_view rest = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
    if (const size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    if (authority.find('@') != std::string_view::npos) return std::nullopt;

    HttpUrl out;
    std::string_view host = authority;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            port = after.substr(1);
        }
    } else if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty() || !requestLineSafe(host)) return std::nullopt;
    out.host = std::string(host);
    if (!port.empty()) {
        const auto p = decimal(port);
        if (!p || *p < 1 || *p > 65535 || port.front() == '+') return std::nullopt;
        out.port = static_cast<int>(*p);
    }
    if (!rest.empty()) {
        if (!requestLineSafe(rest)) return std::nullopt;
        out.target = rest.front() == '?' ? "/" + std::string(rest) : std::string(rest);
    }
    return out;
}

std::optional<HttpResponseHead> parseHttpResponseHead(std::string_view bytes) {
    const size_t end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view head = bytes.substr(0, end);
    for (unsigned char c : head)
        if (c >= 0x80) return std::nullopt;

    HttpResponseHead out;
    out.bodyStart = end + 4;
    size_t lineStart = 0;
    bool first = true;
    while (lineStart <= head.size()) {
        const size_t crlf = head.find("\r\n", lineStart);
        const std::string_view line = head.substr(lineStart, crlf == std::string_view::npos ? std::string_view::npos : crlf - lineStart);
        if (first) {
            // "HTTP/1.1 200 OK": blanks separate the pieces, runs of them count once.
            std::array<std::string_view, 2> piece{};
            size_t n = 0;
            size_t i = 0;
            while (i < line.size() && n < 2) {
                if (line[i] == ' ') {
                    ++i;
                    continue;
                }
                const size_t stop = std::min(line.find(' ', i), line.size());
                piece[n++] = line.substr(i, stop - i);
                i = stop;
            }
            if (n < 2 || piece[0].substr(0, 5) != "HTTP/") return std::nullopt;
            const auto status = decimal(piece[1]);
            if (!status || *status < INT32_MIN || *status > INT32_MAX) return std::nullopt;
            const int64_t s = *status;
            out.status = static_cast<int>(s);
            first = false;
        } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
            const std::string_view name = line.substr(0, colon);
            std::string_view value = line.substr(colon + 1);
            // A length that is not plain digits, overflows, or differs from an earlier one makes the whole
            // head unreadable: guessing a body length from it would misframe the body.
            if (!name.empty() && text::asciiLower(name) == "content-length") {
                while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
                while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
                const auto length = contentLength(value);
                if (!length || (out.contentLength && *out.contentLength != *length)) return std::nullopt;
                out.contentLength = length;
            }
        }
        if (crlf == std::string_view::npos) break;
        lineStart = crlf + 2;
    }
    return out;
}

struct HttpGet::Impl : std::enable_shared_from_this<HttpGet::Impl> {
    Impl(asio::io_context& io, Request r, Handlers h)
        : resolver(io), socket(io), timer(io), request(std::move(r)), handlers(std::move(h)) {}

    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket socket;
    asio::steady_timer timer;
    Request request;
    Handlers handlers;
    std::string outgoing;
    std::string headBuffer;
    std::unique_ptr<std::array<char, kReceiveChunk>> chunk = std::make_unique<std::array<char, kReceiveChunk>>();
    Result result;
    bool ended = false;

    void armIdle() {
        if (request.idleTimeoutSec <= 0) return;
        timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(request.idleTimeoutSec)));
        timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec) self->end(Outcome::TimedOut, "timed out");
        });
    }

    void end(Outcome outcome, std::string error = {}) {
        if (ended) return;
        ended = true;
        result.outcome = outcome;
        result.error = std::move(error);
        std::error_code ignored;
        resolver.cancel();
        timer.cancel();
        socket.close(ignored);
        auto done = std::move(handlers.onDone);
        handlers = {};
        if (done) done(result);
    }

    void begin() {
        armIdle();
        resolver.async_resolve(request.host, std::to_string(request.port),
                               [self = shared_from_this()](const std::error_code& ec, asio::ip::tcp::resolver::results_type r) {
                                   if (self->ended) return;
                                   if (ec) return self->end(Outcome::Failed, ec.message());
                                   asio::async_connect(self->socket, r,
                                                       [self](const std::error_code& ec2, const asio::ip::tcp::endpoint&) {
                                                           if (self->ended) return;
                                                           if (ec2) return self->end(Outcome::Failed, ec2.message());
                                                           self->send();
                                                       });
                               });
    }

    void send() {
        armIdle();
        const std::string host = request.hostHeader.empty() ? request.host : request.hostHeader;
        outgoing = "GET " + request.target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
        asio::async_write(socket, asio::buffer(outgoing), [self = shared_from_this()](const std::error_code& ec, size_t) {
            if (self->ended) return;
            if (ec) return self->end(Outcome::Failed, ec.message());
            self->receive();
        });
    }

    void receive() {
        socket.async_read_some(asio::buffer(*chunk), [self = shared_from_this()](const std::error_code& ec, size_t n) {
            if (self->ended) return;
            if (n > 0 && !self->take(std::string_view(self->chunk->data(), n))) return;
            if (ec == asio::error::eof) return self->finishStream();
            if (ec) return self->end(Outcome::Failed, ec.message());
            self->armIdle();
            self->receive();
        });
    }

    // Returns false when the transfer has ended.
    bool take(std::string_view data) {
        if (!result.head) {
            headBuffer.append(data);
            auto head = parseHttpResponseHead(headBuffer);
            if (!head) {
                const bool complete = headBuffer.find("\r\n\r\n") != std::string::npos;
                if (complete || headBuffer.size() > kMaxResponseHead) {
                    end(Outcome::NoHead, "no HTTP header");
                    return false;
                }
                return true;
            }
            result.head = head;
            if (handlers.onHead && !handlers.onHead(*head)) {
                end(Outcome::Stopped);
                return false;
            }
            const std::string rest = headBuffer.substr(head->bodyStart);
            headBuffer.clear();
            return body(rest);
        }
        return body(data);
    }

    bool body(std::string_view data) {
        if (data.empty()) return true;
        result.bodyBytes += data.size();
        const auto& want = result.head->contentLength;
        if (want && static_cast<int64_t>(result.bodyBytes) > *want) {
            end(Outcome::TooLong, "more body than announced");
            return false;
        }
        if (handlers.onBody && !handlers.onBody(data)) {
            end(Outcome::Stopped);
            return false;
        }
        return true;
    }

    void finishStream() {
        if (!result.head) return end(Outcome::NoHead, "no HTTP header");
        const auto& want = result.head->contentLength;
        if (want && static_cast<int64_t>(result.bodyBytes) != *want) return end(Outcome::Truncated, "transfer broke off");
        end(Outcome::Complete);
    }
};

std::shared_ptr<HttpGet> HttpGet::start(asio::io_context& io, Request request, Handlers handlers) {
    auto impl = std::make_shared<Impl>(io, std::move(request), std::move(handlers));
    auto get = std::make_shared<HttpGet>(impl);
    impl->begin();
    return get;
}

void HttpGet::cancel() { impl_->end(Outcome::Stopped); }

HttpDownload httpDownloadToFile(const std::string& url, const std::string& filePath, double idleTimeoutSec) {
    HttpDownload out;
    const auto parsed = parseHttpUrl(url);
    if (!parsed) {
        out.error = "bad URL";
        return out;
    }
    asio::io_context io;
    std::ofstream file;
    bool opened = false;
    HttpGet::Request req{parsed->host, parsed->port, parsed->target, {}, idleTimeoutSec};
    HttpGet::Handlers h;
    h.onHead = [&](const HttpResponseHead& head) {
        out.status = head.status;
        if (head.status != 200) return false;
        file.open(filePath, std::ios::binary | std::ios::trunc);
        opened = file.is_open();
        if (!opened) out.error = "cannot write " + filePath;
        return opened;
    };
    h.onBody = [&](std::string_view data) {
        file.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!file) out.error = "cannot write " + filePath;
        return static_cast<bool>(file);
    };
    h.onDone = [&](const HttpGet::Result& r) {
        out.ok = r.outcome == HttpGet::Outcome::Complete && out.status == 200;
        if (!out.ok && out.error.empty()) out.error = r.error.empty() ? "HTTP " + std::to_string(out.status) : r.error;
    };
    HttpGet::start(io, req, std::move(h));
    io.run();
    if (opened) {
        file.close();
        if (!file) out.ok = false;
        if (!out.ok) std::remove(filePath.c_str());
    }
    return out;
}

}  // namespace plindo::platform
