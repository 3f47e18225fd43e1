// qoro convert: runs the planned jobs on N workers, each with its own
// apartment and objects; shows progress; stops cleanly on Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "client/errors.h"
#include "client/text.h"
#include "commands.h"
#include "components.h"
#include "convert.h"
#include "json.h"
#include "library.h"
#include "plan.h"
#include "replaygain.h"
#include "qoro/com.h"
#include "replace/replace.h"

namespace qoro::cli {

namespace {

std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int) { gInterrupted.store(true); }

using Clock = std::chrono::steady_clock;

std::string formatSeconds(double seconds) {
    long s = static_cast<long>(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s % 3600 / 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%02ld:%02ld", s / 60, s % 60);
    return text;
}

// --report FILE: a JSON object per planned file of the share, one line
// each, appended with one write to FILE.partial as its file finishes; a
// summary object ends it, and then FILE.partial is renamed to FILE. A run
// cut short leaves FILE.partial (with its summary when it could stop
// cleanly), so FILE exists only for a share that ran to its end.
class ReportFile {
public:
    bool open(const std::string& path, std::string& error) {
        path_ = path;
        partial_ = path + ".partial";
        fd_ = ::open(partial_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            error = "cannot write the report " + partial_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    ~ReportFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool active() const { return fd_ >= 0; }

    // One planned file: status "converted", "failed", "skipped", "up to
    // date", "not converted" (its format) or "interrupted".
    void file(const fs::path& source, const fs::path& target, const char* status, const std::string& cause,
              double audioSeconds, double wallSeconds, uint64_t bytes) {
        if (fd_ < 0) return;
        char numbers[160];
        std::snprintf(numbers, sizeof numbers, ", \"audioSeconds\": %.3f, \"wallSeconds\": %.3f, \"bytesWritten\": %llu}\n",
                      audioSeconds, wallSeconds, static_cast<unsigned long long>(bytes));
        append("{\"source\": " + jsonString(source.native()) + ", \"target\": " + jsonString(target.native()) +
               ", \"status\": " + jsonString(status) + ", \"cause\": " + jsonString(cause) + numbers);
    }

    // The summary object; the report is complete (renamed to its name)
    // when the share ran to its end.
    bool finish(const std::string& summary, bool complete, std::string& error) {
        if (fd_ < 0) return true;
        append(summary + "\n");
        const bool synced = ::fsync(fd_) == 0;
        if (failure_.empty() && !synced) failure_ = std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        if (failure_.empty() && complete && ::rename(partial_.c_str(), path_.c_str()) != 0)
            failure_ = std::strerror(errno);
        if (failure_.empty()) return true;
        error = "the report " + partial_ + " could not be written: " + failure_;
        return false;
    }

private:
    void append(const std::string& line) {
        std::lock_guard lock(mutex_);
        // O_APPEND: the whole line lands at the end in one write.
        const ssize_t n = ::write(fd_, line.data(), line.size());
        if (n != static_cast<ssize_t>(line.size()) && failure_.empty())
            failure_ = n < 0 ? std::strerror(errno) : "the disk is full";
    }

    std::string path_, partial_;
    int fd_ = -1;
    std::mutex mutex_;
    std::string failure_;
};

uint64_t sizeOf(const fs::path& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Progress of the whole batch, shared by the workers and the display.
class Board {
public:
    Board(size_t jobs, int workers, bool terminal, ReportFile& report)
        : total_(jobs), slots_(workers), terminal_(terminal), report_(report) {}

    void start(int worker, const std::string& name) {
        std::lock_guard lock(mutex_);
        slots_[worker] = Slot{name, {}, true};
    }
    void update(int worker, const client::Progress& p) {
        std::lock_guard lock(mutex_);
        slots_[worker].progress = p;
    }
    void finish(int worker, const Job& job, const client::ConversionResult& r, double wall) {
        std::lock_guard lock(mutex_);
        slots_[worker].active = false;
        ++finished_;
        const bool ok = r.outcome == client::ConversionResult::Converted;
        // A source the components refuse for its format counts with the
        // files left for their kind; found by a walk, it fails nothing.
        const bool unsupported = r.step == client::Step::Open && r.code == FORMATNOTSUPPORT;
        if (ok) {
            ++converted_, audioSeconds_ += r.seconds();
            foldedDown_ += r.foldedDown();
            clipped_ += r.clipped;
        }
        else if (r.outcome == client::ConversionResult::Cancelled)
            ++interrupted_;
        else if (unsupported)
            left_.add(job.source, !job.library), ++unsupportedJobs_;
        else
            ++failed_;
        const char* status = ok ? "converted"
                             : r.outcome == client::ConversionResult::Cancelled ? "interrupted"
                             : unsupported ? "not converted"
                                           : "failed";
        report_.file(job.source, job.target, status, ok ? std::string() : r.message, r.seconds(), wall,
                     ok ? sizeOf(job.target) : 0);
        clearLine();
        if (ok) {
            std::fprintf(stdout, "ok      %s -> %s (%s of audio, %.1f s, %.0fx%s)\n", shown(job.source).c_str(),
                         shown(job.target).c_str(), formatSeconds(r.seconds()).c_str(), wall,
                         wall > 0 ? r.seconds() / wall : 0.0, shapeNotes(r).c_str());
            std::fflush(stdout);
        } else if (r.outcome != client::ConversionResult::Cancelled) {
            std::fprintf(stderr, "FAILED  %s: %s\n", shown(job.source).c_str(), client::printable(r.message).c_str());
        }
        drawLocked();
    }
    void skipped(const Job& job) {
        std::lock_guard lock(mutex_);
        ++finished_;
        ++skipped_;
        report_.file(job.source, job.target, "skipped", "the output exists", 0, 0, 0);
        clearLine();
        std::fprintf(stdout, "skipped %s (%s exists)\n", shown(job.source).c_str(), shown(job.target).c_str());
        std::fflush(stdout);
    }
    void draw() {
        std::lock_guard lock(mutex_);
        drawLocked();
    }
    // The last line; 'extra' adds the counts of a library run (", 12 up to
    // date, 40 in other shards, ...").
    void summary(double wall, const std::string& extra) {
        std::lock_guard lock(mutex_);
        clearLine();
        std::fprintf(stderr, "%zu converted, %zu skipped, %zu failed%s%s", converted_, skipped_, failed_,
                     left_.text().c_str(), extra.c_str());
        if (interrupted_ || finished_ < total_)
            std::fprintf(stderr, ", %zu not done (interrupted)",
                         total_ - converted_ - skipped_ - failed_ - unsupportedJobs_);
        std::fprintf(stderr, "; %s of audio in %.1f s (%.0fx real time)", formatSeconds(audioSeconds_).c_str(), wall,
                     wall > 0 ? audioSeconds_ / wall : 0.0);
        if (foldedDown_) std::fprintf(stderr, "; %zu folded down to fewer channels", foldedDown_);
        if (clipped_) std::fprintf(stderr, "; %lld samples clipped", static_cast<long long>(clipped_));
        std::fputc('\n', stderr);
    }
    // What a converted file's line adds: channels folded down, samples clipped.
    static std::string shapeNotes(const client::ConversionResult& r) {
        std::string notes;
        if (r.foldedDown())
            notes += ", " + std::to_string(r.sourceChannels) + " channels folded down to " +
                     (r.targetChannels == 1 ? std::string("mono") : std::to_string(r.targetChannels));
        if (r.clipped) notes += ", " + std::to_string(r.clipped) + " samples clipped";
        return notes;
    }

    // A file not converted because of its kind (counted, not started).
    void left(const fs::path& file, bool named, const std::string& cause) {
        std::lock_guard lock(mutex_);
        left_.add(file, named);
        report_.file(file, {}, "not converted", cause, 0, 0, 0);
    }
    size_t failed() const { return failed_ + left_.named; }

    // The counts of the summary line as a JSON object, for the report.
    std::string summaryJson(double wall, size_t upToDate, size_t otherShards, int exitStatus) {
        std::lock_guard lock(mutex_);
        const size_t notDone = total_ - std::min(total_, converted_ + skipped_ + failed_ + unsupportedJobs_);
        char text[512];
        std::snprintf(text, sizeof text,
                      "{\"summary\": true, \"converted\": %zu, \"skipped\": %zu, \"failed\": %zu, "
                      "\"upToDate\": %zu, \"notConverted\": %zu, \"notDone\": %zu, \"otherShards\": %zu, "
                      "\"audioSeconds\": %.3f, \"wallSeconds\": %.3f, \"exitStatus\": %d}",
                      converted_, skipped_, failed_, upToDate, left_.count, interrupted_ || finished_ < total_ ? notDone : 0,
                      otherShards, audioSeconds_, wall, exitStatus);
        return text;
    }

private:
    // Files not converted for their kind, by extension in the order met:
    // ", 2 not converted: unsupported format (m4a 1, ape 1)".
    struct LeftFiles {
        std::vector<std::pair<std::string, size_t>> byExtension;
        size_t count = 0, named = 0;
        void add(const fs::path& file, bool isNamed) {
            std::string ext = extensionOf(file);
            if (ext.empty()) ext = "no extension";
            auto it =
                std::find_if(byExtension.begin(), byExtension.end(), [&](const auto& e) { return e.first == ext; });
            if (it == byExtension.end())
                byExtension.emplace_back(ext, 1);
            else
                ++it->second;
            ++count;
            if (isNamed) ++named;
        }
        std::string text() const {
            if (!count) return {};
            std::string kinds;
            for (const auto& [ext, n] : byExtension)
                kinds += (kinds.empty() ? "" : ", ") + ext + " " + std::to_string(n);
            return ", " + std::to_string(count) + " not converted: unsupported format (" + kinds + ")";
        }
    };

    static std::string shown(const fs::path& path) { return client::printable(path.native()); }

    struct Slot {
        std::string name;
        client::Progress progress;
        bool active = false;
    };

    void clearLine() {
        if (terminal_ && drawn_) std::fputs("\r\x1b[K", stderr);
        drawn_ = false;
    }
    // One status line: overall count, audio done and speed, then each file
    // in flight with its own percentage.
    void drawLocked() {
        if (!terminal_) return;
        double wall = std::chrono::duration<double>(Clock::now() - begin_).count();
        double audio = audioSeconds_;
        std::string files;
        for (const auto& s : slots_) {
            if (!s.active) continue;
            if (s.progress.frequency > 0) audio += double(s.progress.framesDone) / s.progress.frequency;
            std::string name = s.name;
            if (name.size() > 24) {  // the end of the name, cut between characters
                size_t cut = name.size() - 23;
                while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) ++cut;
                name = "…" + name.substr(cut);
            }
            char part[64];
            if (s.progress.framesTotal > 0)
                std::snprintf(part, sizeof part, " | %s %3d%%", name.c_str(),
                              int(std::min<long long>(100, s.progress.framesDone * 100 / s.progress.framesTotal)));
            else
                std::snprintf(part, sizeof part, " | %s", name.c_str());
            files += part;
        }
        std::fprintf(stderr, "\r\x1b[K[%zu/%zu] %s %.0fx%s", finished_, total_, formatSeconds(audio).c_str(),
                     wall > 0 ? audio / wall : 0.0, files.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    std::mutex mutex_;
    size_t total_;
    std::vector<Slot> slots_;
    bool terminal_;
    ReportFile& report_;
    bool drawn_ = false;
    size_t finished_ = 0, converted_ = 0, skipped_ = 0, failed_ = 0, interrupted_ = 0, unsupportedJobs_ = 0;
    size_t foldedDown_ = 0;  // converted files whose channels were folded down
    int64_t clipped_ = 0;    // samples clipped in the converted files
    LeftFiles left_;
    double audioSeconds_ = 0;
    Clock::time_point begin_ = Clock::now();
};

// The rate and array channels of a source, as the component reads them.
std::optional<SourceShape> probeSource(const fs::path& path) {
    ComPtr<IAudioFile> file = createAudioFile();
    if (!file) return std::nullopt;
    Bstr name(path.native());
    file->OpenFile(name.get(), DEFAULT, READ);
    std::optional<SourceShape> shape;
    if (lastError(file.get()) == NOERRORS) {
        LONG rate = 0, channels = 0;
        file->get_Frequency(&rate);
        file->get_ArrayChannels(&channels);
        shape = SourceShape{rate, channels};
    }
    file->CloseFile();
    return shape;
}

// Why the components do not convert a named file: their own refusal, which
// names the file's kind when its content shows one; else its extension.
std::string refusalOf(const fs::path& path) {
    if (std::string cause = client::unreadableFileCause(path.native()); !cause.empty()) return cause;
    if (ComPtr<IAudioFile> file = createAudioFile()) {
        Bstr name(path.native());
        client::clearErrorInfo();
        file->OpenFile(name.get(), DEFAULT, READ);
        std::string cause = qoro::com::takeErrorDescription();
        const LONG error = lastError(file.get());
        file->CloseFile();
        qoro::com::takeErrorDescription();
        if (error != NOERRORS) return cause.empty() ? errorWords(error) : cause;
    }
    if (isUnreadAudio(path)) return unopenedKindCause(path);
    return unopenedKindCause(path) + "; --from raw:RATE:CHANNELS:BITS reads headerless samples";
}

// Says which files are not converted for their kind: a named file always,
// with the cause; a walked one with --verbose. Other files a walk passed
// over are listed with --verbose. (The walk kept this share's only.)
void reportLeftFiles(const ConvertOptions& o, const WalkReport& walk, Board& board) {
    for (const auto& file : walk.unsupported) {
        const std::string shown = client::printable(file.path.native());
        const std::string cause = file.named ? refusalOf(file.path) : "unsupported format";
        board.left(file.path, file.named, cause);
        if (file.named)
            std::fprintf(stderr, "FAILED  %s: %s\n", shown.c_str(), client::printable(cause).c_str());
        else if (o.verbose)
            std::fprintf(stderr, "not converted  %s: unsupported format\n", shown.c_str());
    }
    if (o.verbose)
        for (const auto& file : walk.others)
            std::fprintf(stderr, "passed over  %s: not audio\n", client::printable(file.path.native()).c_str());
}

// --dry-run: the plan of this share, one line a file, and its counts.
int printPlan(const ConvertOptions& o, const Plan& plan, const std::vector<CoverCopy>& covers) {
    size_t convert = 0, skip = 0, upToDate = 0;
    for (const auto& job : plan.jobs) {
        const std::string source = client::printable(job.source.native());
        const std::string target = client::printable(job.target.native());
        if (job.upToDate) {
            ++upToDate;
            std::fprintf(stdout, "current %s -> %s (up to date)\n", source.c_str(), target.c_str());
        } else if (job.skip) {
            ++skip;
            std::fprintf(stdout, "skip    %s (%s exists)\n", source.c_str(), target.c_str());
        } else {
            ++convert;
            std::fprintf(stdout, "%s %s -> %s\n", job.replace ? "replace" : "convert", source.c_str(), target.c_str());
        }
    }
    for (const auto& cover : covers)
        std::fprintf(stdout, "cover   %s -> %s\n", client::printable(cover.source.native()).c_str(),
                     client::printable(cover.target.native()).c_str());
    size_t named = 0;
    for (const auto& file : plan.walk.unsupported) {
        named += file.named;
        if (file.named || o.verbose)
            std::fprintf(stderr, "not converted  %s: %s\n", client::printable(file.path.native()).c_str(),
                         client::printable(unopenedKindCause(file.path)).c_str());
    }
    for (const auto& folder : plan.walk.unreadable)
        std::fprintf(stderr, "qoro convert: %s; skipped\n", client::printable(folder).c_str());
    for (const auto& note : plan.walk.notes) std::fprintf(stderr, "qoro convert: %s\n", client::printable(note).c_str());
    std::fflush(stdout);
    std::fprintf(stderr,
                 "dry run: %zu to convert, %zu to skip, %zu up to date, %zu in other shards, %zu covers to copy, "
                 "%zu not converted for their format, %zu other files; nothing written\n",
                 convert, skip, upToDate, plan.otherShards, covers.size(), plan.walk.unsupported.size(),
                 plan.walk.others.size());
    return named == 0 && plan.walk.unreadable.empty() ? kExitOk : kExitFailed;
}

// Installs the Ctrl-C/termination handler for the lifetime of a batch.
class InterruptGuard {
public:
    InterruptGuard() {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
        sigaction(SIGHUP, &action, &oldHup_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGHUP, &oldHup_, nullptr);
    }

private:
    struct sigaction oldInt_ {
    }, oldTerm_{}, oldHup_{};
};

}  // namespace

int runConvert(const std::vector<std::string>& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(helpText(kConvertHelp).c_str(), stdout);
            return kExitOk;
        }
    ConvertOptions options;
    std::string error;
    if (!parseConvertOptions(args, options, error)) {
        std::fprintf(stderr, "qoro convert: %s\n(see qoro convert --help)\n", client::printable(error).c_str());
        return kExitUsage;
    }
    Plan plan;
    WalkReport& walk = plan.walk;
    std::vector<CoverCopy> covers;
    std::set<fs::path> outputFolders;
    std::vector<std::string> problems;
    bool planned = planRun(options, plan, problems);
    std::vector<Job> jobs;
    // This process converts its own share of what is not up to date.
    size_t upToDate = 0;
    const size_t otherShards = plan.otherShards;
    if (planned) {
        for (const auto& job : plan.jobs) {
            if (job.upToDate)
                ++upToDate;
            else
                jobs.push_back(job);
        }
        covers = planCovers(plan.jobs, walk, walk.notes);
        // Every folder the share's outputs go into, made before anything
        // else is written (folders of files up to date exist already).
        for (const auto& job : plan.jobs) outputFolders.insert(job.target.parent_path());
    }
    if (planned) {
        Apartment apartment;  // the sources' rates, where a bitrate depends on them
        SourceProbe probe = probeSource;
        if (options.from)
            probe = [raw = *options.from](const fs::path&) -> std::optional<SourceShape> {
                return SourceShape{raw.rate, raw.channels};
            };
        planned = checkOptionValues(options, jobs, probe, problems);
    }
    if (!planned) {
        for (const auto& p : problems) std::fprintf(stderr, "qoro convert: %s\n", client::printable(p).c_str());
        std::fprintf(stderr, "qoro convert: nothing written\n");
        return kExitUsage;
    }
    if (options.dryRun) return printPlan(options, plan, covers);
    ReportFile report;
    if (options.report && !report.open(*options.report, error)) {
        std::fprintf(stderr, "qoro convert: %s\nqoro convert: nothing converted\n", client::printable(error).c_str());
        return kExitFailed;
    }
    if (!options.output.empty()) {  // the output folder, or the folder of the output file
        fs::path folder =
            outputNamesFolder(options) ? fs::path(options.output) : fs::path(options.output).parent_path();
        if (!folder.empty()) outputFolders.insert(folder);
    }
    for (const auto& folder : outputFolders) {
        std::string cause;
        if (!folder.empty() && !makeFolders(folder, cause)) {
            std::fprintf(stderr, "qoro convert: %s\nqoro convert: nothing converted\n",
                         client::printable(cause).c_str());
            return kExitFailed;
        }
        // What a conversion killed before it could clean up left there.
        replace::removeStale(folder.empty() ? fs::path(".") : folder);
    }
    for (const auto& folder : walk.unreadable)
        std::fprintf(stderr, "qoro convert: %s; skipped\n", client::printable(folder).c_str());
    for (const auto& note : walk.notes) std::fprintf(stderr, "qoro convert: %s\n", client::printable(note).c_str());

    int workers = options.jobs > 0 ? options.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    workers = static_cast<int>(std::min<size_t>(workers, std::max<size_t>(jobs.size(), 1)));
    Board board(jobs.size(), workers, ::isatty(STDERR_FILENO) == 1, report);
    for (const auto& job : plan.jobs)
        if (job.upToDate) report.file(job.source, job.target, "up to date", {}, 0, 0, 0);
    InterruptGuard guard;
    gInterrupted.store(false);
    {
        Apartment apartment;  // the components name the kind of a refused file
        reportLeftFiles(options, walk, board);
    }

    // Cover images first: quick, and in place however the audio ends.
    size_t coversCopied = 0, coversFailed = 0;
    for (size_t i = 0; i < covers.size() && !gInterrupted.load(); ++i) {
        std::string cause;
        switch (copyCover(covers[i], options, cause)) {
        case CoverResult::Copied:
            ++coversCopied;
            std::fprintf(stdout, "cover   %s -> %s\n", client::printable(covers[i].source.native()).c_str(),
                         client::printable(covers[i].target.native()).c_str());
            break;
        case CoverResult::Identical: break;
        case CoverResult::Kept:
            std::fprintf(stderr, "qoro convert: %s: kept; %s\n", client::printable(covers[i].target.native()).c_str(),
                         cause.c_str());
            break;
        case CoverResult::Failed:
            ++coversFailed;
            std::fprintf(stderr, "FAILED  %s: %s\n", client::printable(covers[i].source.native()).c_str(),
                         client::printable(cause).c_str());
            break;
        }
    }
    std::fflush(stdout);

    // Albums are tagged as their last track is done.
    std::optional<AlbumBook> albums;
    if (options.replayGain == ConvertOptions::Gain::Album) albums.emplace(options, plan.jobs);

    std::atomic<size_t> next{0};
    std::atomic<int> running{workers};
    auto begin = Clock::now();
    auto work = [&](int worker) {
        Apartment apartment;  // this thread's objects live here
        for (;;) {
            if (gInterrupted.load()) break;
            size_t index = next.fetch_add(1);
            if (index >= jobs.size()) break;
            const Job& job = jobs[index];
            if (job.skip) {
                board.skipped(job);
                if (albums) albums->skipped(job);
                continue;
            }
            board.start(worker, client::printable(job.source.filename().native()));
            auto started = Clock::now();
            TrackLoudness loudness;
            client::ConversionResult result = convertJob(
                job, options, [&](const client::Progress& p) { board.update(worker, p); }, gInterrupted, &loudness);
            board.finish(worker, job, result, std::chrono::duration<double>(Clock::now() - started).count());
            // An interrupted run leaves its albums without album values.
            if (albums && result.outcome != client::ConversionResult::Cancelled)
                albums->done(job, result.published(), std::move(loudness));
        }
        running.fetch_sub(1);
    };

    {
        std::vector<std::jthread> threads;
        for (int w = 0; w < workers; ++w) threads.emplace_back(work, w);
        // The display refreshes while the workers run.
        while (running.load() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            board.draw();
        }
    }  // joins every worker; unfinished files have removed their temporaries
    if (albums) albums->flush();
    std::string extra;
    if (options.update) extra += ", " + std::to_string(upToDate) + " up to date";
    if (options.shard) extra += ", " + std::to_string(otherShards) + " in other shards";
    if (options.recursive) extra += ", " + std::to_string(coversCopied) + " covers copied";
    if (coversFailed) extra += ", " + std::to_string(coversFailed) + " covers failed";
    if (albums) extra += ", " + std::to_string(albums->albumsTagged()) + " albums tagged";
    if (albums && albums->albumsFailed()) extra += ", " + std::to_string(albums->albumsFailed()) + " albums without values";
    if (!walk.unreadable.empty()) extra += ", " + std::to_string(walk.unreadable.size()) + " folders unreadable";
    if (const size_t others = walk.others.size(); others > 0)
        extra += ", " + std::to_string(others) + " other files";
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    board.summary(wall, extra);
    const bool interrupted = gInterrupted.load();
    int status = interrupted ? kExitInterrupted
                 : board.failed() == 0 && coversFailed == 0 && walk.unreadable.empty() &&
                         (!albums || albums->albumsFailed() == 0)
                     ? kExitOk
                                                                                         : kExitFailed;
    if (!report.finish(board.summaryJson(wall, upToDate, otherShards, status), !interrupted, error)) {
        std::fprintf(stderr, "qoro convert: %s\n", client::printable(error).c_str());
        if (status == kExitOk) status = kExitFailed;
    }
    return status;
}

}  // namespace qoro::cli
