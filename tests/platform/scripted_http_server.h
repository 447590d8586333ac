#pragma once
// A loopback HTTP peer for client tests: it reads each request head, records it and answers with whatever
// the test scripts, then closes (or first holds the connection open for a while).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plindo::testing {

class ScriptedHttpServer {
public:
    using Script = std::function<std::string(const std::string& requestHead)>;

    explicit ScriptedHttpServer(Script script, double holdSec = 0) : script_(std::move(script)), holdSec_(holdSec) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 16);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedHttpServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard l(m_);
        return requests_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            std::string head;
            char buf[4096];
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (head.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < until) {
                pollfd q{c, POLLIN, 0};
                if (::poll(&q, 1, 50) <= 0) continue;
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) break;
                head.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard l(m_);
                requests_.push_back(head);
            }
            const std::string reply = script_(head);
            size_t off = 0;
            while (off < reply.size()) {
                const ssize_t n = ::send(c, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
            const auto holdUntil = std::chrono::steady_clock::now() + std::chrono::duration<double>(holdSec_);
            while (!stop_ && std::chrono::steady_clock::now() < holdUntil)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::close(c);
        }
    }

    Script script_;
    double holdSec_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace plindo::testing
