// quillet: the converter program.
//
//   quillet                       the main window
//   quillet --batch [MODE]        converts the checked rows of a mode's list
//                                 file without windows (MODE: mp3towav or
//                                 wavtomp3; both when left out)
//   quillet --screenshot DIR      renders the main window, the clear menu, the
//                                 Options dialog and the About box into PNG
//                                 files in DIR and exits
#include <QApplication>
#include <QDir>
#include <QMenu>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "core/batch_cli.h"
#include "core/data_folder.h"
#include "main_window.h"

namespace {

bool haveDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
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
    std::cout << "quillet: screenshots in " << dir.absolutePath().toStdString() << "\n";
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
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
