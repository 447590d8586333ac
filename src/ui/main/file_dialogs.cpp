#include "ui/main/file_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QImageReader>
#include <QMessageBox>

namespace plindo::ui {

namespace {
std::optional<QString> run(QFileDialog& d) {
    d.setOption(QFileDialog::DontUseNativeDialog);
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
    return d.selectedFiles().first();
}
}  // namespace

std::optional<QString> QtFileDialogs::chooseFolder(QWidget* parent, const QString& prompt, const QString& startDir) {
    QFileDialog d(parent, prompt, startDir);
    d.setFileMode(QFileDialog::Directory);
    d.setOption(QFileDialog::ShowDirsOnly);
    d.setLabelText(QFileDialog::Accept, prompt);
    return run(d);
}

std::optional<QString> QtFileDialogs::chooseImage(QWidget* parent) {
    QStringList patterns;
    for (const QByteArray& f : QImageReader::supportedImageFormats()) patterns << "*." + QString::fromLatin1(f);
    QFileDialog d(parent);
    d.setFileMode(QFileDialog::ExistingFile);
    d.setNameFilter("Images (" + patterns.join(' ') + ")");
    return run(d);
}

std::optional<QString> QtFileDialogs::saveFile(QWidget* parent, const QString& prompt, const QString& startDir,
                                               const QString& fileName) {
    QFileDialog d(parent);
    d.setAcceptMode(QFileDialog::AcceptSave);
    d.setFileMode(QFileDialog::AnyFile);
    if (!startDir.isEmpty()) d.setDirectory(startDir);
    d.selectFile(fileName);
    d.setLabelText(QFileDialog::Accept, prompt);
    return run(d);
}

bool QtFileDialogs::ask(QWidget* parent, const QString& question) {
    return QMessageBox::question(parent, "Plindo", question) == QMessageBox::Yes;
}

}  // namespace plindo::ui
