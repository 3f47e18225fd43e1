// qoro loudness: measures files (EBU R128 integrated loudness and peak) and
// albums of them without converting anything, shows the ReplayGain 2.0
// values and, with --write, writes them as tags through AudioInformation.
//
// The files are measured album by album (without --album, in one run of
// all of them), each album's files on the workers at once; only an album
// keeps its tracks' meters, until its own loudness is known.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "args.h"
#include "client/loudness.h"
#include "client/text.h"
#include "commands.h"
#include "components.h"
#include "convert.h"
#include "formats.h"
#include "json.h"
#include "library.h"

namespace qoro::cli {

namespace {

namespace fs = std::filesystem;
namespace lu = client::loudness;

struct LoudnessOptions {
    std::vector<std::string> inputs;
    bool recursive = false, album = false, write = false, truePeak = false, json = false;
    int jobs = 0;
};

// One file to measure and what became of it.
struct Track {
    explicit Track(std::string file) : path(std::move(file)) {}
    std::string path;
    std::string cause;                 // why it could not be measured ("" when it was)
    lu::Measured measured;             // its loudness and peak
    std::optional<lu::Meter> meter;    // kept for its album
    std::vector<lu::TagValue> values;  // the tag values it asks for
    std::string writeCause;            // why they could not be written (--write)
};

// The files that share an album's values (without --album, every file
// alone, though measured in one run).
struct Group {
    std::vector<Track> tracks;
    std::optional<lu::Measured> album;
};

bool parse(const std::vector<std::string>& args, LoudnessOptions& o, std::string& error) {
    ArgWalker w(args);
    std::string value;
    while (!w.done()) {
        if (w.endOfOptions()) continue;
        if (w.optionsEnded() || w.current().empty() || w.current()[0] != '-' || w.current() == "-") {
            o.inputs.push_back(w.take());
            continue;
        }
        if (w.flag("-R") || w.flag("--recursive"))
            o.recursive = true;
        else if (w.flag("--album"))
            o.album = true;
        else if (w.flag("--write"))
            o.write = true;
        else if (w.flag("--true-peak"))
            o.truePeak = true;
        else if (w.flag("--json"))
            o.json = true;
        else if (w.option("-j", value) || w.option("--jobs", value)) {
            const auto n = parseLong(value);
            if (!n || *n < 1 || *n > 256) {
                error = "invalid number of jobs: " + value;
                return false;
            }
            o.jobs = static_cast<int>(*n);
        } else {
            error = "unknown option: " + client::printable(w.current());
            return false;
        }
        if (!w.error().empty()) {
            error = w.error();
            return false;
        }
    }
    if (o.inputs.empty()) {
        error = o.recursive ? "name the folders to measure" : "name the files to measure";
        return false;
    }
    return true;
}

// The groups of the command line: the files named form one album, and with
// -R the files of each folder walked form an album of their own (in the
// order of the walk). Folders that could not be read go to 'problems'.
std::vector<Group> gather(const LoudnessOptions& o, std::vector<std::string>& problems, size_t& unread) {
    Group named;
    std::vector<Group> walked;
    std::map<std::string, size_t> albumOf;  // folder -> index in 'walked'
    WalkReport report;
    FolderWalk walk(report, {}, std::nullopt, [&](const std::string& path, const std::string&, Found kind) {
        if (kind == Found::Unread) ++unread;
        if (kind != Found::Audio) return;
        const std::string folder = fs::path(path).parent_path().string();
        auto [at, fresh] = albumOf.try_emplace(folder, walked.size());
        if (fresh) walked.emplace_back();
        walked[at->second].tracks.emplace_back(path);
    });
    for (const std::string& input : o.inputs) {
        std::error_code ec;
        if (o.recursive && fs::is_directory(input, ec))
            walk.walk(input, input);
        else
            named.tracks.emplace_back(input);
    }
    problems.insert(problems.end(), report.unreadable.begin(), report.unreadable.end());
    std::vector<Group> groups;
    if (!named.tracks.empty()) groups.push_back(std::move(named));
    for (Group& g : walked) groups.push_back(std::move(g));
    if (o.album) return groups;
    // Without albums every file stands alone: one run of all of them.
    Group all;
    for (Group& g : groups)
        for (Track& t : g.tracks) all.tracks.push_back(std::move(t));
    groups.clear();
    if (!all.tracks.empty()) groups.push_back(std::move(all));
    return groups;
}

// Why a named file is not measured before it is opened: a folder, or a
// name whose kind the components do not open (they would take it for raw
// samples).
std::string refusedBeforehand(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) return "is a folder (-R measures the audio files in it)";
    if (!componentsOpen(path)) return unopenedKindCause(path);
    return {};
}

// Opus files state their gains as R128_* (the type its name chooses).
bool isOpus(const std::string& path) {
    const auto type = targetTypeByExtension(path);
    return type && type->type == OPUS;
}

// Measures every track of the group on 'workers' threads, each with its own
// apartment and objects.
void measure(Group& group, const LoudnessOptions& o, int workers) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        Apartment apartment;
        for (size_t i; (i = next.fetch_add(1)) < group.tracks.size();) {
            Track& t = group.tracks[i];
            t.cause = refusedBeforehand(t.path);
            if (!t.cause.empty()) continue;
            std::optional<lu::Meter> meter = lu::measureFile(t.path, {.truePeak = o.truePeak}, t.cause);
            if (!meter) continue;
            t.measured = lu::measured(*meter);
            if (o.album) t.meter = std::move(meter);
        }
    };
    const int n = std::clamp<int>(workers, 1, static_cast<int>(std::max<size_t>(group.tracks.size(), 1)));
    std::vector<std::thread> threads;
    for (int k = 1; k < n; ++k) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
}

// An album whose track failed gets no album values: they would not be
// those of the whole album.
void measureAlbum(Group& group) {
    std::vector<const lu::Meter*> meters;
    for (const Track& t : group.tracks) {
        if (!t.cause.empty() || !t.meter) return;
        meters.push_back(&*t.meter);
    }
    group.album = lu::album(meters);
}

std::string fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string lufsText(const lu::Measured& m) { return m.silent() ? "silent" : fixed(m.lufs, 2); }
std::string gainText(const lu::Measured& m) {
    return m.silent() ? "-" : (lu::replayGainDb(m) >= 0 ? "+" : "") + fixed(lu::replayGainDb(m), 2);
}

// --- the table -------------------------------------------------------------

void printHeader(const LoudnessOptions& o) {
    const char* peak = o.truePeak ? "true peak" : "peak";
    std::printf("%8s %8s %9s", "LUFS", "gain dB", peak);
    if (o.album) std::printf("  %8s %8s %9s", "album", "gain dB", peak);
    std::printf("  file\n");
}

void printRow(const Track& t, const Group& g, const LoudnessOptions& o) {
    const std::string shown = client::printable(t.path);
    if (!t.cause.empty()) {
        std::printf("%8s %8s %9s", "failed", "", "");
        if (o.album) std::printf("  %8s %8s %9s", "", "", "");
        std::printf("  %s\n", shown.c_str());
        return;
    }
    std::printf("%8s %8s %9s", lufsText(t.measured).c_str(), gainText(t.measured).c_str(),
                fixed(t.measured.peak, 6).c_str());
    if (o.album) {
        if (g.album)
            std::printf("  %8s %8s %9s", lufsText(*g.album).c_str(), gainText(*g.album).c_str(),
                        fixed(g.album->peak, 6).c_str());
        else
            std::printf("  %8s %8s %9s", "-", "-", "-");
    }
    std::printf("  %s\n", shown.c_str());
}

// --- JSON ------------------------------------------------------------------

std::string jsonLoudness(const lu::Measured& m) {
    const std::string lufs = m.silent() ? "null" : fixed(m.lufs, 2);
    const std::string gain = m.silent() ? "null" : fixed(lu::replayGainDb(m), 2);
    return "\"lufs\": " + lufs + ", \"gain\": " + gain + ", \"peak\": " + fixed(m.peak, 6) +
           ", \"silent\": " + (m.silent() ? "true" : "false");
}

std::string jsonRow(const Track& t, const Group& g, const LoudnessOptions& o) {
    std::string row = "{\"file\": " + jsonString(t.path);
    if (!t.cause.empty()) return row + ", \"error\": " + jsonString(t.cause) + "}";
    row += ", " + jsonLoudness(t.measured);
    if (o.album) row += ", \"album\": " + (g.album ? "{" + jsonLoudness(*g.album) + "}" : std::string("null"));
    row += ", \"tags\": {";
    for (size_t i = 0; i < t.values.size(); ++i)
        row += (i ? ", " : "") + jsonString(t.values[i].name) + ": " +
               (t.values[i].value.empty() ? std::string("null") : jsonString(t.values[i].value));
    row += "}";
    if (!o.write) return row + "}";
    row += std::string(", \"written\": ") + (t.writeCause.empty() ? "true" : "false");
    if (!t.writeCause.empty()) row += ", \"error\": " + jsonString(t.writeCause);
    return row + "}";
}

}  // namespace

int runLoudness(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(helpText(kLoudnessHelp).c_str(), stdout);
            return kExitOk;
        }
    LoudnessOptions o;
    std::string error;
    if (!parse(args, o, error)) {
        std::fprintf(stderr, "qoro loudness: %s\n(see qoro loudness --help)\n", error.c_str());
        return kExitUsage;
    }
    std::vector<std::string> problems;
    size_t unread = 0;
    std::vector<Group> groups = gather(o, problems, unread);
    for (const std::string& p : problems) std::fprintf(stderr, "qoro loudness: %s\n", client::printable(p).c_str());
    const int workers = o.jobs > 0 ? o.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    bool failed = !problems.empty();
    bool first = true;
    if (o.json)
        std::fputs("[", stdout);
    else
        printHeader(o);
    Apartment apartment;  // for the writes
    for (Group& group : groups) {
        measure(group, o, workers);
        if (o.album) measureAlbum(group);
        for (Track& t : group.tracks) {
            if (t.cause.empty()) {
                t.values = lu::tagValues(t.measured, group.album, isOpus(t.path));
                if (o.write) t.writeCause = lu::writeTags(t.path, t.values);
            }
            t.meter.reset();
            if (!t.cause.empty() || !t.writeCause.empty()) {
                failed = true;
                const std::string cause = t.cause.empty() ? "the tags were not written: " + t.writeCause : t.cause;
                std::fprintf(stderr, "qoro loudness: %s: %s\n", client::printable(t.path).c_str(),
                             client::printable(cause).c_str());
            }
            if (o.json) {
                std::printf("%s\n  %s", first ? "" : ",", jsonRow(t, group, o).c_str());
                first = false;
            } else {
                printRow(t, group, o);
            }
        }
        std::fflush(stdout);
    }
    if (o.json) std::fputs(first ? "]\n" : "\n]\n", stdout);
    if (unread > 0)
        std::fprintf(stderr, "qoro loudness: %zu audio file%s of formats not read were passed over\n", unread,
                     unread == 1 ? "" : "s");
    return failed ? kExitFailed : kExitOk;
}

}  // namespace qoro::cli
