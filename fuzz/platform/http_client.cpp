// The HTTP client's readers over any bytes: the response head (status, Content-Length, where the body
// starts) and the URLs it is given. A head found lies within the bytes; a URL accepted gives a host, a port
// in range and a target that fits a request line.
#include "platform/http_client.h"
#include "platform/url.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plindo::platform;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (const auto head = parseHttpResponseHead(bytes)) {
        check(head->bodyStart <= size && head->bodyStart >= 4);
        check(bytes.substr(head->bodyStart - 4, 4) == "\r\n\r\n");
        check(!head->contentLength || *head->contentLength >= 0);
    }
    if (const auto url = parseHttpUrl(bytes)) {
        check(!url->host.empty());
        check(url->port > 0 && url->port <= 65535);
        check(!url->target.empty() && url->target[0] == '/');
        for (char c : url->target) check(c > ' ' && c != 0x7F);
    }
    if (const auto parts = parseUrl(bytes)) {
        // The parts put back together read as the same parts.
        const auto again = parseUrl(parts->text());
        check(again && again->text() == parts->text());
    }
    return 0;
}
