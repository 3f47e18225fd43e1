#include "run_screenshots.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "main_window.h"
#include "unattended.h"

namespace quillet::qt {

namespace {

// A 16-bit mono WAV of a tone.
void writeTone(const std::string& path, int seconds, double hz) {
    const uint32_t rate = 22050, frames = rate * static_cast<uint32_t>(seconds), bytes = frames * 2;
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(rate);
    u32(rate * 2);
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(bytes);
    for (uint32_t i = 0; i < frames; ++i)
        u16(static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * i / rate))));
}

void waitFor(const std::function<bool()>& done, int ms = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

}  // namespace

bool saveRunScreenshots(const QDir& folder) {
    QTemporaryDir scratch;
    if (!scratch.isValid()) return false;
    const std::string root = scratch.path().toStdString() + "/";
    QDir().mkpath(scratch.filePath(QStringLiteral("music")));
    const std::vector<std::string> sources = {root + "music/01 Morning.wav", root + "music/02 Evening Song.wav",
                                              root + "music/03 Damaged.wav"};
    writeTone(sources[0], 2, 440);
    writeTone(sources[1], 20, 330);
    std::ofstream(sources[2], std::ios::binary) << "RIFF\x10\0\0\0WAVEjunk";

    UnattendedDialogs answers;
    NoShell shell;
    MainWindow::Setup setup;
    setup.dataRoot = root;
    setup.dialogs = &answers;
    setup.shell = &shell;
    setup.output = PreviewPlayer::Output::Silent;
    MainWindow window(setup);
    MainController& app = window.controller();
    app.onSwitchMode(ConversionMode::WavToMp3);
    app.onDropFiles({root + "music"});

    // One worker, held a while into the second file for the picture.
    std::atomic<int> blocks{0};
    std::atomic<bool> hold{true};
    app.session().workers = 1;
    app.session().afterEachBlock = [&] {
        if (++blocks == 20 + 60) {  // the first file's 20 blocks, then 60 of the second
            while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    window.show();
    app.onConvert();
    waitFor([&] { return blocks.load() >= 80; });
    waitFor([] { return false; }, 300);  // a few ticks show the news
    const bool ok = window.snapshot().save(folder.filePath(QStringLiteral("run.png")));
    hold = false;
    waitFor([&] { return !window.runShown(); });
    if (!answers.summary) return false;
    auto summary = makeSummaryDialog(&window, *answers.summary, [](const std::string&) {});
    summary->adjustSize();
    return ok && summary->grab().save(folder.filePath(QStringLiteral("summary.png")));
}

}  // namespace quillet::qt
