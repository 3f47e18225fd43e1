// libFuzzer harness for the AudioFile engine over every container and every
// decoder it reaches: RIFF WAVE with the codec manager's decoders (PCM,
// A-law, mu-law, IMA and MS ADPCM, GSM 6.10, MPEG audio in WAV through the
// built-in decoder or the manager's), raw files of each kind, MPEG audio,
// VOX and G.721/G.723/G.726, Ogg Vorbis, AVI sound tracks, MPEG Plus and the
// speech files of type MP2. Three leading bytes choose the open:
//
//   byte 0  bits 0-6: format type (index into kTypes), bit 7: READWRITE
//   byte 1  bit 0: MPEG decoder (codec manager / built-in); bits 1-3: raw
//           compression, G.726 bits, G.723 bits; bit 4: raw channels;
//           bit 5: raw bits; bits 6-7: raw and telephony sample rate
//   byte 2  bits 0-2: array rate (7: the file's own), bit 3: array channels,
//           bits 4-5: array sample kind (int16, int24, int32, float32),
//           bit 6: the file's own channel count instead (deep arrays)
//
// The rest is the file. It is opened, read to its end, sought to the middle
// and the start and read again; opened for reading and writing, it is
// extended by one sample frame, closed and must open again. Besides "no
// crash, no read outside the input, no unbounded allocation", every length
// and position stays consistent and raw files deliver exactly their length.
//
// Built with QORO_FUZZ_FORMAT_TYPE set (avi_fuzz), the format type is that
// one whatever byte 0 says.
//
//   bash scripts/fuzz.sh 300 audiofile_fuzz    (five minutes; the options are in the script)
#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "engine_reads.h"
#include "fuzz_support.h"
#include "probe/signature.h"
#include "qoro/AudioFile.h"

namespace af = qoro::audiofile;
using qoro::fuzz::kMostDelivered;
using qoro::fuzz::require;
constexpr auto knownStatus = qoro::fuzz::knownEngineStatus;
using qoro::fuzz::readSome;

namespace {

#ifndef QORO_FUZZ_FORMAT_TYPE
constexpr long kTypes[] = {WAV, MP3, VOX, RAW, G726, OGG, G721, G723, AVI, MPC, MP2};
#endif
constexpr int32_t kRates[] = {8000, 11025, 22050, 44100};
constexpr uint32_t kArrayRates[] = {8000, 11025, 96000, 22050, 32000, 44100, 48000};  // 96000: through libsoxr

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static qoro::fuzz::MemoryFile file("audiofile-fuzz");
    file.set(data + 3, size - 3);

#ifdef QORO_FUZZ_FORMAT_TYPE
    const long type = QORO_FUZZ_FORMAT_TYPE;
#else
    const long type = kTypes[(data[0] & 0x7F) % std::size(kTypes)];
#endif
    const bool readWrite = (data[0] & 0x80) != 0;
    af::EngineSettings settings;
    settings.mp3Decoder = (data[1] & 1) ? ACM_DRIVER_OUT : X_AUDIO;
    const int variant = (data[1] >> 1) & 7;
    const int32_t rate = kRates[data[1] >> 6];
    settings.output.raw.compression = 1 + variant % 6;
    settings.output.raw.channels = static_cast<int16_t>(1 + ((data[1] >> 4) & 1));
    settings.output.raw.bits = (data[1] & 0x20) ? 8 : 16;
    settings.output.raw.frequency = rate;
    settings.output.voxFrequency = settings.output.g721Frequency = settings.output.g723Frequency =
        settings.output.g726Frequency = rate;
    settings.output.g726Bits = static_cast<int16_t>(2 + variant % 4);
    settings.output.g723Bits = (variant & 1) ? 5 : 3;

    af::Engine e;
    e.setSettings(settings);
    const int16_t opened = e.open(file.path(), type, readWrite ? READWRITE : READ);
    if (opened < 0) {
        require(knownStatus(opened) && !e.isOpen());
        return 0;
    }
    require(opened == 0 && e.isOpen());
    const af::WAVEFORMATEX fileFormat = e.fileFormat();
    const uint32_t arrayRate = (data[2] & 7) == 7 ? fileFormat.nSamplesPerSec : kArrayRates[data[2] & 7];
    const auto kind = static_cast<af::SampleKind>((data[2] >> 4) & 3);
    uint16_t channels = (data[2] & 8) ? 2 : 1;
    if (data[2] & 0x40) channels = std::clamp<uint16_t>(e.ownFormat().nChannels, 1, 8);
    if (arrayRate >= 1000 && arrayRate <= 768000) e.setArrayFormat(arrayRate, channels, kind);
    const uint64_t frame = e.arrayFormat().nBlockAlign;
    require(frame == af::bytesPerArraySample(e.arrayKind()) * e.arrayFormat().nChannels);
    const uint64_t total = e.totalLength();
    require(total % frame == 0 && e.position() == 0);

    // Read to the end, then from the middle and from the start again.
    // Raw PCM and G.711 deliver exactly their length, at any array rate.
    const bool exact = type == RAW && settings.output.raw.compression <= 3;
    const uint64_t delivered = readSome(e);
    if (exact && delivered < kMostDelivered) require(delivered == total);
    const uint64_t middle = total / frame / 2 * frame;
    if (e.seek(middle, af::SeekOrigin::Begin) == 0) {
        require(e.position() <= total);
        readSome(e);
    }
    if (e.seek(0, af::SeekOrigin::Begin) == 0) {
        require(e.position() == 0 || e.position() <= total);
        const uint64_t again = readSome(e);
        if (exact) require(again == delivered);
    }

    // Reading and writing: one more sample frame at the end, and the file
    // still opens afterwards.
    if (readWrite) {
        const std::vector<uint8_t> silence(frame, 0);
        if (e.seek(0, af::SeekOrigin::End) == 0) {
            const int64_t put = e.write(silence.data(), silence.size());
            require(put == static_cast<int64_t>(frame) || (put < 0 && knownStatus(put)));
        }
        const int16_t closed = e.close();
        require(closed == 0 || knownStatus(closed));
        af::Engine again;
        again.setSettings(settings);
        // A file that the frame made long enough to show another kind's
        // signature (a raw file beginning "RIFF") is refused as that kind.
        if (closed == 0) {
            const int16_t reopened = again.open(file.path(), type, READ);
            require(reopened == 0 ||
                    (knownStatus(reopened) && qoro::probe::identify(file.path()) != qoro::probe::Kind::None));
        }
    }
    return 0;
}
