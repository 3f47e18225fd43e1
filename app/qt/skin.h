// The skinned look of the converter: a caption-less window shaped by its
// background picture, icon buttons that light up under the mouse, plain
// coloured labels, the seven-segment time display and the colour swatch.
// Each widget draws itself completely and holds no application state.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QRegion>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>

namespace quillet::qt {

// A colour value as the settings store it, 0x00BBGGRR.
QColor colourFromBgr(uint32_t bgr);
uint32_t bgrFromColour(const QColor& colour);

// The skin's art, compiled in: background 155, icons, menu bitmaps. An SVG
// icon may carry the placeholder colour #00FF01 for its glyph; `tint`
// replaces it, so one drawing serves a button's lit and resting look.
QPixmap skinPixmap(const QString& name, QSize size, const QColor& tint = QColor());
QImage skinImage(const QString& name, QSize size);

// The region of the pixels of `image` whose colour is not `key` (alpha
// ignored). An image without any key-coloured pixel gives its whole rectangle.
QRegion regionOutsideKey(const QImage& image, QRgb key);

// Base of the main window: paints its background picture unscaled at 0,0,
// cuts the key-coloured pixels out of its shape, and lets a left press on the
// background move the window.
class SkinWindow : public QWidget {
public:
    explicit SkinWindow(QWidget* parent = nullptr);

    void setBackground(const QImage& image);
    void setShaped(bool on);
    void setKeyColour(QRgb key);
    void setDraggable(bool on) { draggable_ = on; }
    const QImage& background() const { return background_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void reshape();

    // Where the window was grabbed, when the platform cannot move it itself.
    std::optional<QPoint> grabbedAt_;

    QImage background_;
    QRgb key_ = qRgb(255, 0, 0);
    bool shaped_ = true;
    bool draggable_ = true;
};

// An icon button. The first icon shows while the mouse is over it or it is
// held down, the second otherwise; without a second icon the first shows
// always. Flat and transparent: the parent's background shows around the icon.
class SkinButton : public QAbstractButton {
public:
    // Colour slots of setColour/colour.
    enum ColourIndex { BackHover = 0, TextHover, BackNormal, TextNormal, BackFocus, TextFocus };
    enum { ColourOk = 0, ColourBadIndex = 3 };

    explicit SkinButton(QWidget* parent = nullptr);

    void setIcons(const QPixmap& active, const QPixmap& resting = QPixmap());
    // 0 when done, 3 for an index above 5 (nothing changes then).
    int setColour(int index, const QColor& colour, bool repaint = true);
    QColor colour(int index) const;
    // Transparent buttons leave their background to the parent (the default).
    void setTransparent(bool on) {
        transparent_ = on;
        update();
    }
    bool hovered() const { return hovered_; }
    // The icon a paint would show now.
    const QPixmap& currentIcon() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QPixmap active_, resting_;
    std::array<QColor, 6> colours_;
    bool transparent_ = true;
    bool hovered_ = false;
};

// The colour button of the Options dialog: a filled rectangle of one colour,
// which is its value.
class ColourSwatch : public SkinButton {
public:
    explicit ColourSwatch(QWidget* parent = nullptr);
    void setValue(const QColor& colour);
    QColor value() const { return colour(BackNormal); }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A line of text in one colour on a filled background; setText redraws at once.
class SkinLabel : public QWidget {
public:
    explicit SkinLabel(QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const { return text_; }
    void setTextColour(const QColor& colour);
    void setBackgroundColour(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QColor textColour_ = Qt::black;
    QColor background_ = Qt::white;
};

// A run's progress as a thin bar: the files done of all, with the share of
// the file under way added, and "done/all" written over it.
class SkinProgressBar : public QWidget {
public:
    explicit SkinProgressBar(QWidget* parent = nullptr);
    void setProgress(size_t done, size_t total, double currentShare);
    void setColours(const QColor& fill, const QColor& track, const QColor& text);
    // 0..1000 of the whole run.
    int permille() const { return permille_; }
    QString text() const { return text_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int permille_ = 0;
    QString text_;
    QColor fill_ = Qt::green, track_ = Qt::darkBlue, textColour_ = Qt::white;
};

// Segment display: digits as seven-segment cells, ":" and "." as narrow dot
// cells. With the fourteen-segment style bit, digits, letters, "*" and "+"
// use fourteen-segment cells. Other characters are skipped. The picture is
// drawn into an off-screen pixmap, again only when the text, colours or size
// change.
class SevenSegmentDisplay : public QWidget {
public:
    enum Style { FourteenSegment = 0x2 };

    explicit SevenSegmentDisplay(QWidget* parent = nullptr);

    // Redraws only when the text differs from the one shown.
    void setText(const QString& text);
    QString text() const { return text_; }
    void setColours(const QColor& on, const QColor& off);
    void setBackgroundColour(const QColor& colour);
    void setStyleBits(unsigned bits);

    // How often the picture was drawn (for checking that nothing is redrawn
    // needlessly), and the cells of the current text.
    int renderCount() const { return renders_; }
    struct CellCount {
        int digits = 0, narrow = 0, wide = 0;  // wide: fourteen-segment cells
    };
    CellCount cells() const;

    // Segment mask of a seven-segment character (bit 0 top, 1 upper left,
    // 2 upper right, 3 middle, 4 lower left, 5 lower right, 6 bottom);
    // -1 for a character without a seven-segment cell.
    static int sevenSegmentMask(QChar c);
    // Mask of a fourteen-segment character; -1 when it has none.
    static int fourteenSegmentMask(QChar c);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void invalidate();
    void render();

    QString text_ = QStringLiteral("EMPTY");
    unsigned style_ = 0;
    QColor on_ = QColor(0x00, 0xFF, 0x00);
    QColor off_ = QColor(0x00, 0x34, 0x00);
    QColor background_ = Qt::black;
    QPixmap picture_;
    bool dirty_ = true;
    int renders_ = 0;
};

}  // namespace quillet::qt
