#include "main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QCursor>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include "core/data_folder.h"
#include "core/messages.h"
#include "core/options_model.h"
#include "options_dialog.h"

namespace quillet::qt {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

const QColor kPanel = colourFromBgr(kPanelColour);          // the blue of display and grid
const QColor kLabelText = colourFromBgr(kLabelTextColour);  // lime text and segments
const QColor kGlyphResting(0x9F, 0xB3, 0xCC);

}  // namespace

QIcon programIcon() { return QIcon(skinPixmap(QStringLiteral("135.svg"), QSize(64, 64))); }

QString controlName(int id) { return QStringLiteral("control%1").arg(id); }

// ---------------------------------------------------------------------------
// QtDialogs

void QtDialogs::information(const std::string& text) {
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(text::kTitle), qs(text), QMessageBox::Ok, parent_);
    box.exec();
}

bool QtDialogs::askOkCancel(const std::string& text, Question) {
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(text::kTitle), qs(text),
                    QMessageBox::Ok | QMessageBox::Cancel, parent_);
    return box.exec() == QMessageBox::Ok;
}

OverwriteAnswer QtDialogs::askOverwrite(const std::string& text) {
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(text::kTitle), qs(text),
                    QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::NoToAll, parent_);
    box.button(QMessageBox::YesToAll)->setText(QString::fromUtf8(text::kYesToAll));
    box.button(QMessageBox::NoToAll)->setText(QString::fromUtf8(text::kNoToAll));
    box.setEscapeButton(QMessageBox::No);
    switch (box.exec()) {
    case QMessageBox::Yes: return OverwriteAnswer::Yes;
    case QMessageBox::YesToAll: return OverwriteAnswer::YesToAll;
    case QMessageBox::NoToAll: return OverwriteAnswer::NoToAll;
    default: return OverwriteAnswer::No;
    }
}

CollisionChoice QtDialogs::resolveCollisions(const std::string& text, const std::vector<std::string>& collisions) {
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(text::kTitle), qs(text), QMessageBox::NoButton, parent_);
    QStringList lines;
    for (const std::string& line : collisions) lines << qs(line);
    box.setDetailedText(lines.join(QLatin1Char('\n')));
    QPushButton* number = box.addButton(QString::fromUtf8(text::kNumberThem), QMessageBox::AcceptRole);
    QPushButton* skip = box.addButton(QString::fromUtf8(text::kSkipThem), QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(number);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == number) return CollisionChoice::Number;
    if (box.clickedButton() == skip) return CollisionChoice::Skip;
    return CollisionChoice::Cancel;
}

void QtDialogs::showSummary(const RunSummary& summary) {
    makeSummaryDialog(parent_, summary, [this](const std::string& folder) { shell_.open(folder, false); })->exec();
}

std::unique_ptr<QDialog> makeSummaryDialog(QWidget* parent, const RunSummary& summary,
                                           std::function<void(const std::string&)> openFolder) {
    auto box = std::make_unique<QDialog>(parent);
    box->setObjectName(QStringLiteral("summary"));
    box->setWindowTitle(QString::fromUtf8(text::kTitle));
    box->setWindowIcon(programIcon());
    auto* layout = new QVBoxLayout(box.get());
    auto* headline = new QLabel(QStringLiteral("<b>%1</b>").arg(qs(summary.headline).toHtmlEscaped()), box.get());
    headline->setObjectName(QStringLiteral("headline"));
    layout->addWidget(headline);
    if (!summary.failures.empty()) {
        layout->addWidget(new QLabel(QString::fromUtf8(text::kFailedHeading), box.get()));
        auto* list = new QListWidget(box.get());
        list->setObjectName(QStringLiteral("failures"));
        for (const std::string& failure : summary.failures) {
            auto* item = new QListWidgetItem(qs(failure), list);
            item->setToolTip(qs(failure));
        }
        list->setWordWrap(true);
        list->setTextElideMode(Qt::ElideNone);
        list->setResizeMode(QListView::Adjust);
        list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setMinimumHeight(80);
        list->setMaximumHeight(220);
        layout->addWidget(list, 1);
    }
    auto* buttons = new QDialogButtonBox(box.get());
    QPushButton* folder = buttons->addButton(QString::fromUtf8(text::kOpenFolder), QDialogButtonBox::ActionRole);
    folder->setObjectName(QStringLiteral("openFolder"));
    folder->setToolTip(qs(summary.outputFolder));
    QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
    ok->setDefault(true);
    QObject::connect(folder, &QPushButton::clicked, box.get(),
                     [openFolder, where = summary.outputFolder] { openFolder(where); });
    QObject::connect(ok, &QPushButton::clicked, box.get(), &QDialog::accept);
    layout->addWidget(buttons);
    box->setFixedWidth(440);
    return box;
}

QString QtDialogs::qtFilter(const std::string& filter) {
    const QString all = qs(filter);
    const qsizetype bar = all.indexOf(QLatin1Char('|'));
    return bar < 0 ? all : all.left(bar);
}

std::optional<std::vector<std::string>> QtDialogs::openFiles(const std::string& filter) {
    const QStringList chosen = QFileDialog::getOpenFileNames(parent_, QString(), QString(), qtFilter(filter));
    if (chosen.isEmpty()) return std::nullopt;
    std::vector<std::string> paths;
    for (const QString& path : chosen) paths.push_back(path.toStdString());
    return paths;
}

std::optional<std::string> QtDialogs::pickFolder(const std::string& title) {
    const QString folder = QFileDialog::getExistingDirectory(parent_, qs(title), QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return std::nullopt;
    return folder.toStdString();
}

std::optional<uint32_t> QtDialogs::pickColour(uint32_t initial) {
    const QColor colour = QColorDialog::getColor(colourFromBgr(initial), parent_);
    if (!colour.isValid()) return std::nullopt;
    return bgrFromColour(colour);
}

// ---------------------------------------------------------------------------
// GridModel

int GridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }

int GridModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 5; }

namespace {

QString stateWords(RowState state) {
    switch (state) {
    case RowState::Waiting: return QStringLiteral("Waiting");
    case RowState::Converting: return QStringLiteral("Converting");
    case RowState::Done: return QStringLiteral("Converted");
    case RowState::Failed: return QStringLiteral("Failed");
    case RowState::Skipped: return QStringLiteral("Skipped");
    case RowState::Cancelled: return QStringLiteral("Cancelled");
    case RowState::Plain: break;
    }
    return {};
}

// A tint over the grid's colour per state; none for rows outside a run.
QVariant stateTint(RowState state) {
    switch (state) {
    case RowState::Converting: return QColor(0x00, 0xFF, 0xCC, 70);
    case RowState::Done: return QColor(0x30, 0xD0, 0x30, 55);
    case RowState::Failed: return QColor(0xFF, 0x40, 0x40, 110);
    case RowState::Skipped:
    case RowState::Cancelled: return QColor(0x00, 0x00, 0x00, 60);
    default: return {};
    }
}

}  // namespace

QVariant GridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || size_t(index.row()) >= rows_.size()) return {};
    const Row& row = rows_[size_t(index.row())];
    const QString& text = row.cells[size_t(index.column())];
    switch (role) {
    case Qt::DisplayRole:
        if (index.column() == 0) {
            if (row.state == RowState::Converting) return QStringLiteral("\u25B8");
            if (row.state == RowState::Failed) return QStringLiteral("\u2717");
            return text == QLatin1String(".") ? QStringLiteral("\u2713") : QString();
        }
        return text;
    case Qt::EditRole: return index.column() == 4 ? text : QVariant();
    case Qt::ToolTipRole:
        if (row.state != RowState::Plain) {
            const QString words = stateWords(row.state);
            return row.detail.isEmpty() ? words : words + QStringLiteral(": ") + row.detail;
        }
        return index.column() == 4 || index.column() == 2 ? text : QVariant();
    case Qt::BackgroundRole: return stateTint(row.state);
    case Qt::TextAlignmentRole:
        if (index.column() == 0 || index.column() == 1 || index.column() == 3) return int(Qt::AlignCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    default: return {};
    }
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
    static const char* const titles[5] = {"", "#", "Title", "Time", "Path"};
    return section >= 0 && section < 5 ? QString::fromLatin1(titles[section]) : QVariant();
}

void GridModel::setRows(size_t rows) {
    if (rows == rows_.size()) return;
    beginResetModel();
    rows_.assign(rows, Row{});
    endResetModel();
}

void GridModel::setRow(size_t row, const std::vector<std::string>& cells) {
    if (row < 1 || row > rows_.size()) return;
    auto& target = rows_[row - 1].cells;
    for (size_t c = 0; c < 5; ++c) target[c] = c < cells.size() ? qs(cells[c]) : QString();
    emit dataChanged(index(int(row - 1), 0), index(int(row - 1), 4));
}

void GridModel::setState(size_t row, RowState state, const std::string& detail) {
    if (row < 1 || row > rows_.size()) return;
    Row& target = rows_[row - 1];
    const QString text = qs(detail);
    if (target.state == state && target.detail == text) return;
    target.state = state;
    target.detail = text;
    emit dataChanged(index(int(row - 1), 0), index(int(row - 1), 4));
}

std::string GridModel::cell(size_t row, int column) const {
    if (row < 1 || row > rows_.size() || column < 1 || column > 5) return {};
    return rows_[row - 1].cells[size_t(column - 1)].toStdString();
}

RowState GridModel::state(size_t row) const {
    return row >= 1 && row <= rows_.size() ? rows_[row - 1].state : RowState::Plain;
}

namespace {

// The Path column keeps the file name whole and shortens the folder in its
// middle: "/home/…/Albums/x.mp3".
class PathDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        const int margin = 2 * (opt.widget ? opt.widget->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1 : 3);
        opt.text = quillet::qt::elidedPath(opt.text, opt.fontMetrics, opt.rect.width() - margin);
        opt.textElideMode = Qt::ElideNone;
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    }
};

}  // namespace

QString elidedPath(const QString& path, const QFontMetrics& metrics, int width) {
    if (metrics.horizontalAdvance(path) <= width) return path;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1), folder = path.left(slash + 1);
    const int room = width - metrics.horizontalAdvance(name);
    // The folder keeps at least one of its characters beside the ellipsis;
    // otherwise the name itself is shortened in its middle.
    if (room > 0) {
        const QString shortFolder = metrics.elidedText(folder, Qt::ElideMiddle, room);
        if (shortFolder.size() > 2 && metrics.horizontalAdvance(shortFolder + name) <= width) return shortFolder + name;
    }
    return metrics.elidedText(name, Qt::ElideMiddle, width);
}

// ---------------------------------------------------------------------------
// MainWindow

MainWindow::MainWindow(Setup setup) : setup_(std::move(setup)), player_(setup_.output) {
    setWindowTitle(QString::fromUtf8(text::kTitle));
    setWindowIcon(programIcon());
    setBackground(skinImage(QStringLiteral("155.svg"), QSize(320, 436)));
    setKeyColour(qRgb(255, 0, 0));
    setShaped(true);
    setDraggable(true);

    shell_ = setup_.shell ? setup_.shell : static_cast<Shell*>(this);
    if (setup_.dialogs) {
        dialogs_ = setup_.dialogs;
    } else {
        ownDialogs_ = std::make_unique<QtDialogs>(this, *shell_);
        dialogs_ = ownDialogs_.get();
    }
    setAcceptDrops(true);

    buildControls();

    Ports ports{*dialogs_, *shell_, *this, *this, player_, *this};
    controller_ = std::make_unique<MainController>(ports, createComponents(), DataFolder{setup_.dataRoot});
    player_.setEndOfFileHandler([this] { controller_->onEndOfFile(); });
    QObject::connect(&tick_, &QTimer::timeout, this, [this] { controller_->onTimer(); });
    // The run's news is shown at most ten times a second, however fast the
    // workers go.
    runTick_.setInterval(100);
    QObject::connect(&runTick_, &QTimer::timeout, this, [this] { controller_->onRunTick(); });
    // The end of a run is shown at once, not at the next look.
    controller_->session().wakeAtRunEnd = [this] {
        QMetaObject::invokeMethod(
            this, [this] { controller_->onRunTick(); }, Qt::QueuedConnection);
    };
    buildShortcuts();
    controller_->start();
}

MainWindow::~MainWindow() {
    tick_.stop();
    runTick_.stop();
    player_.stop();
    // The controller releases the components before the apartment closes.
    controller_.reset();
}

SkinButton* MainWindow::addButton(int id, const QRect& place, const QString& art, QSize artSize) {
    auto* button = new SkinButton(this);
    button->setObjectName(controlName(id));
    button->setGeometry(place);
    if (!art.isEmpty()) button->setIcons(skinPixmap(art, artSize, kLabelText), skinPixmap(art, artSize, kGlyphResting));
    button->setToolTip(qs(text::tooltip(id)));
    return button;
}

SkinLabel* MainWindow::addLabel(int id, const QRect& place) {
    auto* label = new SkinLabel(this);
    label->setObjectName(controlName(id));
    label->setGeometry(place);
    label->setTextColour(kLabelText);
    label->setBackgroundColour(kPanel);
    return label;
}

void MainWindow::buildControls() {
    auto on = [this](SkinButton* b, auto command) {
        QObject::connect(b, &QAbstractButton::clicked, this, [this, command] { command(*controller_); });
    };
    const QSize small(14, 14), glyph(20, 20), big(28, 28);
    on(addButton(1001, {282, 113, 23, 22}, "130.svg", glyph), [](MainController& c) { c.onQuit(); });
    on(addButton(1022, {278, 405, 16, 18}, "130.svg", small), [](MainController& c) { c.onQuit(); });
    on(addButton(1002, {259, 405, 16, 18}, "131.svg", small), [](MainController& c) { c.onMinimise(); });
    QObject::connect(addButton(1018, {25, 103, 32, 32}, "132.svg", big), &QAbstractButton::clicked, this,
                     [this] { showAbout(); });
    QObject::connect(addButton(1020, {115, 119, 26, 22}, "133.svg", glyph), &QAbstractButton::clicked, this,
                     [this] { showOptions(); });
    on(addButton(1023, {228, 84, 24, 24}, "134.svg", QSize(22, 22)), [](MainController& c) { c.onHelp(); });
    on(addButton(1019, {24, 179, 24, 39}, "136.svg", glyph), [](MainController& c) { c.onStepBack(); });
    on(addButton(1005, {52, 179, 24, 39}, "137.svg", glyph), [](MainController& c) { c.onPlay(); });
    on(addButton(1011, {80, 179, 24, 39}, "138.svg", glyph), [](MainController& c) { c.onPause(); });
    on(addButton(1012, {108, 179, 24, 39}, "139.svg", glyph), [](MainController& c) { c.onStop(); });
    on(addButton(1045, {136, 179, 24, 39}, "140.svg", glyph), [](MainController& c) { c.onStepForward(); });
    on(addButton(1003, {164, 179, 24, 39}, "141.svg", glyph), [](MainController& c) { c.onAddFiles(); });
    on(addButton(1021, {190, 179, 28, 39}, "142.svg", QSize(22, 22)), [](MainController& c) { c.onCheckAll(); });
    QObject::connect(addButton(1008, {220, 179, 24, 39}, "144.svg", glyph), &QAbstractButton::clicked, this,
                     [this] { clearMenu()->popup(QCursor::pos()); });
    convert_ = addButton(1024, {244, 180, 44, 39}, "145.svg", QSize(40, 28));
    QObject::connect(convert_, &QAbstractButton::clicked, this, [this] { onConvertButton(); });

    mp3ToWav_ = addButton(1077, {21, 160, 67, 20}, QString(), {});
    wavToMp3_ = addButton(1078, {88, 160, 67, 20}, QString(), {});
    QObject::connect(mp3ToWav_, &QAbstractButton::clicked, this,
                     [this] { controller_->onSwitchMode(ConversionMode::Mp3ToWav); });
    QObject::connect(wavToMp3_, &QAbstractButton::clicked, this,
                     [this] { controller_->onSwitchMode(ConversionMode::WavToMp3); });
    for (int id : {1020, 1019, 1005, 1011, 1012, 1045, 1003, 1021, 1008, 1077, 1078})
        runLocked_.push_back(findChild<QWidget*>(controlName(id)));

    table_ = new QTableView(this);
    table_->setObjectName(controlName(1007));
    table_->setGeometry(23, 218, 268, 182);
    table_->setModel(&model_);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setFocusPolicy(Qt::StrongFocus);
    table_->setTabKeyNavigation(false);
    table_->setItemDelegateForColumn(4, new PathDelegate(table_));
    table_->setFrameShape(QFrame::NoFrame);
    table_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table_->setTextElideMode(Qt::ElideRight);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(17);
    table_->horizontalHeader()->setFixedHeight(17);
    table_->horizontalHeader()->setHighlightSections(false);
    // Path takes what the other columns leave, however little that is.
    table_->horizontalHeader()->setMinimumSectionSize(12);
    table_->horizontalHeader()->setSectionResizeMode(4, QHeaderView::Stretch);
    QFont gridFont = table_->font();
    gridFont.setPixelSize(10);
    table_->setFont(gridFont);
    table_->horizontalHeader()->setFont(gridFont);
    // Numbers and times never shorten: "#" fits four digits, Time an hour;
    // Title and Path share the rest (less the scroll bar).
    const QFontMetrics metrics(gridFont);
    const int pad = 8;
    const int number = metrics.horizontalAdvance(QStringLiteral("0000")) + pad;
    const int time = metrics.horizontalAdvance(QStringLiteral("00:00:00")) + pad;
    const int rest = table_->width() - 16 - number - time - 10;
    const int widths[4] = {16, number, rest / 2, time};
    for (int c = 0; c < 4; ++c) table_->setColumnWidth(c, widths[c]);
    QObject::connect(table_, &QTableView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid()) controller_->onCellClicked(index.column() + 1, size_t(index.row()) + 1);
    });

    time_ = new SevenSegmentDisplay(this);
    time_->setObjectName(controlName(1025));
    time_->setGeometry(66, 34, 85, 27);
    time_->setBackgroundColour(kPanel);
    time_->setColours(kLabelText, kPanel);
    time_->setText(QStringLiteral("00:00"));
    name_ = addLabel(1029, {33, 70, 150, 14});
    duration_ = addLabel(1030, {150, 50, 44, 14});
    bitrate_ = addLabel(1028, {66, 86, 28, 14});
    frequency_ = addLabel(1027, {112, 86, 22, 14});
    QFont labelFont = bitrate_->font();
    labelFont.setPixelSize(10);
    for (SkinLabel* label : {duration_, bitrate_, frequency_}) label->setFont(labelFont);

    progress_ = new SkinProgressBar(this);
    progress_->setObjectName(QStringLiteral("runProgress"));
    progress_->setGeometry(86, 407, 164, 13);
    progress_->setColours(kLabelText, kPanel.darker(160), Qt::white);
    progress_->hide();
    name_->setText(QString::fromUtf8(text::kTitle));
    showMode(ConversionMode::Mp3ToWav);
}

QMenu* MainWindow::clearMenu() {
    if (clearMenu_) return clearMenu_;
    clearMenu_ = new QMenu(this);
    clearMenu_->setObjectName(QStringLiteral("clearMenu"));
    auto entry = [this](const char* label, const QString& bitmap, void (MainController::*command)()) {
        QAction* action = clearMenu_->addAction(QString::fromUtf8(label));
        if (!bitmap.isEmpty()) action->setIcon(QIcon(skinPixmap(bitmap, QSize(16, 16))));
        QObject::connect(action, &QAction::triggered, this, [this, command] { ((*controller_).*command)(); });
    };
    entry(text::kClearSelected, QStringLiteral("150.svg"), &MainController::onClearSelected);
    entry(text::kClearUnselected, QStringLiteral("149.svg"), &MainController::onClearUnselected);
    entry(text::kClearAll, QString(), &MainController::onClearAll);
    entry(text::kUnselectAll, QStringLiteral("143.svg"), &MainController::onUnselectAll);
    return clearMenu_;
}

std::unique_ptr<QDialog> MainWindow::makeOptionsDialog() {
    return quillet::qt::makeOptionsDialog(this, *controller_, *dialogs_);
}

std::unique_ptr<QDialog> MainWindow::makeAboutBox() {
    auto box = std::make_unique<QDialog>(this);
    box->setWindowTitle(QString::fromUtf8(text::kTitle));
    box->setWindowIcon(programIcon());
    auto* icon = new QLabel(box.get());
    icon->setPixmap(skinPixmap(QStringLiteral("135.svg"), QSize(48, 48)));
    icon->setAlignment(Qt::AlignTop);
    auto* lines = new QLabel(QStringLiteral("<b>%1</b><br>%2")
                                 .arg(QString::fromUtf8(text::kAboutVersion), QString::fromUtf8(text::kAboutPlatform)),
                             box.get());
    auto* note = new QLabel(QString::fromUtf8(text::kAboutLame), box.get());
    note->setWordWrap(true);
    auto* ok = new QPushButton(QStringLiteral("OK"), box.get());
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, box.get(), &QDialog::accept);
    auto* text = new QVBoxLayout;
    text->addWidget(lines);
    text->addWidget(note);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(box.get());
    layout->addLayout(top);
    layout->addWidget(ok, 0, Qt::AlignRight);
    box->setFixedWidth(340);
    return box;
}

void MainWindow::showOptions() { makeOptionsDialog()->exec(); }

void MainWindow::showAbout() { makeAboutBox()->exec(); }

QImage MainWindow::snapshot() {
    ensurePolished();
    QImage shot(size(), QImage::Format_ARGB32_Premultiplied);
    shot.fill(Qt::transparent);
    QPainter painter(&shot);
    if (!mask().isEmpty()) painter.setClipRegion(mask());
    painter.drawPixmap(0, 0, grab());
    return shot;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // A close request from the desktop asks first, like the Exit buttons.
    if (!closing_ && !controller_->onQuit()) {
        event->ignore();
        return;
    }
    event->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Enter converts; during a run it does nothing (Escape cancels).
        if (!controller_->runActive()) controller_->onConvert();
        event->accept();
        return;
    case Qt::Key_Escape:
        controller_->onCancel();  // never closes the window
        event->accept();
        return;
    default: SkinWindow::keyPressEvent(event);
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !controller_->runActive()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    if (paths.empty()) return;
    event->acceptProposedAction();
    controller_->onDropFiles(paths);
}

// MainView

void MainWindow::setNameLabel(const std::string& text) { name_->setText(qs(text)); }
void MainWindow::setDurationLabel(const std::string& text) { duration_->setText(qs(text)); }
void MainWindow::setBitrateLabel(const std::string& text) { bitrate_->setText(qs(text)); }
void MainWindow::setFrequencyLabel(const std::string& text) { frequency_->setText(qs(text)); }
void MainWindow::setTimeDisplay(const std::string& text) { time_->setText(qs(text)); }

void MainWindow::showMode(ConversionMode mode) {
    const bool mp3 = mode == ConversionMode::Mp3ToWav;
    mp3ToWav_->setIcons(skinPixmap(mp3 ? "257.svg" : "259.svg", QSize(67, 20)));
    wavToMp3_->setIcons(skinPixmap(mp3 ? "258.svg" : "260.svg", QSize(67, 20)));
}

void MainWindow::runStarted() {
    for (QWidget* w : runLocked_)
        if (w) w->setEnabled(false);
    convert_->setIcons(skinPixmap(QStringLiteral("130.svg"), QSize(22, 22), kLabelText),
                       skinPixmap(QStringLiteral("130.svg"), QSize(22, 22), kGlyphResting));
    convert_->setToolTip(QString::fromUtf8(text::kCancelRun));
    progress_->setProgress(0, 0, 0);
    progress_->show();
    runTick_.start();
}

void MainWindow::runEnded() {
    runTick_.stop();
    for (QWidget* w : runLocked_)
        if (w) w->setEnabled(true);
    convert_->setIcons(skinPixmap(QStringLiteral("145.svg"), QSize(40, 28), kLabelText),
                       skinPixmap(QStringLiteral("145.svg"), QSize(40, 28), kGlyphResting));
    convert_->setToolTip(qs(text::tooltip(1024)));
    progress_->hide();
}

void MainWindow::showProgress(size_t filesDone, size_t files, double currentShare) {
    progress_->setProgress(filesDone, files, currentShare);
}

void MainWindow::onConvertButton() {
    if (controller_->runActive())
        controller_->onCancel();
    else
        controller_->onConvert();
}

size_t MainWindow::currentRow() const {
    const QModelIndex index = table_->currentIndex();
    return index.isValid() ? size_t(index.row()) + 1 : 0;
}

void MainWindow::buildShortcuts() {
    auto key = [this](QKeySequence sequence, QWidget* scope, auto action) {
        auto* shortcut = new QShortcut(sequence, scope, action);
        shortcut->setContext(scope == this ? Qt::WindowShortcut : Qt::WidgetShortcut);
        return shortcut;
    };
    key(QKeySequence::Open, this, [this] {
        if (!controller_->runActive()) controller_->onAddFiles();
    });
    key(QKeySequence(Qt::Key_Space), table_, [this] {
        if (const size_t row = currentRow()) controller_->onCellClicked(1, row);
    });
    key(QKeySequence::Delete, table_, [this] {
        if (const size_t row = currentRow()) controller_->onRemoveRow(row);
    });
    // Tab walks the grid, then the buttons in their order on screen.
    for (const char* id : {"control1003", "control1021", "control1008", "control1024", "control1005", "control1011",
                           "control1012", "control1019", "control1045", "control1077", "control1078", "control1020"})
        if (auto* w = findChild<QWidget*>(QString::fromLatin1(id))) w->setFocusPolicy(Qt::TabFocus);
    table_->setFocus();
}

void MainWindow::minimise() { showMinimized(); }

void MainWindow::closeProgram() {
    closing_ = true;
    close();
}

// GridView

void MainWindow::setRowCount(size_t rows) { model_.setRows(rows); }

void MainWindow::setRow(size_t row, const std::vector<std::string>& cells) { model_.setRow(row, cells); }

void MainWindow::setRowState(size_t row, RowState state, const std::string& detail) {
    model_.setState(row, state, detail);
}

void MainWindow::setColours(uint32_t background, uint32_t text) {
    const QColor back = colourFromBgr(background), fore = colourFromBgr(text);
    QPalette pal = table_->palette();
    pal.setColor(QPalette::Base, back);
    pal.setColor(QPalette::AlternateBase, back);
    pal.setColor(QPalette::Window, back);
    pal.setColor(QPalette::Text, fore);
    table_->setPalette(pal);
    table_->setStyleSheet(
        QStringLiteral("QTableView { background: %1; color: %2; gridline-color: %3; border: none; }"
                       "QHeaderView::section { background: %4; color: %5; border: none; border-right: 1px solid %3;"
                       " padding: 0 2px; }"
                       "QTableCornerButton::section { background: %4; border: none; }"
                       "QScrollBar { background: %4; width: 10px; height: 10px; margin: 0; }"
                       "QScrollBar::handle { background: %3; border-radius: 4px; min-height: 16px; min-width: 16px; }"
                       "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }"
                       "QScrollBar::add-page, QScrollBar::sub-page { background: none; }")
            .arg(back.name(), fore.name(), back.lighter(135).name(), back.darker(160).name(), kLabelText.name()));
}

// Shell

void MainWindow::open(const std::string& path, bool) { QDesktopServices::openUrl(QUrl::fromLocalFile(qs(path))); }

// Timer

void MainWindow::start(int intervalMs) { tick_.start(intervalMs); }

}  // namespace quillet::qt
