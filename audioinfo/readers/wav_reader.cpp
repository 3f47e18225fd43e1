// WAV facts: the stored "fmt " record, its PCM equivalent and the names the
// codec manager gives them.
#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "acm/acm.h"
#include "io/file_reader.h"
#include "mpeg/frame_walk.h"
#include "readers/acm_facts.h"
#include "readers/readers.h"
#include "riff/riff.h"
#include "tags/fields.h"
#include "tags/text.h"
#include "tags/wav_info.h"

namespace qoro::audioinfo {

namespace {

// Sample frames, duration and description through a conversion stream from
// the stored record to its PCM equivalent. Without one the sample count stays
// the stored byte count and the description empty.
void nameAndCount(std::span<const uint8_t> record, const acm::WAVEFORMATEX& stored, const acm::WAVEFORMATEX& pcm,
                  uint64_t storedBytes, Facts& facts) {
    int64_t samples = static_cast<int64_t>(storedBytes);
    acm::Stream stream;
    if (stream.open(record, acm::asBytes(pcm)) == acm::Result::Ok) {
        size_t pcmBytes = 0;
        if (stream.size(static_cast<size_t>(storedBytes), acm::Direction::SourceToDestination, pcmBytes) ==
                acm::Result::Ok &&
            pcm.nBlockAlign != 0)
            samples = static_cast<int64_t>(pcmBytes / pcm.nBlockAlign);
        const acm::DriverId id = stream.driverId();
        stream.close();
        acm::Driver driver;
        if (driver.open(id) == acm::Result::Ok) {
            acm::FormatTagDetails tag;
            acm::FormatDetails format;
            const size_t size = stored.wFormatTag == acm::WAVE_FORMAT_PCM ? 16 : 18 + size_t(stored.cbSize);
            if (driver.formatTagDetails(stored.wFormatTag, tag) == acm::Result::Ok && size <= record.size() &&
                driver.formatDetails(record.first(size), format) == acm::Result::Ok)
                facts.description = tag.name + " " + format.name;
        }
    }
    facts.samples = saturated32(static_cast<uint64_t>(std::max<int64_t>(samples, 0)));
    const int32_t ms = mulDiv(samples, 1000, pcm.nSamplesPerSec);
    facts.duration = ms >= 0 ? ms : samples > 0 && pcm.nSamplesPerSec > 0 ? INT32_MAX : 0;
}

// WAVE_FORMAT_EXTENSIBLE (what DAWs and converters write for more than 16
// bits or two channels) whose samples are integer PCM or IEEE float: the
// plain record of the same layout, which the codec manager knows. Any other
// record as it is.
std::vector<uint8_t> plainRecord(std::span<const uint8_t> record) {
    static constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
    std::vector<uint8_t> plain(record.begin(), record.end());
    if (record.size() < 18 + 22 || (record[0] | record[1] << 8) != acm::WAVE_FORMAT_EXTENSIBLE) return plain;
    const uint8_t* ext = record.data() + 18;
    const int subTag = ext[6] | ext[7] << 8;
    if ((subTag != acm::WAVE_FORMAT_PCM && subTag != acm::WAVE_FORMAT_IEEE_FLOAT) ||
        std::memcmp(ext + 8, kGuidTail, sizeof kGuidTail) != 0)
        return plain;
    plain.resize(18);
    plain[0] = static_cast<uint8_t>(subTag);
    plain[1] = 0;
    plain[16] = plain[17] = 0;  // no extra bytes
    return plain;
}

// Samples stored as they sound, in whole bytes: integer PCM of 8, 16, 24 or
// 32 bits, IEEE float of 32 or 64 bits (the plain record of an extensible
// one: its container bits, whatever part of them holds the sound).
struct SampleLayout {
    bool isFloat = false;
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;

    // Deeper than the 16 bits the codec manager converts.
    bool deep() const { return isFloat || bits > 16; }
    uint64_t frameBytes() const { return uint64_t{channels} * (bits / 8); }
};

std::optional<SampleLayout> sampleLayoutOf(std::span<const uint8_t> plain) {
    acm::WAVEFORMATEX w{};
    if (!acm::readHeader(plain, w) || w.nChannels == 0 || w.nSamplesPerSec == 0) return std::nullopt;
    const uint16_t b = w.wBitsPerSample;
    const bool integer = w.wFormatTag == acm::WAVE_FORMAT_PCM && (b == 8 || b == 16 || b == 24 || b == 32);
    const bool floating = w.wFormatTag == acm::WAVE_FORMAT_IEEE_FLOAT && (b == 32 || b == 64);
    if (!integer && !floating) return std::nullopt;
    return SampleLayout{floating, w.nSamplesPerSec, w.nChannels, b};
}

// The facts of samples stored as they sound, from the layout alone: the
// file's own bits, bitrate = rate x channels x bits, whole sample frames of
// the bytes held (the stored block alignment is not trusted), and the
// duration they last. Counts too large for 32 bits saturate.
void factsFromSamples(std::span<const uint8_t> plain, const SampleLayout& s, uint64_t heldBytes, Facts& facts) {
    facts.formatTag = s.isFloat ? acm::WAVE_FORMAT_IEEE_FLOAT : acm::WAVE_FORMAT_PCM;
    facts.frequency = saturated32(s.rate);
    facts.channels = s.channels;
    facts.bitsPerSample = s.bits;
    facts.bitrate = saturated32(uint64_t{s.rate} * s.channels * s.bits);
    const uint64_t frames = heldBytes / s.frameBytes();
    facts.samples = saturated32(frames);
    const int32_t ms = mulDiv(static_cast<int64_t>(std::min<uint64_t>(frames, INT64_MAX)), 1000, s.rate);
    facts.duration = ms >= 0 ? ms : INT32_MAX;
    facts.description = acm::describe(plain);
}

// MPEG audio in the "data" chunk (format tags 80 and 85): rate, channels,
// sample count and duration are the stream's, counted by the frame walk as
// the decoder delivers them (whatever size the codec manager would guess from
// the byte rate); the bitrate is the record's, or the stream's average when
// the record states none; the description is the codec manager's names when
// it has them. False when the chunk holds no MPEG audio frame.
bool readMpegInWave(const io::Reader& file, const tags::WavChunks& chunks, uint64_t held, Facts& facts) {
    if (chunks.format.size() < 18 || !chunks.hasData) return false;
    const int tag = chunks.format[0] | chunks.format[1] << 8;
    if (tag != acm::WAVE_FORMAT_MPEG && tag != acm::WAVE_FORMAT_MPEGLAYER3) return false;
    const uint64_t fileSize = file.size();
    const mpeg::ReadAt readAt = [&file](uint64_t offset, uint8_t* data, size_t n) -> long {
        return static_cast<long>(file.readAt(offset, data, n));
    };
    const uint64_t begin = std::min<uint64_t>(chunks.dataOffset, fileSize);
    const mpeg::StreamRegion region{begin, begin + std::min<uint64_t>(held, fileSize - begin)};
    const mpeg::StreamLayout layout = mpeg::walkStream(readAt, region);
    if (layout.frameCount == 0) return false;

    const uint64_t rate = static_cast<uint64_t>(mpeg::mpegSampleRate(layout.firstHeader));
    acm::WAVEFORMATEX stored{};
    acm::readHeader(chunks.format, stored);
    Facts named;
    if (factsFromRecord(plainRecord(chunks.format), held, named)) facts.description = named.description;
    facts.formatTag = tag;
    facts.frequency = static_cast<int32_t>(rate);
    facts.channels = mpeg::mpegChannels(layout.firstHeader);
    facts.bitsPerSample = 16;
    const uint64_t average =
        uint64_t(mpeg::averageKbps(layout.audioBytes, layout.decodedSamples, static_cast<int>(rate))) * 1000;
    facts.bitrate = static_cast<int32_t>(
        std::min<uint64_t>(stored.nAvgBytesPerSec ? stored.nAvgBytesPerSec * 8ull : average, INT32_MAX));
    facts.samples = saturated32(layout.length);
    facts.duration = static_cast<int32_t>(std::min<uint64_t>(layout.length * 1000 / rate, INT32_MAX));
    facts.size = sizeFact(static_cast<int64_t>(fileSize));
    return true;
}

}  // namespace

bool factsFromRecord(std::span<const uint8_t> record, uint64_t storedBytes, Facts& facts) {
    acm::WAVEFORMATEX stored{};
    if (!acm::readHeader(record, stored)) return false;
    acm::WAVEFORMATEX pcm{};
    if (acm::suggestPcm(record, pcm) != acm::Result::Ok) return false;
    facts.formatTag = stored.wFormatTag;
    facts.frequency = static_cast<int32_t>(pcm.nSamplesPerSec);
    facts.channels = pcm.nChannels;
    facts.bitsPerSample = pcm.wBitsPerSample;
    facts.bitrate = static_cast<int32_t>(stored.nAvgBytesPerSec * 8u);
    nameAndCount(record, stored, pcm, storedBytes, facts);
    return true;
}

bool readWav(const std::string& path, Facts& facts, tags::TagRecord& tags, tags::CueList& cues,
             tags::TagExtras* extras) {
    // One descriptor for both walks: the tag chunks', and the one that finds
    // the samples as the AudioFile reader does (a "data" size left unknown by
    // a writer to a pipe, or one promising more than a cut-short file holds,
    // runs to the end of the file; an "RF64" file's size is its "ds64" one).
    const io::Reader file(path);
    tags::WavChunks chunks;
    if (!file.ok() || !tags::readWavInfo(file, tags, cues, &chunks)) return false;
    // INFO items beyond the properties: a mapped field's under its map name,
    // any other under its id.
    if (extras)
        for (const auto& item : chunks.otherInfo) {
            const tags::MappedField* m = tags::mappedFieldOfRiff(item.id);
            extras->fields.push_back(
                {m && !m->property ? std::string(m->name) : item.id, tags::text::fromStored(item.content)});
        }
    riff::WaveLayout layout;
    const auto readExact = [&file](uint64_t at, void* data, size_t n) { return file.readAt(at, data, n) == n; };
    uint64_t held = chunks.dataSize;
    if (riff::locateWave(file.size(), readExact, layout) == riff::Status::Ok && layout.hasData) {
        // Also where the tag walk stopped short of it (a size of 0xFFFFFFFF
        // or one that wrapped).
        chunks.hasData = true;
        chunks.dataOffset = layout.data.dataOffset;
        chunks.dataSize = layout.data.size;
        held = layout.dataSize;
    }
    if (readMpegInWave(file, chunks, held, facts)) return true;
    const std::vector<uint8_t> plain = plainRecord(chunks.format);
    // Samples deeper than 16 bits, and plain ones the codec manager takes no
    // PCM equivalent of (more than eight channels, a block alignment that
    // does not match), are counted from their layout.
    const std::optional<SampleLayout> samples = sampleLayoutOf(plain);
    if (samples && samples->deep())
        factsFromSamples(plain, *samples, held, facts);
    else if (!factsFromRecord(plain, held, facts)) {
        if (!samples) return false;
        factsFromSamples(plain, *samples, held, facts);
    }
    if (chunks.format.size() >= 2) facts.formatTag = chunks.format[0] | chunks.format[1] << 8;  // as stored
    facts.size = sizeFact(static_cast<int64_t>(file.size()));
    return true;
}

int probeWav(const std::string& path) {
    riff::File f;
    if (f.open(path, riff::Mode::Read) != riff::Status::Ok) return -2;
    // A "RIFF" or 64-bit "RF64" form of type "WAVE" (both are read as WAVs).
    riff::WaveLayout layout;
    const bool found = riff::locateWave(f, layout) == riff::Status::Ok;
    if (f.close() != riff::Status::Ok) return -2;
    return found ? 1 : 0;
}

}  // namespace qoro::audioinfo
