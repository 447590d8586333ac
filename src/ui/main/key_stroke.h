#pragma once
// A key press as the main screen's key handler reads it: the key numbers its library commands were written
// for (arrows 123–126, Return 36, keypad Enter 76, Tab 48, Space 49, keypad plus 69 and minus 78), the Shift
// flag, the typed characters and the characters with the modifiers taken off.
#include <QString>
#include <Qt>

#include <cstdint>
#include <string>

namespace plindo::ui {

struct KeyStroke {
    // Any key without a number of its own; never 0, which names a letter key.
    static constexpr uint16_t kOther = 0xFFFF;

    uint16_t keyCode = kOther;
    bool shift = false;
    std::string characters;
    std::string charactersIgnoringModifiers;

    bool operator==(const KeyStroke&) const = default;
};

KeyStroke translateKey(int key, Qt::KeyboardModifiers modifiers, const QString& text);

}  // namespace plindo::ui
