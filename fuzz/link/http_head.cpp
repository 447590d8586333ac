// Feeds arbitrary bytes through the request head reader and the query decoders, and checks that any bytes
// come back from the listed form of a name.
#include "link/http_head.h"
#include "platform/text.h"
#include "platform/url.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace plindo::link::http_head;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const ScanResult s = scan(bytes);
    const std::string head = headText(s.state == Scan::Complete ? bytes.substr(0, s.headLength) : bytes);
    (void)logTarget(head);
    if (const auto req = parse(head)) {
        for (const char* name : {"path", "crate", "src", "center", "window", "columns", ""})
            (void)queryValue(name, req->rawQuery);
        (void)queryItems(req->rawQuery);
        (void)responseHead("200 OK", req->path.size(), "text/plain");
    }
    (void)formDecode(bytes);
    (void)queryValue("a", bytes);

    const std::string listed = plindo::platform::listedName(bytes);
    if (!plindo::platform::text::isValidUtf8(listed)) __builtin_trap();
    const auto back = plindo::platform::nameFromListing(listed);
    if (plindo::platform::text::isValidUtf8(bytes) ? listed != bytes : back != bytes) __builtin_trap();
    return 0;
}
