#include "link/http_head.h"

#include <gtest/gtest.h>

namespace plindo::link::http_head {
namespace {

TEST(HttpHead, ParsesTargetsAsTheRestOfAnAbsoluteUrl) {
    const struct {
        std::string head;
        std::optional<std::pair<std::string, std::string>> pathQuery;
    } cases[] = {
        {"GET /deck%2Fstem?path=%2Fa+b HTTP/1.1\r\nHost: x", std::pair{"/deck/stem", "path=%2Fa+b"}},
        {"GET /x?#frag HTTP/1.1", std::pair{"/x", ""}},
        {"GET /x", std::pair{"/x", ""}},
        {"GET deck_build HTTP/1.1", std::pair{"", ""}},  // runs into the host name
        {"GET x/deck_build", std::pair{"/deck_build", ""}},
        {"GET @evil/ctl?cmd=a", std::pair{"/ctl", "cmd=a"}},
        {"GET :99/ctl", std::pair{"/ctl", ""}},
        {"GET :9x/ctl", std::nullopt},
        {"GET /a%zz", std::nullopt},
        {"GET /a%4", std::nullopt},
        {"GET /a<b>", std::nullopt},
        {"GET /caf\xC3\xA9", std::nullopt},
        {"GET /a%00b", std::pair{std::string("/a\0b", 4), ""}},
        {"PUT /x", std::nullopt},
        {"GET", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto r = parse(c.head);
        ASSERT_EQ(r.has_value(), c.pathQuery.has_value()) << c.head;
        if (!r) continue;
        EXPECT_EQ(r->path, c.pathQuery->first) << c.head;
        EXPECT_EQ(r->rawQuery, c.pathQuery->second) << c.head;
    }
    EXPECT_EQ(logTarget("GET /x HTTP/1.1"), "/x");
    EXPECT_EQ(logTarget(std::string(300, 'A')), std::string(120, 'A'));
}

TEST(HttpHead, QueryItemsKeepTheLastValueOfEachName) {
    // Names and values are percent-decoded; a "+" stays a plus.
    EXPECT_EQ(queryItems("cmd=play&slot=2&slot=1&x=a+b&flag&y=%C3%A9"),
              (std::map<std::string, std::string>{{"cmd", "play"}, {"slot", "1"}, {"x", "a+b"}, {"flag", ""}, {"y", "\u00e9"}}));
}

}  // namespace
}  // namespace plindo::link::http_head
