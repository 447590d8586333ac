#pragma once
// A controller whose timers wait for the test, with a Files folder and the DJ application's library on disk.
#include "host_rig.h"
#include "library/library_test_files.h"

#include <filesystem>
#include <string>
#include <vector>

namespace plindo::host::testing {

namespace lt = library::testfiles;
using lt::operator+=;

// One database track: file, title, artist and the fields the browser rows carry.
struct DbTrack {
    DbTrack(std::u16string file, std::u16string title, std::u16string artist = {}, std::u16string bpm = {},
            std::u16string key = {}, std::u16string len = {})
        : file(std::move(file)), title(std::move(title)), artist(std::move(artist)), bpm(std::move(bpm)),
          key(std::move(key)), len(std::move(len)) {}
    std::u16string file, title, artist, bpm, key, len;
};

struct LibraryRig : HostRig {
    std::filesystem::path files = temp.dir / "Files";
    std::filesystem::path serato = temp.dir / "Music" / "_Serato_";

    LibraryRig() {
        main.useManualTimers();
        std::filesystem::create_directories(files);
        settings.setValue("orv.libraryFolder", files.string());
    }

    // An empty file of that name under the Files folder: the scans go by extension.
    void audio(const std::string& relative) { lt::writeText(files / relative, "RIFF"); }
    void playlist(const std::string& relative, const std::string& text) { lt::writeText(files / relative, text); }

    void database(const std::vector<DbTrack>& tracks) {
        lt::Bytes b = lt::header();
        for (const auto& t : tracks) {
            b += lt::track({{"pfil", t.file}, {"tsng", t.title}, {"tart", t.artist}, {"tbpm", t.bpm}, {"tkey", t.key},
                            {"tlen", t.len}});
        }
        lt::writeFile(serato / "database V2", b);
    }
    void crate(const std::string& name, const std::vector<std::u16string>& files) {
        lt::Bytes b = lt::header();
        for (const auto& f : files) b += lt::record("otrk", lt::record("ptrk", lt::utf16(f)));
        lt::writeFile(serato / "Subcrates" / (name + ".crate"), b);
    }
    // n database tracks "t<i>.mp3" titled "Title <i>".
    void manyTracks(int n) {
        std::vector<DbTrack> ts;
        for (int i = 0; i < n; ++i) {
            const auto s = std::to_string(i);
            ts.push_back({u"m/t" + std::u16string(s.begin(), s.end()) + u".mp3", u"Title " + std::u16string(s.begin(), s.end()),
                          u"Artist", u"120.00", u"Am", u"03:00.00"});
        }
        database(ts);
    }

    // Lets every read started so far finish and its result land on main.
    void settle() {
        for (int i = 0; i < 3; ++i) {
            host->libraryQueue().sync([] {});
            main.drain();
        }
    }
    // Moves the timers on and settles what they started.
    void advance(double seconds) {
        main.advanceTimers(seconds);
        settle();
    }
    const LibPane& pane(int p) { return host->panes()[p]; }

    // A phone says hello for the deck and is bound to it.
    void bindPhone(int deck) {
        using link::testing::I;
        using link::testing::S;
        const auto hello = link::OSCMessage::encode(
            "/orv/hello", std::vector<link::OSCValue>{I(deck), S("Phone " + std::to_string(deck)), I(0), S("remote"), I(1),
                                                      S("1215"), S("")});
        host->server->handleDatagram(hello.data(), hello.size(), link::testing::phone(deck), host->mediaNow());
    }
    // The messages sent since the last call to that address.
    std::vector<link::OSCMessage> sentTo(const std::string& address) {
        std::vector<link::OSCMessage> out;
        for (auto& s : sink.take()) {
            if (s.msg.address == address) out.push_back(std::move(s.msg));
        }
        return out;
    }
};

}  // namespace plindo::host::testing
