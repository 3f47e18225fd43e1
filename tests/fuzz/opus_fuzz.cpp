// libFuzzer harness for Ogg Opus through the AudioFile engine: libopusfile
// and libopusenc with our container around them, in both of the reader's
// forms (16-bit, multichannel folded to stereo; the decoder's floats in the
// file's own channels) and both of the writer's (16-bit mono or stereo;
// floats in 3 to 8 channels). Three leading bytes choose what is done (the
// seeds of audiofile_fuzz's layout read here too):
//
//   byte 0  bit 7: write instead of read
//           reading: bits 0-1 the first array kind (int16, int24, int32,
//           float32), bit 2 the file's own channels (else stereo), bits 3-4
//           and bit 5 the same for the array switched to mid-way, bit 6
//           arrays at 44100 Hz (through the resampler) instead of 48000
//   byte 1  reading: the reads before the switch; writing: the complexity
//   byte 2  reading: where the seek goes, in 256ths of the length;
//           writing: bits 0-2 the channels - 1, bits 3-6 the bitrate step
//
// Reading: the rest is the file. It is opened, read in the first array
// format, switched to the second (at 48000 Hz the frame position stays),
// read to its end, sought, switched back and read to its end. Writing: the
// rest is float samples of any bits (NaN, infinities, any magnitude) in the
// chosen channels, written and closed; the file opens again with exactly
// the frames written, and reads them all.
//
//   bash scripts/fuzz.sh 300 opus_fuzz    (five minutes; the options are in the script)
#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "engine_reads.h"
#include "fuzz_support.h"
#include "qoro/AudioFile.h"

namespace af = qoro::audiofile;
using qoro::fuzz::kMostDelivered;
using qoro::fuzz::readSome;
using qoro::fuzz::require;
constexpr auto knownStatus = qoro::fuzz::knownEngineStatus;

namespace {

constexpr uint32_t kOpusRate = 48000;
// Array bytes read in one go, and the most one input may deliver.
struct ArrayChoice {
    af::SampleKind kind;
    bool ownChannels;
};

ArrayChoice arrayChoice(uint8_t bits) {
    return {static_cast<af::SampleKind>(bits & 3), (bits & 4) != 0};
}

void useArray(af::Engine& e, uint32_t rate, ArrayChoice a) {
    const uint16_t channels = a.ownChannels ? std::clamp<uint16_t>(e.ownFormat().nChannels, 1, 8) : 2;
    e.setArrayFormat(rate, channels, a.kind);
    const uint64_t frame = e.arrayFormat().nBlockAlign;
    require(frame == af::bytesPerArraySample(a.kind) * channels);
    require(e.totalLength() % frame == 0 && e.position() % frame == 0);
}

void readFile(const std::string& path, uint8_t how, uint8_t switchAfter, uint8_t seekTo) {
    af::Engine e;
    const int16_t opened = e.open(path, OPUS, READ);
    if (opened < 0) {
        require(knownStatus(opened) && !e.isOpen());
        return;
    }
    const bool resampled = (how & 0x40) != 0;
    const uint32_t rate = resampled ? 44100 : kOpusRate;
    const ArrayChoice first = arrayChoice(how), second = arrayChoice(how >> 3);

    useArray(e, rate, first);
    const uint64_t before = readSome(e, switchAfter);
    const uint64_t frames = e.position() / e.arrayFormat().nBlockAlign;
    useArray(e, rate, second);
    const uint64_t frame = e.arrayFormat().nBlockAlign, total = e.totalLength() / frame;
    const uint64_t after = readSome(e);
    // The same frame in the other form, and never more than the length
    // (resampled counts round).
    if (!resampled) {
        require(frames <= total);
        if (before < kMostDelivered && after < kMostDelivered) require(frames + after / frame <= total);
    }

    const uint64_t target = total * seekTo / 256 * frame;
    if (e.seek(target, af::SeekOrigin::Begin) == 0) {
        if (!resampled) require(e.position() == target);
        useArray(e, rate, first);
        readSome(e);
    }
}

void writeFile(const std::string& path, const uint8_t* data, size_t size, uint8_t complexity, uint8_t shape) {
    af::EngineSettings settings;
    af::OpusSettings& opus = settings.output.opus;
    opus.channels = static_cast<int16_t>(1 + (shape & 7));
    opus.bitrate = std::min(510, 6 + 34 * ((shape >> 3) & 15));
    opus.complexity = static_cast<int16_t>(complexity % 11);
    const auto channels = static_cast<uint16_t>(opus.channels);

    af::Engine e;
    e.setSettings(settings);
    require(e.create(path, OPUS) == 0);
    e.setArrayFormat(kOpusRate, channels, af::SampleKind::Float32);
    const uint64_t frame = e.arrayFormat().nBlockAlign;
    const uint64_t bytes = size / frame * frame;
    for (uint64_t at = 0; at < bytes;) {
        const uint64_t n = std::min<uint64_t>(bytes - at, 1000 * frame);
        require(e.write(data + at, n) == static_cast<int64_t>(n));
        at += n;
    }
    require(e.close() == 0);

    af::Engine back;
    require(back.open(path, OPUS, READ) == 0);
    require(back.ownFormat().nChannels == channels);
    back.setArrayFormat(kOpusRate, channels, af::SampleKind::Float32);
    require(back.totalLength() == bytes);
    require(readSome(back) == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    if (data[0] & 0x80) {
        static qoro::fuzz::ScratchFolder folder("opus-fuzz");
        writeFile(folder.file("out.opus"), data + 3, size - 3, data[1], data[2]);
    } else {
        static qoro::fuzz::MemoryFile file("opus-fuzz");
        file.set(data + 3, size - 3);
        readFile(file.path(), data[0], data[1], data[2]);
    }
    return 0;
}
