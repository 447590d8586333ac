// The ALSA sequencer behind MidiBackend. Each port gets its own sequencer client so that it carries its own
// client name; a source schedules future events on its own queue, a destination reads on its own thread.
#include "platform/midi_backend.h"
#include "platform/pi_mutex.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace plindo::platform {

namespace {

constexpr const char* kSeqDevice = "/dev/snd/seq";
// The sequencer takes any number of events, each message its own event (a long SysEx in chunks). One send
// is still bounded, so that a sender holds the port's lock only briefly while the drain may be waiting; the
// longest message the host builds (a relative motion message, 771 bytes) goes whole.
constexpr std::size_t kMaxPacketBytes = 4096;

void silentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Opens a sequencer client with the given name; null and a reason on failure.
snd_seq_t* openClient(const std::string& clientName, int streams, std::string& why) {
    snd_lib_error_set_handler(&silentAlsaError);
    if (access(kSeqDevice, R_OK | W_OK) != 0) {
        why = std::string("no ALSA sequencer (") + kSeqDevice + ": " + std::strerror(errno) + ")";
        return nullptr;
    }
    snd_seq_t* seq = nullptr;
    if (int rc = snd_seq_open(&seq, "default", streams, SND_SEQ_NONBLOCK); rc < 0) {
        why = std::string("snd_seq_open failed: ") + snd_strerror(rc);
        return nullptr;
    }
    snd_seq_set_client_name(seq, clientName.c_str());
    return seq;
}

int createPort(snd_seq_t* seq, const std::string& name, int port, unsigned caps, std::string& why) {
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    snd_seq_port_info_set_name(info, name.c_str());
    snd_seq_port_info_set_capability(info, caps);
    snd_seq_port_info_set_type(info, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_seq_port_info_set_port(info, port);
    snd_seq_port_info_set_port_specified(info, 1);
    if (int rc = snd_seq_create_port(seq, info); rc < 0) {
        why = "port " + std::to_string(port) + " '" + name + "' not created: " + snd_strerror(rc);
        return rc;
    }
    return snd_seq_port_info_get_port(info);
}

class AlsaSource final : public MidiSource {
public:
    AlsaSource(snd_seq_t* seq, snd_midi_event_t* enc, int queue, std::string name, int port)
        : seq_(seq), enc_(enc), queue_(queue), name_(std::move(name)), port_(port) {}
    ~AlsaSource() override {
        snd_midi_event_free(enc_);
        snd_seq_close(seq_);
    }

    int send(std::span<const uint8_t> bytes, int64_t atNs) override {
        if (bytes.empty()) return -EINVAL;
        if (bytes.size() > kMaxPacketBytes) return -EMSGSIZE;
        const int64_t ahead = atNs > 0 ? atNs - hostTimeNs() : 0;
        std::lock_guard g(lock_);
        snd_midi_event_reset_encode(enc_);
        size_t off = 0;
        int rc = 0;
        bool complete = false;  // the bytes ended with a whole message
        while (off < bytes.size()) {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            const long used = snd_midi_event_encode(enc_, bytes.data() + off, static_cast<long>(bytes.size() - off), &ev);
            if (used <= 0) {
                rc = used < 0 ? static_cast<int>(used) : -EINVAL;
                break;
            }
            off += static_cast<size_t>(used);
            complete = ev.type != SND_SEQ_EVENT_NONE;
            if (!complete) continue;  // a message not yet complete
            snd_seq_ev_set_source(&ev, static_cast<unsigned char>(port_));
            snd_seq_ev_set_subs(&ev);
            if (ahead > 0) {
                snd_seq_real_time_t rt{static_cast<unsigned>(ahead / 1'000'000'000),
                                       static_cast<unsigned>(ahead % 1'000'000'000)};
                snd_seq_ev_schedule_real(&ev, queue_, 1, &rt);
            } else {
                snd_seq_ev_set_direct(&ev);
            }
            if (int r = snd_seq_event_output(seq_, &ev); r < 0) {
                rc = r;
                break;
            }
        }
        if (int r = snd_seq_drain_output(seq_); r < 0 && rc == 0) rc = r;
        // A truncated message (a SysEx without its end byte) did not leave; saying so beats a silent loss.
        if (rc == 0 && !complete) rc = -EINVAL;
        return rc;
    }
    std::size_t maxPacketBytes() const override { return kMaxPacketBytes; }
    const std::string& name() const override { return name_; }
    int port() const override { return port_; }

private:
    PiMutex lock_;  // the sequencer handle and the encoder take one sender at a time
    snd_seq_t* seq_;
    snd_midi_event_t* enc_;
    int queue_;
    std::string name_;
    int port_;
};

class AlsaDestination final : public MidiDestination {
public:
    AlsaDestination(snd_seq_t* seq, snd_midi_event_t* dec, int wake, std::string name, int port,
                    MidiBytesHandler onBytes)
        : seq_(seq), dec_(dec), wake_(wake), name_(std::move(name)), port_(port), onBytes_(std::move(onBytes)) {
        thread_ = std::thread([this] { run(); });
    }
    ~AlsaDestination() override {
        const uint64_t one = 1;
        [[maybe_unused]] auto n = write(wake_, &one, sizeof one);
        thread_.join();
        close(wake_);
        snd_midi_event_free(dec_);
        snd_seq_close(seq_);
    }
    const std::string& name() const override { return name_; }
    int port() const override { return port_; }

private:
    void run() {
        const int n = snd_seq_poll_descriptors_count(seq_, POLLIN);
        std::vector<pollfd> fds(static_cast<size_t>(n) + 1);
        snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(n), POLLIN);
        fds[static_cast<size_t>(n)] = {wake_, POLLIN, 0};
        std::vector<uint8_t> buf(4096);
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            if (fds.back().revents) return;
            for (;;) {
                snd_seq_event_t* ev = nullptr;
                const int rc = snd_seq_event_input(seq_, &ev);
                if (rc == -EAGAIN || rc == -ENOSPC) break;
                if (rc < 0 || !ev) break;
                const long len = snd_midi_event_decode(dec_, buf.data(), static_cast<long>(buf.size()), ev);
                if (len > 0 && onBytes_) onBytes_(std::span<const uint8_t>(buf.data(), static_cast<size_t>(len)), hostTimeNs());
            }
        }
    }

    snd_seq_t* seq_;
    snd_midi_event_t* dec_;
    int wake_;
    std::string name_;
    int port_;
    MidiBytesHandler onBytes_;
    std::thread thread_;
};

class AlsaMidiBackend final : public MidiBackend {
public:
    AlsaMidiBackend() {
        std::string why;
        if (snd_seq_t* probe = openClient("plindo-probe", SND_SEQ_OPEN_DUPLEX, why)) {
            snd_seq_close(probe);
            available_ = true;
            status_ = "ALSA sequencer ready";
        } else {
            status_ = why + " — MIDI idle";
        }
    }

    bool available() const override { return available_; }
    std::string status() const override {
        std::lock_guard g(mutex_);
        return status_;
    }

    std::unique_ptr<MidiSource> createSource(const std::string& name, int port) override {
        if (!available_) return nullptr;
        std::string why;
        snd_seq_t* seq = openClient(name, SND_SEQ_OPEN_OUTPUT, why);
        if (!seq) return fail(why);
        if (createPort(seq, name, port, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, why) < 0) {
            snd_seq_close(seq);
            return fail(why);
        }
        const int queue = snd_seq_alloc_named_queue(seq, name.c_str());
        if (queue < 0) {
            snd_seq_close(seq);
            return fail(std::string("sequencer queue not allocated: ") + snd_strerror(queue));
        }
        snd_seq_start_queue(seq, queue, nullptr);
        snd_seq_drain_output(seq);
        snd_midi_event_t* enc = nullptr;
        if (int rc = snd_midi_event_new(1024, &enc); rc < 0) {
            snd_seq_close(seq);
            return fail(std::string("MIDI encoder not made: ") + snd_strerror(rc));
        }
        snd_midi_event_no_status(enc, 1);  // every message carries its own status byte
        return std::make_unique<AlsaSource>(seq, enc, queue, name, port);
    }

    std::unique_ptr<MidiDestination> createDestination(const std::string& name, const std::string& clientName,
                                                       int port, MidiBytesHandler onBytes) override {
        if (!available_) return nullptr;
        std::string why;
        snd_seq_t* seq = openClient(clientName, SND_SEQ_OPEN_INPUT, why);
        if (!seq) return fail<MidiDestination>(why);
        if (createPort(seq, name, port, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, why) < 0) {
            snd_seq_close(seq);
            return fail<MidiDestination>(why);
        }
        snd_midi_event_t* dec = nullptr;
        if (int rc = snd_midi_event_new(4096, &dec); rc < 0) {
            snd_seq_close(seq);
            return fail<MidiDestination>(std::string("MIDI decoder not made: ") + snd_strerror(rc));
        }
        snd_midi_event_no_status(dec, 1);
        const int wake = eventfd(0, EFD_CLOEXEC);
        if (wake < 0) {
            snd_midi_event_free(dec);
            snd_seq_close(seq);
            return fail<MidiDestination>(std::string("eventfd failed: ") + std::strerror(errno));
        }
        return std::make_unique<AlsaDestination>(seq, dec, wake, name, port, std::move(onBytes));
    }

    std::vector<MidiEndpoint> endpoints() const override {
        std::vector<MidiEndpoint> out;
        if (!available_) return out;
        std::string why;
        snd_seq_t* seq = openClient("plindo-list", SND_SEQ_OPEN_DUPLEX, why);
        if (!seq) return out;
        snd_seq_client_info_t* ci = nullptr;
        snd_seq_port_info_t* pi = nullptr;
        snd_seq_client_info_alloca(&ci);
        snd_seq_port_info_alloca(&pi);
        snd_seq_client_info_set_client(ci, -1);
        while (snd_seq_query_next_client(seq, ci) >= 0) {
            const int client = snd_seq_client_info_get_client(ci);
            snd_seq_port_info_set_client(pi, client);
            snd_seq_port_info_set_port(pi, -1);
            while (snd_seq_query_next_port(seq, pi) >= 0) {
                const unsigned caps = snd_seq_port_info_get_capability(pi);
                MidiEndpoint e;
                e.clientName = snd_seq_client_info_get_name(ci);
                e.name = snd_seq_port_info_get_name(pi);
                e.client = client;
                e.port = snd_seq_port_info_get_port(pi);
                e.isSource = (caps & SND_SEQ_PORT_CAP_READ) && (caps & SND_SEQ_PORT_CAP_SUBS_READ);
                e.isDestination = (caps & SND_SEQ_PORT_CAP_WRITE) && (caps & SND_SEQ_PORT_CAP_SUBS_WRITE);
                out.push_back(std::move(e));
            }
        }
        snd_seq_close(seq);
        return out;
    }

private:
    template <typename T = MidiSource>
    std::unique_ptr<T> fail(const std::string& why) {
        std::lock_guard g(mutex_);
        status_ = why;
        return nullptr;
    }

    bool available_ = false;
    mutable std::mutex mutex_;
    std::string status_;
};

}  // namespace

std::unique_ptr<MidiBackend> makeSystemMidiBackend() { return std::make_unique<AlsaMidiBackend>(); }

}  // namespace plindo::platform
