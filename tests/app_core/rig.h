// A main controller wired to fakes over a fresh data folder.
#pragma once

#include <memory>
#include <string>

#include "fakes.h"
#include "test_support.h"

namespace quillet::test {

inline std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void spit(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
}

struct Rig {
    qoro::test::TempDir dir;
    FakeWorld world;
    FakeAudioFile src{world, "src"};
    FakeAudioFile dst{world, "dst"};
    FakeInformation info;
    RecordingPorts ui;
    DataFolder data{dir.path().string() + "/"};
    std::unique_ptr<MainController> app;

    // Starts the controller (settings, list file, timer).
    MainController& start() {
        app = std::make_unique<MainController>(
            ui.ports(),
            Components{qoro::com::ComPtr<IAudioFile>(&src), qoro::com::ComPtr<IAudioFile>(&dst),
                       qoro::com::ComPtr<IAudioInformation>(&info)},
            data);
        // One worker over the fake objects (they are not made per thread).
        app->session().workers = 1;
        app->session().makeWorkerParts = [this] {
            return Components{qoro::com::ComPtr<IAudioFile>(&src), qoro::com::ComPtr<IAudioFile>(&dst), {}};
        };
        app->start();
        return *app;
    }
    // The Convert command and the whole run it starts, as the window's ticks
    // would show it.
    void convert() {
        app->onConvert();
        app->converter().waitForRun(std::chrono::milliseconds(5));
    }
    std::string path(const std::string& name) const { return dir.path().string() + "/" + name; }
    // A source known to the fake reader (and present on disk).
    std::string source(const std::string& name, FakeSource s = {}, FileFacts facts = {}) {
        const std::string p = path(name);
        world.sources[p] = s;
        info.facts[p] = facts;
        spit(p, "source");
        return p;
    }
    void list(ConversionMode mode, const std::string& text) { spit(data.listFile(mode), text); }
    void ini(const std::string& text) { spit(data.optionFile(), text); }
    size_t callsStartingWith(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& c : world.calls) n += c.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

}  // namespace quillet::test
