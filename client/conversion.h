// The conversion of one file through two AudioFile objects, as every client
// of the components should do it:
//
//   1. the caller's preparation of the source (prepareSource: SetFormatRAW),
//      then source.OpenFile(source path, sourceType, READ)
//   2. the caller's SetFormat* call on the target (chooseFormat)
//   3. target.CreateFile under a temporary name in the target's folder that
//      ends in the target's extension (replace::Temporary:
//      ".qoro-<host>-<pid>-<random>.tmp.wav")
//   4. target.SetFormatArray(source's array frequency and channels); a
//      source deeper than 16 bits or of more than two channels has both
//      arrays set to its own samples (SetFormatArrayKind)
//   5. ReadFile / WriteFile (ReadSamples / WriteSamples for deep arrays) in
//      blocks of a tenth of a second, with progress
//      after every block and the cancel flag looked at between blocks
//   6. source.CloseFile, target.CloseFile
//   7. the caller's last step on the finished temporary (finish: tags), then
//      for Ogg Vorbis and Opus the stream serial the caller chose (oggSerial)
//   8. the temporary flushed to disk, given the old target's mode and owner,
//      and renamed to the target's name
//
// The HRESULT and LastErrorNum of every call are checked; a failure stops the
// conversion, drops the temporary and says why in words (the component's
// error information, the system's text, or the meaning of the code). The
// target's name holds either what it held before or a complete new file.
//
//   qoro::client::Conversion job;
//   job.source = in; job.target = out;            // closed AudioFile objects
//   job.sourcePath = "song.mp3"; job.targetPath = "out/song.wav"; job.targetType = WAV;
//   job.chooseFormat = [](IAudioFile* t, const qoro::client::SourceFormat& s) {
//       qoro::client::FormatChoice c;
//       c.hr = t->SetFormatPCM(s.frequency, 2, 16, &c.blockAlign);
//       return c;
//   };
//   qoro::client::ConversionResult r = qoro::client::convert(job);
//   if (!r.published()) std::cerr << r.message << '\n';
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "qoro/AudioFile.h"

namespace qoro::client {

// The object's IAudioFile3 (deep samples, quality settings), or none from a
// component that does not have it.
qoro::com::ComPtr<IAudioFile3> thirdInterface(IAudioFile* file);

// The step at which a conversion stopped.
enum class Step {
    None,     // it did not stop
    Open,     // opening the source, or learning its format
    Format,   // the target's output format or array format refused
    Create,   // creating the target
    Read,     // reading the source
    Write,    // writing the target
    Close,    // closing either file (the target's last data and header)
    Finish,   // the caller's last step on the finished file
    Publish,  // flushing the new file to disk and renaming it into place
    Cancel,   // the cancel flag was raised
};

// What the opened source reports.
struct SourceFormat {
    LONG frequency = 0, channels = 0, bitsPerSample = 0;  // the file's own (0 when not reported)
    LONG arrayFrequency = 0, arrayChannels = 0;           // the sample arrays it delivers
    int64_t frames = 0;                                   // its length in array frames, 0 when unknown
    // The file's samples as they are (IAudioFile3): their kind
    // (SampleKindConstants) and channels. Deeper than 16 bits or more than
    // two channels, they travel to the target as they are, in arrays of
    // that kind and channel count (arrayChannels then says so).
    LONG sampleKind = SAMPLE_INT16;
    LONG fileChannels = 0;
    bool deep() const { return sampleKind != SAMPLE_INT16 || fileChannels > 2; }
};

// What the caller's SetFormat* call on the target gave.
struct FormatChoice {
    HRESULT hr = S_OK;    // the call's own result
    LONG blockAlign = 0;  // its BlockAlign; 0 means refused
    std::string what;     // what was asked, for the message ("MP3, 44100 Hz, 2 channels")
    // The target keeps samples deeper than 16 bits (24, 32 bits or float):
    // a source of 16-bit arrays (a lossy decoder's, counted as 16-bit) is
    // then read in the decoder's own floats.
    bool deep = false;
};

// One block of samples as the target took it (after its WriteFile or
// WriteSamples succeeded): interleaved, `channels` per frame, of `kind`
// (SampleKindConstants; SAMPLE_INT24 right-justified in 32 bits; the 16-bit
// arrays of ReadFile are SAMPLE_INT16).
struct WrittenBlock {
    const void* samples = nullptr;
    long frames = 0;
    LONG channels = 0;
    LONG kind = SAMPLE_INT16;
    LONG frequency = 0;
};

struct Progress {
    int64_t framesDone = 0;
    int64_t framesTotal = 0;  // 0 when the length is unknown
    LONG frequency = 0;       // the target's array frequency (frames per second)
};

struct ConversionResult {
    enum Outcome {
        Converted,  // the target is complete and in place
        Partial,    // the source failed part-way; the target holds what was read (keepWhatWasRead)
        Failed,     // nothing was published
        Cancelled,  // stopped by the cancel flag; nothing was published
    } outcome = Failed;
    Step step = Step::None;  // where it stopped; for Partial, Read
    LONG code = NOERRORS;    // the component's ErrorConstants code; NOERRORS when it was not the component's
    HRESULT hr = S_OK;       // the failing call's HRESULT
    std::string cause;       // why, in words ("No space left on device")
    std::string message;     // the step and the cause in one line
    int64_t frames = 0;      // array frames copied
    LONG frequency = 0;      // the array frequency of those frames
    LONG sourceChannels = 0;  // the source's own channels
    LONG targetChannels = 0;  // the target's: fewer means the source was folded down
    int64_t clipped = 0;      // samples the target had to clip (IAudioFile3.ClippedSamples)

    bool foldedDown() const { return targetChannels > 0 && sourceChannels > targetChannels; }

    bool published() const { return outcome == Converted || outcome == Partial; }
    double seconds() const { return frequency > 0 ? static_cast<double>(frames) / frequency : 0.0; }
};

struct Conversion {
    IAudioFile* source = nullptr;  // closed objects; they are closed again when the conversion ends
    IAudioFile* target = nullptr;
    std::string sourcePath;
    std::string targetPath;
    LONG sourceType = DEFAULT;  // FormatTypeConstants for the source's OpenFile
    // The source's Dither where it rounds deeper samples to 16 bits: 0 none,
    // 1 TPDF; -1 leaves the object's own (none).
    LONG dither = -1;
    // Called on the closed source object before OpenFile (e.g. SetFormatRAW for a
    // raw source); a failed HRESULT or LastErrorNum fails the conversion at Step::Open.
    std::function<HRESULT(IAudioFile* source)> prepareSource;
    LONG targetType = WAV;  // FormatTypeConstants for CreateFile
    // Sets the target's output format with one SetFormat* call (and any
    // settings after it); without it the target keeps the format it has.
    std::function<FormatChoice(IAudioFile* target, const SourceFormat& source)> chooseFormat;
    // Called after every block written.
    std::function<void(const Progress&)> progress;
    // Called with every block written, before progress (a loudness meter
    // measures what goes into the encoder).
    std::function<void(const WrittenBlock&)> written;
    // Looked at between blocks and before publishing.
    const std::atomic<bool>* cancel = nullptr;
    // The last step on the closed temporary before it is published (tags);
    // false with the cause in words fails the conversion.
    std::function<bool(const std::string& temporary, std::string& cause)> finish;
    // The stream serial number an Ogg Vorbis or Opus target is given once
    // finished (client/ogg_serial.h), so that the same conversion gives the
    // same bytes; without it the file keeps the serial its encoder chose.
    std::optional<uint32_t> oggSerial;
    // Whether an existing file at targetPath is replaced; without it the
    // conversion fails rather than touch a file that appeared meanwhile.
    bool replace = false;
    // A source that fails after some blocks gives a target of what was read
    // (Partial) instead of a failure.
    bool keepWhatWasRead = false;
};

ConversionResult convert(const Conversion& job);

}  // namespace qoro::client
