#include "core/batch_converter.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include "client/conversion.h"
#include "core/file_types.h"
#include "core/options_model.h"
#include "core/playback.h"
#include "core/time_text.h"

namespace quillet {

namespace {

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// The name under which a path is compared with others: absolute, with its
// links resolved as far as it exists.
std::string pathKey(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    if (ec) p = std::filesystem::path(path).lexically_normal();
    return p.string();
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// Replaces every occurrence of a four-character extension text, in any
// letter case, by its counterpart.
std::string replaceExtension(std::string name, const std::string& from, const std::string& to) {
    if (from.empty()) return name;
    for (size_t i = 0; i + from.size() <= name.size();) {
        bool match = true;
        for (size_t k = 0; k < from.size() && match; ++k)
            match = std::tolower(static_cast<unsigned char>(name[i + k])) == from[k];
        if (match) {
            name.replace(i, from.size(), to);
            i += to.size();
        } else {
            ++i;
        }
    }
    return name;
}

}  // namespace

std::string targetName(const std::string& sourcePath, ConversionMode mode) {
    const std::string name = fileNamePart(sourcePath);
    const ModeTypes types = modeTypes(mode);
    return replaceExtension(name, usualExtension(types.source), usualExtension(types.target));
}

std::string numberedName(const std::string& path, int number) {
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= nameStart) dot = path.size();
    return path.substr(0, dot) + " (" + std::to_string(number) + ")" + path.substr(dot);
}

RunPlan planRun(const FileGrid& grid, ConversionMode mode, const std::string& folder, bool number) {
    RunPlan plan;
    // Every listed file is a source, checked or not: none may be written over.
    std::set<std::string> sources, taken;
    for (const GridRow& row : grid.rows())
        if (const std::string path = trimSpaces(row.cell(kColPath)); !path.empty()) sources.insert(pathKey(path));
    const auto claimed = [&](const std::string& key) { return taken.count(key) != 0 || sources.count(key) != 0; };
    // A numbered name also keeps clear of the names later rows want as they are.
    std::set<std::string> wanted;
    for (const GridRow& row : grid.rows())
        if (const std::string path = trimSpaces(row.cell(kColPath)); row.checked() && !path.empty())
            wanted.insert(pathKey(folder + targetName(path, mode)));

    for (size_t r = 1; r <= grid.rowCount(); ++r) {
        const GridRow& row = grid.row(r);
        if (!row.checked()) continue;
        const std::string source = trimSpaces(row.cell(kColPath));
        if (source.empty()) {
            plan.settled.push_back({"", "", FileResult::Failed, 0, "row " + std::to_string(r) + " names no file"});
            continue;
        }
        std::string target = folder + targetName(source, mode);
        std::string key = pathKey(target);
        if (claimed(key) || sameFile(source, target)) {
            const bool isSource = sources.count(key) != 0 || sameFile(source, target);
            const std::string why =
                isSource ? "the target is a file in the list" : "another file in the list has the same target";
            plan.clashes.push_back(source + " -> " + target + ": " + why);
            if (!number) {
                plan.settled.push_back({source, target, FileResult::Skipped, 0, why});
                continue;
            }
            for (int n = 2;; ++n) {
                const std::string candidate = numberedName(folder + targetName(source, mode), n);
                if (const std::string k = pathKey(candidate); !claimed(k) && wanted.count(k) == 0) {
                    target = candidate;
                    key = pathKey(candidate);
                    break;
                }
            }
        }
        taken.insert(key);
        plan.jobs.push_back({r, source, target});
    }
    return plan;
}

BatchConverter::BatchConverter(Session& session, PlaybackController& playback) : s_(session), playback_(playback) {}

// The workers read this object's members: they are stopped first.
BatchConverter::~BatchConverter() { run_.reset(); }

bool BatchConverter::lastRunHadFailures() const {
    for (const FileResult& r : results_)
        if (r.outcome == FileResult::Failed || r.outcome == FileResult::Partial) return true;
    return false;
}

void BatchConverter::onConvert() {
    const ConversionMode mode = s_.mode;
    Dialogs& dialogs = s_.ports.dialogs;
    if (s_.playing(mode)) {
        dialogs.information(text::playing(mode));
        return;
    }
    if (s_.converting(mode) || run_) {
        dialogs.information(text::converting(mode));
        return;
    }
    if (!s_.grid.anyChecked()) {
        dialogs.information(text::noCheckedToConvert(mode));
        return;
    }
    if (!dialogs.askOkCancel(text::confirmConversion(mode), Question::StartConversion)) return;

    // Collisions are settled before anything is written.
    const std::string folder = mode == ConversionMode::Mp3ToWav ? s_.settings.WaveDir : s_.settings.Mp3Dir;
    RunPlan plan = planRun(s_.grid, mode, folder, true);
    if (!plan.clashes.empty()) {
        const CollisionChoice choice = dialogs.resolveCollisions(text::collisions(plan.clashes.size()), plan.clashes);
        if (choice == CollisionChoice::Cancel) return;
        if (choice == CollisionChoice::Skip) plan = planRun(s_.grid, mode, folder, false);
    }
    askAboutExistingTargets(plan);

    // The workers read the format from here, not from settings the user may
    // change meanwhile.
    runMode_ = mode;
    pcm_ = offeredPcmTarget(s_.settings);
    mp3_ = offeredMp3Target(s_.settings);
    results_.clear();
    resultRows_.clear();
    filesDone_ = 0;
    files_ = plan.jobs.size();
    shownJob_ = SIZE_MAX;
    for (size_t r = 1; r <= s_.grid.rowCount(); ++r) s_.ports.grid.setRowState(r, RowState::Plain, "");
    for (FileResult& settled : plan.settled) {
        size_t row = 0;
        for (size_t r = 1; r <= s_.grid.rowCount() && !row; ++r)
            if (!settled.source.empty() && trimSpaces(s_.grid.row(r).cell(kColPath)) == settled.source) row = r;
        record(std::move(settled), row);
    }
    for (const RunJob& job : plan.jobs) s_.ports.grid.setRowState(job.row, RowState::Waiting, "");

    s_.converting(mode) = true;
    run_ = std::make_unique<ConversionRun>(
        std::move(plan.jobs), s_.workers, s_.makeWorkerParts,
        [this, afterBlock = s_.afterEachBlock](const Components& parts, const RunJob& job,
                                               const std::function<void(const qoro::client::Progress&)>& progress,
                                               const std::atomic<bool>& cancel) {
            if (!afterBlock) return convertFile(parts, job, progress, cancel);
            return convertFile(
                parts, job,
                [&](const qoro::client::Progress& p) {
                    progress(p);
                    afterBlock();
                },
                cancel);
        },
        s_.wakeAtRunEnd);
    s_.ports.view.showProgress(0, files_, 0);
    s_.ports.view.runStarted();
}

void BatchConverter::askAboutExistingTargets(RunPlan& plan) {
    if (s_.settings.PromptBeforeOverwrite == 0) return;
    std::optional<bool> forAll;  // the "to all" answer once given
    std::vector<RunJob> kept;
    for (RunJob& job : plan.jobs) {
        bool replace = true;
        if (fileExists(job.target)) {
            if (forAll) {
                replace = *forAll;
            } else {
                switch (s_.ports.dialogs.askOverwrite(text::confirmOverwrite(s_.mode, job.target))) {
                case OverwriteAnswer::Yes: break;
                case OverwriteAnswer::YesToAll: forAll = true; break;
                case OverwriteAnswer::No: replace = false; break;
                case OverwriteAnswer::NoToAll:
                    replace = false;
                    forAll = false;
                    break;
                }
            }
        }
        if (replace)
            kept.push_back(std::move(job));
        else
            plan.settled.push_back({job.source, job.target, FileResult::Skipped, 0, "target exists"});
    }
    plan.jobs = std::move(kept);
}

void BatchConverter::onCancel() {
    if (run_) run_->cancel();
}

void BatchConverter::onRunTick() {
    if (run_) show(run_->takeNews());
}

void BatchConverter::waitForRun(std::chrono::milliseconds tick) {
    while (run_) {
        run_->waitForNews(tick);
        onRunTick();
    }
}

void BatchConverter::show(const ConversionRun::News& news) {
    for (size_t index : news.started) {
        const RunJob& job = run_->job(index);
        s_.ports.grid.setRowState(job.row, RowState::Converting, "");
        shownJob_ = index;
        if (job.row >= 1 && job.row <= s_.grid.rowCount()) s_.showRowLabels(s_.grid.row(job.row));
        s_.showFactLabels(job.source);
        if (s_.ports.listener) s_.ports.listener->fileStarted(job.row, job.source, job.target);
    }
    for (const auto& [index, result] : news.finished) {
        ++filesDone_;
        record(result, run_->job(index).row);
    }
    double share = 0;
    for (const auto& [index, p] : news.progress) {
        if (index != shownJob_) continue;
        s_.ports.view.setTimeDisplay(timeText(p.frequency > 0 ? p.framesDone / p.frequency : 0));
        if (p.framesTotal > 0) share = std::min(1.0, static_cast<double>(p.framesDone) / p.framesTotal);
    }
    s_.ports.view.showProgress(filesDone_, files_, share);
    if (news.ended) endRun();
}

// The copy goes through the conversion routine of the client library: the
// target is written under a temporary name and renamed into place when it is
// complete, and every call's result is checked. A source that fails part-way
// still gives a target of what could be read (Partial); a target that cannot
// be written completely is dropped (Failed).
FileResult BatchConverter::convertFile(const Components& parts, const RunJob& job,
                                       const std::function<void(const qoro::client::Progress&)>& progress,
                                       const std::atomic<bool>& cancel) const {
    FileResult result{job.source, job.target, FileResult::Converted, 0, {}};
    const ConversionMode mode = runMode_;
    qoro::client::Conversion conversion;
    conversion.source = parts.source.get();
    conversion.target = parts.target.get();
    conversion.sourcePath = job.source;
    conversion.targetPath = job.target;
    conversion.targetType = mode == ConversionMode::Mp3ToWav ? WAV : MP3;
    conversion.chooseFormat = [this, mode](IAudioFile* out, const qoro::client::SourceFormat&) {
        qoro::client::FormatChoice choice;
        if (mode == ConversionMode::Mp3ToWav) {
            const PcmTarget& t = pcm_;
            choice.hr = out->SetFormatPCM(t.frequency, t.channels, t.bitsPerSample, &choice.blockAlign);
            choice.what = "WAV, " + std::to_string(t.frequency) + " Hz, " + std::to_string(t.channels) +
                          " channel(s), " + std::to_string(t.bitsPerSample) + " bits";
        } else {
            const Mp3Target& t = mp3_;
            choice.hr = out->SetFormatMP3(t.frequency, t.bitrate, t.channels, &choice.blockAlign);
            choice.what = "MP3, " + std::to_string(t.frequency) + " Hz, " + std::to_string(t.bitrate) + " kbit/s, " +
                          std::to_string(t.channels) + " channel(s)";
        }
        return choice;
    };
    conversion.progress = progress;
    conversion.cancel = &cancel;
    conversion.replace = true;  // asked before the run, or PromptBeforeOverwrite is off
    conversion.keepWhatWasRead = true;
    if (!conversion.source || !conversion.target) {
        result.outcome = FileResult::Failed;
        result.reason = "the audio file component could not be created";
        return result;
    }
    const qoro::client::ConversionResult r = qoro::client::convert(conversion);
    result.frames = r.frames;
    switch (r.outcome) {
    case qoro::client::ConversionResult::Converted: break;
    case qoro::client::ConversionResult::Partial:
        result.outcome = FileResult::Partial;
        result.reason = r.message;
        break;
    case qoro::client::ConversionResult::Cancelled:
        result.outcome = FileResult::Cancelled;
        result.reason = "cancelled";
        break;
    default:
        result.outcome = FileResult::Failed;
        result.reason = r.message;
        break;
    }
    return result;
}

void BatchConverter::record(FileResult result, size_t row) {
    if (row >= 1) {
        RowState state = RowState::Done;
        std::string detail;
        switch (result.outcome) {
        case FileResult::Converted: break;
        case FileResult::Partial:
            state = RowState::Failed;
            detail = "cut short: " + result.reason;
            break;
        case FileResult::Failed:
            state = RowState::Failed;
            detail = result.reason;
            break;
        case FileResult::Skipped:
            state = RowState::Skipped;
            detail = result.reason;
            break;
        case FileResult::Cancelled:
            state = RowState::Cancelled;
            detail = result.reason;
            break;
        }
        s_.ports.grid.setRowState(row, state, detail);
    }
    if (s_.ports.listener) s_.ports.listener->fileFinished(result);
    results_.push_back(std::move(result));
    resultRows_.push_back(row);
}

void BatchConverter::endRun() {
    run_.reset();
    const ConversionMode mode = runMode_;
    s_.converting(mode) = false;
    s_.resetLabels();
    s_.ports.view.runEnded();

    // Results in row order.
    std::vector<size_t> order(results_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [this](size_t a, size_t b) { return resultRows_[a] < resultRows_[b]; });
    std::vector<FileResult> sorted;
    for (size_t i : order) sorted.push_back(std::move(results_[i]));
    results_ = std::move(sorted);
    std::sort(resultRows_.begin(), resultRows_.end());

    RunSummary summary;
    size_t counts[5] = {};
    for (const FileResult& r : results_) {
        ++counts[r.outcome];
        if (r.outcome == FileResult::Failed || r.outcome == FileResult::Partial)
            summary.failures.push_back((r.source.empty() ? std::string() : r.source + ": ") + r.reason);
    }
    summary.headline =
        text::runHeadline(counts[FileResult::Converted], counts[FileResult::Failed] + counts[FileResult::Partial],
                          counts[FileResult::Skipped], counts[FileResult::Cancelled]);
    summary.outputFolder = mode == ConversionMode::Mp3ToWav ? s_.settings.WaveDir : s_.settings.Mp3Dir;
    s_.ports.dialogs.showSummary(summary);
    if (s_.settings.OpenDirAfterConvert != 0) s_.ports.shell.open(summary.outputFolder, false);
    if (s_.settings.PlayAfterConvert != 0) {
        s_.forward = true;
        playback_.play();
    }
}

void BatchConverter::abandon() {
    if (!run_) return;
    run_->cancel();
    run_.reset();  // waits for the workers; they drop their temporaries
    s_.converting(runMode_) = false;
    s_.resetLabels();
    s_.ports.view.runEnded();
}

}  // namespace quillet
