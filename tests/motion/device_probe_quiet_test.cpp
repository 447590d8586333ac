// Listing the sound devices says nothing on stderr: no JACK server runs here, and its client library would
// otherwise print that it cannot reach one at every probe.
#include "motion/audio_out_device.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace plindo::motion {
namespace {

// What the process writes to stderr while `f` runs.
template <typename F>
std::string stderrOf(F&& f) {
    char path[] = "/tmp/plindo-stderr-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return "no temp file";
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(fd, 2);
    f();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(fd);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    ::unlink(path);
    return text.str();
}

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
