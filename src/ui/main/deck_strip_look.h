#pragma once
// What the deck strip shows for a deck, worked out from the deck's record alone: texts, colours, tooltips
// and which items show.
#include "host/host_ui_types.h"

#include <QColor>

#include <optional>
#include <string>

namespace plindo::ui {

struct DeckStripLook {
    bool playing = false;
    std::string transportSymbol;  // "pause.fill" while playing, else "play.fill"
    QColor transportTint;
    bool transportEnabled = false;
    std::string transportTip;
    QColor remoteDot;
    std::string remoteTip;
    QColor jitterDot;
    std::string jitterText;
    bool feedShown = false;  // the max gap, the link and the WAV badge
    std::string maxText;
    QColor maxColor;
    std::string via;
    QColor viaColor;
    bool wavShown = false;
    QColor wavColor;
    std::string wavTip;
    std::string timeLine;
};

DeckStripLook deckStripLook(const host::DeckInfo& info);

// The group menu's tooltip: the deck's seat side (none without a seat record) and whether it shares its files.
std::string deckGroupText(const std::optional<std::string>& side, bool shared);

// Green for "AWDL" exactly, orange for any other link.
QColor viaColor(const std::string& via);
// Red for a gap between the phone's frames above 25 ms (motion visibly stutters), else `calm`.
QColor maxGapColor(double maxGapMs, const QColor& calm);

}  // namespace plindo::ui
