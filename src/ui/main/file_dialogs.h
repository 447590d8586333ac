#pragma once
// The window's modal choosers behind one interface, so tests answer them without a dialog on screen.
#include <QString>

#include <optional>

class QWidget;

namespace plindo::ui {

class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    // One existing folder, or none on cancel. `prompt` names the accept button.
    virtual std::optional<QString> chooseFolder(QWidget* parent, const QString& prompt, const QString& startDir) = 0;
    // One image file, or none on cancel.
    virtual std::optional<QString> chooseImage(QWidget* parent) = 0;
    // Where to save `fileName`; `startDir` empty lets the dialog choose. None on cancel.
    virtual std::optional<QString> saveFile(QWidget* parent, const QString& prompt, const QString& startDir,
                                            const QString& fileName) = 0;
    // A yes/no question; true for yes.
    virtual bool ask(QWidget* parent, const QString& question) = 0;
};

// The real dialogs (Qt's own, so they look alike on every desktop).
class QtFileDialogs final : public FileDialogs {
public:
    std::optional<QString> chooseFolder(QWidget* parent, const QString& prompt, const QString& startDir) override;
    std::optional<QString> chooseImage(QWidget* parent) override;
    std::optional<QString> saveFile(QWidget* parent, const QString& prompt, const QString& startDir,
                                    const QString& fileName) override;
    bool ask(QWidget* parent, const QString& question) override;
};

}  // namespace plindo::ui
