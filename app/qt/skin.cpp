#include "skin.h"

#include <algorithm>

#include <QBitmap>
#include <QFile>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <QWindow>

#include <cmath>
#include <vector>

// The art is compiled into this static library; its registration has to be
// pulled in explicitly, or the linker drops it.
static void registerSkinArt() { Q_INIT_RESOURCE(quillet); }

namespace quillet::qt {

QColor colourFromBgr(uint32_t bgr) { return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF)); }

uint32_t bgrFromColour(const QColor& colour) {
    return uint32_t(colour.red()) | (uint32_t(colour.green()) << 8) | (uint32_t(colour.blue()) << 16);
}

// ---------------------------------------------------------------------------
// Art

namespace {

QByteArray skinSource(const QString& name) {
    static const bool registered = (registerSkinArt(), true);
    (void)registered;
    QFile file(QStringLiteral(":/skin/") + name);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

}  // namespace

QImage skinImage(const QString& name, QSize size) {
    QByteArray source = skinSource(name);
    if (!name.endsWith(QLatin1String(".svg"))) {
        QImage image = QImage::fromData(source);
        return size.isValid() && image.size() != size ? image.scaled(size) : image;
    }
    QSvgRenderer renderer(source);
    if (!renderer.isValid()) return {};
    QImage image(size.isValid() ? size : renderer.defaultSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

QPixmap skinPixmap(const QString& name, QSize size, const QColor& tint) {
    QByteArray source = skinSource(name);
    if (tint.isValid()) {
        source.replace("#00FF01", tint.name().toLatin1());
        source.replace("#00ff01", tint.name().toLatin1());
    }
    QSvgRenderer renderer(source);
    if (!renderer.isValid()) return {};
    QPixmap pixmap(size.isValid() ? size : renderer.defaultSize());
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

// Stands for the region built with CreateRectRgn/CombineRgn and SetWindowRgn.
QRegion regionOutsideKey(const QImage& image, QRgb key) {
    if (image.isNull()) return {};
    // Alpha plays no part: compare opaque colours only.
    const QImage opaque = image.convertToFormat(QImage::Format_RGB32);
    const QBitmap mask =
        QBitmap::fromImage(opaque.createMaskFromColor(0xFF000000u | (key & 0x00FFFFFFu), Qt::MaskInColor));
    return QRegion(mask);
}

// ---------------------------------------------------------------------------
// SkinWindow

SkinWindow::SkinWindow(QWidget* parent) : QWidget(parent) {
    setWindowFlag(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SkinWindow::setBackground(const QImage& image) {
    background_ = image;
    if (!image.isNull()) setFixedSize(image.size());
    reshape();
    update();
}

void SkinWindow::setShaped(bool on) {
    shaped_ = on;
    reshape();
}

void SkinWindow::setKeyColour(QRgb key) {
    key_ = key;
    reshape();
}

void SkinWindow::reshape() {
    if (shaped_ && !background_.isNull())
        setMask(regionOutsideKey(background_, key_));
    else
        clearMask();
}

void SkinWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, background_);
}

void SkinWindow::mousePressEvent(QMouseEvent* event) {
    // Presses reach here only from the background and from controls that
    // let them pass (the labels): both move the window.
    if (draggable_ && event->button() == Qt::LeftButton && windowHandle()) {
        // Stands for a press on the caption (WM_NCLBUTTONDOWN, HTCAPTION).
        // The window manager moves the window (X11 and Wayland alike); where
        // it cannot, the window follows the mouse by itself.
        if (!windowHandle()->startSystemMove())
            grabbedAt_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void SkinWindow::mouseMoveEvent(QMouseEvent* event) {
    if (grabbedAt_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - *grabbedAt_);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void SkinWindow::mouseReleaseEvent(QMouseEvent* event) {
    grabbedAt_.reset();
    QWidget::mouseReleaseEvent(event);
}

// ---------------------------------------------------------------------------
// SkinButton

SkinButton::SkinButton(QWidget* parent) : QAbstractButton(parent) {
    const QPalette& pal = palette();
    const QColor face = pal.color(QPalette::Button), text = pal.color(QPalette::ButtonText);
    colours_ = {face, text, face, text, face, text};
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::PointingHandCursor);
}

void SkinButton::setIcons(const QPixmap& active, const QPixmap& resting) {
    active_ = active;
    resting_ = resting;
    update();
}

int SkinButton::setColour(int index, const QColor& colour, bool repaint) {
    if (index < 0 || index > 5) return ColourBadIndex;
    colours_[size_t(index)] = colour;
    if (repaint) update();
    return ColourOk;
}

QColor SkinButton::colour(int index) const {
    if (index < 0 || index > 5) return {};
    return colours_[size_t(index)];
}

const QPixmap& SkinButton::currentIcon() const {
    if (resting_.isNull()) return active_;
    return (hovered_ || isDown()) ? active_ : resting_;
}

QSize SkinButton::sizeHint() const {
    return active_.isNull() ? QSize(24, 24) : active_.deviceIndependentSize().toSize();
}

void SkinButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!transparent_) {
        const int back = hovered_ ? BackHover : hasFocus() ? BackFocus : BackNormal;
        painter.fillRect(rect(), colours_[size_t(back)]);
    }
    const QPixmap& icon = currentIcon();
    if (!icon.isNull()) {
        const QSizeF size = icon.deviceIndependentSize();
        const QPointF at((width() - size.width()) / 2.0, (height() - size.height()) / 2.0);
        if (isEnabled()) {
            painter.drawPixmap(at, icon);
        } else {
            painter.setOpacity(0.35);
            painter.drawPixmap(at, icon);
        }
    }
    if (!text().isEmpty()) {
        const int fore = hovered_ ? TextHover : hasFocus() ? TextFocus : TextNormal;
        painter.setPen(colours_[size_t(fore)]);
        painter.drawText(rect(), Qt::AlignCenter, text());
    }
}

void SkinButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SkinButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

// ---------------------------------------------------------------------------
// ColourSwatch

ColourSwatch::ColourSwatch(QWidget* parent) : SkinButton(parent) {
    setTransparent(false);
    setFocusPolicy(Qt::StrongFocus);
}

void ColourSwatch::setValue(const QColor& colour) {
    setColour(BackHover, colour, false);
    setColour(BackNormal, colour, false);
    setColour(BackFocus, colour, false);
    update();
}

void ColourSwatch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    painter.setPen(palette().color(hovered() ? QPalette::Highlight : QPalette::Mid));
    painter.drawRect(frame);
    painter.fillRect(rect().adjusted(3, 3, -3, -3), value());
    if (hasFocus()) {
        painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        painter.drawRect(frame.adjusted(1, 1, -1, -1));
    }
}

// ---------------------------------------------------------------------------
// SkinLabel

SkinLabel::SkinLabel(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Presses fall through to the window, which is dragged by them.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    QFont small = font();
    small.setPixelSize(10);
    setFont(small);
}

void SkinLabel::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    repaint();
}

void SkinLabel::setTextColour(const QColor& colour) {
    textColour_ = colour;
    update();
}

void SkinLabel::setBackgroundColour(const QColor& colour) {
    background_ = colour;
    update();
}

void SkinLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), background_);
    painter.setPen(textColour_);
    const QString shown = fontMetrics().elidedText(text_, Qt::ElideRight, width());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}

// ---------------------------------------------------------------------------
// SkinProgressBar

SkinProgressBar::SkinProgressBar(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent, false); }

void SkinProgressBar::setProgress(size_t done, size_t total, double currentShare) {
    const double share = std::clamp(currentShare, 0.0, 1.0);
    const int permille =
        total == 0 ? 0 : static_cast<int>(std::min(1.0, (static_cast<double>(done) + share) / total) * 1000.0);
    const QString text = QStringLiteral("%1/%2").arg(done).arg(total);
    if (permille == permille_ && text == text_) return;
    permille_ = permille;
    text_ = text;
    update();
}

void SkinProgressBar::setColours(const QColor& fill, const QColor& track, const QColor& text) {
    fill_ = fill;
    track_ = track;
    textColour_ = text;
    update();
}

void SkinProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF whole = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = whole.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(track_);
    painter.drawRoundedRect(whole, radius, radius);
    if (permille_ > 0) {
        QRectF done = whole;
        done.setWidth(std::max(whole.height(), whole.width() * permille_ / 1000.0));
        painter.setBrush(fill_);
        painter.drawRoundedRect(done, radius, radius);
    }
    QFont small = font();
    small.setPixelSize(std::max(7, height() - 3));
    painter.setFont(small);
    painter.setPen(textColour_);
    painter.drawText(rect(), Qt::AlignCenter, text_);
}

// ---------------------------------------------------------------------------
// SevenSegmentDisplay

namespace {

// Segment bits of the fourteen-segment cells: 0 top, 1 upper left, 2 upper
// right, 3 middle left, 4 middle right, 5 lower left, 6 lower right,
// 7 bottom, 8 upper-left diagonal, 9 upper centre, 10 upper-right diagonal,
// 11 lower-left diagonal, 12 lower centre, 13 lower-right diagonal.
constexpr int bits(std::initializer_list<int> list) {
    int mask = 0;
    for (int b : list) mask |= 1 << b;
    return mask;
}

constexpr int kLetters14[26] = {
    bits({0, 1, 2, 3, 4, 5, 6}),   // A
    bits({0, 2, 4, 6, 7, 9, 12}),  // B
    bits({0, 1, 5, 7}),            // C
    bits({0, 2, 6, 7, 9, 12}),     // D
    bits({0, 1, 3, 5, 7}),         // E
    bits({0, 1, 3, 5}),            // F
    bits({0, 1, 4, 5, 6, 7}),      // G
    bits({1, 2, 3, 4, 5, 6}),      // H
    bits({0, 7, 9, 12}),           // I
    bits({2, 5, 6, 7}),            // J
    bits({1, 3, 5, 10, 13}),       // K
    bits({1, 5, 7}),               // L
    bits({1, 2, 5, 6, 8, 10}),     // M
    bits({1, 2, 5, 6, 8, 13}),     // N
    bits({0, 1, 2, 5, 6, 7}),      // O
    bits({0, 1, 2, 3, 4, 5}),      // P
    bits({0, 1, 2, 5, 6, 7, 13}),  // Q
    bits({0, 1, 2, 3, 4, 5, 13}),  // R
    bits({0, 1, 3, 4, 6, 7}),      // S
    bits({0, 9, 12}),              // T
    bits({1, 2, 5, 6, 7}),         // U
    bits({1, 5, 10, 11}),          // V
    bits({1, 2, 5, 6, 11, 13}),    // W
    bits({8, 10, 11, 13}),         // X
    bits({8, 10, 12}),             // Y
    bits({0, 7, 10, 11}),          // Z
};

constexpr int kDigits14[10] = {
    bits({0, 1, 2, 5, 6, 7, 10, 11}),  // 0
    bits({2, 6, 10}),                  // 1
    bits({0, 2, 3, 4, 5, 7}),          // 2
    bits({0, 2, 4, 6, 7}),             // 3
    bits({1, 2, 3, 4, 6}),             // 4
    bits({0, 1, 3, 4, 6, 7}),          // 5
    bits({0, 1, 3, 4, 5, 6, 7}),       // 6
    bits({0, 2, 6}),                   // 7
    bits({0, 1, 2, 3, 4, 5, 6, 7}),    // 8
    bits({0, 1, 2, 3, 4, 6, 7}),       // 9
};

constexpr int kDigits7[10] = {119, 36, 93, 109, 46, 107, 123, 37, 127, 111};

enum class CellKind { Seven, Fourteen, Colon, Dot, Skip };

struct Cell {
    CellKind kind;
    int mask;
};

constexpr double kNarrow = 0.4;  // width of a dot cell, in digit cells

Cell classify(QChar c, bool fourteen) {
    if (fourteen) {
        const int m = SevenSegmentDisplay::fourteenSegmentMask(c);
        if (m >= 0 && c != QLatin1Char(' ') && c != QLatin1Char('-')) return {CellKind::Fourteen, m};
    }
    if (c == QLatin1Char(':')) return {CellKind::Colon, 0};
    if (c == QLatin1Char('.')) return {CellKind::Dot, 0};
    const int m = SevenSegmentDisplay::sevenSegmentMask(c);
    if (m >= 0) return {CellKind::Seven, m};
    return {CellKind::Skip, 0};
}

std::vector<Cell> cellsOf(const QString& text, bool fourteen) {
    std::vector<Cell> cells;
    for (QChar c : text.toUpper()) {
        Cell cell = classify(c, fourteen);
        if (cell.kind != CellKind::Skip) cells.push_back(cell);
    }
    return cells;
}

// A bevelled bar from a to b (horizontal or vertical), thickness t.
QPolygonF bar(QPointF a, QPointF b, double t) {
    const double h = t / 2;
    if (std::abs(a.y() - b.y()) < 1e-9) {  // horizontal
        return QPolygonF({QPointF(a.x(), a.y()), QPointF(a.x() + h, a.y() - h), QPointF(b.x() - h, b.y() - h),
                          QPointF(b.x(), b.y()), QPointF(b.x() - h, b.y() + h), QPointF(a.x() + h, a.y() + h)});
    }
    return QPolygonF({QPointF(a.x(), a.y()), QPointF(a.x() + h, a.y() + h), QPointF(b.x() + h, b.y() - h),
                      QPointF(b.x(), b.y()), QPointF(b.x() - h, b.y() - h), QPointF(a.x() - h, a.y() + h)});
}

// A straight stroke of thickness t between two points (the diagonals).
QPolygonF stroke(QPointF a, QPointF b, double t) {
    const QPointF d = b - a;
    const double len = std::hypot(d.x(), d.y());
    if (len <= 0) return {};
    const QPointF n(-d.y() / len * t / 2, d.x() / len * t / 2);
    return QPolygonF({a + n, b + n, b - n, a - n});
}

// Polygons of the segments of one cell, in bit order.
std::vector<QPolygonF> segments(const QRectF& r, bool fourteen) {
    const double t = std::max(1.5, r.width() * 0.17);
    const double g = t * 0.22;  // gap between neighbouring segments
    const double l = r.left() + t / 2, rt = r.right() - t / 2;
    const double top = r.top() + t / 2, mid = r.center().y(), bot = r.bottom() - t / 2;
    const double cx = r.center().x();
    std::vector<QPolygonF> s;
    if (!fourteen) {
        s.push_back(bar({l + g, top}, {rt - g, top}, t));   // 0 top
        s.push_back(bar({l, top + g}, {l, mid - g}, t));    // 1 upper left
        s.push_back(bar({rt, top + g}, {rt, mid - g}, t));  // 2 upper right
        s.push_back(bar({l + g, mid}, {rt - g, mid}, t));   // 3 middle
        s.push_back(bar({l, mid + g}, {l, bot - g}, t));    // 4 lower left
        s.push_back(bar({rt, mid + g}, {rt, bot - g}, t));  // 5 lower right
        s.push_back(bar({l + g, bot}, {rt - g, bot}, t));   // 6 bottom
        return s;
    }
    const double d = t * 0.9;                           // keeps diagonals off the frame
    s.push_back(bar({l + g, top}, {rt - g, top}, t));   // 0
    s.push_back(bar({l, top + g}, {l, mid - g}, t));    // 1
    s.push_back(bar({rt, top + g}, {rt, mid - g}, t));  // 2
    s.push_back(bar({l + g, mid}, {cx - g, mid}, t));   // 3
    s.push_back(bar({cx + g, mid}, {rt - g, mid}, t));  // 4
    s.push_back(bar({l, mid + g}, {l, bot - g}, t));    // 5
    s.push_back(bar({rt, mid + g}, {rt, bot - g}, t));  // 6
    s.push_back(bar({l + g, bot}, {rt - g, bot}, t));   // 7
    const double th = t * 0.7;
    s.push_back(stroke({l + d, top + d}, {cx - g, mid - g}, th));   // 8
    s.push_back(bar({cx, top + g}, {cx, mid - g}, t));              // 9
    s.push_back(stroke({rt - d, top + d}, {cx + g, mid - g}, th));  // 10
    s.push_back(stroke({l + d, bot - d}, {cx - g, mid + g}, th));   // 11
    s.push_back(bar({cx, mid + g}, {cx, bot - g}, t));              // 12
    s.push_back(stroke({rt - d, bot - d}, {cx + g, mid + g}, th));  // 13
    return s;
}

}  // namespace

int SevenSegmentDisplay::sevenSegmentMask(QChar c) {
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) return kDigits7[c.unicode() - '0'];
    if (c == QLatin1Char(' ')) return 0;
    if (c == QLatin1Char('-')) return 8;
    return -1;
}

int SevenSegmentDisplay::fourteenSegmentMask(QChar c) {
    const QChar u = c.toUpper();
    if (u >= QLatin1Char('A') && u <= QLatin1Char('Z')) return kLetters14[u.unicode() - 'A'];
    if (u >= QLatin1Char('0') && u <= QLatin1Char('9')) return kDigits14[u.unicode() - '0'];
    if (u == QLatin1Char('*')) return bits({3, 4, 8, 9, 10, 11, 12, 13});
    if (u == QLatin1Char('+')) return bits({3, 4, 9, 12});
    if (u == QLatin1Char('-')) return bits({3, 4});
    if (u == QLatin1Char(' ')) return 0;
    return -1;
}

SevenSegmentDisplay::SevenSegmentDisplay(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void SevenSegmentDisplay::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    invalidate();
}

void SevenSegmentDisplay::setColours(const QColor& on, const QColor& off) {
    on_ = on;
    off_ = off;
    invalidate();
}

void SevenSegmentDisplay::setBackgroundColour(const QColor& colour) {
    background_ = colour;
    invalidate();
}

void SevenSegmentDisplay::setStyleBits(unsigned bits) {
    style_ = bits;
    invalidate();
}

void SevenSegmentDisplay::invalidate() {
    dirty_ = true;
    update();
}

SevenSegmentDisplay::CellCount SevenSegmentDisplay::cells() const {
    CellCount count;
    for (const Cell& cell : cellsOf(text_, style_ & FourteenSegment)) {
        if (cell.kind == CellKind::Seven)
            ++count.digits;
        else if (cell.kind == CellKind::Fourteen)
            ++count.wide;
        else
            ++count.narrow;
    }
    return count;
}

void SevenSegmentDisplay::render() {
    ++renders_;
    dirty_ = false;
    const qreal dpr = devicePixelRatioF();
    picture_ = QPixmap(size() * dpr);
    picture_.setDevicePixelRatio(dpr);
    picture_.fill(background_);
    QPainter painter(&picture_);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    const std::vector<Cell> list = cellsOf(text_, style_ & FourteenSegment);
    double units = 0;
    for (const Cell& c : list) units += (c.kind == CellKind::Colon || c.kind == CellKind::Dot) ? kNarrow : 1.0;
    if (units <= 0) return;
    const double h = height();
    const double cell = std::min(h * 0.56, width() / units);
    double x = (width() - cell * units) / 2;
    const double padX = cell * 0.12, padY = std::max(1.0, h * 0.08);
    for (const Cell& c : list) {
        if (c.kind == CellKind::Colon || c.kind == CellKind::Dot) {
            const double w = cell * kNarrow;
            const double dot = std::max(2.0, cell * 0.17);
            const double dx = x + (w - dot) / 2;
            painter.setBrush(on_);
            if (c.kind == CellKind::Colon) {
                painter.drawRect(QRectF(dx, h * 0.32 - dot / 2, dot, dot));
                painter.drawRect(QRectF(dx, h * 0.68 - dot / 2, dot, dot));
            } else {
                painter.drawRect(QRectF(dx, h - padY - dot, dot, dot));
            }
            x += w;
            continue;
        }
        const QRectF box(x + padX, padY, cell - 2 * padX, h - 2 * padY);
        const std::vector<QPolygonF> segs = segments(box, c.kind == CellKind::Fourteen);
        for (size_t i = 0; i < segs.size(); ++i) {
            painter.setBrush((c.mask >> i) & 1 ? on_ : off_);
            painter.drawPolygon(segs[i]);
        }
        x += cell;
    }
}

void SevenSegmentDisplay::paintEvent(QPaintEvent*) {
    // A new size needs a new picture too.
    if (dirty_ || picture_.isNull() || picture_.deviceIndependentSize() != QSizeF(size())) render();
    QPainter painter(this);
    painter.drawPixmap(0, 0, picture_);
}

}  // namespace quillet::qt
