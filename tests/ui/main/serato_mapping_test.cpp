// The shipped mapping file against what the MIDI output sends, and its export through the save dialog.
// The MIDI headers name members `emit`: they come before Qt's keyword macros.
#include "serato/midi_out_rig.h"

#include "../fake_host.h"
#include "ui/main/host_settings_view.h"
#include "ui_main_test_util.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <tuple>

namespace plindo::test {
namespace {

using ui::HostSettingsView;

QByteArray resourceBytes() {
    QFile f(":/serato/PlindoSerato.xml");
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
}

struct Binding {
    int channel = 0;  // 1-based, as the file counts
    std::string eventType;
    int control = 0;
    std::string dataType;
    std::string function;
    int deckId = -1;
    int slotId = -1;
    std::string actionOn, behaviour, staticValue;
    std::set<std::string> outputs;  // output functions, each with aliases on 127 and off 0
};

std::vector<Binding> parseMapping(const QByteArray& xml) {
    std::vector<Binding> out;
    QXmlStreamReader r(xml);
    std::string userio;
    int depth = 0;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            ++depth;
            const auto name = r.name().toString().toStdString();
            const auto a = r.attributes();
            auto attr = [&](const char* k) { return a.value(k).toString().toStdString(); };
            if (name == "midi") {
                EXPECT_FALSE(attr("app").empty());
            } else if (name == "control") {
                Binding b;
                b.channel = attr("channel").empty() ? 0 : std::stoi(attr("channel"));
                b.eventType = attr("event_type");
                b.control = std::stoi(attr("control"));
                b.dataType = attr("data_type");
                out.push_back(b);
            } else if (name == "userio") {
                userio = attr("event");
            } else if (name == "translation") {
                if (userio == "click") {
                    out.back().actionOn = attr("action_on");
                    out.back().behaviour = attr("behaviour");
                    out.back().staticValue = attr("static_value");
                }
            } else if (name == "alias") {
                EXPECT_TRUE((attr("name") == "on" && attr("value") == "127") || (attr("name") == "off" && attr("value") == "0"));
            } else if (depth == 4) {  // midi > control > userio > function
                EXPECT_EQ(attr("deck_set"), "Default") << name;
                if (userio == "click") {
                    out.back().function = name;
                    out.back().deckId = std::stoi(attr("deck_id"));
                    out.back().slotId = std::stoi(attr("slot_id"));
                } else {
                    EXPECT_EQ(userio, "output");
                    EXPECT_EQ(std::stoi(attr("deck_id")), out.back().deckId);
                    EXPECT_EQ(std::stoi(attr("slot_id")), out.back().slotId);
                    out.back().outputs.insert(name);
                }
            }
        } else if (r.isEndElement()) {
            --depth;
        }
    }
    EXPECT_FALSE(r.hasError()) << r.errorString().toStdString();
    return out;
}

// (1-based channel, "Note On" / "Control Change", number) of every message the output sends for decks 1 and 2.
std::set<std::tuple<int, std::string, int>> sentMessages() {
    serato::testing::OutRig rig;
    rig.activate(1);
    rig.activate(2);
    for (int deck : {1, 2}) {
        rig.out.transport(deck, true, "test");
        rig.out.transport(deck, false, "test");
        rig.out.pitch(deck, 1.03);
        for (int slot = 0; slot < 8; ++slot) rig.out.cueButton(deck, slot, true);
        rig.out.libraryKey("load", deck);
    }
    for (const char* key : {"tab", "left", "right"}) rig.out.libraryKey(key, 1);
    rig.out.libraryScroll(3);
    rig.out.libraryScroll(-3);
    std::set<std::tuple<int, std::string, int>> out;
    for (const auto& packet : rig.packets()) {
        for (size_t i = 0; i + 2 < packet.size(); i += 3) {
            const uint8_t kind = packet[i] & 0xF0;
            const int channel = (packet[i] & 0x0F) + 1;
            if (kind == 0x90) out.insert({channel, "Note On", packet[i + 1]});
            if (kind == 0xB0) out.insert({channel, "Control Change", packet[i + 1]});
        }
    }
    return out;
}

TEST(SeratoMapping, EveryBindingIsAMessageTheOutputSendsWithAKnownFunction) {
    const auto bindings = parseMapping(resourceBytes());
    const auto sent = sentMessages();
    const std::set<std::string> known = {"play", "cue", "cue_point", "sync", "sync_off", "pitch_slider", "pitch_bend_up",
                                         "pitch_bend_down", "load_track", "library_scroll", "midi_library_scroll",
                                         "library_scroll_horizontal", "tab_library", "upfader", "deck_eq_lo",
                                         "deck_eq_mid", "deck_eq_hi"};
    std::set<std::tuple<int, std::string, int>> seen;
    std::map<std::string, int> perFunction;
    for (const auto& b : bindings) {
        const std::string where = std::to_string(b.channel) + "/" + b.eventType + "/" + std::to_string(b.control);
        EXPECT_TRUE(sent.count({b.channel, b.eventType, b.control})) << where << " is never sent";
        EXPECT_TRUE(seen.insert({b.channel, b.eventType, b.control}).second) << where << " bound twice";
        EXPECT_TRUE(known.count(b.function)) << where << ": " << b.function;
        ++perFunction[b.function];
        if (b.function == "play" || b.function == "cue_point" || b.function == "pitch_slider")
            EXPECT_EQ(b.deckId, b.channel - 1) << where << ": the deck's own channel";
        if (b.function == "cue_point") {
            EXPECT_EQ(b.slotId, b.control - 40) << where;
            EXPECT_EQ(b.outputs, std::set<std::string>{"cue_point_set"}) << where;
        }
        if (b.function == "play") EXPECT_EQ(b.outputs, std::set<std::string>{"play"}) << where;
        if (b.eventType == "Control Change") EXPECT_FALSE(b.dataType.empty()) << where;
    }
    // Both decks' transport, pitch and eight cue pads; loading to either deck; the browser keys and encoder.
    EXPECT_EQ(perFunction["play"], 2);
    EXPECT_EQ(perFunction["pitch_slider"], 2);
    EXPECT_EQ(perFunction["cue_point"], 16);
    EXPECT_EQ(perFunction["load_track"], 2);
    EXPECT_EQ(perFunction["midi_library_scroll"], 1);
    EXPECT_EQ(perFunction["tab_library"], 1);
    EXPECT_EQ(perFunction["library_scroll_horizontal"], 2);
    for (const auto& b : bindings) {
        if (b.function == "load_track") EXPECT_EQ(b.deckId, b.control - 101) << "note 101 loads deck 1, 102 deck 2";
        if (b.function == "midi_library_scroll") EXPECT_EQ(b.dataType, "Relative 2's Complement");
        if (b.function == "library_scroll_horizontal")
            EXPECT_EQ(b.staticValue, b.control == 103 ? "left" : "right");
    }
}

using Msg = std::tuple<int, std::string, int>;  // (1-based channel, "Note On" / "Control Change", number)

// Each message of the packets with its value.
std::vector<std::pair<Msg, int>> messagesOf(const std::vector<serato::testing::Bytes>& packets) {
    std::vector<std::pair<Msg, int>> out;
    for (const auto& packet : packets) {
        for (size_t i = 0; i + 2 < packet.size(); i += 3) {
            const uint8_t kind = packet[i] & 0xF0;
            const int channel = (packet[i] & 0x0F) + 1;
            if (kind == 0x90) out.push_back({{channel, "Note On", packet[i + 1]}, packet[i + 2]});
            if (kind == 0xB0) out.push_back({{channel, "Control Change", packet[i + 1]}, packet[i + 2]});
        }
    }
    return out;
}

// What a format sends on its own while the decks start, their platters turn both ways, stop and are touched.
std::set<Msg> platterMessages(uint8_t format, bool twelveFlag) {
    serato::testing::OutRig rig(format);
    rig.settings.twelveFlag = twelveFlag;
    rig.activate(1);
    rig.activate(2);
    const double perTurn = format == serato::SeratoOutFormat::phone || format == serato::SeratoOutFormat::rel
                               ? rig.settings.ticksPerRev.load()
                               : 3600.0;
    for (int deck : {1, 2}) {
        rig.out.initDeck(deck);
        rig.settings.engaged[size_t(deck - 1)] = true;
    }
    double ts = 10, ticks = 0;
    for (int k = 0; k < 400; ++k) {
        rig.clock.advance(0.01);
        ts += 0.01;
        ticks += k < 250 ? 30 : k < 330 ? -12 : 0;
        const double omega = k < 330 ? 3.0 : 0.0;
        for (int deck : {1, 2}) rig.out.drive(deck, true, serato::testing::angleOf(ticks, perTurn), ts, omega);
        rig.out.drainTick();
    }
    for (int deck : {1, 2}) {
        rig.out.touch(deck, true);
        rig.out.touch(deck, false);
        rig.out.mute(deck, true, false);
        rig.out.mute(deck, false, false);
    }
    std::set<Msg> out;
    for (const auto& [m, v] : messagesOf(rig.packets())) out.insert(m);
    return out;
}

// Whether the shipped file drives the decks right in a format: nothing the format sends by itself lands on a
// binding, and play and stop each reach only their deck's play binding, with 127 and 0.
bool mappingFits(const std::vector<Binding>& bindings, uint8_t format, bool twelveFlag, std::string& why) {
    std::map<Msg, const Binding*> bound;
    for (const auto& b : bindings) bound[{b.channel, b.eventType, b.control}] = &b;
    auto name = [](const Msg& m) {
        return std::to_string(std::get<0>(m)) + "/" + std::get<1>(m) + "/" + std::to_string(std::get<2>(m));
    };
    for (const Msg& m : platterMessages(format, twelveFlag)) {
        if (bound.count(m)) {
            why = name(m) + " is bound to " + bound[m]->function;
            return false;
        }
    }
    for (int deck : {1, 2}) {
        for (bool play : {true, false}) {
            serato::testing::OutRig rig(format);
            rig.settings.twelveFlag = twelveFlag;
            rig.activate(deck);
            rig.out.transport(deck, play, "test");
            for (const auto& [m, v] : messagesOf(rig.packets())) {
                const auto it = bound.find(m);
                if (it == bound.end()) continue;
                const Binding& b = *it->second;
                if (b.function != "play" || b.deckId != deck - 1 || v != (play ? 127 : 0)) {
                    why = std::string(play ? "play" : "stop") + " of deck " + std::to_string(deck) + " sends " +
                          name(m) + " = " + std::to_string(v) + ", bound to " + b.function;
                    return false;
                }
            }
        }
    }
    return true;
}

TEST(SeratoMapping, TheSettingsNameExactlyTheOutputFormatsTheFileFits) {
    const auto bindings = parseMapping(resourceBytes());
    const std::pair<std::string, uint8_t> formats[] = {{"twelve", serato::SeratoOutFormat::twelve},
                                                       {"jog", serato::SeratoOutFormat::jog},
                                                       {"phone", serato::SeratoOutFormat::phone},
                                                       {"rel", serato::SeratoOutFormat::rel},
                                                       {"radian", serato::SeratoOutFormat::radian}};
    std::set<std::string> fitting;
    std::string misfits;
    for (const auto& [name, format] : formats) {
        // A format fits only when it fits whatever the twelve flag says.
        bool fits = true;
        for (bool twelveFlag : {true, false}) {
            std::string why;
            if (!mappingFits(bindings, format, twelveFlag, why)) {
                fits = false;
                misfits += name + (twelveFlag ? "" : " (twelve flag off)") + ": " + why + "\n";
            }
        }
        if (fits) fitting.insert(name);
    }
    const auto& formatsNamed = HostSettingsView::kMappingFormats;
    const std::set<std::string> named(formatsNamed.begin(), formatsNamed.end());
    EXPECT_EQ(fitting, named) << misfits;
    const std::string text = HostSettingsView::kMappingFormatsText;
    for (const auto& [name, format] : formats)
        EXPECT_NE(text.find("\"" + name + "\""), std::string::npos) << name << " is named, fitting or not";

    FakeHost host;
    ScriptedDialogs dialogs;
    HostSettingsView view(host, dialogs);
    bool shown = false;
    for (const QLabel* l : view.findChildren<QLabel*>())
        shown = shown || l->text() == QString(HostSettingsView::kMappingFormatsText);
    EXPECT_TRUE(shown);
}

struct ExportRig {
    FakeHost host;
    ScriptedDialogs dialogs;
    QTemporaryDir dir;
    QString target() const { return dir.filePath("Plindo.xml"); }
    void save(const QString& resource = "PlindoSerato") {
        HostSettingsView::saveSeratoMapping(resource, "xml", "~/Music/_Serato_/MIDI/Xml", "Plindo.xml", host, dialogs);
    }
};

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(SeratoMappingExport, WritesTheSameBytesReplacingAnOldFile) {
    ExportRig rig;
    QFile old(rig.target());
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old mapping");
    old.close();
    rig.dialogs.answers = {rig.target()};
    rig.save();
    EXPECT_EQ(readAll(rig.target()), resourceBytes());
    EXPECT_EQ(rig.host.take(), std::vector<std::string>{"writeStatusLine(Mapping saved: " + rig.target().toStdString() + ")"});
    struct stat st {};
    ASSERT_EQ(::stat(rig.target().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(QDir(rig.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary left behind";
}

TEST(SeratoMappingExport, AFailedWriteKeepsWhatWasThereAndSaysWhy) {
    ExportRig rig;
    // A folder where the file should go: nothing can replace it.
    ASSERT_TRUE(QDir(rig.dir.path()).mkdir("Plindo.xml"));
    rig.dialogs.answers = {rig.target()};
    rig.save();
    EXPECT_TRUE(QFileInfo(rig.target()).isDir());
    auto lines = rig.host.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("writeStatusLine(Mapping save failed: ", 0), 0u) << lines[0];

    if (::geteuid() != 0) {  // the superuser writes into read-only folders
        const QString ro = rig.dir.filePath("ro");
        QDir().mkpath(ro);
        QFile old(ro + "/Plindo.xml");
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old mapping");
        old.close();
        QFile::setPermissions(ro, QFile::ReadOwner | QFile::ExeOwner);
        rig.dialogs.answers = {ro + "/Plindo.xml"};
        rig.save();
        QFile::setPermissions(ro, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        EXPECT_EQ(readAll(ro + "/Plindo.xml"), "old mapping");
        lines = rig.host.take();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("writeStatusLine(Mapping save failed: ", 0), 0u) << lines[0];
    }
}

TEST(SeratoMappingExport, CancelWritesNothingAndAMissingResourceOpensNoDialog) {
    ExportRig rig;
    rig.dialogs.answers = {std::nullopt};
    rig.save();
    EXPECT_TRUE(rig.host.take().empty());
    EXPECT_EQ(rig.dialogs.asked.size(), 1u);
    EXPECT_FALSE(QFile::exists(rig.target()));

    rig.dialogs.asked.clear();
    rig.save("NoSuchMapping");
    EXPECT_TRUE(rig.dialogs.asked.empty());
    EXPECT_EQ(rig.host.take(), std::vector<std::string>{"writeStatusLine(Mapping Plindo.xml not in bundle)"});
}

TEST(SeratoMappingExport, StartsInTheMappingFolderOnlyWhenItExists) {
    ExportRig rig;
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", rig.dir.path().toUtf8());
    rig.save();
    QDir().mkpath(rig.dir.filePath("Music/_Serato_/MIDI/Xml"));
    rig.save();
    qputenv("HOME", home);
    EXPECT_EQ(rig.dialogs.asked, (std::vector<std::string>{
                                     "save(Save mapping,,Plindo.xml)",
                                     "save(Save mapping," + rig.dir.filePath("Music/_Serato_/MIDI/Xml").toStdString() +
                                         ",Plindo.xml)"}));
}

}  // namespace
}  // namespace plindo::test
