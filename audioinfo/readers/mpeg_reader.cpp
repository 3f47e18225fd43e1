// The information component's MPEG audio analyser. It finds frames as the
// decoder does (common/mpeg/frame_walk.h), so the facts it reports are those
// of the stream the decoder decodes: the first audio frame gives the layout,
// the information frame ("Xing", "Info", "VBRI") the frame count and the
// LAME tag the music's place, and the length comes from that count or the
// stream's bytes (fast) or from a walk over every frame (full).
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "io/file_reader.h"
#include "mpeg/frame_walk.h"
#include "mpeg/mpeg_header.h"
#include "readers/readers.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"

namespace qoro::audioinfo {

namespace {

// Where the readers look for the first header: offsets 0..204800 of the audio.
constexpr int64_t kHeaderSearchLimit = 204800;
// The probe looks at offsets 0..20480 and refuses frames longer than 2000 bytes.
constexpr int64_t kProbeSearchLimit = 20480;
constexpr int kProbeMaxFrame = 2000;
// The probe confirms a header by another of the same version and layer found
// from 15 bytes before to 41 bytes after where the first frame should end:
// the header's length is off by a padding slot in streams that pad
// differently, and encoders and damaged streams leave a few bytes of slack
// or junk between frames.
constexpr int kConfirmBefore = 15;
constexpr int kConfirmAfter = 41;

// Where the audio starts: after the ID3v2 tags the file begins with (any
// version and size, several one after another). Audio never starts inside one.
int64_t audioStart(const io::Reader& file) {
    if (!file.ok()) return 0;
    return static_cast<int64_t>(tags::id3v2LeadingSize(
        [&file](uint64_t at, uint8_t* data, size_t n) { return file.readAt(at, data, n); }, file.size()));
}

// The file as the shared frame walk reads it.
mpeg::ReadAt readAtOf(const io::Reader& file) {
    return [&file](uint64_t offset, uint8_t* data, size_t n) -> long {
        return static_cast<long>(file.readAt(offset, data, n));
    };
}

// Version number of the description: 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5.
int versionNumber(const mpeg::MpegFrameHeader& h) { return h.version == 1 ? 1 : h.version == 0 ? 2 : 3; }
// Channel code: 1 mono, 2 stereo or dual channel, 3 joint stereo.
int channelCode(const mpeg::MpegFrameHeader& h) { return h.mode == 3 ? 1 : h.mode == 1 ? 3 : 2; }

// How many frames the fast analysis looks at when the stream does not count
// its frames: enough to tell a constant bitrate from a variable one.
constexpr uint64_t kFastSampleFrames = 64;

// The fast analysis of a stream whose first frames the walk has seen. The
// music's length comes from the information frame's frame count when the
// count fits the stream (its byte count, where it gives one, is the
// stream's and no more than the file holds, and the average frame it
// implies is within a factor of two of the frames seen): exact for an
// honest header. A file that lost its end is walked. Otherwise, when the frames
// seen share one bitrate, from the stream's bytes at that bitrate (within a
// frame or two). A stream that neither counts its frames believably nor
// keeps one bitrate is walked in full: false.
bool fastLength(mpeg::StreamLayout& layout) {
    const mpeg::MpegFrameHeader& h = layout.firstHeader;
    const int spf = mpeg::mpegSamplesPerFrame(h);
    const uint64_t streamBytes = layout.region.end - layout.firstOffset;
    const double seen = static_cast<double>(layout.audioBytes) / static_cast<double>(layout.frameCount);
    if (layout.info && layout.info->frames && *layout.info->frames > 0) {
        const uint64_t frames = *layout.info->frames;
        const double average = static_cast<double>(streamBytes) / static_cast<double>(frames);
        bool believable = average > 0.5 * seen && average < 2.0 * seen;
        if (layout.info->bytes) {
            // The count of the stream's bytes, its information frame included.
            const double stated = static_cast<double>(*layout.info->bytes);
            const double held = static_cast<double>(layout.region.end - layout.infoOffset);
            believable = believable && stated > 0.99 * held && stated <= held;
        }
        if (believable) {
            layout.frameCount = frames;
            layout.decodedSamples = frames * static_cast<uint64_t>(spf);
            layout.segments = {{0, 0, spf}};
            mpeg::placeMusic(layout);
            return true;
        }
        return false;
    }
    if (layout.lowestKbps != layout.highestKbps) return false;
    // Constant bitrate: the stream's bytes in frames of the average length.
    const uint64_t frames = static_cast<uint64_t>(static_cast<double>(streamBytes) / seen + 0.5);
    layout.frameCount = frames;
    layout.decodedSamples = frames * static_cast<uint64_t>(spf);
    layout.skip = 0;
    layout.length = layout.decodedSamples;
    layout.gapless = false;
    return true;
}

// Whether the frames found are a stream: its first three audio frames stand
// one right behind the other, or it has fewer and they run (the last one
// perhaps cut short, or reaching into the tags behind) to the end of the
// audio. Two frames that only happen to
// look like a stream in other bytes (random data holds such a pair about
// once in every few hundred 100 KB files) are not one, and give no facts.
bool confirmedStream(const mpeg::ReadAt& readAt, const mpeg::StreamRegion& region, mpeg::WalkOptions walk) {
    walk.keepIndex = true;
    walk.maxAudioFrames = 3;
    const mpeg::StreamLayout first = mpeg::walkStream(readAt, region, walk);
    if (first.frameCount == 0 || !first.hasIndex()) return false;
    uint64_t end = first.frameAt(0).offset;
    for (uint64_t i = 0; i < first.frameCount; ++i) {
        const mpeg::StreamLayout::Frame f = first.frameAt(i);
        if (f.offset != end) return false;
        end = f.offset + static_cast<uint64_t>(f.length);
    }
    if (first.frameCount >= 3) return true;
    return first.walkedToEnd && (end >= region.end || region.end - end < static_cast<uint64_t>(first.firstLength));
}

std::string withThousandsComma(int value) {
    std::string digits = std::to_string(value);
    if (digits.size() > 3) digits.insert(digits.size() - 3, ",");
    return digits;
}

void clearTags(tags::TagRecord& t) { t = tags::TagRecord{}; }

}  // namespace

std::string mpegDescription(int versionNumber, int layer, int rate, int channelCode, int bitrate, int lowest,
                            int highest) {
    std::string s = "MPEG " + std::to_string(versionNumber) + ".0 layer-" + std::to_string(layer) + ": ";
    s += withThousandsComma(rate) + " kHz ";
    s += channelCode == 1 ? "Mono; " : channelCode == 3 ? "Joint Stereo; " : "Stereo; ";
    if (lowest == highest)
        s += " " + std::to_string(bitrate) + " Kbps; ";
    else
        s += " " + std::to_string(lowest) + "-" + std::to_string(highest) + " Kbps;  ";
    return s;
}

MpegRead readMpeg(const std::string& path, const MpegOptions& options, Facts& facts, tags::TagRecord& tags,
                  tags::TagExtras* extras) {
    io::Reader file(path);
    if (!file.ok()) {
        facts.size = -1;
        return MpegRead::CannotOpen;
    }
    const auto fileSize = static_cast<int64_t>(file.size());
    facts.size = sizeFact(fileSize);

    // The frames as the decoder finds them, after the ID3v2 tags and before
    // the APEv2, Lyrics3 and ID3v1 tags. The fast analysis looks for the first frame
    // within 204800 bytes and at the first frames only; the full analysis
    // walks the whole stream, as decoding it does.
    const mpeg::ReadAt readAt = readAtOf(file);
    const mpeg::StreamRegion region = mpeg::audioRegion(readAt, static_cast<uint64_t>(fileSize));
    mpeg::WalkOptions walk;
    if (options.fastAnalysis) {
        walk.searchLimit = kHeaderSearchLimit;
        walk.maxAudioFrames = kFastSampleFrames;
    }
    mpeg::StreamLayout layout = mpeg::walkStream(readAt, region, walk);
    if (layout.frameCount == 0 || !confirmedStream(readAt, region, walk)) return MpegRead::NoHeader;
    if (!layout.walkedToEnd && !layout.failed && !fastLength(layout)) {
        walk.maxAudioFrames = UINT64_MAX;
        layout = mpeg::walkStream(readAt, region, walk);
    }
    const mpeg::MpegFrameHeader& h = layout.firstHeader;
    const int rate = mpeg::mpegSampleRate(h);
    const int spf = mpeg::mpegSamplesPerFrame(h);

    // Tags: ID3v1 always looked at, ID3v2 only when asked for.
    std::optional<tags::Id3v1Tag> v1;
    if (fileSize >= 128) {
        tags::Id3v1Block block{};
        if (file.readAt(static_cast<uint64_t>(fileSize - 128), block.data(), block.size()) == block.size())
            v1 = tags::parseId3v1(block);
    }
    std::optional<tags::Id3v2Tag> v2;
    if (options.tagKind == 2) v2 = tags::readId3v2(path);
    const int found = v2 ? 2 : v1 ? 1 : 0;
    if (found == options.tagKind && found == 2) {
        v2->applyTo(tags);
        if (extras) *extras = v2->extras();
    } else if (found == options.tagKind && found == 1)
        v1->applyTo(tags);
    else
        clearTags(tags);
    if (!genre::isValid(tags.genre)) tags.genre = genre::kDefault;

    // Bitrate: the first frame's; for a stream that counts its frames the
    // average over its bytes.
    int kbps = mpeg::frameKbps(h, layout.firstLength);
    if (layout.info && layout.info->frames && layout.frameCount > 0) {
        // The full walk knows the audio frames' bytes; the fast analysis
        // takes the stream's from its first audio frame on.
        const uint64_t bytes = layout.walkedToEnd ? layout.audioBytes : layout.region.end - layout.firstOffset;
        kbps = mpeg::averageKbps(bytes, layout.frameCount * static_cast<uint64_t>(spf), rate);
    }
    int lowest = kbps, highest = kbps;
    if (!options.fastAnalysis) {
        lowest = layout.lowestKbps;
        highest = layout.highestKbps;
    }
    if (highest != 0 && highest < kbps) kbps = highest;

    facts.formatTag = 0;
    facts.channels = mpeg::mpegChannels(h);
    facts.frequency = rate;
    facts.bitsPerSample = 16;
    facts.bitrate = kbps * 1000;
    // The music's sample frames and their duration, as the decoder counts
    // them (milliseconds truncated, as its Duration).
    facts.samples = saturated32(layout.length);
    facts.duration =
        static_cast<int32_t>(std::min<uint64_t>(layout.length * 1000 / static_cast<uint64_t>(rate), INT32_MAX));
    facts.description =
        mpegDescription(versionNumber(h), mpeg::mpegLayerNumber(h), rate, channelCode(h), kbps, lowest, highest);
    return MpegRead::Ok;
}

int probeMpeg(const std::string& path) {
    io::Reader file(path);
    if (!file.ok()) return 0;
    // The search limits count from the end of the tags, however large they are.
    const int64_t start = audioStart(file);
    std::vector<uint8_t> buf(static_cast<size_t>(kProbeSearchLimit + 2 * mpeg::kMaxMpegFrameBytes + 64));
    const size_t got = file.readAt(start, buf.data(), buf.size());
    auto wordAt = [&](int64_t off, uint32_t& w) {
        if (off < 0 || off + 4 > static_cast<int64_t>(got)) return false;
        w = mpeg::readMpegWord(&buf[static_cast<size_t>(off)]);
        return true;
    };
    auto valid = [](uint32_t w) {
        return mpeg::hasMpegSync(w) && mpeg::isValidMpegHeaderOrFree(mpeg::unpackMpegHeader(w));
    };
    // The first header confirmed by another of the same version and layer
    // about a frame length later; a header that is not confirmed is passed
    // over (junk may hold sync-like bytes).
    uint32_t w = 0;
    for (int64_t first = 0; first <= kProbeSearchLimit && wordAt(first, w); ++first) {
        if (!valid(w)) continue;
        const mpeg::MpegFrameHeader h = mpeg::unpackMpegHeader(w);
        const int frameLength = mpeg::isFreeFormat(h)
                                    ? mpeg::freeFormatFrameLength(std::span<const uint8_t>(
                                          &buf[static_cast<size_t>(first)], got - static_cast<size_t>(first)))
                                    : mpeg::mpegFrameLength(h);
        if (frameLength <= 0 || frameLength > kProbeMaxFrame) continue;
        bool confirmed = false;
        uint32_t w2 = 0;
        const int64_t end = first + frameLength;
        for (int64_t off = end - kConfirmBefore; off <= end + kConfirmAfter && !confirmed && wordAt(off, w2); ++off) {
            if (off <= first || !valid(w2)) continue;
            const mpeg::MpegFrameHeader second = mpeg::unpackMpegHeader(w2);
            confirmed = second.version == h.version && second.layer == h.layer;
        }
        if (!confirmed) continue;
        const int layer = mpeg::mpegLayerNumber(h);
        return layer == 3 || layer == 2 ? layer : 0;
    }
    return 0;
}

}  // namespace qoro::audioinfo
