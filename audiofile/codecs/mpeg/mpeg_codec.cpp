#include "mpeg_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>

namespace qoro::mpeg {
namespace {

// Every frame the search takes fits the frame buffer.
static_assert(kMaxMpegFrameBytes <= MpegFrameDecoder::kMaxFrameBytes);

// The running bitrate average is held in fixed point with this many
// fraction bits: fine enough that a frame's 1/32 share of a 1 kbit/s
// difference still moves it.
constexpr int kAverageFractionBits = 10;
// Each frame's bitrate enters the average with a weight of 1/32 (the average
// keeps 31/32): a VBR stream's reported bitrate follows its course over a
// second or so instead of jumping with every frame.
constexpr int kAverageWeightBits = 5;
constexpr int64_t kAverageKept = (int64_t(1) << kAverageWeightBits) - 1;
// A new average is reported only when it differs from the reported bitrate
// by more than 1/32 of it: every report estimates the duration anew, and a
// VBR stream's small wobbles should not.
constexpr int kReportDivisor = 32;
// The time of the stretch a seek skipped is taken as four fifths of what its
// bytes would last at the rate measured since the seek, which puts the
// estimate on the short side. The lengths reported for streams read as they
// come depend on it, so it stays as it is.
constexpr double kSkippedStretchWeight = 0.8;
// Estimates stay below 2e9 ms, within an int.
constexpr double kMaxEstimateMs = 2e9;
constexpr double kBitsPerByte = 8.0;

int clampMs(int64_t ms) { return int(std::clamp<int64_t>(ms, 0, std::numeric_limits<int>::max())); }

// The host as a ReadAt: moves the input only when it is not already there,
// so a sequential input (standard input) is read as it comes.
ReadAt readAtOf(MpegCodecHost*& host) {
    return [&host](uint64_t offset, uint8_t* data, size_t n) -> long {
        if (host->position() != int64_t(offset) && host->seek(int64_t(offset)) < 0) return -1;
        return host->read(data, long(std::min<size_t>(n, size_t(1) << 30)));
    };
}

}  // namespace

// The frame search over an input that was not analysed.
struct MpegCodec::Sequential {
    Sequential(MpegCodecHost& h, uint64_t begin, uint64_t end)
        : host(&h), window(readAtOf(host), begin, end), scanner(window), atStart(begin == 0) {}
    MpegCodecHost* host;
    ByteWindow window;
    FrameScanner scanner;
    bool atStart;  // the next frame is the stream's first: it may be an information frame
};

MpegCodec::MpegCodec() = default;
MpegCodec::~MpegCodec() = default;

bool MpegCodec::analyse(MpegCodecHost& host, MpegStreamStatus& status) {
    info_ = MpegStreamInfo{};
    indexed_ = false;
    sequential_.reset();
    const int64_t inputSize = std::max<int64_t>(host.size(), 0);
    MpegCodecHost* h = &host;
    const ReadAt readAt = readAtOf(h);
    StreamRegion region;
    if (const auto given = host.streamRegion()) {
        region.begin = std::min<uint64_t>(given->begin, uint64_t(inputSize));
        region.end = std::clamp<uint64_t>(given->end, region.begin, uint64_t(inputSize));
    } else {
        region = audioRegion(readAt, uint64_t(inputSize));
    }
    streamBegin_ = int64_t(region.begin);
    streamBytes_ = int64_t(region.end - region.begin);

    layout_ = walkStream(readAt, region, {.keepIndex = true});
    if (layout_.indexDropped) {
        // Too long (or too changeable) a stream to keep every frame's
        // place: decoded as it comes, from the start of the audio.
        host.seek(int64_t(region.begin));
        layout_ = StreamLayout{};
        return false;
    }
    indexed_ = true;
    startAt(0, layout_.skip);
    outputEnd_ = layout_.skip + layout_.length;
    // Decoding starts at the audio data.
    host.seek(int64_t(layout_.frameCount ? layout_.firstOffset : region.begin));
    if (layout_.frameCount == 0) return false;

    const MpegFrameHeader& first = layout_.firstHeader;
    streamChannels_ = mpegChannels(first);
    MpegStreamInfo info;
    info.level = mpegLevel(first);
    info.layer = mpegLayerNumber(first);
    info.mode = first.mode;
    info.channels = streamChannels_;
    info.sampleRate = mpegSampleRate(first);
    info.durationMs = int64_t(layout_.length * 1000 / uint64_t(info.sampleRate));
    info.bitrateKbps = frameKbps(first, layout_.firstLength);
    if (layout_.info && layout_.info->frames) {
        // A counted stream: its bitrate is the average over its audio.
        info.vbrHeader = true;
        info.vbrFrames = int64_t(*layout_.info->frames);
        info.bitrateKbps = averageKbps(layout_.audioBytes, layout_.decodedSamples, info.sampleRate);
    }
    if (layout_.info && layout_.info->toc) info.seekTable = layout_.info->toc;

    info_ = info;
    lastKbps_ = frameKbps(first, layout_.firstLength);
    averageKbps_ = 0;
    status.level = info.level;
    status.layer = info.layer;
    status.mode = info.mode;
    status.sampleRate = info.sampleRate;
    status.bitrateKbps = info.bitrateKbps;
    status.channels = info.channels;
    status.durationMs = clampMs(info.durationMs);
    return true;
}

void MpegCodec::startAt(uint64_t frame, uint64_t firstOutputSample) {
    decoder_.reset();
    samplesSinceRestart_ = 0;
    outputFrom_ = firstOutputSample;
    if (frame == 0 || frame >= layout_.frameCount) {
        nextFrame_ = std::min(frame, layout_.frameCount);
        return;
    }
    // Frames decoded before the first one wanted, their output dropped, so
    // that the decoder holds what decoding from the start would.
    nextFrame_ = layout_.warmUpStart(frame);
}

bool MpegCodec::seekToSample(uint64_t sample) {
    if (!indexed_) return false;
    if (sample >= layout_.length) {
        startAt(layout_.frameCount, outputEnd_);
        return true;
    }
    const uint64_t wanted = layout_.skip + sample;
    uint64_t frameStart = 0;
    const uint64_t k = layout_.frameOfSample(wanted, frameStart);
    startAt(k, wanted);
    return true;
}

namespace {

// The mean of a stereo frame's two samples, for a single-channel stream.
inline int16_t mixed(int16_t a, int16_t b) { return int16_t((int(a) + int(b)) / 2); }
inline float mixed(float a, float b) { return (a + b) * 0.5f; }

}  // namespace

template <class Sample>
int MpegCodec::decodeFrameBytes(int length, Sample* out) {
    const MpegFrameHeader h = unpackMpegHeader(readMpegWord(frame_));
    const int spf = mpegSamplesPerFrame(h);
    const int n = decoder_.decodeFrame(h, frame_, size_t(length), out);
    const int frameChannels = mpegChannels(h);
    // A frame whose channel count is not the stream's is brought to it.
    if (frameChannels == 1 && streamChannels_ == 2) {
        for (int i = spf - 1; i >= 0; --i) out[2 * i] = out[2 * i + 1] = out[i];
    } else if (frameChannels == 2 && streamChannels_ == 1) {
        for (int i = 0; i < spf; ++i) out[i] = mixed(out[2 * i], out[2 * i + 1]);
    }
    return n < 0 ? -1 : spf;
}

template <class Sample>
int MpegCodec::decodeIndexed(MpegCodecHost& host, MpegStreamStatus& status, Sample* out, int& samplesPerChannel,
                             int& channels) {
    for (;;) {
        if (nextFrame_ >= layout_.frameCount) return kEndOfInput;
        const uint64_t start = layout_.firstSampleOf(nextFrame_);
        if (start >= outputEnd_) return kEndOfInput;
        const int spf = layout_.samplesOf(nextFrame_);
        const uint64_t end = start + uint64_t(spf);
        const bool wanted = end > outputFrom_;

        const StreamLayout::Frame fr = layout_.frameAt(nextFrame_);
        ++nextFrame_;
        if (host.position() != int64_t(fr.offset) && host.seek(int64_t(fr.offset)) < 0) return kEndOfInput;
        const long got = host.read(frame_, fr.length);
        if (got < 0) return int(got);
        // A last frame the tags behind it complete: its missing bytes are
        // silence, whatever the input hands on beyond the audio.
        if (fr.offset < layout_.region.end && layout_.region.end - fr.offset < uint64_t(got))
            std::fill(frame_ + (layout_.region.end - fr.offset), frame_ + got, uint8_t(0));
        bool fault = false;
        const uint32_t word = got >= 4 ? readMpegWord(frame_) : 0;
        const MpegFrameHeader h = unpackMpegHeader(word);
        if (got < fr.length || !hasMpegSync(word) || !isValidMpegHeaderOrFree(h) || mpegSamplesPerFrame(h) != spf ||
            (!isFreeFormat(h) && mpegFrameLength(h) != fr.length)) {
            // The file changed since it was walked: the frame keeps its
            // place in the timeline as silence.
            if (wanted) std::fill(out, out + size_t(spf) * size_t(streamChannels_), Sample(0));
            fault = true;
        } else {
            fault = (wanted ? decodeFrameBytes(fr.length, out) : decodeFrameBytes(fr.length, scratch_)) < 0;
            updateEstimate(host, h, spf, status);
        }
        if (!wanted) continue;

        const uint64_t from = std::max(outputFrom_, start) - start;
        const uint64_t to = std::min(end, outputEnd_) - start;
        if (from > 0)
            std::memmove(out, out + from * uint64_t(streamChannels_),
                         size_t(to - from) * size_t(streamChannels_) * sizeof(Sample));
        outputFrom_ = end;
        samplesPerChannel = int(to - from);
        channels = streamChannels_;
        return fault ? kDecodeFault : 0;
    }
}

template <class Sample>
int MpegCodec::decodeSequential(MpegCodecHost& host, MpegStreamStatus& status, Sample* out, int& samplesPerChannel,
                                int& channels) {
    if (!sequential_) {
        const int64_t size = host.size();
        const uint64_t end = size > 0 ? uint64_t(size) : UINT64_MAX;
        sequential_ = std::make_unique<Sequential>(host, uint64_t(std::max<int64_t>(host.position(), 0)), end);
    }
    Sequential& s = *sequential_;
    s.host = &host;
    for (;;) {
        ScannedFrame f;
        if (!s.scanner.next(f)) return kEndOfInput;
        std::memcpy(frame_, s.window.data(), size_t(f.length));
        s.window.skip(uint64_t(f.length));
        if (s.atStart) {
            s.atStart = false;
            if (parseInfoFrame(std::span<const uint8_t>(frame_, size_t(f.length)))) continue;
        }
        if (streamChannels_ == 0) streamChannels_ = mpegChannels(f.header);
        const int n = decodeFrameBytes(f.length, out);
        samplesPerChannel = mpegSamplesPerFrame(f.header);
        channels = streamChannels_;
        updateEstimate(host, f.header, samplesPerChannel, status);
        return n < 0 ? kDecodeFault : 0;
    }
}

template <class Sample>
int MpegCodec::decode(MpegCodecHost& host, MpegStreamStatus& status, Sample* out, int& samplesPerChannel,
                      int& channels) {
    samplesPerChannel = 0;
    channels = 0;
    if (indexed_) return decodeIndexed(host, status, out, samplesPerChannel, channels);
    return decodeSequential(host, status, out, samplesPerChannel, channels);
}

template int MpegCodec::decode(MpegCodecHost&, MpegStreamStatus&, int16_t*, int&, int&);
template int MpegCodec::decode(MpegCodecHost&, MpegStreamStatus&, float*, int&, int&);

void MpegCodec::updateEstimate(MpegCodecHost& host, const MpegFrameHeader& h, int samples, MpegStreamStatus& status) {
    samplesSinceRestart_ += uint64_t(samples);
    if (info_.vbrHeader) return;

    status.level = mpegLevel(h);
    status.layer = mpegLayerNumber(h);
    status.mode = h.mode;
    // Whether this frame changed the sample rate, the channels or the
    // reported bitrate: only then is the duration estimated anew.
    bool formatChanged = false;
    // Output keeps the stream's channel count whatever a frame holds.
    if (status.channels == 0) {
        status.channels = streamChannels_ ? streamChannels_ : mpegChannels(h);
        formatChanged = true;
    }
    const int rate = mpegSampleRate(h);
    if (status.sampleRate != rate) {
        status.sampleRate = rate;
        formatChanged = true;
    }

    // A free-format frame states no bitrate: the analysis measured one.
    const int thisFrameKbps = isFreeFormat(h) ? info_.bitrateKbps : mpegBitrateKbps(h);
    int& reportedKbps = status.bitrateKbps;
    if (thisFrameKbps != lastKbps_) {
        reportedKbps = thisFrameKbps;
        formatChanged = true;
    }
    lastKbps_ = thisFrameKbps;
    int smoothedKbps;
    if (reportedKbps == 0) {
        reportedKbps = thisFrameKbps;
        averageKbps_ = int64_t(thisFrameKbps) << kAverageFractionBits;
        smoothedKbps = thisFrameKbps;
    } else {
        if (averageKbps_ == 0) averageKbps_ = int64_t(reportedKbps) << kAverageFractionBits;
        const int64_t frameFixed = int64_t(thisFrameKbps) << kAverageFractionBits;
        averageKbps_ = (kAverageKept * averageKbps_ + frameFixed) >> kAverageWeightBits;
        smoothedKbps = int((averageKbps_ + (int64_t(1) << (kAverageFractionBits - 1))) >> kAverageFractionBits);
    }
    if (std::abs(smoothedKbps - reportedKbps) > reportedKbps / kReportDivisor) {
        reportedKbps = smoothedKbps;
        formatChanged = true;
    }

    // The walk gave the exact duration; only a stream read as it comes has
    // its duration estimated: the time decoded since decoding (re)started,
    // the time of what a seek skipped, and the bytes left at the reported
    // bitrate.
    if (indexed_) return;
    if (reportedKbps != 0 && formatChanged && streamBytes_ != 0) {
        const double decodedMs = double(samplesSinceRestart_) * 1000.0 / double(rate);
        const double position = double(host.position());
        const double restart = double(restartOffset_);
        // Input bytes per millisecond of what was decoded since the restart
        // (before anything was, the bitrate's figure stands in).
        const double bytesPerMs =
            (restart < position && decodedMs > 0.0) ? (position - restart) / decodedMs : double(reportedKbps);
        const double skippedMs = (double(streamBegin_) < restart && bytesPerMs > 0.0)
                                     ? (restart - double(streamBegin_)) * kSkippedStretchWeight / bytesPerMs
                                     : 0.0;
        const double bytesLeft = double(streamBegin_ + streamBytes_) - position;
        const double estimateMs = decodedMs + skippedMs + bytesLeft * kBitsPerByte / double(reportedKbps);
        status.durationMs = clampMs(int64_t(std::max(0.0, std::min(estimateMs, kMaxEstimateMs))));
    }
}

double MpegCodec::fractionToFileFraction(double fraction) const {
    // The information frame's seek table: 100 entries, entry i the input
    // position (in 256ths of the stream) where i % of the play time begins.
    constexpr int kTableEntries = 100;
    constexpr double kTableScale = 256.0;
    double fileFraction = fraction;
    if (info_.seekTable) {
        const auto& table = *info_.seekTable;
        fraction = std::clamp(fraction, 0.0, 1.0);
        int entry = int(fraction * kTableEntries);
        if (entry > kTableEntries - 1) entry = kTableEntries - 1;
        // Above the last entry the table continues to the end of the file.
        const double upper = entry == kTableEntries - 1 ? kTableScale : double(table[size_t(entry) + 1]);
        const double lower = table[size_t(entry)];
        fileFraction = (lower + (fraction * kTableEntries - entry) * (upper - lower)) / kTableScale;
    }
    if (streamBegin_ != 0 && streamBytes_ != 0) {
        const double inputBytes = double(streamBegin_ + streamBytes_);
        fileFraction = (fileFraction * double(streamBytes_) + double(streamBegin_)) / inputBytes;
    }
    return fileFraction;
}

void MpegCodec::seekNotify(int64_t offset) {
    restartOffset_ = offset;
    if (!indexed_) {
        decoder_.reset();
        sequential_.reset();
        samplesSinceRestart_ = 0;
        return;
    }
    // The first audio frame at or after the offset.
    uint64_t lo = 0, hi = layout_.frameCount;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (layout_.frameAt(mid).offset < uint64_t(std::max<int64_t>(offset, 0)))
            lo = mid + 1;
        else
            hi = mid;
    }
    const uint64_t from = lo < layout_.frameCount ? std::max(layout_.skip, layout_.firstSampleOf(lo)) : outputEnd_;
    startAt(lo, from);
}

}  // namespace qoro::mpeg
