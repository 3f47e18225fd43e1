#include "client/conversion.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "client/errors.h"
#include "client/ogg_serial.h"
#include "client/outcome.h"
#include "replace/replace.h"

namespace qoro::client {

namespace {

using qoro::com::Bstr;

// Rate changes at the best quality the component has, and the dither asked
// for (when `dither` >= 0); one without the settings converts as it always has.
void askQuality(IAudioFile* file, LONG dither) {
    const auto third = thirdInterface(file);
    if (!third) return;
    third->put_ResampleQuality(1);
    if (dither >= 0) third->put_Dither(dither);
}

// The source's own samples, where it can say (IAudioFile3).
void askOwnSamples(IAudioFile* source, SourceFormat& format) {
    format.fileChannels = format.channels;
    const auto third = thirdInterface(source);
    if (!third) return;
    LONG kind = SAMPLE_INT16, channels = 0;
    if (SUCCEEDED(third->get_FileSampleKind(&kind))) format.sampleKind = kind;
    if (SUCCEEDED(third->get_FileChannels(&channels)) && channels > 0) format.fileChannels = channels;
    // The length in 64 bits: nSamples stops at 2^31 - 1 frames.
    LONGLONG frames = 0;
    if (SUCCEEDED(third->get_nFrames(&frames)) && frames > format.frames) format.frames = frames;
}

// The words for a failed call at a step, when the component left none.
std::string codeWords(const Outcome& o, Step step) {
    if (std::string words = hresultWords(o.hr); !words.empty()) return words;
    if (o.code == FILEACCESS) {
        if (step == Step::Read || step == Step::Open) return "the file cannot be read";
        return "the file cannot be written";
    }
    if (o.code == FORMATNOTSUPPORT && (step == Step::Create || step == Step::Format))
        return "the output format is not supported";
    if (o.code < 0) return errorWords(o.code);
    char text[48];
    std::snprintf(text, sizeof text, "the call failed (0x%08X)", static_cast<unsigned>(o.hr));
    return text;
}

std::string causeOf(const Outcome& o, Step step) { return o.description.empty() ? codeWords(o, step) : o.description; }

long elementCount(SAFEARRAY* array) {
    if (!array || SafeArrayGetDim(array) != 1) return 0;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) return 0;
    return upper >= lower ? static_cast<long>(upper) - lower + 1 : 0;
}

// Closes an AudioFile when the conversion leaves early, whatever the way.
class OpenedFile {
public:
    explicit OpenedFile(IAudioFile* file) : file_(file) {}
    ~OpenedFile() {
        if (file_) {
            file_->CloseFile();
            qoro::com::takeErrorDescription();  // a failure being abandoned leaves nothing behind
        }
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;
    // Closes now and says how that went.
    Outcome close() {
        IAudioFile* file = std::exchange(file_, nullptr);
        clearErrorInfo();
        return examine(file, file->CloseFile());
    }

private:
    IAudioFile* file_;
};

std::string fileName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool cancelled(const Conversion& job) { return job.cancel && job.cancel->load(std::memory_order_relaxed); }

// Hands a block the target took to the caller's `written`.
void handOn(const Conversion& job, SAFEARRAY* array, long elements, const SourceFormat& format) {
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) return;
    WrittenBlock block;
    block.samples = data;
    block.channels = format.arrayChannels;
    block.frames = elements / std::max<LONG>(format.arrayChannels, 1);
    block.kind = format.sampleKind;
    block.frequency = format.arrayFrequency;
    job.written(block);
    SafeArrayUnaccessData(array);
}

}  // namespace

qoro::com::ComPtr<IAudioFile3> thirdInterface(IAudioFile* file) {
    qoro::com::ComPtr<IAudioFile3> third;
    if (!file || FAILED(file->QueryInterface(IID_IAudioFile3, third.putVoid()))) third.reset();
    return third;
}

ConversionResult convert(const Conversion& job) {
    ConversionResult result;
    const auto fail = [&result](Step step, const Outcome& o, std::string cause, std::string message) {
        result.outcome = ConversionResult::Failed;
        result.step = step;
        result.code = o.code;
        result.hr = o.hr;
        result.cause = std::move(cause);
        result.message = std::move(message);
        return result;
    };
    const auto stop = [&result]() {
        result.outcome = ConversionResult::Cancelled;
        result.step = Step::Cancel;
        result.cause = result.message = "interrupted";
        return result;
    };
    IAudioFile* source = job.source;
    IAudioFile* target = job.target;
    if (!source || !target)
        return fail(Step::Open, {}, "the audio file component is not available",
                    "the audio file component is not available");
    const std::string targetName = fileName(job.targetPath);
    askQuality(source, job.dither);
    askQuality(target, job.dither);

    // The source.
    Outcome o;
    if (job.prepareSource) {
        clearErrorInfo();
        o = examine(source, job.prepareSource(source));
        if (o.failed()) {
            const std::string cause = causeOf(o, Step::Open);
            return fail(Step::Open, o, cause, "cannot open the source: " + cause);
        }
    }
    clearErrorInfo();
    o = examine(source, source->OpenFile(Bstr(job.sourcePath).get(), job.sourceType, READ));
    if (o.failed()) {
        // What the file system says comes first: it names the cause exactly.
        std::string cause = unreadableFileCause(job.sourcePath);
        if (cause.empty()) cause = causeOf(o, Step::Open);
        return fail(Step::Open, o, cause, "cannot open the source: " + cause);
    }
    OpenedFile openSource(source);
    SourceFormat format;
    source->get_Frequency(&format.frequency);
    source->get_nChannels(&format.channels);
    source->get_BitsPerSample(&format.bitsPerSample);
    LONG samples = 0;
    source->get_nSamples(&samples);
    format.frames = samples;
    if (FAILED(source->get_ArrayFrequency(&format.arrayFrequency))) format.arrayFrequency = 0;
    if (FAILED(source->get_ArrayChannels(&format.arrayChannels))) format.arrayChannels = 0;
    askOwnSamples(source, format);
    qoro::com::takeErrorDescription();
    if (format.arrayFrequency <= 0 || format.arrayChannels <= 0) {
        const std::string cause = "the source reports no sample format";
        return fail(Step::Open, {}, cause, "cannot open the source: " + cause);
    }
    result.frequency = format.arrayFrequency;
    // Deep or many-channel samples travel as they are.
    auto sourceDeep = format.deep() ? thirdInterface(source) : qoro::com::ComPtr<IAudioFile3>();
    if (sourceDeep) {
        clearErrorInfo();
        o = examine(source, sourceDeep->SetFormatArrayKind(format.arrayFrequency, format.fileChannels,
                                                           format.sampleKind));
        if (o.failed()) {
            const std::string cause = causeOf(o, Step::Open);
            return fail(Step::Open, o, cause, "cannot read the source's samples as they are: " + cause);
        }
        format.arrayChannels = format.fileChannels;
        LONGLONG frames = 0;
        if (SUCCEEDED(sourceDeep->get_nFrames(&frames))) format.frames = frames;
    }

    // The target's format, then the target under its temporary name.
    if (job.chooseFormat) {
        clearErrorInfo();
        const FormatChoice choice = job.chooseFormat(target, format);
        o = examine(target, choice.hr);
        if (o.failed() || choice.blockAlign == 0) {
            std::string cause = o.failed() ? causeOf(o, Step::Format) : "the component does not write it";
            return fail(Step::Format, o, cause,
                        "output format refused" + (choice.what.empty() ? std::string() : " (" + choice.what + ")") +
                            ": " + cause);
        }
        // A deep target of a source read in 16 bits: the decoder's floats
        // (before its rounding to 16 bits; 16-bit samples widen exactly).
        if (choice.deep && !sourceDeep && format.fileChannels > 0)
            if (auto third = thirdInterface(source)) {
                clearErrorInfo();
                if (SUCCEEDED(third->SetFormatArrayKind(format.arrayFrequency, format.fileChannels, SAMPLE_FLOAT32))) {
                    format.sampleKind = SAMPLE_FLOAT32;
                    format.arrayChannels = format.fileChannels;
                    LONGLONG frames = 0;
                    if (SUCCEEDED(third->get_nFrames(&frames))) format.frames = frames;
                    sourceDeep = third;
                }
                qoro::com::takeErrorDescription();
            }
    }
    // The temporary ends in the target's extension: a component that chooses
    // a type by the name (CreateFile with DEFAULT, the finishing tag writer)
    // sees the target's.
    const std::filesystem::path targetPath(job.targetPath);
    replace::Temporary temporary(targetPath, targetPath.extension().native());
    if (!temporary.ok()) {
        const std::string cause = temporary.error().message();
        return fail(Step::Create, {}, cause, "cannot create " + targetName + ": " + cause);
    }
    const std::string temporaryPath = temporary.path().string();
    clearErrorInfo();
    o = examine(target, target->CreateFile(Bstr(temporaryPath).get(), job.targetType));
    if (o.failed()) {
        std::string cause = o.description;
        if (cause.empty()) cause = hresultWords(o.hr);
        if (cause.empty() && o.code == FILEACCESS) cause = uncreatableFileCause(temporaryPath);
        if (cause.empty()) cause = codeWords(o, Step::Create);
        target->CloseFile();  // in case it got as far as opening something
        qoro::com::takeErrorDescription();
        return fail(Step::Create, o, cause, "cannot create " + targetName + ": " + cause);
    }
    OpenedFile openTarget(target);
    result.sourceChannels = format.fileChannels;
    target->get_nChannels(&result.targetChannels);
    const auto targetDeep = sourceDeep ? thirdInterface(target) : qoro::com::ComPtr<IAudioFile3>();
    if (sourceDeep && !targetDeep) {
        const std::string cause = "the target component takes no samples deeper than 16 bits";
        return fail(Step::Format, {}, cause, "the target does not take the source's samples: " + cause);
    }
    clearErrorInfo();
    o = examine(target, targetDeep ? targetDeep->SetFormatArrayKind(format.arrayFrequency, format.arrayChannels,
                                                                    format.sampleKind)
                                   : target->SetFormatArray(format.arrayFrequency, format.arrayChannels));
    if (o.failed()) {
        const std::string cause = causeOf(o, Step::Format);
        return fail(Step::Format, o, cause, "the target does not take the source's samples: " + cause);
    }
    Progress progress;
    progress.framesTotal = format.frames > 0 ? format.frames : 0;
    if (FAILED(target->get_ArrayFrequency(&progress.frequency)) || progress.frequency <= 0)
        progress.frequency = format.arrayFrequency;

    // The copy.
    const LONG block = std::max<LONG>(format.arrayFrequency / 10, 1);
    Outcome readFailure;
    for (;;) {
        if (cancelled(job)) return stop();
        SAFEARRAY* raw = nullptr;
        clearErrorInfo();
        const HRESULT hr = sourceDeep ? sourceDeep->ReadSamples(block, &raw) : source->ReadFile(block, &raw);
        SampleArray array(raw);
        o = examine(source, hr);
        if (o.failed()) {
            if (job.keepWhatWasRead && result.frames > 0) {
                readFailure = o;
                break;
            }
            const std::string cause = causeOf(o, Step::Read);
            return fail(Step::Read, o, cause, "reading the source failed: " + cause);
        }
        const long n = elementCount(array.get());
        if (n < 1) break;
        SAFEARRAY* handed = array.get();
        clearErrorInfo();
        o = examine(target, targetDeep ? targetDeep->WriteSamples(&handed) : target->WriteFile(&handed));
        if (o.failed()) {
            const std::string cause = causeOf(o, Step::Write);
            return fail(Step::Write, o, cause, "writing " + targetName + " failed: " + cause);
        }
        if (job.written) handOn(job, array.get(), n, format);
        result.frames += n / format.arrayChannels;
        progress.framesDone = result.frames;
        if (job.progress) job.progress(progress);
    }

    // Both files closed; the target's last data and header go out now.
    o = openSource.close();
    if (o.failed()) {
        const std::string cause = causeOf(o, Step::Close);
        return fail(Step::Close, o, cause, "closing the source failed: " + cause);
    }
    o = openTarget.close();
    if (o.failed()) {
        const std::string cause = causeOf(o, Step::Close);
        return fail(Step::Close, o, cause, "writing " + targetName + " failed at its end: " + cause);
    }
    if (const auto third = thirdInterface(target)) {
        LONGLONG clipped = 0;
        if (SUCCEEDED(third->get_ClippedSamples(&clipped))) result.clipped = clipped;
    }
    if (job.finish) {
        std::string cause;
        if (!job.finish(temporaryPath, cause)) return fail(Step::Finish, {}, cause, cause);
    }
    if (job.oggSerial && (job.targetType == OGG || job.targetType == OPUS)) {
        // A file that is not one plain stream keeps the serial it was written with.
        std::string cause;
        if (stampOggSerial(temporaryPath, *job.oggSerial, cause) == SerialStamp::Failed)
            return fail(Step::Finish, {}, cause, "writing " + targetName + " failed: " + cause);
    }

    // In place: on the disk first, then renamed, so a crash leaves the old
    // file or the new one, never an empty one.
    if (cancelled(job)) return stop();
    using Existing = replace::Temporary::Existing;
    if (const std::error_code ec = temporary.commit(job.replace ? Existing::Replace : Existing::Keep)) {
        const std::string cause = ec == std::errc::file_exists && !job.replace
                                      ? "it appeared during the conversion and was left as it was"
                                      : ec.message();
        return fail(Step::Publish, {}, cause, job.targetPath + ": " + cause);
    }

    if (readFailure.failed()) {
        result.outcome = ConversionResult::Partial;
        result.step = Step::Read;
        result.code = readFailure.code;
        result.hr = readFailure.hr;
        result.cause = causeOf(readFailure, Step::Read);
        result.message = "reading the source stopped part-way: " + result.cause;
    } else {
        result.outcome = ConversionResult::Converted;
    }
    return result;
}

}  // namespace qoro::client
