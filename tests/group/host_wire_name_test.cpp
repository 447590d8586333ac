#include "group/host_wire_name.h"

#include <gtest/gtest.h>


using namespace plindo;

TEST(HostWireName, PrettyNameIsReadFromMachineInfoAndUnquoted) {
    struct Case {
        const char* text;
        std::optional<std::string> want;
    } cases[] = {
        {"PRETTY_HOSTNAME=Booth\n", "Booth"},
        {"CHASSIS=laptop\nPRETTY_HOSTNAME=\"DJ's Laptop\"\nDEPLOYMENT=production\n", "DJ's Laptop"},
        {"PRETTY_HOSTNAME='Club \"Main\" Room'", "Club \"Main\" Room"},
        {"PRETTY_HOSTNAME=\"a \\\"quoted\\\" \\\\ name\"\r\n", "a \"quoted\" \\ name"},
        {"  PRETTY_HOSTNAME=Indented\t\n", "Indented"},
        {"# PRETTY_HOSTNAME=Commented\n", std::nullopt},
        {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"PRETTY_HOSTNAME=\"unterminated", "unterminated"},
        {"PRETTY_HOSTNAME=Old\nPRETTY_HOSTNAME=New\n", "New"},
        {"", std::nullopt},
        {"ICON_NAME=computer\n", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(group::prettyHostName(c.text), c.want) << c.text;
}

TEST(HostWireName, SuffixIsMadeOnceAndKept) {
    platform::MemorySettings s;
    int made = 0;
    const auto uuid = [&] {
        ++made;
        return std::string("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    };
    EXPECT_EQ(group::composeHostWireName("Booth", s, uuid), "Booth-E621");
    EXPECT_EQ(s.stringValue("plindo.wireSuffix"), "E621");
    EXPECT_EQ(group::composeHostWireName("Booth", s, uuid), "Booth-E621");
    EXPECT_EQ(made, 1);

    s.setValue("plindo.wireSuffix", "");  // empty counts as unset
    EXPECT_EQ(group::composeHostWireName("Booth", s, [] { return std::string("0A1B-rest"); }), "Booth-0A1B");
    s.setValue("plindo.wireSuffix", "zz99");
    EXPECT_EQ(group::composeHostWireName("Booth", s, uuid), "Booth-zz99");
}

TEST(HostWireName, ProcessNameIsComputedOnceAndStoresItsSuffix) {
    // The name is made once per process, so the settings it stored its suffix in live as long (the test may
    // run more than once in a process).
    static platform::MemorySettings s;
    const std::string& first = group::hostWireName(s);
    const auto suffix = s.stringValue("plindo.wireSuffix");
    ASSERT_TRUE(suffix);
    EXPECT_EQ(first, group::computerName() + "-" + *suffix);
    platform::MemorySettings other;
    other.setValue("plindo.wireSuffix", "XXXX");
    EXPECT_EQ(&group::hostWireName(other), &first);
    EXPECT_EQ(group::hostWireName(other), first);
}
