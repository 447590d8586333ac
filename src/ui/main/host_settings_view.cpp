#include "ui/main/host_settings_view.h"

#include "link/orv_server.h"
#include "motion/audio_out_device.h"
#include "ui/kit/colors.h"
#include "ui/kit/system_image.h"
#include "ui/kit/text_styles.h"
#include "ui/main/file_dialogs.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace plindo::ui {

namespace {

constexpr const char* kBuild = "1215";

QLabel* text(const QString& s, TextStyle style, const QColor& colour, const char* name = nullptr) {
    auto* l = new QLabel(s);
    l->setFont(ui::font(style));
    l->setWordWrap(true);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    if (name) l->setObjectName(name);
    return l;
}

QLabel* header(const QString& s) { return text(s, TextStyle::headline, colors::secondary()); }

QPushButton* button(const QString& s, const char* name) {
    auto* b = new QPushButton(s);
    b->setObjectName(name);
    return b;
}

// Replaces the items only when they differ, so a redraw leaves an open list alone.
void setItems(QComboBox* c, const QList<std::pair<QString, QVariant>>& items) {
    bool same = c->count() == items.size();
    for (int i = 0; same && i < c->count(); ++i) same = c->itemText(i) == items[i].first && c->itemData(i) == items[i].second;
    if (same) return;
    c->clear();
    for (const auto& [text, data] : items) c->addItem(text, data);
}

QString deviceLabel(const motion::AudioOutDevice& d) {
    QString s = QString::fromStdString(d.name);
    if (d.channels >= 3) s += " (" + QString::number(d.channels) + " ch)";
    return s;
}

}  // namespace

HostSettingsView::HostSettingsView(host::HostUi& state, FileDialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window), state_(state), dialogs_(dialogs) {
    setWindowTitle("Settings");
    setFixedWidth(kWidth);
    auto* form = new QFormLayout(this);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);

    form->addRow(header("Decks"));
    form->addRow(makeDeckBlock(0, "Left deck"));
    form->addRow(makeDeckBlock(1, "Right deck"));
    // A running deck's player is rebuilt on the new device or pair at once, keeping its track and place.
    form->addRow(text("Device changes apply at once.", TextStyle::caption, colors::secondary()));
    auto* refreshDevices = button("Refresh device list", "refreshDevices");
    connect(refreshDevices, &QPushButton::clicked, this, [this] { state_.loadDeviceChannels(); });
    form->addRow(refreshDevices);

    form->addRow(header("Library"));
    folder_ = new QLineEdit;
    folder_->setObjectName("folder");
    folder_->setFixedWidth(kFolderWidth);
    connect(folder_, &QLineEdit::textEdited, this,
            [this](const QString& t) { state_.config().setLibraryFolderPath(t.toStdString()); });
    form->addRow("Files folder", folder_);
    form->addRow(text("Files root of the sidebar: subfolders and .m3u/.m3u8 playlists become crates. The Serato "
                      "root appears alongside when a Serato library is readable.",
                      TextStyle::caption, colors::secondary()));
    auto* libraryButtons = new QHBoxLayout;
    auto* choose = button("Choose Files folder\u2026", "chooseFolder");
    connect(choose, &QPushButton::clicked, this, [this] {
        const auto dir = dialogs_.chooseFolder(this, "Use as Files folder",
                                               QString::fromStdString(state_.config().libraryFolder()));
        if (dir) state_.setLibraryFolder(dir->toStdString());
    });
    auto* reload = button("Reload library", "reloadLibrary");
    connect(reload, &QPushButton::clicked, this, [this] { state_.reloadLibrary(); });
    libraryButtons->addWidget(choose);
    libraryButtons->addWidget(reload);
    libraryButtons->addStretch();
    form->addRow(libraryButtons);
    libraryStatus_ = text("", TextStyle::caption2, colors::tertiary(), "libraryStatus");
    libraryStatus_->setMaximumHeight(2 * QFontMetrics(libraryStatus_->font()).lineSpacing() + 2);
    form->addRow(libraryStatus_);

    form->addRow(header("Playback"));
    followEase_ = new QCheckBox("Follow ease (rate smoothing in the host player)");
    followEase_->setObjectName("followEase");
    connect(followEase_, &QCheckBox::clicked, this, [this](bool on) { state_.config().setFollowEase(on); });
    form->addRow(followEase_);

    form->addRow(header("Fallback sources"));
    mePlayhead_ = new QCheckBox("External OSC playhead (straight into the host)");
    mePlayhead_->setObjectName("mePlayhead");
    connect(mePlayhead_, &QCheckBox::clicked, this, [this](bool on) { state_.config().setMePlayhead(on); });
    form->addRow(mePlayhead_);
    playheadText_ = text("", TextStyle::caption, colors::secondary(), "playheadText");
    form->addRow(playheadText_);

    form->addRow(header("Mappings"));
    auto* logoRow = new QHBoxLayout;
    logo_ = button("", "logo");
    connect(logo_, &QPushButton::clicked, this, [this] {
        if (const auto file = dialogs_.chooseImage(this)) state_.useDJLogo(file->toStdString());
    });
    auto* logoReset = button("\u21ba Plindo", "logoReset");
    connect(logoReset, &QPushButton::clicked, this, [this] { state_.setDJLogo({}, true); });
    logoRow->addWidget(logo_);
    logoRow->addStretch();
    logoRow->addWidget(logoReset);
    form->addRow(logoRow);
    auto* save = button("Save Serato mapping\u2026", "saveMapping");
    connect(save, &QPushButton::clicked, this, [this] { saveSeratoMapping(this, state_, dialogs_); });
    form->addRow(save);
    form->addRow(text("Serato DJ Pro \u2192 Setup \u2192 MIDI \u2192 load the XML, then bind the Plindo MIDI Bridge "
                      "device. Deck on INT with Instant Start.",
                      TextStyle::caption, colors::secondary()));
    form->addRow(text(kMappingFormatsText, TextStyle::caption, colors::secondary()));

    // Shown while the phone server reports that local-network access is denied.
    networkNotice_ = new QWidget;
    networkNotice_->setObjectName("networkNotice");
    auto* notice = new QVBoxLayout(networkNotice_);
    notice->setContentsMargins(0, 0, 0, 0);
    auto* noticeLine = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(systemPixmap("wifi.exclamationmark", 16, colors::primary(), devicePixelRatioF()));
    icon->setAlignment(Qt::AlignTop);
    noticeLine->addWidget(icon);
    noticeLine->addWidget(text("Local Network is off \u2014 phones cannot reach this Mac. Turn it on in System "
                               "Settings \u2192 Privacy & Security \u2192 Local Network \u2192 Plindo.",
                               TextStyle::body, colors::primary()),
                          1);
    notice->addLayout(noticeLine);
    // No desktop here has such a settings page to open.
    notice->addWidget(button("Open Privacy Settings", "openPrivacy"), 0, Qt::AlignLeft);
    form->addRow(networkNotice_);

    auto* build = text(QString("Build ") + kBuild, TextStyle::caption2, colors::tertiary(), "build");
    build->setFont(monoFont(TextStyle::caption2));
    form->addRow(build);

    // Where the desktop draws no frame there is no close button: Ctrl+W and the platform's other close keys
    // close the window, as Esc does (keyPressEvent).
    auto* close = new QAction("Close", this);
    QList<QKeySequence> closeKeys{QKeySequence(Qt::CTRL | Qt::Key_W)};
    for (const QKeySequence& k : QKeySequence::keyBindings(QKeySequence::Close))
        if (!closeKeys.contains(k)) closeKeys.append(k);
    close->setShortcuts(closeKeys);
    close->setShortcutContext(Qt::WindowShortcut);
    connect(close, &QAction::triggered, this, &QWidget::close);
    addAction(close);

    for (auto sig : {&host::HostUi::devicesChanged, &host::HostUi::selectedUIDChanged, &host::HostUi::selectedChanChanged,
                     &host::HostUi::djLogoChanged, &host::HostUi::configChanged, &host::HostUi::panesChanged,
                     &host::HostUi::activePaneChanged})
        connect(&state_, sig, this, &HostSettingsView::refresh);
    refresh();
}

QWidget* HostSettingsView::makeDeckBlock(int index, const QString& title) {
    auto* w = new QWidget;
    auto* l = new QVBoxLayout(w);
    l->setContentsMargins(0, 0, 0, 0);
    l->setSpacing(8);
    l->addWidget(text(title, TextStyle::headline, colors::primary()));
    DeckBlock& b = decks_[index];
    b.device = new QComboBox;
    b.device->setObjectName(QString("device%1").arg(index));
    b.device->setFixedWidth(kPickerWidth);
    connect(b.device, &QComboBox::activated, this, [this, index](int row) { deviceChosen(index, row); });
    b.channels = new QComboBox;
    b.channels->setObjectName(QString("channels%1").arg(index));
    b.channels->setFixedWidth(kPickerWidth);
    connect(b.channels, &QComboBox::activated, this, [this, index](int row) { channelChosen(index, row); });
    b.channelsText = text("Channels 1\u20132", TextStyle::caption, colors::tertiary());
    b.channelsText->setObjectName(QString("channelsText%1").arg(index));
    b.channelsText->setFixedWidth(kPickerWidth);
    l->addWidget(b.device);
    l->addWidget(b.channels);
    l->addWidget(b.channelsText);
    return w;
}

void HostSettingsView::deviceChosen(int index, int row) {
    const std::string uid = decks_[index].device->itemData(row).toString().toStdString();
    if (uid == state_.selectedUID()[size_t(index)]) return;
    // A new device starts on its first pair; one apply rebuilds the deck's player on it.
    state_.writeSelectedUID(index, uid);
    state_.writeSelectedChan(index, 0);
    state_.config().setDeviceUID(index + 1, uid);
    state_.applyOutput(index + 1);
}

void HostSettingsView::channelChosen(int index, int row) {
    const int start = decks_[index].channels->itemData(row).toInt();
    if (start == state_.selectedChan()[size_t(index)]) return;
    state_.writeSelectedChan(index, start);
    state_.config().d().setValue("orv.devChan." + std::to_string(index + 1), start);
    state_.applyOutput(index + 1);
}

void HostSettingsView::refresh() {
    for (int i = 0; i < 2; ++i) {
        DeckBlock& b = decks_[i];
        const QSignalBlocker blockDevice(b.device), blockChannels(b.channels);
        QList<std::pair<QString, QVariant>> devices;
        for (const auto& d : state_.devices()) devices.append({deviceLabel(d), QString::fromStdString(d.uid)});
        setItems(b.device, devices);
        b.device->setCurrentIndex(b.device->findData(QString::fromStdString(state_.selectedUID()[size_t(i)])));

        const auto selected = state_.selectedDevice(i);
        const bool pairs = selected && selected->channels >= 3;
        QList<std::pair<QString, QVariant>> starts;
        for (int s = 0; pairs && s + 2 <= selected->channels; s += 2)
            starts.append({"Channels " + QString::fromStdString(motion::channelPairLabel(s)), s});
        setItems(b.channels, starts);
        b.channels->setCurrentIndex(b.channels->findData(state_.selectedChan()[size_t(i)]));
        b.channels->setVisible(pairs);
        b.channelsText->setVisible(!pairs);
    }

    auto& config = state_.config();
    // Never under the user's cursor: a redraw must not undo what is being typed.
    if (!folder_->hasFocus()) folder_->setText(QString::fromStdString(config.libraryFolder()));
    libraryStatus_->setText(QString::fromStdString(state_.activePaneStatus()));
    {
        const QSignalBlocker a(followEase_), b(mePlayhead_);
        followEase_->setChecked(config.followEase());
        mePlayhead_->setChecked(config.mePlayhead());
    }
    playheadText_->setVisible(config.mePlayhead());
    playheadText_->setText(QString("Playhead via OSC on port ") + ":" + QString::number(config.meOscPort()) +
                           " (Position1/2). " + "Don't bind a second listener on this port " + "in parallel.");
    logo_->setText(state_.djLogo().isNull() ? "Choose DJ logo (Album art fallback)\u2026"
                                            : "Replace DJ logo (Album art fallback)\u2026");
    networkNotice_->setVisible(link::localNetworkDenied().value() > 0.5);
    // Rows come and go: the window takes the height of what it shows.
    layout()->activate();
    resize(kWidth, heightForWidth(kWidth) > 0 ? heightForWidth(kWidth) : sizeHint().height());
}

void HostSettingsView::keyPressEvent(QKeyEvent* event) {
    // As a dialog does: an Esc that no control took closes the window. An open list is a popup of its own and
    // takes its Esc first; a text field leaves it, and every edit there is stored already.
    if (event->matches(QKeySequence::Cancel)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void HostSettingsView::showEvent(QShowEvent* event) {
    refresh();
    QWidget::showEvent(event);
}

}  // namespace plindo::ui
