// Listing the sound devices says nothing on stderr: no JACK server runs here, and its client library would
// otherwise print that it cannot reach one at every probe.
#include "motion/audio_out_device.h"
#include "stderr_of.h"

#include <gtest/gtest.h>

#include <cctype>

namespace plindo::motion {
namespace {

using testing::stderrOf;

TEST(DeviceProbe, ListingTheDevicesTwicePrintsNothingAndListsTheSame) {
    std::vector<AudioOutDevice::Raw> first, second;
    const std::string said = stderrOf([&] {
        first = AudioOutDevice::portAudioDevices();
        second = AudioOutDevice::portAudioDevices();
    });
    std::string lower = said;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(lower.find("jack"), std::string::npos) << said;
    EXPECT_EQ(lower.find("cannot connect"), std::string::npos) << said;
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i].name, second[i].name);
}

}  // namespace
}  // namespace plindo::motion
