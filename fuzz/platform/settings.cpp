// The settings file with any contents: loading never fails or blocks, every typed read of every stored key
// answers, and a value written survives a reload next to whatever else was there.
#include "platform/log.h"
#include "platform/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string& folder() {
    static const std::string f = [] {
        plindo::platform::setLogFolder("");
        plindo::platform::logger("settings").set_level(spdlog::level::off);
        // tmpfs where there is one: every write is synced.
        std::string t = access("/dev/shm", W_OK) == 0 ? "/dev/shm/plindo-fuzz-settings-XXXXXX" : "/tmp/plindo-fuzz-settings-XXXXXX";
        return std::string(::mkdtemp(t.data()));
    }();
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using plindo::platform::FileSettings;
    const std::string path = folder() + "/settings.json";
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), std::streamsize(size));
    std::vector<std::string> keys = {"orv.oscPort", "orv.guiBase", ""};
    {
        FileSettings s(path);
        for (const auto& k : keys) {
            (void)s.boolValue(k), (void)s.doubleValue(k), (void)s.intValue(k), (void)s.stringValue(k);
        }
        s.setValue("fuzz.written", 42);
    }
    FileSettings again(path);
    if (again.intValue("fuzz.written") != 42) std::abort();
    // Drop what a corrupt input left aside, so the folder stays small.
    std::remove((path + ".corrupt").c_str());
    return 0;
}
