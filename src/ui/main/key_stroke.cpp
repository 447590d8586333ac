#include "ui/main/key_stroke.h"

namespace plindo::ui {

namespace {

uint16_t keyCodeOf(int key, bool keypad) {
    switch (key) {
    case Qt::Key_Left: return 123;
    case Qt::Key_Right: return 124;
    case Qt::Key_Down: return 125;
    case Qt::Key_Up: return 126;
    case Qt::Key_Return: return 36;
    case Qt::Key_Enter: return 76;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 48;
    case Qt::Key_Space: return 49;
    case Qt::Key_Plus: return keypad ? 69 : KeyStroke::kOther;
    case Qt::Key_Minus: return keypad ? 78 : KeyStroke::kOther;
    default: return KeyStroke::kOther;
    }
}

}  // namespace

KeyStroke translateKey(int key, Qt::KeyboardModifiers modifiers, const QString& text) {
    KeyStroke k;
    k.keyCode = keyCodeOf(key, modifiers.testFlag(Qt::KeypadModifier));
    k.shift = modifiers.testFlag(Qt::ShiftModifier);
    k.characters = text.toStdString();
    // The plus and minus keys share their cap with "=" and "_": without the modifiers they read "=" and "-".
    if (key == Qt::Key_Plus || key == Qt::Key_Equal) {
        k.charactersIgnoringModifiers = "=";
    } else if (key == Qt::Key_Minus || key == Qt::Key_Underscore) {
        k.charactersIgnoringModifiers = "-";
    } else {
        k.charactersIgnoringModifiers = k.characters;
    }
    return k;
}

}  // namespace plindo::ui
