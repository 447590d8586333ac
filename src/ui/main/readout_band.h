#pragma once
// The placement tile's band of numbers: six label/value pairs of the phone's raw record, a spacer and the
// caption on the learned plane. Painted as one piece, so the numbers changing with every record repaint the
// band and never lay the tile out again.
#include <QString>
#include <QWidget>

#include <array>
#include <string>
#include <utility>

namespace plindo::ui {

using ReadoutRows = std::array<std::pair<std::string, std::string>, 6>;

// How the band fits `width` points: every value stays whole. The caption gives way first (shortened at its end,
// then left out), then whole pairs from the right.
struct ReadoutFit {
    int rows = 0;     // the first `rows` pairs show
    QString caption;  // the caption as shown; empty when left out
    bool operator==(const ReadoutFit&) const = default;
};
ReadoutFit fitReadouts(const ReadoutRows& rows, const std::string& caption, int width);

class ReadoutBand : public QWidget {
    Q_OBJECT

public:
    static constexpr int kInsetH = 10;
    static constexpr int kRowSpacing = 14;  // between the pairs, and on each side of the spacer
    static constexpr int kPairSpacing = 4;  // between a label and its value

    ReadoutBand(int insetV, QWidget* parent = nullptr);

    // Repaints only on a change, and only while shown: the tile hides the band by its opacity, and a hidden
    // band keeps its texts without measuring them.
    void setReadouts(const ReadoutRows& rows, const std::string& caption);
    void setShown(bool shown);
    const ReadoutRows& rows() const { return rows_; }
    const std::string& caption() const { return caption_; }
    const ReadoutFit& fit() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const int insetV_;
    bool shown_ = true;
    ReadoutRows rows_;
    std::string caption_;
    mutable ReadoutFit fit_;
    mutable int fitWidth_ = -1;  // the width `fit_` was made for; -1 after a change of the texts
};

}  // namespace plindo::ui
