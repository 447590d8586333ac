#include "group/group_uplink.h"

#include "platform/checked.h"
#include "platform/text.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <algorithm>
#include <vector>

namespace plindo::group {

namespace {

std::vector<asio::ip::address> systemResolve(const std::string& host) {
    asio::error_code ec;
    asio::io_context io;
    asio::ip::udp::resolver resolver(io);
    const auto found = resolver.resolve(host, "0", asio::ip::resolver_base::numeric_service, ec);
    std::vector<asio::ip::address> out;
    if (ec) return out;
    for (const auto& e : found) out.push_back(e.endpoint().address());
    return out;
}

// The address of `host` (a literal, or a name looked up) on `port`; IPv4 preferred, since a host that
// listens on one family only most often listens on IPv4.
std::optional<asio::ip::udp::endpoint> endpointOf(const std::string& host, uint16_t port,
                                                  const GroupUplink::Resolve& resolve) {
    asio::error_code ec;
    const auto literal = asio::ip::make_address(host, ec);
    if (!ec) return asio::ip::udp::endpoint(literal, port);
    const auto found = resolve ? resolve(host) : systemResolve(host);
    if (found.empty()) return std::nullopt;
    for (const auto& a : found) {
        if (a.is_v4()) return asio::ip::udp::endpoint(a, port);
    }
    return asio::ip::udp::endpoint(found.front(), port);
}

}  // namespace

GroupUplink::GroupUplink(Deps deps)
    : settings_(deps.settings),
      ownName_(std::move(deps.ownName)),
      ownPort_(std::move(deps.ownPort)),
      browser_(deps.browser),
      clock_(deps.clock),
      interfaces_(std::move(deps.interfaces)),
      resolve_(std::move(deps.resolve)) {}

GroupUplink::~GroupUplink() {
    link_.reset();  // joins the link's queue before the state its reader writes goes away
    lookups_.stop();
}

void GroupUplink::status(const std::string& line) {
    if (onStatus) onStatus(line);
}

std::optional<GroupUplink::HostPort> GroupUplink::parseHostPort(std::string_view text) {
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.find(':');
        if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5) return std::nullopt;
    int p = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        p = p * 10 + (c - '0');
    }
    if (p < 1 || p > 65535) return std::nullopt;
    return HostPort{std::string(host), static_cast<uint16_t>(p)};
}

void GroupUplink::switchTarget(std::string text) {
    link_.reset();
    {
        std::lock_guard g(mutex_);
        ++epoch_;
        looked_.reset();
        endpoint_.reset();
        bound_ = false;
        newBind_ = false;
        denied_.reset();
        lastHeardWall_ = -1e300;
        trackPort_ = 0;
    }
    target_ = std::move(text);
    refused_ = false;
    lookingUp_ = false;
    reportedMissing_ = false;
    lastLookupWall_ = -1e300;
    lastHelloWall_ = -1e300;
    if (!target_.empty() && target_ == ownName_) {
        refused_ = true;
        status("Plindo: group host " + target_ + " is this host — not joined");
    }
}

GroupUplink::Lookup GroupUplink::lookUp(const std::string& text) {
    const std::string missing = "Plindo: group host " + text + " not found";
    if (const auto hp = parseHostPort(text)) {
        if (auto e = endpointOf(hp->host, hp->port, resolve_)) return {e, ""};
        return {std::nullopt, missing};
    }
    if (!browser_) return {std::nullopt, missing};
    const auto found = browser_->find(text, kBrowseWaitSec);
    if (!found || found->port < 1 || found->port > 65535) return {std::nullopt, missing};
    if (auto e = endpointOf(found->host, static_cast<uint16_t>(found->port), resolve_)) return {e, ""};
    return {std::nullopt, missing};
}

void GroupUplink::startLookup(double now) {
    lookingUp_ = true;
    lastLookupWall_ = now;
    uint64_t epoch;
    {
        std::lock_guard g(mutex_);
        epoch = epoch_;
    }
    lookups_.post([this, text = target_, epoch] {
        Lookup found = lookUp(text);
        std::lock_guard g(mutex_);
        if (epoch == epoch_) looked_ = std::move(found);
    });
}

bool GroupUplink::isThisHost(const Endpoint& e) const {
    const int own = ownPort_ ? ownPort_() : 0;
    if (own <= 0 || e.port() != own) return false;
    auto a = e.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped()) a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    if (a.is_loopback() || a.is_unspecified()) return true;
    if (!interfaces_) return false;
    std::string text;
    if (a.is_v4()) {
        text = a.to_string();
    } else {
        auto v6 = a.to_v6();
        v6.scope_id(0);
        text = v6.to_string();
    }
    for (const auto& i : interfaces_()) {
        if ((a.is_v4() ? i.ipv4 : i.ipv6) == text) return true;
    }
    return false;
}

void GroupUplink::connect(const Endpoint& e) {
    if (isThisHost(e)) {
        refused_ = true;
        status("Plindo: group host " + target_ + " is this host — not joined");
        return;
    }
    link_ = link::OrvRemoteLink::connect(e);
    if (!link_) {
        if (!reportedMissing_) status("Plindo: group host " + target_ + " cannot be reached");
        reportedMissing_ = true;  // tried again every few seconds, reported once
        return;
    }
    {
        std::lock_guard g(mutex_);
        endpoint_ = e;
    }
    link_->onDatagram = [this](std::span<const uint8_t> bytes) { onLinkDatagram(bytes); };
    link_->start();
}

void GroupUplink::tick(double now) {
    const auto setting = settings_.stringValue(kTargetKey).value_or("");
    const std::string text(platform::text::trimWhitespace(setting));
    if (text != target_) switchTarget(text);
    if (target_.empty() || refused_) return;

    if (!link_) {
        std::optional<Lookup> found;
        {
            std::lock_guard g(mutex_);
            found = std::exchange(looked_, std::nullopt);
        }
        if (found) {
            lookingUp_ = false;
            if (found->endpoint) {
                connect(*found->endpoint);
            } else if (!reportedMissing_) {
                reportedMissing_ = true;
                status(found->failure);
            }
            if (refused_) return;
        }
        if (!link_) {
            if (!lookingUp_ && now - lastLookupWall_ >= kRetryLookupSec) startLookup(now);
            return;
        }
    }

    if (now - lastHelloWall_ >= kHelloEverySec) {
        lastHelloWall_ = now;
        link_->sendHello(ownName_);
    }
    bool bound;
    std::optional<std::string> denied;
    {
        std::lock_guard g(mutex_);
        bound = std::exchange(newBind_, false);
        denied = std::exchange(denied_, std::nullopt);
    }
    if (bound) rememberTarget();
    if (denied) status("Plindo: group host " + target_ + " refused us — " + *denied);
}

void GroupUplink::onLinkDatagram(std::span<const uint8_t> bytes) {
    const double t = clock_.now();
    bool bind = false;
    bool other = false;
    std::optional<int> port;
    std::optional<std::string> denied;
    decoder_.forEachMessage(bytes.data(), bytes.size(), [&](const link::OSCMessageView& m) {
        if (m.address == "/orv/bind") {
            bind = true;
            if (m.args.size() >= 3) {
                if (const auto v = m.args[2].doubleValue()) port = platform::checkedInt(*v);
            }
        } else if (m.address == "/orv/deny") {
            denied = m.args.size() >= 2 ? std::string(m.args[1].stringValue().value_or("?")) : "?";
        } else if (m.address != "/orv/hot") {
            other = true;
        }
    });
    Endpoint from;
    {
        std::lock_guard g(mutex_);
        lastHeardWall_ = t;
        if (bind) {
            if (!bound_) newBind_ = true;
            bound_ = true;
            if (port && *port >= 1 && *port <= 65535) trackPort_ = *port;
        }
        if (denied) denied_ = std::move(denied);
        if (endpoint_) from = *endpoint_;
    }
    if (other && onPeerDatagram) onPeerDatagram(bytes, from);
}

bool GroupUplink::live() {
    std::lock_guard g(mutex_);
    if (bound_ && clock_.now() - lastHeardWall_ > kSilentAfterSec) bound_ = false;  // a new bind makes it live again
    return bound_;
}

link::OrvRemoteLink* GroupUplink::link() { return live() ? link_.get() : nullptr; }

std::optional<GroupUplink::Endpoint> GroupUplink::targetEndpoint() const {
    std::lock_guard g(mutex_);
    return endpoint_;
}

int GroupUplink::trackServerPort() const {
    std::lock_guard g(mutex_);
    return trackPort_;
}

void GroupUplink::rememberTarget() {
    const auto stored = settings_.value(kPreviousKey);
    std::vector<std::string> before;
    if (stored && stored->is_array()) {
        for (const auto& e : *stored) {
            if (e.is_string()) before.push_back(e.get<std::string>());
        }
    }
    std::vector<std::string> after{target_};
    for (const auto& t : before) {
        if (t != target_ && after.size() < kMaxPrevious) after.push_back(t);
    }
    if (!stored || after != before || !stored->is_array() || stored->size() != before.size())
        settings_.setValue(kPreviousKey, after);
}

}  // namespace plindo::group
