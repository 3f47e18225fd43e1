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

// Message boxes and pickers as Qt dialogs, modal to their parent.
class QtDialogs : public Dialogs {
public:
    explicit QtDialogs(QWidget* parent) : parent_(parent) {}
    void information(const std::string& text) override;
    bool askOkCancel(const std::string& text, Question about) override;
    std::optional<std::vector<std::string>> openFiles(const std::string& filter) override;
    std::optional<std::string> pickFolder(const std::string& title) override;
    std::optional<uint32_t> pickColour(uint32_t initial) override;

    // "mp3 files(*.mp3)|*.mp3||" -> "mp3 files(*.mp3)"
    static QString qtFilter(const std::string& filter);

private:
    QWidget* parent_;
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
    // The stored text of a cell (1-based row and column).
    std::string cell(size_t row, int column) const;

private:
    std::vector<std::array<QString, 5>> rows_;
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
    // The Options dialog over the current settings (the caller runs it).
    std::unique_ptr<QDialog> makeOptionsDialog();
    std::unique_ptr<QDialog> makeAboutBox();
    // The window as it looks on screen: pixels outside its shape transparent.
    QImage snapshot();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // MainView
    void setNameLabel(const std::string& text) override;
    void setDurationLabel(const std::string& text) override;
    void setBitrateLabel(const std::string& text) override;
    void setFrequencyLabel(const std::string& text) override;
    void setTimeDisplay(const std::string& text) override;
    void showMode(ConversionMode mode) override;
    void repaintNow() override;
    void minimise() override;
    void closeProgram() override;
    // GridView
    void setRowCount(size_t rows) override;
    void setRow(size_t row, const std::vector<std::string>& cells) override;
    void setColours(uint32_t background, uint32_t text) override;
    // Shell
    void open(const std::string& path, bool maximised) override;
    // Timer
    void start(int intervalMs) override;

    void buildControls();
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
    GridModel model_;

    QTableView* table_ = nullptr;
    SevenSegmentDisplay* time_ = nullptr;
    SkinLabel* name_ = nullptr;
    SkinLabel* duration_ = nullptr;
    SkinLabel* bitrate_ = nullptr;
    SkinLabel* frequency_ = nullptr;
    SkinButton* mp3ToWav_ = nullptr;
    SkinButton* wavToMp3_ = nullptr;
    QMenu* clearMenu_ = nullptr;
    bool closing_ = false;

    std::unique_ptr<MainController> controller_;
};

}  // namespace quillet::qt
