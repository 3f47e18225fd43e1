#include "core/batch_cli.h"

#include <algorithm>
#include <charconv>
#include <ostream>
#include <string_view>

#include "client/text.h"
#include "core/data_folder.h"
#include "core/main_controller.h"
#include "core/seed.h"
#include "core/time_text.h"

namespace quillet {

namespace {

// Names and texts as they may be printed: bytes that are not UTF-8 become
// \xNN (the line breaks of a message stay).
std::string shown(const std::string& text) {
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
        out += qoro::client::printable(std::string_view(text).substr(from, at - from)) + '\n';
    return out + qoro::client::printable(std::string_view(text).substr(from));
}

// The ports of a program without windows: messages become lines of text,
// questions are answered from the settings, the rest does nothing.
class HeadlessPorts final : public Dialogs,
                            public Shell,
                            public GridView,
                            public MainView,
                            public MediaPlayer,
                            public Timer,
                            public BatchListener {
public:
    explicit HeadlessPorts(std::ostream& out) : out_(out) {}
    void setFileCount(size_t files) { files_ = files; }

    void information(const std::string& text) override { out_ << shown(unixLines(text)) << '\n'; }
    bool askOkCancel(const std::string&, Question) override { return true; }
    // Asked only when PromptBeforeOverwrite is on: existing targets are kept.
    OverwriteAnswer askOverwrite(const std::string&) override { return OverwriteAnswer::NoToAll; }
    // Nothing is lost: colliding targets get numbered names.
    CollisionChoice resolveCollisions(const std::string& text, const std::vector<std::string>& clashes) override {
        out_ << shown(text) << '\n';
        for (const std::string& clash : clashes) out_ << "  " << shown(clash) << '\n';
        out_ << "  (the later ones get numbered names)\n";
        return CollisionChoice::Number;
    }
    // The failures were printed as they came; the counts follow from runBatch.
    void showSummary(const RunSummary&) override {}
    std::optional<std::vector<std::string>> openFiles(const std::string&) override { return std::nullopt; }
    std::optional<std::string> pickFolder(const std::string&) override { return std::nullopt; }
    std::optional<uint32_t> pickColour(uint32_t) override { return std::nullopt; }

    void open(const std::string&, bool) override {}

    void setRowCount(size_t) override {}
    void setRow(size_t, const std::vector<std::string>&) override {}
    void setColours(uint32_t, uint32_t) override {}
    void setRowState(size_t, RowState, const std::string&) override {}

    void setNameLabel(const std::string&) override {}
    void setDurationLabel(const std::string&) override {}
    void setBitrateLabel(const std::string&) override {}
    void setFrequencyLabel(const std::string&) override {}
    void setTimeDisplay(const std::string&) override {}
    void showMode(ConversionMode) override {}
    void runStarted() override {}
    void runEnded() override {}
    void showProgress(size_t, size_t, double) override {}
    void minimise() override {}
    void closeProgram() override {}

    void open(const std::string&) override {}
    void play() override {}
    void pause() override {}
    void stop() override {}
    int playState() override { return Other; }
    double position() override { return 0; }

    void start(int) override {}

    void fileStarted(size_t, const std::string& source, const std::string& target) override {
        out_ << '[' << ++started_ << '/' << files_ << "] " << shown(source) << "\n      -> " << shown(target) << '\n';
    }
    // Each failure with its cause in words.
    void fileFinished(const FileResult& r) override {
        switch (r.outcome) {
        case FileResult::Converted:
            ++converted_;
            out_ << "      converted " << shown(r.source) << '\n';
            break;
        case FileResult::Partial:
            ++failed_;
            out_ << "      cut short: " << shown(r.reason) << '\n';
            break;
        case FileResult::Failed:
            ++failed_;
            out_ << "      FAILED " << (r.source.empty() ? std::string() : shown(r.source) + ": ") << shown(r.reason)
                 << '\n';
            break;
        case FileResult::Skipped:
            ++skipped_;
            out_ << "      skipped " << shown(r.source) << ": " << shown(r.reason) << '\n';
            break;
        case FileResult::Cancelled:
            ++cancelled_;
            out_ << "      cancelled " << shown(r.source) << '\n';
            break;
        }
    }

    size_t converted_ = 0, failed_ = 0, skipped_ = 0, cancelled_ = 0;

private:
    // Message boxes break lines with CR LF; a terminal wants LF.
    static std::string unixLines(const std::string& text) {
        std::string out;
        out.reserve(text.size());
        for (char c : text)
            if (c != '\r') out += c;
        return out;
    }
    std::ostream& out_;
    size_t files_ = 0, started_ = 0;
};

const char* modeName(ConversionMode mode) { return mode == ConversionMode::Mp3ToWav ? "mp3towav" : "wavtomp3"; }

}  // namespace

int runBatch(ConversionMode mode, const DataFolder& data, std::ostream& out, int workers) {
    Components components = createComponents();
    if (!components.source || !components.target) {
        out << "quillet: the audio file component could not be created\n";
        return 2;
    }
    HeadlessPorts ports(out);
    Ports wiring{ports, ports, ports, ports, ports, ports, &ports};
    MainController app(wiring, std::move(components), data);
    app.session().workers = workers;
    app.start();
    if (mode != ConversionMode::Mp3ToWav) app.loadMode(mode);
    // Nothing to open or to play without windows.
    app.settings().OpenDirAfterConvert = 0;
    app.settings().PlayAfterConvert = 0;

    size_t checked = 0;
    for (const GridRow& row : app.grid().rows()) checked += row.checked() ? 1 : 0;
    ports.setFileCount(checked);

    const std::string& folder = mode == ConversionMode::Mp3ToWav ? app.settings().WaveDir : app.settings().Mp3Dir;
    out << modeName(mode) << ": " << checked << " checked file(s) in " << shown(data.listFile(mode)) << '\n';
    app.onConvert();
    app.converter().waitForRun();
    out << modeName(mode) << ": " << ports.converted_ << " converted, " << ports.failed_ << " failed, "
        << ports.skipped_ << " skipped"
        << (ports.cancelled_ ? ", " + std::to_string(ports.cancelled_) + " cancelled" : "") << "; output folder "
        << shown(folder) << '\n';
    return ports.failed_ > 0 ? 1 : 0;
}

int runBatchCommandLine(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<ConversionMode> modes;
    bool seed = false;
    int workers = 0;
    const auto usage = [&] {
        err << "usage: " << (argc > 0 ? argv[0] : "quillet") << " [--seed] --batch [-j N] [mp3towav|wavtomp3]\n";
        return 2;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--batch") continue;
        if (arg == "-j" || arg == "--jobs" || arg.starts_with("-j")) {
            std::string_view value = arg.size() > 2 && arg.starts_with("-j") ? arg.substr(2) : std::string_view();
            if (value.empty()) {
                if (i + 1 >= argc) return usage();
                value = argv[++i];
            }
            int n = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
            if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > 256) {
                err << "quillet: invalid number of jobs: " << std::string(value) << '\n';
                return 2;
            }
            workers = n;
            continue;
        }
        if (arg == "--seed") {
            seed = true;
            continue;
        }
        if (arg == "mp3towav")
            modes.push_back(ConversionMode::Mp3ToWav);
        else if (arg == "wavtomp3")
            modes.push_back(ConversionMode::WavToMp3);
        else
            return usage();
    }
    if (modes.empty()) modes = {ConversionMode::Mp3ToWav, ConversionMode::WavToMp3};
    const DataFolder data{resolveDataFolder()};
    ComApartment apartment;
    if (seed) seedSamples(data, out);
    int status = 0;
    for (ConversionMode mode : modes) status = std::max(status, runBatch(mode, data, out, workers));
    return status;
}

}  // namespace quillet
