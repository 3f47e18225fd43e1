#include "core/batch_converter.h"

#include <cctype>
#include <filesystem>
#include <system_error>

#include "client/conversion.h"
#include "core/playback.h"
#include "core/time_text.h"

namespace quillet {

namespace {

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// Replaces every occurrence of a four-character extension text, in any
// letter case, by its counterpart.
std::string replaceExtension(std::string name, const char* from, const char* to) {
    for (size_t i = 0; i + 4 <= name.size();) {
        bool match = true;
        for (size_t k = 0; k < 4 && match; ++k)
            match = std::tolower(static_cast<unsigned char>(name[i + k])) == from[k];
        if (match) {
            name.replace(i, 4, to);
            i += 4;
        } else {
            ++i;
        }
    }
    return name;
}

}  // namespace

std::string targetName(const std::string& sourcePath, ConversionMode mode) {
    const std::string name = fileNamePart(sourcePath);
    return mode == ConversionMode::Mp3ToWav ? replaceExtension(name, ".mp3", ".wav")
                                            : replaceExtension(name, ".wav", ".mp3");
}

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
    if (!s_.converting(mode)) {
        if (!s_.grid.anyChecked()) {
            dialogs.information(text::noCheckedToConvert(mode));
            return;
        }
        if (!dialogs.askOkCancel(text::confirmConversion(mode), Question::StartConversion)) return;
        results_.clear();
    }
    s_.converting(mode) = true;
    run();
}

// The row steps of a run, as a loop: each pass looks at the cursor's row and
// then takes the end-of-item step, which moves to the next row or ends the
// run. A file that cannot be converted is recorded and passed over, so every
// run reaches its end.
void BatchConverter::run() {
    for (;;) {
        while (s_.cursorInList() && !s_.grid.row(s_.currentRow).checked()) ++s_.currentRow;
        if (s_.cursorInList() && !convertRow()) continue;
        // End of the item, conversion branch.
        s_.resetLabels();
        ++s_.currentRow;
        if (s_.currentRow <= s_.rowCount()) continue;
        endRun();
        return;
    }
}

bool BatchConverter::convertRow() {
    const ConversionMode mode = s_.mode;
    const size_t rowNumber = s_.currentRow;
    const GridRow row = s_.grid.row(rowNumber);
    const std::string source = trimSpaces(row.cell(kColPath));
    if (source.empty()) {
        record({"", "", FileResult::Failed, 0, "row " + std::to_string(rowNumber) + " names no file"});
        return true;
    }
    s_.showRowLabels(row);
    const std::string& folder = mode == ConversionMode::Mp3ToWav ? s_.settings.WaveDir : s_.settings.Mp3Dir;
    const std::string target = folder + targetName(source, mode);

    // Writing the target would destroy the source while it is being read.
    if (sameFile(source, target)) {
        record({source, target, FileResult::Failed, 0, "the target would replace the source"});
        return true;
    }
    if (s_.settings.PromptBeforeOverwrite != 0 && fileExists(target) &&
        !s_.ports.dialogs.askOkCancel(text::confirmOverwrite(mode, target), Question::Overwrite)) {
        record({source, target, FileResult::Skipped, 0, "target exists"});
        ++s_.currentRow;
        return false;
    }
    s_.showFactLabels(source);
    if (s_.ports.listener) s_.ports.listener->fileStarted(rowNumber, source, target);
    record(convertFile(source, target));
    return true;
}

// The copy goes through the conversion routine of the client library: the
// target is written under a temporary name and renamed into place when it is
// complete, and every call's result is checked. A source that fails part-way
// still gives a target of what could be read (Partial); a target that cannot
// be written completely is dropped (Failed).
FileResult BatchConverter::convertFile(const std::string& source, const std::string& target) {
    FileResult result{source, target, FileResult::Converted, 0, {}};
    const ConversionMode mode = s_.mode;
    qoro::client::Conversion job;
    job.source = s_.components.source.get();
    job.target = s_.components.target.get();
    job.sourcePath = source;
    job.targetPath = target;
    job.targetType = mode == ConversionMode::Mp3ToWav ? WAV : MP3;
    job.chooseFormat = [this, mode](IAudioFile* out, const qoro::client::SourceFormat&) {
        qoro::client::FormatChoice choice;
        if (mode == ConversionMode::Mp3ToWav) {
            const PcmTarget t = resolvePcmTarget(s_.settings);
            choice.hr = out->SetFormatPCM(t.frequency, t.channels, t.bitsPerSample, &choice.blockAlign);
            choice.what = "WAV, " + std::to_string(t.frequency) + " Hz, " + std::to_string(t.channels) +
                          " channel(s), " + std::to_string(t.bitsPerSample) + " bits";
        } else {
            const Mp3Target t = resolveMp3Target(s_.settings);
            choice.hr = out->SetFormatMP3(t.frequency, t.bitrate, t.channels, &choice.blockAlign);
            choice.what = "MP3, " + std::to_string(t.frequency) + " Hz, " + std::to_string(t.bitrate) + " kbit/s, " +
                          std::to_string(t.channels) + " channel(s)";
        }
        return choice;
    };
    // The time display shows the audio converted so far, after every block.
    job.progress = [this](const qoro::client::Progress& p) {
        s_.ports.view.setTimeDisplay(timeText(p.frequency > 0 ? p.framesDone / p.frequency : 0));
        s_.ports.view.repaintNow();
    };
    job.replace = true;  // asked before the file started, or PromptBeforeOverwrite is off
    job.keepWhatWasRead = true;
    job.serial = serial_++;
    const qoro::client::ConversionResult r = qoro::client::convert(job);
    result.frames = r.frames;
    switch (r.outcome) {
    case qoro::client::ConversionResult::Converted: break;
    case qoro::client::ConversionResult::Partial:
        result.outcome = FileResult::Partial;
        result.reason = r.message;
        break;
    default:
        result.outcome = FileResult::Failed;
        result.reason = r.message;
        break;
    }
    return result;
}

void BatchConverter::record(FileResult result) {
    if (s_.ports.listener) s_.ports.listener->fileFinished(result);
    results_.push_back(std::move(result));
}

void BatchConverter::endRun() {
    const ConversionMode mode = s_.mode;
    s_.forward = true;
    s_.converting(mode) = false;
    s_.currentRow = 1;
    std::vector<std::string> failed;
    for (const FileResult& r : results_) {
        if (r.outcome != FileResult::Failed && r.outcome != FileResult::Partial) continue;
        failed.push_back(r.source.empty() ? r.reason : r.source);
    }
    if (!failed.empty()) s_.ports.dialogs.information(text::failedFiles(failed));
    if (s_.settings.OpenDirAfterConvert != 0)
        s_.ports.shell.open(mode == ConversionMode::Mp3ToWav ? s_.settings.WaveDir : s_.settings.Mp3Dir, false);
    if (s_.settings.PlayAfterConvert != 0) playback_.play();
}

}  // namespace quillet
