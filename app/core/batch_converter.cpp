#include "core/batch_converter.h"

#include <cctype>
#include <filesystem>
#include <system_error>

#include "core/playback.h"
#include "core/time_text.h"

namespace quillet {

namespace {

using qoro::com::Bstr;

// Owns one sample array handed out by ReadFile.
struct SampleArray {
    SAFEARRAY* array = nullptr;
    SampleArray() = default;
    SampleArray(const SampleArray&) = delete;
    SampleArray& operator=(const SampleArray&) = delete;
    ~SampleArray() {
        if (array) SafeArrayDestroy(array);
    }
    // Number of elements (upper bound + 1); 0 for no array.
    long size() const {
        LONG upper = -1;
        if (!array || FAILED(SafeArrayGetUBound(array, 1, &upper))) return 0;
        return static_cast<long>(upper) + 1;
    }
};

LONG lastError(IAudioFile* file) {
    LONG error = NOERRORS;
    file->get_LastErrorNum(&error);
    return error;
}

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

FileResult BatchConverter::convertFile(const std::string& source, const std::string& target) {
    FileResult result{source, target, FileResult::Converted, 0, {}};
    IAudioFile* in = s_.components.source.get();
    IAudioFile* out = s_.components.target.get();
    if (!in || !out) {
        result.outcome = FileResult::Failed;
        result.reason = "the audio file component is not available";
        return result;
    }
    const ConversionMode mode = s_.mode;
    const Bstr sourceName(source);
    in->OpenFile(sourceName.get(), DEFAULT, READ);
    if (LONG error = lastError(in); error < 0) {
        result.outcome = FileResult::Failed;
        result.reason = "cannot open the source (error " + std::to_string(error) + ")";
        return result;
    }

    LONG blockAlign = 0;
    if (mode == ConversionMode::Mp3ToWav) {
        const PcmTarget t = resolvePcmTarget(s_.settings);
        out->SetFormatPCM(t.frequency, t.channels, t.bitsPerSample, &blockAlign);
    } else {
        const Mp3Target t = resolveMp3Target(s_.settings);
        out->SetFormatMP3(t.frequency, t.bitrate, t.channels, &blockAlign);
    }
    const Bstr targetName(target);
    out->CreateFile(targetName.get(), mode == ConversionMode::Mp3ToWav ? WAV : MP3);

    LONG frequency = 0, channels = 0;
    in->get_ArrayFrequency(&frequency);
    in->get_ArrayChannels(&channels);
    out->SetFormatArray(frequency, channels);
    LONG outFrequency = 0;
    out->get_ArrayFrequency(&outFrequency);
    const LONG block = frequency / 10;

    int64_t frames = 0;
    for (;;) {
        SampleArray samples;
        in->ReadFile(block, &samples.array);
        if (LONG error = lastError(in); error < 0) {
            result.outcome = FileResult::Partial;
            result.reason = "reading stopped at an error (" + std::to_string(error) + ")";
            break;
        }
        const long n = samples.size();
        if (n < 1) break;
        const int64_t blockFrames = channels == 2 ? n / 2 : channels == 1 ? n : 0;
        out->WriteFile(&samples.array);
        if (LONG error = lastError(out); error < 0) {
            result.outcome = FileResult::Partial;
            result.reason = "writing stopped at an error (" + std::to_string(error) + ")";
            break;
        }
        frames += blockFrames;
        s_.ports.view.setTimeDisplay(timeText(outFrequency > 0 ? frames / outFrequency : 0));
        s_.ports.view.repaintNow();
    }
    in->CloseFile();
    out->CloseFile();
    result.frames = frames;
    if (result.outcome == FileResult::Partial && frames == 0) result.outcome = FileResult::Failed;
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
