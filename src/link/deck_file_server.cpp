// The track server's listener, connection lifecycle and answer writer; the routes live in
// deck_file_server_routes.cpp.
#include "link/deck_file_server_impl.h"

#include "link/dual_stack.h"
#include "link/json_body.h"
#include "platform/url.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <pthread.h>
#include <sys/sendfile.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace plindo::link {

namespace {

using asio::ip::tcp;

// One sendfile call moves at most this much; the socket buffer decides how much really goes.
constexpr size_t kSendChunk = size_t{4} << 20;
// After the answer, how long the server waits for the client to close before closing itself.
constexpr double kLingerSec = 2.0;

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

spdlog::logger& DeckFileServer::Impl::log() { return platform::logger("file-server"); }

// ---- listener

void DeckFileServer::Impl::accept(std::shared_ptr<tcp::acceptor> a) {
    auto conn = std::make_shared<FileServerConn>(io);
    std::lock_guard lock(mutex);
    if (a != acceptor) return;
    a->async_accept(conn->socket, [self = shared_from_this(), a, conn](const std::error_code& ec) {
        self->accepted(a, conn, ec);
    });
}

void DeckFileServer::Impl::accepted(const std::shared_ptr<tcp::acceptor>& a, const ConnPtr& conn,
                                    const std::error_code& ec) {
    {
        std::lock_guard lock(mutex);
        if (a != acceptor) return;
    }
    if (ec) {
        if (ec == asio::error::operation_aborted) return;
        if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
            ec == asio::error::no_memory || ec == asio::error::connection_aborted) {
            // Short of descriptors or memory: wait a moment instead of spinning or giving up.
            auto t = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(100));
            t->async_wait([self = shared_from_this(), a, t](const std::error_code&) { self->accept(a); });
            return;
        }
        status("Track server: error " + ec.message());
        stopListener();
        return;
    }
    admit(conn);
    accept(a);
}

void DeckFileServer::Impl::admit(const ConnPtr& conn) {
    conn->lastTaken = FileServerConn::Clock::now();  // made when the accept was armed, maybe long ago
    std::error_code ec;
    const auto remote = conn->socket.remote_endpoint(ec);
    if (!ec) {
        const auto address = unmapped(remote.address());
        conn->peer = address.to_string();
        conn->loopback = address.is_loopback();
    }
    // Stalled clients must not lock everyone else out: a peer at its cap gives up its own stalest
    // connection, a full server its stalest of all, whatever they were doing.
    const auto ofPeer = [&](const auto& c) { return c->peer == conn->peer; };
    if (static_cast<size_t>(std::count_if(conns.begin(), conns.end(), ofPeer)) >= kMaxConnectionsPerPeer) {
        abort(stalest(ofPeer));
    } else if (conns.size() >= kMaxConnections) {
        abort(stalest([](const auto&) { return true; }));
    }
    conns.push_back(conn);
    conn->timer.expires_after(seconds(owner ? owner->headTimeoutSec : kHeadTimeoutSec));
    conn->timer.async_wait([self = shared_from_this(), conn](const std::error_code& e) {
        if (!e && conn->phase == FileServerConn::Phase::Reading) self->abort(conn);
    });
    read(conn);
}

template <typename Pred>
DeckFileServer::Impl::ConnPtr DeckFileServer::Impl::stalest(Pred pred) {
    ConnPtr out;
    for (const auto& c : conns) {
        if (pred(c) && (!out || c->lastTaken < out->lastTaken)) out = c;
    }
    return out;
}

void DeckFileServer::Impl::close(const ConnPtr& conn) {
    if (!conn || conn->phase == FileServerConn::Phase::Closed) return;
    conn->phase = FileServerConn::Phase::Closed;
    conn->gone = true;
    std::error_code ignored;
    conn->timer.cancel();
    conn->socket.close(ignored);
    if (conn->fd >= 0) {
        ::close(conn->fd);
        conn->fd = -1;
    }
    conns.remove(conn);
}

void DeckFileServer::Impl::abort(const ConnPtr& conn) {
    if (!conn || conn->phase == FileServerConn::Phase::Closed) return;
    std::error_code ignored;
    conn->socket.set_option(asio::socket_base::linger(true, 0), ignored);
    close(conn);
}

void DeckFileServer::Impl::stopListener() {
    std::shared_ptr<tcp::acceptor> a;
    std::unique_ptr<platform::ServiceRegistration> reg;
    {
        std::lock_guard lock(mutex);
        a = std::move(acceptor);
        reg = std::move(registration);
        running = false;
        port = 0;
        if (a) {
            std::error_code ignored;
            a->close(ignored);
        }
    }
    auto self = shared_from_this();
    auto dropAll = [self] {
        while (!self->conns.empty()) self->close(self->conns.front());
    };
    if (queue.isCurrent())
        dropAll();
    else
        queue.post(dropAll);
}

// ---- request head

void DeckFileServer::Impl::read(const ConnPtr& conn) {
    conn->socket.async_read_some(asio::buffer(conn->chunk), [self = shared_from_this(), conn](const std::error_code& ec, size_t n) {
        if (conn->phase != FileServerConn::Phase::Reading) return;
        if (ec || n == 0) return self->close(conn);  // error, or the peer ended before the terminator
        conn->lastTaken = FileServerConn::Clock::now();
        conn->buffer.append(conn->chunk.data(), n);
        const auto scan = http_head::scan(conn->buffer);
        if (scan.state == http_head::Scan::Overflow) return self->close(conn);
        if (scan.state == http_head::Scan::NeedMore) return self->read(conn);
        conn->timer.cancel();
        conn->phase = FileServerConn::Phase::Answering;
        if (scan.state == http_head::Scan::BareLineFeed) {
            conn->buffer.clear();
            return self->respond(conn, "400 Bad Request", {}, kOctets);
        }
        const std::string head = http_head::headText(std::string_view(conn->buffer).substr(0, scan.headLength));
        conn->buffer.clear();
        conn->buffer.shrink_to_fit();
        self->route(conn, head);
    });
}

// ---- answers

void DeckFileServer::Impl::respond(const ConnPtr& conn, const std::string& status, std::string body,
                                   const std::string& type) {
    if (!queue.isCurrent()) {
        queue.post([self = shared_from_this(), conn, status, body = std::move(body), type]() mutable {
            self->respond(conn, status, std::move(body), type);
        });
        return;
    }
    if (conn->phase == FileServerConn::Phase::Closed) return;
    log().info("resp {} {} B {}", status, body.size(), type);
    conn->out = http_head::responseHead(status, body.size(), type) + body;
    send(conn);
}

void DeckFileServer::Impl::respondFile(const ConnPtr& conn, int fd, off_t size) {
    log().info("resp 200 OK {} B {}", size, kOctets);
    conn->fd = fd;
    conn->size = size;
    conn->out = http_head::responseHead("200 OK", static_cast<size_t>(size), kOctets);
    send(conn);
}

void DeckFileServer::Impl::armIdle(const ConnPtr& conn) {
    const auto limit = seconds(owner ? owner->idleSec : kIdleSec);
    // Look at the client's progress a few times within the limit, so that a stall is seen about on time.
    conn->timer.expires_at(std::min(conn->lastTaken + limit, FileServerConn::Clock::now() + limit / 4));
    conn->timer.async_wait([self = shared_from_this(), conn, limit](const std::error_code& e) {
        if (e || conn->phase == FileServerConn::Phase::Closed) return;
        self->noteTaken(conn);
        if (FileServerConn::Clock::now() - conn->lastTaken >= limit) return self->abort(conn);
        self->armIdle(conn);
    });
}

void DeckFileServer::Impl::noteTaken(const ConnPtr& conn) {
    int queued = 0;
    if (::ioctl(conn->socket.native_handle(), SIOCOUTQ, &queued) != 0 || queued < 0) return;
    const uint64_t q = static_cast<uint64_t>(queued);
    const uint64_t taken = conn->written > q ? conn->written - q : 0;
    if (taken > conn->taken) {
        conn->taken = taken;
        conn->lastTaken = FileServerConn::Clock::now();
    }
}

void DeckFileServer::Impl::send(const ConnPtr& conn) {
    conn->lastTaken = FileServerConn::Clock::now();
    armIdle(conn);
    writeOut(conn);
}

void DeckFileServer::Impl::writeOut(const ConnPtr& conn) {
    const auto rest = asio::buffer(conn->out) + conn->outSent;
    conn->socket.async_write_some(rest, [self = shared_from_this(), conn](const std::error_code& ec, size_t n) {
        if (conn->phase == FileServerConn::Phase::Closed) return;
        if (ec) return self->close(conn);
        if (n > 0) conn->lastTaken = FileServerConn::Clock::now();
        conn->outSent += n;
        conn->written += n;
        if (conn->outSent < conn->out.size()) return self->writeOut(conn);
        conn->out.clear();
        conn->out.shrink_to_fit();
        if (conn->fd >= 0) return self->sendFile(conn);
        self->finish(conn);
    });
}

void DeckFileServer::Impl::sendFile(const ConnPtr& conn) {
    std::error_code ec;
    conn->socket.native_non_blocking(true, ec);
    while (conn->offset < conn->size) {
        const size_t want = static_cast<size_t>(std::min<off_t>(conn->size - conn->offset, static_cast<off_t>(kSendChunk)));
        const ssize_t n = ::sendfile(conn->socket.native_handle(), conn->fd, &conn->offset, want);
        if (n > 0) {
            conn->lastTaken = FileServerConn::Clock::now();
            conn->written += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            conn->socket.async_wait(tcp::socket::wait_write, [self = shared_from_this(), conn](const std::error_code& e) {
                if (conn->phase == FileServerConn::Phase::Closed) return;
                if (e) return self->close(conn);
                self->sendFile(conn);
            });
            return;
        }
        if (n < 0 && errno == EINTR) continue;
        // The file shrank under us or the peer went away: the client sees a short body.
        return close(conn);
    }
    ::close(conn->fd);
    conn->fd = -1;
    finish(conn);
}

void DeckFileServer::Impl::finish(const ConnPtr& conn) {
    std::error_code ignored;
    conn->socket.shutdown(tcp::socket::shutdown_send, ignored);
    conn->timer.expires_after(seconds(kLingerSec));
    conn->timer.async_wait([self = shared_from_this(), conn](const std::error_code& e) {
        if (!e) self->close(conn);
    });
    if (!conn->draining) drain(conn);
}

void DeckFileServer::Impl::drain(const ConnPtr& conn) {
    conn->draining = true;
    conn->socket.async_read_some(asio::buffer(conn->chunk), [self = shared_from_this(), conn](const std::error_code& ec, size_t) {
        if (conn->phase == FileServerConn::Phase::Closed) return;
        if (ec) return self->close(conn);
        self->drain(conn);
    });
}

void DeckFileServer::Impl::respondJson(const ConnPtr& conn, const std::string& status, const nlohmann::json& j) {
    respond(conn, status, json_body::encode(j).value_or(std::string()), kJson);
}

void DeckFileServer::Impl::respondFileNotFound(const ConnPtr& conn, const std::string& label,
                                               const std::optional<std::string>& path) {
    const std::string shown = path ? *path : "<no path param>";
    log().error("404 {} path={}", label, shown);
    status("Track server 404 (" + label + "): " + shown);
    respondJson(conn, "404 Not Found", {{"error", "file not found"}, {"path", path ? platform::listedName(*path) : shown}});
}

DeckFileServer::DeckFileServer(platform::ServiceAdvertiser* advertiser, std::string serviceName,
                               platform::MainExecutor* main)
    : queue_(std::make_unique<platform::SerialQueue>("orv.filesrv")),
      peaksQueue_(std::make_unique<platform::SerialQueue>("plindo.peaks")),
      quickPeaksQueue_(std::make_unique<platform::SerialQueue>("plindo.peaks.quick")) {
    impl_ = std::make_shared<Impl>(*this, queue_->context(), *queue_, *peaksQueue_, *quickPeaksQueue_);
    // sendfile has no MSG_NOSIGNAL: a phone that hangs up mid-download would raise SIGPIPE and end the
    // process. Blocked on the server's own thread, the write fails with EPIPE instead.
    queue_->sync([] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    });
    impl_->advertiser = advertiser;
    impl_->serviceName = std::move(serviceName);
    impl_->main = main;
}

DeckFileServer::~DeckFileServer() {
    stop();
    impl_->stopPeaks();
    peaksQueue_->stop();  // drop the peaks work still queued and stop the one running
    quickPeaksQueue_->stop();
    queue_->sync([this] { impl_->owner = nullptr; });
    impl_->gate->close();  // answers still on their way from main are dropped; those let through run now
    queue_->stop();
}

void DeckFileServer::start(int port) {
    impl_->openControl();
    std::shared_ptr<asio::ip::tcp::acceptor> a;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->running) return;
        a = std::make_shared<asio::ip::tcp::acceptor>(impl_->io);
        std::error_code ec;
        if (port < 0 || port > 65535) ec = asio::error::invalid_argument;
        if (!ec)
            ec = openDualStack<asio::ip::tcp>(*a, static_cast<unsigned short>(port), [](auto& s, std::error_code& e) {
                s.set_option(asio::socket_base::reuse_address(true), e);
            });
        if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            std::error_code ignored;
            a->close(ignored);
            // Outside the lock: the status callback may call back into the server.
            a.reset();
        } else {
            impl_->acceptor = a;
            impl_->running = true;
            impl_->port = a->local_endpoint().port();
        }
    }
    if (!a) {
        if (onStatus)
            onStatus("Track server: :" + std::to_string(port) +
                     " in use \u2014 companion media server is serving (ok, host steps back)");
        return;
    }
    const int bound = boundPort();
    if (impl_->advertiser) {
        auto reg = impl_->advertiser->advertise(impl_->serviceName, kServiceType, bound, onStatus);
        std::lock_guard lock(impl_->mutex);
        if (impl_->acceptor == a) impl_->registration = std::move(reg);
    }
    auto impl = impl_;
    queue_->post([impl, a, bound] {
        impl->status("Track server: :" + std::to_string(bound) + " /deck/stem (files served directly from the host)");
        impl->accept(a);
    });
}

void DeckFileServer::stop() {
    impl_->closeControl();
    impl_->stopListener();
}

bool DeckFileServer::running() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

int DeckFileServer::boundPort() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->port;
}

}  // namespace plindo::link
