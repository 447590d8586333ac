#pragma once
// Helpers of the window tests: dialogs answered by the test, and screenshots for a reviewer.
#include "ui/main/file_dialogs.h"

#include <QDir>
#include <QWidget>

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace plindo::test {

// Answers each chooser with the next queued answer (none = cancel) and logs what was asked.
class ScriptedDialogs final : public ui::FileDialogs {
public:
    std::deque<std::optional<QString>> answers;
    std::deque<bool> askAnswers;
    std::vector<std::string> asked;

    std::optional<QString> chooseFolder(QWidget*, const QString& prompt, const QString& start) override {
        asked.push_back("folder(" + prompt.toStdString() + "," + start.toStdString() + ")");
        return next();
    }
    std::optional<QString> chooseImage(QWidget*) override {
        asked.push_back("image()");
        return next();
    }
    std::optional<QString> saveFile(QWidget*, const QString& prompt, const QString& start, const QString& name) override {
        asked.push_back("save(" + prompt.toStdString() + "," + start.toStdString() + "," + name.toStdString() + ")");
        return next();
    }
    bool ask(QWidget*, const QString& q) override {
        asked.push_back("ask(" + q.toStdString() + ")");
        if (askAnswers.empty()) return false;
        const bool a = askAnswers.front();
        askAnswers.pop_front();
        return a;
    }

private:
    std::optional<QString> next() {
        if (answers.empty()) return std::nullopt;
        auto a = answers.front();
        answers.pop_front();
        return a;
    }
};

inline void screenshot(QWidget& w, const char* name) {
    w.grab().save(QDir(qEnvironmentVariable("PLINDO_SCREENSHOT_DIR")).filePath(QString(name) + ".png"));
}

}  // namespace plindo::test
