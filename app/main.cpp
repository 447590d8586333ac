// The host's entry point. `--headless` runs without a window.
#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) headless = true;
    }
    if (!headless) {
        std::fprintf(stderr, "plindo: only --headless is available in this build\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    return 0;
}
