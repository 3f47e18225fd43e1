// quillet: the converter program.
//
//   quillet                       the main window
//   quillet --batch [-j N] [MODE] converts the checked rows of a mode's list
//                                 file without windows (MODE: mp3towav or
//                                 wavtomp3; both when left out) on N workers
//   quillet --screenshot DIR      renders the main window, the clear menu, the
//                                 Options dialog and the About box into PNG
//                                 files in DIR and exits
//   quillet --help | --version    prints the usage or the version and exits
//
// --help and --version are answered before anything of Qt starts, so they
// need no display; the window without a display is refused with a message
// (exit status 1).
#include <QApplication>
#include <QDir>
#include <QMenu>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "core/batch_cli.h"
#include "core/data_folder.h"
#include "core/messages.h"
#include "main_window.h"
#include "run_screenshots.h"

namespace {

constexpr const char* kUsage =
    "usage: quillet\n"
    "       quillet [--seed] --batch [-j N] [mp3towav|wavtomp3]\n"
    "       quillet --screenshot FOLDER\n"
    "       quillet --help | --version\n"
    "\n"
    "Converts lists of MP3 files to WAV and WAV files to MP3. Without options\n"
    "the program opens its window.\n"
    "\n"
    "  --batch [MODE]       convert the ticked files of a mode's list (mp3towav or\n"
    "                       wavtomp3; both when left out) with the stored options,\n"
    "                       without windows\n"
    "  -j N, --jobs N       with --batch: files converted at once (default: the\n"
    "                       number of processors)\n"
    "  --seed               with --batch: first fill a fresh data folder with a\n"
    "                       few sample files and tick them in both lists\n"
    "  --screenshot FOLDER  render the main window, the clear menu, the Options\n"
    "                       dialog and the About box into PNG files in FOLDER and\n"
    "                       exit (needs no display)\n"
    "  -h, --help           print this text and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "The data folder (options, lists, default output folders) is the program's\n"
    "folder for a portable copy, otherwise ~/.config/quillet/; QUILLET_HOME names\n"
    "another. See quillet(1).\n";

bool haveDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
}

// Qt's own "-platform NAME" option chooses a display platform as well.
bool platformNamed(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return true;
    return false;
}

int saveScreenshots(quillet::qt::MainWindow& window, const QString& folder) {
    if (!QDir().mkpath(folder)) {
        std::cerr << "quillet: cannot create " << folder.toStdString() << "\n";
        return 2;
    }
    const QDir dir(folder);
    bool ok = true;
    window.show();
    QApplication::processEvents();
    ok &= window.snapshot().save(dir.filePath(QStringLiteral("main-window.png")));
    QMenu* menu = window.clearMenu();
    menu->adjustSize();
    ok &= menu->grab().save(dir.filePath(QStringLiteral("clear-menu.png")));
    auto options = window.makeOptionsDialog();
    options->adjustSize();
    ok &= options->grab().save(dir.filePath(QStringLiteral("options.png")));
    auto about = window.makeAboutBox();
    about->adjustSize();
    ok &= about->grab().save(dir.filePath(QStringLiteral("about.png")));
    ok &= quillet::qt::saveRunScreenshots(dir);
    std::cout << "quillet: screenshots in " << dir.absolutePath().toStdString() << "\n";
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0) {
            ++i;  // its folder may have any name
            continue;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kUsage << std::flush;
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << quillet::text::kAboutVersion << '\n' << std::flush;
            return 0;
        }
    }
    QString screenshotFolder;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0) return quillet::runBatchCommandLine(argc, argv, std::cout, std::cerr);
        if (std::strcmp(argv[i], "--screenshot") == 0) {
            if (i + 1 >= argc) {
                std::cerr << "usage: quillet --screenshot DIR\n";
                return 2;
            }
            screenshotFolder = QString::fromLocal8Bit(argv[i + 1]);
        }
    }
    // Screenshots need no screen.
    if (!screenshotFolder.isEmpty() && !haveDisplay()) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window does: without one Qt would abort the program.
    if (screenshotFolder.isEmpty() && !haveDisplay() && !platformNamed(argc, argv)) {
        std::cerr << "quillet: no display (DISPLAY and WAYLAND_DISPLAY are not set); "
                     "quillet --batch converts without one\n";
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillet"));
    QApplication::setDesktopFileName(QStringLiteral("quillet"));

    quillet::ComApartment apartment;
    quillet::qt::MainWindow::Setup setup;
    setup.dataRoot = quillet::resolveDataFolder();
    if (!screenshotFolder.isEmpty()) setup.output = quillet::qt::PreviewPlayer::Output::Silent;
    quillet::qt::MainWindow window(setup);
    QApplication::setWindowIcon(window.windowIcon());
    if (!screenshotFolder.isEmpty()) return saveScreenshots(window, screenshotFolder);
    window.show();
    return app.exec();
}
