// The Qt front end, driven without a screen (offscreen platform) and with
// scripted dialogs in place of the modal ones.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QStyle>
#include <QTableView>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "core/messages.h"
#include "main_window.h"
#include "test_support.h"
#include "window_test_support.h"

// Fontconfig keeps a few caches of its own for the life of the process; the
// leak checker of the sanitizer build is told to leave them alone.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace quillet;
using namespace quillet::qt;
namespace fs = std::filesystem;
using qoro::test::TempDir;
using namespace quillet::qt::test;

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Key=value lines of OPTION.INI, in file order.
std::vector<std::pair<std::string, std::string>> iniKeys(const fs::path& file) {
    std::vector<std::pair<std::string, std::string>> keys;
    std::istringstream in(readText(file));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t eq = line.find('=');
        if (eq != std::string::npos) keys.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return keys;
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApp("app_qt_test"); }
    std::unique_ptr<MainWindow> makeWindow() { return makeTestWindow(home.path().string(), dialogs, shell); }
    template <class T = QWidget>
    static T* control(QWidget& window, int id) {
        return window.findChild<T*>(controlName(id));
    }
    static void click(QWidget& window, int id) {
        auto* button = control<QAbstractButton>(window, id);
        ASSERT_NE(button, nullptr) << id;
        button->click();
    }

    TempDir home;
    ScriptedDialogs dialogs;
    RecordingShell shell;
};

TEST_F(WindowTest, EveryControlSitsAtItsPlaceWithItsTooltip) {
    auto window = makeWindow();
    struct Expect {
        int id;
        QRect place;
        const char* tooltip;
    };
    const Expect table[] = {
        {1001, {282, 113, 23, 22}, "Exit"},
        {1022, {278, 405, 16, 18}, "Exit"},
        {1002, {259, 405, 16, 18}, "Minimize"},
        {1018, {25, 103, 32, 32}, "About Quillet"},
        {1020, {115, 119, 26, 22}, "Options"},
        {1023, {228, 84, 24, 24}, "Help"},
        {1019, {24, 179, 24, 39}, "Previous"},
        {1005, {52, 179, 24, 39}, "Play"},
        {1011, {80, 179, 24, 39}, "Pause"},
        {1012, {108, 179, 24, 39}, "Stop"},
        {1045, {136, 179, 24, 39}, "Next"},
        {1003, {164, 179, 24, 39}, "Open file"},
        {1021, {190, 179, 28, 39}, "Check files to Play or Convert"},
        {1008, {220, 179, 24, 39}, "Clear files"},
        {1024, {244, 180, 44, 39}, "Convert"},
        {1077, {21, 160, 67, 20}, "MP3 to WAV Mode"},
        {1078, {88, 160, 67, 20}, "WAV to MP3 Mode"},
        {1007, {23, 218, 268, 182}, ""},
        {1025, {66, 34, 85, 27}, ""},
        {1029, {33, 70, 150, 14}, ""},
        {1030, {150, 50, 44, 14}, ""},
        {1028, {66, 86, 28, 14}, ""},
        {1027, {112, 86, 22, 14}, ""},
    };
    for (const Expect& e : table) {
        QWidget* w = control(*window, e.id);
        ASSERT_NE(w, nullptr) << e.id;
        EXPECT_EQ(w->geometry(), e.place) << e.id;
        EXPECT_EQ(w->toolTip().toStdString(), e.tooltip) << e.id;
        EXPECT_TRUE(window->rect().contains(w->geometry())) << e.id;
        EXPECT_TRUE(window->mask().contains(w->geometry().center())) << e.id << " lies in a hole";
    }
    EXPECT_EQ(window->windowTitle().toStdString(), "Quillet 2.68");
    EXPECT_TRUE(window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(window->timeDisplay()->text().toStdString(), "00:00");
    EXPECT_EQ(control<SkinLabel>(*window, 1029)->text().toStdString(), "Quillet 2.68");
    // Every button has its art.
    for (const Expect& e : table) {
        if (auto* b = qobject_cast<QAbstractButton*>(control(*window, e.id))) {
            EXPECT_FALSE(static_cast<SkinButton*>(b)->currentIcon().isNull()) << e.id;
        }
    }
}

TEST_F(WindowTest, ShapeFollowsTheKeyColour) {
    // A picture without the key colour gives a plain rectangle.
    QImage plain(20, 10, QImage::Format_RGB32);
    plain.fill(qRgb(10, 20, 30));
    const QRegion whole = regionOutsideKey(plain, qRgb(255, 0, 0));
    EXPECT_EQ(whole.rectCount(), 1);
    EXPECT_EQ(whole.boundingRect(), QRect(0, 0, 20, 10));

    // Key pixels become holes; a near-red pixel and a translucent non-key
    // pixel stay part of the shape.
    QImage shaped(20, 10, QImage::Format_ARGB32);
    shaped.fill(qRgb(10, 20, 30));
    for (int x = 0; x < 5; ++x) shaped.setPixel(x, 0, qRgb(255, 0, 0));
    shaped.setPixel(10, 5, qRgb(254, 0, 0));
    shaped.setPixel(11, 5, qRgba(255, 0, 0, 128));  // the key, whatever its alpha
    const QRegion region = regionOutsideKey(shaped, qRgb(255, 0, 0));
    for (int x = 0; x < 5; ++x) EXPECT_FALSE(region.contains(QPoint(x, 0))) << x;
    EXPECT_TRUE(region.contains(QPoint(5, 0)));
    EXPECT_TRUE(region.contains(QPoint(10, 5)));
    EXPECT_FALSE(region.contains(QPoint(11, 5)));

    // The main window is cut out of its background along the key colour.
    auto window = makeWindow();
    const QImage& back = window->background();
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(window->size(), back.size());
    const QRegion mask = window->mask();
    int holes = 0;
    for (int y = 0; y < back.height(); ++y)
        for (int x = 0; x < back.width(); ++x) {
            const bool key = (back.pixel(x, y) & 0xFFFFFF) == 0xFF0000;
            holes += key;
            if (key == mask.contains(QPoint(x, y))) FAIL() << "pixel " << x << "," << y;
        }
    EXPECT_GT(holes, 1000);  // the corners and the margin are cut away
    EXPECT_FALSE(mask.contains(QPoint(0, 0)));
    EXPECT_TRUE(mask.contains(QPoint(160, 300)));

    // Without the shape the window is whole again.
    window->setShaped(false);
    EXPECT_TRUE(window->mask().isEmpty());
}

TEST_F(WindowTest, AddingCheckingAndClearingRows) {
    auto window = makeWindow();
    GridModel& model = window->gridModel();
    ASSERT_EQ(model.rowCount(), 0);

    dialogs.files = std::vector<std::string>{"/music/a.mp3", "/music/b.mp3", "/music/c.mp3"};
    click(*window, 1003);
    ASSERT_EQ(model.rowCount(), 3);
    for (size_t r = 1; r <= 3; ++r) {
        EXPECT_EQ(model.cell(r, 1), ".");
        EXPECT_EQ(model.cell(r, 2), std::to_string(r));
    }
    EXPECT_EQ(model.cell(2, 3), "b.mp3");  // no tag: the file name
    EXPECT_EQ(model.cell(3, 5), "/music/c.mp3");
    // A checked row shows a tick, not the stored dot.
    EXPECT_EQ(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QStringLiteral("\u2713"));

    // The same path again adds nothing; another letter case is another file.
    dialogs.files = std::vector<std::string>{"/music/b.mp3", "/music/B.mp3"};
    click(*window, 1003);
    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.cell(4, 5), "/music/B.mp3");

    // A click on any cell toggles the row's mark.
    emit window->gridView()->clicked(model.index(1, 3));
    EXPECT_EQ(model.cell(2, 1), "");
    emit window->gridView()->clicked(model.index(1, 0));
    EXPECT_EQ(model.cell(2, 1), ".");

    // UnSelect All, then check rows 2 and 4 again, then Clear Selected Files.
    QMenu* menu = window->clearMenu();
    const QList<QAction*> entries = menu->actions();
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries[0]->text().toStdString(), text::kClearSelected);
    EXPECT_EQ(entries[1]->text().toStdString(), text::kClearUnselected);
    EXPECT_EQ(entries[2]->text().toStdString(), text::kClearAll);
    EXPECT_EQ(entries[3]->text().toStdString(), text::kUnselectAll);
    EXPECT_FALSE(entries[0]->icon().isNull());
    EXPECT_FALSE(entries[1]->icon().isNull());
    EXPECT_TRUE(entries[2]->icon().isNull());
    EXPECT_FALSE(entries[3]->icon().isNull());
    entries[3]->trigger();
    for (size_t r = 1; r <= 4; ++r) EXPECT_EQ(model.cell(r, 1), "") << r;
    emit window->gridView()->clicked(model.index(1, 2));
    emit window->gridView()->clicked(model.index(3, 2));
    entries[0]->trigger();
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.cell(1, 5), "/music/a.mp3");
    EXPECT_EQ(model.cell(2, 5), "/music/c.mp3");
    EXPECT_EQ(model.cell(2, 2), "2");  // renumbered without gaps

    // Check all, uncheck row 1, Clear Unselect Files keeps the checked one.
    click(*window, 1021);
    EXPECT_EQ(model.cell(1, 1), ".");
    EXPECT_EQ(model.cell(2, 1), ".");
    emit window->gridView()->clicked(model.index(0, 4));
    entries[1]->trigger();
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.cell(1, 5), "/music/c.mp3");
    EXPECT_EQ(model.cell(1, 2), "1");

    // Quit (answered OK) stores the grid in the mode's list file.
    dialogs.files = std::vector<std::string>{"/music/d.mp3"};
    click(*window, 1003);
    emit window->gridView()->clicked(model.index(1, 0));
    dialogs.answers = {true};
    click(*window, 1001);
    EXPECT_EQ(dialogs.shown.back(), "Do You want to quit Quillet 2.68 ?");
    EXPECT_EQ(readText(home.path() / "mp3towav.log"), "2\r\n./music/c.mp3\r\n /music/d.mp3\r\n");

    EXPECT_EQ(model.rowCount(), 0);  // the grid is emptied on the way out
}

TEST_F(WindowTest, ModeButtonsSwitchGridsAndLooks) {
    auto window = makeWindow();
    dialogs.files = std::vector<std::string>{"/music/a.mp3"};
    click(*window, 1003);
    auto* mp3Button = control<SkinButton>(*window, 1077);
    const QImage mp3Look = mp3Button->currentIcon().toImage();
    click(*window, 1078);
    EXPECT_EQ(window->controller().mode(), ConversionMode::WavToMp3);
    EXPECT_EQ(window->gridModel().rowCount(), 0);
    EXPECT_NE(mp3Button->currentIcon().toImage(), mp3Look);  // 259 instead of 257
    EXPECT_EQ(readText(home.path() / "mp3towav.log"), "1\r\n./music/a.mp3\r\n");
    click(*window, 1077);
    EXPECT_EQ(window->gridModel().rowCount(), 1);
    EXPECT_EQ(mp3Button->currentIcon().toImage(), mp3Look);

    // Clear All Files empties the grid, whatever the marks.
    emit window->gridView()->clicked(window->gridModel().index(0, 0));
    window->clearMenu()->actions().at(2)->trigger();
    EXPECT_EQ(window->gridModel().rowCount(), 0);
}

TEST_F(WindowTest, OptionsOkWritesThirteenKeysAndCancelNothing) {
    auto window = makeWindow();
    const fs::path ini = home.path() / "OPTION.INI";
    const std::string before = readText(ini);
    ASSERT_EQ(iniKeys(ini).size(), 2u);  // only the repaired folders so far

    {  // Cancel after changing everything: nothing stored, nothing written.
        auto dialog = window->makeOptionsDialog();
        control<QCheckBox>(*dialog, 1033)->setChecked(true);
        control<QComboBox>(*dialog, 1061)->setCurrentText("80 Kbps");
        control<QLineEdit>(*dialog, 1036)->setText("/nowhere/at/all/");
        click(*dialog, 1057);  // the swatch takes the picked colour
        click(*dialog, 2);
        EXPECT_EQ(dialog->result(), QDialog::Rejected);
    }
    EXPECT_EQ(readText(ini), before);
    EXPECT_EQ(window->controller().settings().BitRate1, 128);
    EXPECT_EQ(window->controller().settings().PlayInACycle, 0);
    EXPECT_TRUE(dialogs.shown.empty());

    {  // OK: all thirteen keys, in their order, with the chosen values.
        auto dialog = window->makeOptionsDialog();
        EXPECT_EQ(control<QComboBox>(*dialog, 1061)->currentText(), QStringLiteral("128 Kbps"));
        EXPECT_EQ(control<QComboBox>(*dialog, 1063)->currentText(), QStringLiteral("16_BIT"));
        control<QCheckBox>(*dialog, 1033)->setChecked(true);
        control<QComboBox>(*dialog, 1061)->setCurrentText("80 Kbps");
        control<QComboBox>(*dialog, 1069)->setCurrentText("MONO");
        click(*dialog, 1057);
        click(*dialog, 1);
        EXPECT_EQ(dialog->result(), QDialog::Accepted);
    }
    const auto keys = iniKeys(ini);
    std::vector<std::string> names;
    std::map<std::string, std::string> values;
    for (const auto& [k, v] : keys) {
        names.push_back(k);
        values[k] = v;
    }
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {
        "BitRate1",   "BitRate2", "Channels1",           "Channels2",        "FontColor",    "Frequency1",
        "Frequency2", "Mp3Dir",   "OpenDirAfterConvert", "PlayAfterConvert", "PlayInACycle", "PromptBeforeOverwrite",
        "WaveDir"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(values["PlayInACycle"], "1");
    EXPECT_EQ(values["BitRate1"], "80");
    EXPECT_EQ(values["Channels2"], "1");
    EXPECT_EQ(values["FontColor"], std::to_string(0x00336699));
    EXPECT_EQ(values["WaveDir"], home.path().string() + "/Wave Files/");
    EXPECT_EQ(window->controller().settings().BitRate1, 80);
    EXPECT_TRUE(dialogs.shown.empty());

    // The next opening shows what was stored.
    auto again = window->makeOptionsDialog();
    EXPECT_EQ(control<QComboBox>(*again, 1061)->currentText(), QStringLiteral("80 Kbps"));
    EXPECT_TRUE(control<QCheckBox>(*again, 1033)->isChecked());
    EXPECT_EQ(control<ColourSwatch>(*again, 1057)->value(), colourFromBgr(0x00336699));
    // The grid shows the new text colour at once.
    EXPECT_EQ(window->gridView()->palette().color(QPalette::Text), colourFromBgr(0x00336699));
}

TEST_F(WindowTest, PlayWalksTheCheckedRowsThroughThePlayer) {
    auto window = makeWindow();
    click(*window, 1078);  // WAV to MP3: the grid holds WAV files
    const fs::path a = home / "a.wav", b = home / "b.wav";
    qoro::test::writeWav16(a, 8000, 1, qoro::test::testSignal(8000, 1, 1200));  // 0.15 s
    qoro::test::writeWav16(b, 8000, 1, qoro::test::testSignal(8000, 1, 1200));
    dialogs.files = std::vector<std::string>{a.string(), b.string()};
    click(*window, 1003);
    ASSERT_EQ(window->gridModel().rowCount(), 2);
    auto* name = control<SkinLabel>(*window, 1029);

    click(*window, 1005);
    EXPECT_EQ(name->text().toStdString(), "1. a.wav");
    EXPECT_EQ(window->player().playState(), MediaPlayer::Playing);
    EXPECT_TRUE(window->controller().session().wavPlaying);

    // Each end of file moves on from the event loop: row 2, then the end.
    QElapsedTimer clock;
    clock.start();
    bool sawSecond = false;
    while (window->controller().session().wavPlaying && clock.elapsed() < 3000) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        sawSecond |= name->text() == QStringLiteral("2. b.wav");
    }
    EXPECT_TRUE(sawSecond);
    EXPECT_FALSE(window->controller().session().wavPlaying);
    EXPECT_EQ(name->text().toStdString(), "Quillet 2.68");
    EXPECT_TRUE(dialogs.shown.empty());
}

// A WAV to MP3 encode of ten minutes of audio: the worker waits after every
// block until the window's thread has handled an event posted after it, so a
// window that stopped handling events would stall the run (and fail here).
// Progress advances; Cancel ends the run before another block and leaves
// neither the MP3 nor its temporary.
TEST_F(WindowTest, ALongEncodeLeavesTheWindowLiveAndCancelLeavesNoFile) {
    const std::string wav = (home.path() / "long.wav").string();
    qoro::test::writeWav16(wav, 22050, 1, qoro::test::testSignal(22050, 1, 22050 * 600));
    auto window = makeWindow();
    click(*window, 1078);  // WAV to MP3
    dialogs.files = std::vector<std::string>{wav};
    click(*window, 1003);
    ASSERT_EQ(window->gridModel().rowCount(), 1);

    std::atomic<int> blocks{0}, acknowledged{0}, blocksAtCancel{-1};
    std::atomic<bool> stalled{false};
    std::vector<int> permille;  // the progress bar, as the window's thread saw it after each block
    window->controller().session().afterEachBlock = [&] {
        const int block = ++blocks;
        QMetaObject::invokeMethod(
            qApp,
            [&, block] {
                permille.push_back(window->progressBar()->permille());
                // Cancelled once the bar has moved twice.
                if (blocksAtCancel < 0 &&
                    (std::set<int>(permille.begin(), permille.end()).size() >= 3 || block == 3000)) {
                    blocksAtCancel = block;
                    click(*window, 1024);  // the Convert button cancels during a run
                }
                acknowledged = block;
            },
            Qt::QueuedConnection);
        QElapsedTimer waited;
        waited.start();
        while (acknowledged.load() < block) {
            if (waited.elapsed() > 10000) {
                stalled = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    };

    click(*window, 1024);
    ASSERT_TRUE(window->runShown());
    EXPECT_FALSE(control(*window, 1003)->isEnabled());  // nothing may change the list meanwhile
    EXPECT_FALSE(control(*window, 1078)->isEnabled());
    EXPECT_TRUE(control(*window, 1024)->isEnabled());
    EXPECT_EQ(control(*window, 1024)->toolTip().toStdString(), text::kCancelRun);
    QElapsedTimer total;
    total.start();
    while (window->runShown() && total.elapsed() < 120000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(window->runShown());

    EXPECT_FALSE(stalled.load());
    EXPECT_GT(blocksAtCancel.load(), 0);
    EXPECT_LT(blocksAtCancel.load(), 3000) << "the progress bar did not move";
    EXPECT_LE(blocks.load() - blocksAtCancel.load(), 1);
    EXPECT_TRUE(std::is_sorted(permille.begin(), permille.end()));
    const std::string mp3Dir = window->controller().settings().Mp3Dir;
    for (const auto& entry : fs::directory_iterator(mp3Dir)) ADD_FAILURE() << "left behind: " << entry.path();
    ASSERT_EQ(dialogs.summaries.size(), 1u);
    EXPECT_EQ(dialogs.summaries[0].headline, "0 converted, 0 failed, 1 cancelled");
    EXPECT_EQ(window->gridModel().state(1), RowState::Cancelled);
    EXPECT_TRUE(control(*window, 1003)->isEnabled());
    EXPECT_EQ(control(*window, 1024)->toolTip().toStdString(), "Convert");
}

// "#" holds four digits, Time an hour, the labels a WAV's 1411 kbit/s; Path
// keeps the file name and shortens the folder in its middle.
TEST_F(WindowTest, NumbersAndTimesNeverShorten) {
    auto window = makeWindow();
    QTableView* table = window->gridView();
    const QFontMetrics grid(table->font());
    const int margin = 2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1);
    EXPECT_GE(table->columnWidth(1), grid.horizontalAdvance(QStringLiteral("1000")) + margin);
    EXPECT_GE(table->columnWidth(3), grid.horizontalAdvance(QStringLiteral("10:00:00")) + margin);
    int columns = 0;
    for (int c = 0; c < 4; ++c) columns += table->columnWidth(c);
    EXPECT_LT(columns + 40, table->width());  // room left for Path
    // Path fills the rest and ends at the grid's edge.
    window->show();
    QApplication::processEvents();
    EXPECT_EQ(columns + table->columnWidth(4), table->viewport()->width());
    for (auto [id, widest] : {std::pair{1028, "1411"}, std::pair{1027, "192"}, std::pair{1030, "1:00:00"}}) {
        auto* label = control<SkinLabel>(*window, id);
        EXPECT_GE(label->width(), QFontMetrics(label->font()).horizontalAdvance(QString::fromLatin1(widest))) << id;
    }

    const QString path = QStringLiteral("/home/someone/Music/Artist Name/An Album of Songs/07 Song.mp3");
    const int width = grid.horizontalAdvance(QStringLiteral("/home/\u2026/07 Song.mp3")) + 4;
    const QString shown = elidedPath(path, grid, width);
    EXPECT_TRUE(shown.endsWith(QStringLiteral("/07 Song.mp3"))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/h"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
    EXPECT_LE(grid.horizontalAdvance(shown), width);
    EXPECT_EQ(elidedPath(QStringLiteral("/a/b.mp3"), grid, 90), QStringLiteral("/a/b.mp3"));
}

// Files and folders dropped on the grid: the mode's audio files, folders
// searched through; nothing else.
TEST_F(WindowTest, DroppedFilesAndFoldersAddTheModesAudioFiles) {
    const fs::path music = home.path() / "drop";
    fs::create_directories(music / "album/disc 2");
    for (const char* name : {"album/01.mp3", "album/cover.jpg", "album/disc 2/02.MP3", "loose.mp3", "notes.wav"})
        std::ofstream(music / name) << "x";
    auto window = makeWindow();
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString((music / "album").string())),
                  QUrl::fromLocalFile(QString::fromStdString((music / "loose.mp3").string())),
                  QUrl::fromLocalFile(QString::fromStdString((music / "notes.wav").string())),
                  QUrl(QStringLiteral("https://example.org/x.mp3"))});
    QDragEnterEvent enter(QPoint(100, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(100, 300), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    GridModel& model = window->gridModel();
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.cell(1, 5), (music / "album/01.mp3").string());
    EXPECT_EQ(model.cell(2, 5), (music / "album/disc 2/02.MP3").string());
    EXPECT_EQ(model.cell(3, 5), (music / "loose.mp3").string());
    // Saved at once: the list file already holds the rows.
    EXPECT_NE(readText(home.path() / "mp3towav.log").find((music / "loose.mp3").string()), std::string::npos);
}

// The window without a mouse: the grid takes the focus, Space toggles the
// current row, Delete removes it, Ctrl+O adds, Enter converts, Tab reaches
// the buttons.
TEST_F(WindowTest, KeyboardAlone) {
    auto window = makeWindow();
    window->show();
    QApplication::setActiveWindow(window.get());
    QTableView* table = window->gridView();
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), table);

    dialogs.files = std::vector<std::string>{"/music/a.mp3", "/music/b.mp3", "/music/c.mp3"};
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dialogs.openFilesCalls, 1);
    GridModel& model = window->gridModel();
    ASSERT_EQ(model.rowCount(), 3);

    table->setCurrentIndex(model.index(1, 2));
    QTest::keyClick(table, Qt::Key_Space);
    EXPECT_EQ(model.cell(2, 1), "");
    QTest::keyClick(table, Qt::Key_Space);
    EXPECT_EQ(model.cell(2, 1), ".");
    QTest::keyClick(table, Qt::Key_Delete);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.cell(2, 5), "/music/c.mp3");
    EXPECT_EQ(model.cell(2, 2), "2");  // renumbered

    dialogs.answers = {false};  // the confirmation, declined
    const size_t before = dialogs.shown.size();
    QTest::keyClick(table, Qt::Key_Return);
    ASSERT_EQ(dialogs.shown.size(), before + 1);
    EXPECT_EQ(dialogs.shown.back(), text::confirmConversion(ConversionMode::Mp3ToWav));

    for (int id : {1003, 1021, 1008, 1024, 1077, 1078, 1020})
        EXPECT_EQ(control(*window, id)->focusPolicy(), Qt::TabFocus) << id;
}

TEST(SegmentDisplay, RedrawsOnlyWhenTheTextChanges) {
    ensureApp("app_qt_test");
    SevenSegmentDisplay display;
    display.resize(85, 27);
    display.setText("12:05");
    display.grab();
    const int first = display.renderCount();
    EXPECT_GE(first, 1);
    display.setText("12:05");
    display.grab();
    display.grab();  // repainting the window reuses the picture
    EXPECT_EQ(display.renderCount(), first);
    display.setText("12:06");
    display.grab();
    EXPECT_EQ(display.renderCount(), first + 1);

    // The picture shows lit segments in the on colour, and the off colour
    // only where segments are unlit.
    display.setColours(Qt::yellow, Qt::blue);
    display.setBackgroundColour(Qt::black);
    const QImage shot = display.grab().toImage();
    int lit = 0, unlit = 0;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            lit += shot.pixel(x, y) == QColor(Qt::yellow).rgb();
            unlit += shot.pixel(x, y) == QColor(Qt::blue).rgb();
        }
    EXPECT_GT(lit, 50);
    EXPECT_GT(unlit, 10);
}

TEST(SegmentDisplay, SplitsTextIntoCells) {
    ensureApp("app_qt_test");
    SevenSegmentDisplay display;
    display.setText("12:05");
    EXPECT_EQ(display.cells().digits, 4);
    EXPECT_EQ(display.cells().narrow, 1);
    display.setText("1:02:05");
    EXPECT_EQ(display.cells().digits, 5);
    EXPECT_EQ(display.cells().narrow, 2);
    // Letters have no seven-segment cell: skipped unless in fourteen-segment style.
    display.setText("AB-1");
    EXPECT_EQ(display.cells().digits, 2);
    EXPECT_EQ(display.cells().wide, 0);
    display.setStyleBits(SevenSegmentDisplay::FourteenSegment);
    EXPECT_EQ(display.cells().wide, 3);  // A, B, 1; "-" stays a seven-segment cell
    EXPECT_EQ(SevenSegmentDisplay::sevenSegmentMask(QLatin1Char('8')), 127);
    EXPECT_EQ(SevenSegmentDisplay::sevenSegmentMask(QLatin1Char('A')), -1);
    // Every letter has a distinct fourteen-segment picture.
    std::set<int> pictures;
    for (char c = 'A'; c <= 'Z'; ++c) pictures.insert(SevenSegmentDisplay::fourteenSegmentMask(QLatin1Char(c)));
    EXPECT_EQ(pictures.size(), 26u);
}

TEST(SkinButtonTest, IconsFollowTheMouseAndColourSlotsAreChecked) {
    ensureApp("app_qt_test");
    QPixmap lit(8, 8), rest(8, 8);
    lit.fill(Qt::yellow);
    rest.fill(Qt::gray);
    SkinButton single;
    single.setIcons(lit);
    EXPECT_EQ(single.currentIcon().cacheKey(), lit.cacheKey());
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QApplication::sendEvent(&single, &enter);
    EXPECT_EQ(single.currentIcon().cacheKey(), lit.cacheKey());

    SkinButton pair;
    pair.setIcons(lit, rest);
    EXPECT_EQ(pair.currentIcon().cacheKey(), rest.cacheKey());
    QApplication::sendEvent(&pair, &enter);
    EXPECT_TRUE(pair.hovered());
    EXPECT_EQ(pair.currentIcon().cacheKey(), lit.cacheKey());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&pair, &leave);
    EXPECT_EQ(pair.currentIcon().cacheKey(), rest.cacheKey());
    pair.setDown(true);
    EXPECT_EQ(pair.currentIcon().cacheKey(), lit.cacheKey());

    EXPECT_EQ(pair.setColour(5, Qt::red), SkinButton::ColourOk);
    EXPECT_EQ(pair.colour(5), QColor(Qt::red));
    EXPECT_EQ(pair.setColour(6, Qt::green), SkinButton::ColourBadIndex);
    EXPECT_FALSE(pair.colour(6).isValid());

    ColourSwatch swatch;
    swatch.setValue(QColor(1, 2, 3));
    EXPECT_EQ(swatch.colour(SkinButton::BackHover), QColor(1, 2, 3));
    EXPECT_EQ(swatch.colour(SkinButton::BackFocus), QColor(1, 2, 3));
    EXPECT_EQ(bgrFromColour(colourFromBgr(0xA75D19)), 0xA75D19u);
    EXPECT_EQ(colourFromBgr(0x0000FF), QColor(255, 0, 0));
}

TEST(Player, SilentOutputPlaysPausesAndEnds) {
    ensureApp("app_qt_test");
    TempDir dir;
    const fs::path wav = dir / "tone.wav";
    qoro::test::writeWav16(wav, 8000, 1, qoro::test::testSignal(8000, 1, 6000));  // 0.75 s
    ComApartment apartment;
    PreviewPlayer player(PreviewPlayer::Output::Silent);
    int ends = 0;
    player.setEndOfFileHandler([&] { ++ends; });

    player.open((dir / "missing.wav").string());
    EXPECT_EQ(player.playState(), MediaPlayer::Other);

    player.open(wav.string());
    ASSERT_EQ(player.playState(), MediaPlayer::Playing) << "is the AudioFile component built?";
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 120) QApplication::processEvents(QEventLoop::AllEvents, 10);
    player.pause();
    EXPECT_EQ(player.playState(), MediaPlayer::Paused);
    const double held = player.position();
    EXPECT_GT(held, 0.05);
    EXPECT_LT(held, 0.7);
    clock.restart();
    while (clock.elapsed() < 60) QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_DOUBLE_EQ(player.position(), held);  // the clock stands still while paused
    EXPECT_EQ(ends, 0);

    player.play();
    EXPECT_EQ(player.playState(), MediaPlayer::Playing);
    clock.restart();
    while (ends == 0 && clock.elapsed() < 3000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(player.playState(), MediaPlayer::Other);
    // Heard at its own pace, not at once: the rest of the file took its time.
    EXPECT_GE(clock.elapsed() + 30, qint64((0.75 - held) * 1000));

    // Stop ends a file without the end-of-file notice.
    player.open(wav.string());
    player.stop();
    EXPECT_EQ(player.playState(), MediaPlayer::Other);
    clock.restart();
    while (clock.elapsed() < 100) QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(ends, 1);
}

}  // namespace
