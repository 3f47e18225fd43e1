// The converter's main window: the skinned, caption-less window with its
// buttons, labels, time display and file grid, and the Qt side of every port
// the program's logic talks to (message boxes and pickers, the desktop's
// "open", the grid, the labels, the preview player, the one-second timer).
// The logic itself is MainController; this file only shows and forwards.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QTimer>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/main_controller.h"
#include "preview_player.h"
#include "skin.h"

class QMenu;
class QTableView;

namespace quillet::qt {

// Object names of the controls: "control" + id, e.g. "control1024".
QString controlName(int id);

// The program's icon, for its windows and dialogs.
QIcon programIcon();

// A path shortened to a width: the file name whole when it fits, the folder
// shortened in its middle ("/home/…/Album/07 Song.mp3").
QString elidedPath(const QString& path, const QFontMetrics& metrics, int width);

// The end-of-run dialog: the counts, the failures with their reasons in a
// scrolling list, and a button that opens the output folder.
std::unique_ptr<QDialog> makeSummaryDialog(QWidget* parent, const RunSummary& summary,
                                           std::function<void(const std::string&)> openFolder);

// Message boxes and pickers as Qt dialogs, modal to their parent.
class QtDialogs : public Dialogs {
public:
    QtDialogs(QWidget* parent, Shell& shell) : parent_(parent), shell_(shell) {}
    void information(const std::string& text) override;
    bool askOkCancel(const std::string& text, Question about) override;
    OverwriteAnswer askOverwrite(const std::string& text) override;
    CollisionChoice resolveCollisions(const std::string& text, const std::vector<std::string>& collisions) override;
    void showSummary(const RunSummary& summary) override;
    std::optional<std::vector<std::string>> openFiles(const std::string& filter) override;
    std::optional<std::string> pickFolder(const std::string& title) override;
    std::optional<uint32_t> pickColour(uint32_t initial) override;

    // "mp3 files(*.mp3)|*.mp3||" -> "mp3 files(*.mp3)"
    static QString qtFilter(const std::string& filter);

private:
    QWidget* parent_;
    Shell& shell_;
};

// The rows of the grid as the view shows them (a QTableView stands for the
// spreadsheet control). Column 1 holds "." for a
// checked row; it is shown as a tick.
class GridModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setRows(size_t rows);
    void setRow(size_t row, const std::vector<std::string>& cells);  // 1-based
    void setState(size_t row, RowState state, const std::string& detail);
    // The stored text of a cell (1-based row and column).
    std::string cell(size_t row, int column) const;
    RowState state(size_t row) const;

private:
    struct Row {
        std::array<QString, 5> cells;
        RowState state = RowState::Plain;
        QString detail;
    };
    std::vector<Row> rows_;
};

class MainWindow : public SkinWindow, private MainView, private GridView, private Shell, private Timer {
public:
    struct Setup {
        std::string dataRoot;        // data folder, ends in "/"
        Dialogs* dialogs = nullptr;  // null: Qt dialogs
        Shell* shell = nullptr;      // null: the desktop's "open"
        PreviewPlayer::Output output = PreviewPlayer::Output::Automatic;
    };
    explicit MainWindow(Setup setup);
    ~MainWindow() override;

    MainController& controller() { return *controller_; }
    GridModel& gridModel() { return model_; }
    QTableView* gridView() const { return table_; }
    SevenSegmentDisplay* timeDisplay() const { return time_; }
    PreviewPlayer& player() { return player_; }
    Dialogs& dialogs() { return *dialogs_; }

    // The clear menu of button 1008 (built once, shown at the pointer).
    QMenu* clearMenu();
    SkinProgressBar* progressBar() const { return progress_; }
    // Whether a run is under way, as the window shows it.
    bool runShown() const { return runTick_.isActive(); }
    // The Options dialog over the current settings (the caller runs it).
    std::unique_ptr<QDialog> makeOptionsDialog();
    std::unique_ptr<QDialog> makeAboutBox();
    // The window as it looks on screen: pixels outside its shape transparent.
    QImage snapshot();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // MainView
    void setNameLabel(const std::string& text) override;
    void setDurationLabel(const std::string& text) override;
    void setBitrateLabel(const std::string& text) override;
    void setFrequencyLabel(const std::string& text) override;
    void setTimeDisplay(const std::string& text) override;
    void showMode(ConversionMode mode) override;
    void runStarted() override;
    void runEnded() override;
    void showProgress(size_t filesDone, size_t files, double currentShare) override;
    void minimise() override;
    void closeProgram() override;
    // GridView
    void setRowCount(size_t rows) override;
    void setRow(size_t row, const std::vector<std::string>& cells) override;
    void setColours(uint32_t background, uint32_t text) override;
    void setRowState(size_t row, RowState state, const std::string& detail) override;
    // Shell
    void open(const std::string& path, bool maximised) override;
    // Timer
    void start(int intervalMs) override;

    void buildControls();
    void buildShortcuts();
    // Convert, or Cancel while a run lasts.
    void onConvertButton();
    // The grid's current row, 1-based; 0 when none.
    size_t currentRow() const;
    SkinButton* addButton(int id, const QRect& place, const QString& art, QSize artSize);
    SkinLabel* addLabel(int id, const QRect& place);
    void showOptions();
    void showAbout();

    ComApartment apartment_;
    Setup setup_;
    std::unique_ptr<QtDialogs> ownDialogs_;
    Dialogs* dialogs_ = nullptr;
    Shell* shell_ = nullptr;
    PreviewPlayer player_;
    QTimer tick_;
    QTimer runTick_;  // ten times a second while a run lasts
    GridModel model_;

    QTableView* table_ = nullptr;
    SevenSegmentDisplay* time_ = nullptr;
    SkinLabel* name_ = nullptr;
    SkinLabel* duration_ = nullptr;
    SkinLabel* bitrate_ = nullptr;
    SkinLabel* frequency_ = nullptr;
    SkinButton* mp3ToWav_ = nullptr;
    SkinButton* wavToMp3_ = nullptr;
    SkinButton* convert_ = nullptr;
    SkinProgressBar* progress_ = nullptr;
    std::vector<QWidget*> runLocked_;  // disabled while a run lasts
    QMenu* clearMenu_ = nullptr;
    bool closing_ = false;

    std::unique_ptr<MainController> controller_;
};

}  // namespace quillet::qt
