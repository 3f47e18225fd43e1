// Quillet's window (offscreen) converting the checked rows of a data folder's
// mp3towav list, the way a user's Convert → OK does, while a 5 ms timer on
// the window's thread notes the gaps between the events it gets to handle.
// Prints the wall-clock time of the run and the longest gap.
//
//   quillet_window_run DATA_FOLDER/ WORKERS
// Used by bench/quillet_window_bench.sh beside `quillet --batch -j WORKERS`.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "main_window.h"
#include "unattended.h"

using namespace quillet;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillet_window_run DATA_FOLDER/ WORKERS\n");
        return 2;
    }
    if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ComApartment apartment;
    qt::UnattendedDialogs answers;
    qt::NoShell shell;
    qt::MainWindow::Setup setup;
    setup.dataRoot = argv[1];
    setup.dialogs = &answers;
    setup.shell = &shell;
    setup.output = qt::PreviewPlayer::Output::Silent;
    qt::MainWindow window(setup);
    window.controller().session().workers = std::atoi(argv[2]);
    window.show();

    QElapsedTimer clock, sinceLast;
    qint64 longestGapNs = 0;
    bool started = false;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (sinceLast.isValid()) longestGapNs = std::max(longestGapNs, sinceLast.nsecsElapsed());
        sinceLast.start();
        if (started && !window.runShown()) app.quit();
    });
    QTimer::singleShot(0, [&] {
        clock.start();
        probe.start();
        window.controller().onConvert();
        started = true;
    });
    app.exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    std::printf("window: %.3f s, longest gap between handled events %.1f ms, %s\n", seconds, longestGapNs / 1e6,
                answers.summary ? answers.summary->headline.c_str() : "no summary");
    return answers.summary && answers.summary->headline.find(" 0 failed") != std::string::npos ? 0 : 1;
}
