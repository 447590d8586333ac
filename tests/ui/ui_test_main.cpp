// The main of every window test: one QApplication on the offscreen platform (unless QT_QPA_PLATFORM names
// another), and a folder for the screenshots a reviewer looks at.
#include "ui/kit/dark_theme.h"

#include <QApplication>
#include <QDir>

#include <gtest/gtest.h>

#include <cstdlib>

// Fontconfig and Qt's font database keep caches for the life of the process on purpose.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:FcPattern\nleak:FcFontSet\nleak:libQt6Gui\nleak:QFontDatabase\n"
           "leak:libQt6XcbQpa\nleak:libxcb\nleak:libX11\nleak:libdbus\n";
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("PLINDO_SCREENSHOT_DIR")) qputenv("PLINDO_SCREENSHOT_DIR", PLINDO_SCREENSHOT_DIR);
    QDir().mkpath(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR"));
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    plindo::ui::applyDarkTheme(app);  // as the program does, so screenshots look like the window
    return RUN_ALL_TESTS();
}
