#include "motion/audio_out_device.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>

#include <cstdlib>
#include <map>

namespace plindo::motion {

std::vector<AudioOutDevice> AudioOutDevice::outputDevices() { return outputDevices(&portAudioDevices); }

std::vector<AudioOutDevice> AudioOutDevice::outputDevices(const Source& source) {
    std::vector<AudioOutDevice> out;
    out.push_back({nullId, nullUID, "null", 2});
    out.push_back({fileId, fileUID, "file", 2});
    if (!source) return out;
    // PortAudio has no persistent device id; host API plus name is stable across runs. A second card of
    // the same name in the same host API gets "#2", "#3", ... in list order so that uids stay distinct.
    std::map<std::string, int> seen;
    for (const Raw& r : source()) {
        if (r.outputChannels < 1 || r.name.empty() || r.index < 0) continue;
        std::string uid = r.hostApi + ":" + r.name;
        const int n = ++seen[uid];
        if (n > 1) uid += "#" + std::to_string(n);
        out.push_back({firstCardId + static_cast<uint32_t>(r.index), uid, r.name, r.outputChannels});
    }
    return out;
}

namespace {
void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}
void silentJackLine(const char*) {}

// PortAudio's JACK probe prints "Cannot connect to server socket …" and the like through libjack's error and
// info handlers whenever no JACK server runs. The handlers are set in the library PortAudio uses, where the
// machine has one; the probe itself, and so the device list, stays as it is.
void silenceJack() {
    void* jack = ::dlopen("libjack.so.0", RTLD_LAZY);
    if (!jack) return;
    using SetHandler = void (*)(void (*)(const char*));
    for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
        if (auto set = reinterpret_cast<SetHandler>(::dlsym(jack, name))) set(&silentJackLine);
    }
    // The library stays loaded with PortAudio; the handle is not closed, so the handlers stay ours.
}
}  // namespace

std::mutex& portAudioLock() {
    static std::mutex m;
    // ALSA prints a line to stderr for every card name its configuration mentions but this machine lacks,
    // and JACK would try to start a server; neither says anything the device list does not.
    static const bool quiet = [] {
        snd_lib_error_set_handler(&silentAlsaError);
        ::setenv("JACK_NO_START_SERVER", "1", 0);
        silenceJack();
        return true;
    }();
    (void)quiet;
    return m;
}

std::vector<AudioOutDevice::Raw> AudioOutDevice::portAudioDevices() {
    std::vector<Raw> list;
    std::lock_guard g(portAudioLock());
    if (Pa_Initialize() != paNoError) return list;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info) continue;
        const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
        list.push_back({i, api && api->name ? api->name : "", info->name ? info->name : "",
                        info->maxOutputChannels});
    }
    Pa_Terminate();
    return list;
}

std::string channelPairLabel(int start) {
    return std::to_string(start + 1) + "\xE2\x80\x93" + std::to_string(start + 2);
}

}  // namespace plindo::motion
