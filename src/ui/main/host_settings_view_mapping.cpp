// The mapping export: the shipped mapping file copied to where the user chooses.
#include "ui/main/file_dialogs.h"
#include "ui/main/host_settings_view.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace plindo::ui {

void HostSettingsView::saveSeratoMapping(const QString& resource, const QString& type, const QString& directory,
                                         const QString& fileName, host::HostUi& state, FileDialogs& dialogs,
                                         QWidget* parent) {
    QFile source(":/serato/" + resource + "." + type);
    if (!source.exists()) {
        state.writeStatusLine(("Mapping " + fileName + " not in bundle").toStdString());
        return;
    }
    QString start = directory;
    if (start == "~" || start.startsWith("~/")) start = QDir::homePath() + start.mid(1);
    if (!QFileInfo::exists(start)) start.clear();
    const auto target = dialogs.saveFile(parent, "Save mapping", start, fileName);
    if (!target || target->isEmpty()) return;

    // Written beside the old file and renamed over it, so a failed write keeps the old mapping.
    auto fail = [&](const QString& why) { state.writeStatusLine(("Mapping save failed: " + why).toStdString()); };
    if (!source.open(QIODevice::ReadOnly)) return fail(source.errorString());
    const QByteArray bytes = source.readAll();
    QSaveFile out(*target);
    if (!out.open(QIODevice::WriteOnly)) return fail(out.errorString());
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                       QFileDevice::ReadOther);
    if (out.write(bytes) != bytes.size()) {
        const QString why = out.errorString();
        out.cancelWriting();
        return fail(why);
    }
    if (!out.commit()) return fail(out.errorString());
    state.writeStatusLine(("Mapping saved: " + QFileInfo(*target).absoluteFilePath()).toStdString());
}

void HostSettingsView::saveSeratoMapping(QWidget* parent, host::HostUi& state, FileDialogs& dialogs) {
    saveSeratoMapping("PlindoSerato", "xml", "~/Music/_Serato_/MIDI/Xml", "Plindo.xml", state, dialogs, parent);
}

}  // namespace plindo::ui
