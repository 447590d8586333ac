#include "host/self_tests.h"

#include <gtest/gtest.h>

TEST(SelfTests, AllStartUpChecksPass) {
    const auto failures = plindo::host::runSelfTests();
    for (const auto& f : failures) ADD_FAILURE() << f;
}
