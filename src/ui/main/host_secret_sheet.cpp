#include "ui/main/host_secret_sheet.h"

#include "host/host_ui.h"
#include "serato/serato_capture.h"
#include "ui/kit/colors.h"
#include "ui/kit/label_style.h"
#include "ui/kit/text_styles.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>

namespace plindo::ui {

namespace {

constexpr double kStatusPeriodSec = 1.0;

QLabel* caption(const QString& text, bool mono) {
    auto* l = styledLabel(mono ? monoFont(TextStyle::caption) : font(TextStyle::caption), colors::secondary(), text);
    l->setWordWrap(true);
    return l;
}

}  // namespace

CaptureAccess CaptureAccess::process() {
    return {
        [] { return serato::SeratoCapture::captureEnabled(); },
        [](bool on) { serato::SeratoCapture::setCaptureEnabled(on); },
        [] { return serato::SeratoCapture::capturePath(); },
        [] { return serato::SeratoCapture::captureCount(); },
    };
}

HostSecretSheet::HostSecretSheet(host::HostUi& host, QWidget* parent, CaptureAccess capture)
    : QDialog(parent), host_(host), access_(std::move(capture)) {
    setWindowModality(Qt::WindowModal);
    setFixedWidth(kWidth);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);

    auto* title = new QLabel(QStringLiteral("🪡"), this);
    title->setFont(ui::font(TextStyle::largeTitle));
    column->addWidget(title);

    capture_ = new QCheckBox(QStringLiteral("Serato-Rohmitschnitt (Loops/Grid)"), this);
    capture_->setChecked(access_.enabled());
    column->addWidget(capture_);
    status_ = caption({}, true);
    column->addWidget(status_);
    connect(capture_, &QCheckBox::toggled, this, [this](bool on) {
        access_.setEnabled(on);  // off closes the capture file
        refreshStatus();
    });

    unlock_ = new QCheckBox(QStringLiteral("Dynamo-Ansicht freischalten (nur dieser Lauf)"), this);
    column->addWidget(unlock_);
    connect(unlock_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != host_.dynamoUnlocked()) host_.setDynamoUnlocked(on);
    });
    column->addWidget(caption(
        QStringLiteral("Frei: das Phone darf die Deck-Spalte auf Dynamo stellen, und die Auswahl je Deck zeigt „Dynamo“."),
        false));

    stato_ = new QCheckBox(QStringLiteral("Ansicht STATO (Aufnahme) statt DYNAMO"), this);
    column->addWidget(stato_);

    for (int deck = 1; deck <= 2; ++deck) {
        auto* row = new QWidget(this);
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        h->addWidget(new QLabel(QString::asprintf("DNA-Ansicht Deck %lld", static_cast<long long>(deck)), row));
        h->addStretch(1);
        for (bool on : {true, false}) {
            auto* b = new QPushButton(on ? QStringLiteral("an") : QStringLiteral("aus"), row);
            b->setAutoDefault(false);
            // STATO is read at the press, so a later change leaves a switched view as it is.
            connect(b, &QPushButton::clicked, this, [this, deck, on] { host_.toggleDeckView(deck, on, stato_->isChecked()); });
            h->addWidget(b);
            buttons_[size_t(deck - 1)][on ? 1 : 0] = b;
        }
        rows_[size_t(deck - 1)] = row;
        column->addWidget(row);
    }

    auto* closing = new QHBoxLayout;
    closing->addStretch(1);
    done_ = new QPushButton(QStringLiteral("Fertig"), this);
    done_->setDefault(true);
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    closing->addWidget(done_);
    column->addLayout(closing);

    connect(&host_, &host::HostUi::dynamoUnlockedChanged, this, &HostSecretSheet::refreshUnlocked);
    // However it closes (Fertig, Return, Escape, the window's close), the controller hears it.
    // Qt may report one close twice (the close event rejects, hiding finishes): the controller hears it once.
    connect(this, &QDialog::finished, this, [this] {
        if (closed_) return;
        closed_ = true;
        host_.writeShowSecret(false);
    });

    refreshUnlocked();
    refreshStatus();
    lastRefresh_ = host_.mediaNow();
    frames_ = FrameClock::shared().subscribe([this] {
        const double now = host_.mediaNow();
        if (now - lastRefresh_ < kStatusPeriodSec) return;
        lastRefresh_ = now;
        refreshStatus();
    });
}

void HostSecretSheet::showEvent(QShowEvent* event) {
    closed_ = false;
    QDialog::showEvent(event);
}

bool HostSecretSheet::stato() const { return stato_->isChecked(); }
bool HostSecretSheet::capture() const { return capture_->isChecked(); }
QString HostSecretSheet::captureStatus() const { return status_->isHidden() ? QString() : status_->text(); }

QPushButton* HostSecretSheet::deckButton(int deck, bool on) const {
    return deck == 1 || deck == 2 ? buttons_[size_t(deck - 1)][on ? 1 : 0] : nullptr;
}

QWidget* HostSecretSheet::deckRow(int deck) const { return deck == 1 || deck == 2 ? rows_[size_t(deck - 1)] : nullptr; }

void HostSecretSheet::refreshStatus() {
    const std::string path = access_.path();
    const bool shown = capture_->isChecked() || !path.empty();
    status_->setVisible(shown);
    if (!shown) return;
    const std::string name = path.empty() ? std::string("–") : std::filesystem::path(path).filename().string();
    status_->setText(QString::asprintf("%lld Rahmen → ", static_cast<long long>(access_.count())) +
                     QString::fromStdString(name));
}

void HostSecretSheet::refreshUnlocked() {
    const bool on = host_.dynamoUnlocked();
    if (unlock_->isChecked() != on) {
        const QSignalBlocker quiet(unlock_);
        unlock_->setChecked(on);
    }
    for (auto* row : rows_) row->setEnabled(on);
}

}  // namespace plindo::ui
