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

int clampMs(int64_t ms)
{
    return int(std::clamp<int64_t>(ms, 0, std::numeric_limits<int>::max()));
}

// The host as a ReadAt: moves the input only when it is not already there,
// so a sequential input (standard input) is read as it comes.
ReadAt readAtOf(MpegCodecHost*& host)
{
    return [&host](uint64_t offset, uint8_t* data, size_t n) -> long {
        if (host->position() != int64_t(offset) && host->seek(int64_t(offset)) < 0) return -1;
        return host->read(data, long(std::min<size_t>(n, size_t(1) << 30)));
    };
}

}  // namespace

// The frame search over an input that was not analysed.
struct MpegCodec::Sequential {
    Sequential(MpegCodecHost& h, uint64_t begin, uint64_t end)
        : host(&h), window(readAtOf(host), begin, end), scanner(window), atStart(begin == 0)
    {
    }
    MpegCodecHost* host;
    ByteWindow window;
    FrameScanner scanner;
    bool atStart;  // the next frame is the stream's first: it may be an information frame
};

MpegCodec::MpegCodec() = default;
MpegCodec::~MpegCodec() = default;

void MpegCodec::reset()
{
    decoder_.reset();
    sequential_.reset();
    indexed_ = false;
    layout_ = StreamLayout{};
    nextFrame_ = outputFrom_ = outputEnd_ = 0;
    seekOffset_ = 0;
    samplesDecoded_ = 0;
}

bool MpegCodec::analyse(MpegCodecHost& host, MpegStreamStatus& status)
{
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
    tagSize_ = int64_t(region.begin);
    streamSize_ = int64_t(region.end - region.begin);

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
    lastLevel_ = info.level;
    lastLayer_ = info.layer;
    lastMode_ = info.mode;
    lastRate_ = info.sampleRate;
    lastKbps_ = frameKbps(first, layout_.firstLength);
    average_ = 0;
    host.setIntProperty("mpeg/level", info.level);
    host.setIntProperty("mpeg/layer", info.layer);
    host.setIntProperty("mpeg/mode", info.mode);
    status.sampleRate = info.sampleRate;
    status.bitrateKbps = info.bitrateKbps;
    status.channels = info.channels;
    status.durationMs = clampMs(info.durationMs);
    status.changeFlags |= MpegStreamStatus::kInfoChanged | MpegStreamStatus::kFormatChanged;
    return true;
}

void MpegCodec::startAt(uint64_t frame, uint64_t firstOutputSample)
{
    decoder_.reset();
    samplesDecoded_ = 0;
    outputFrom_ = firstOutputSample;
    if (frame == 0 || frame >= layout_.frameCount) {
        nextFrame_ = std::min(frame, layout_.frameCount);
        return;
    }
    // Frames decoded before the first one wanted, their output dropped, so
    // that the decoder holds what decoding from the start would.
    nextFrame_ = layout_.warmUpStart(frame);
}

void MpegCodec::restart()
{
    if (indexed_) {
        startAt(0, layout_.skip);
        return;
    }
    decoder_.reset();
    sequential_.reset();
    samplesDecoded_ = 0;
}

bool MpegCodec::seekToSample(uint64_t sample)
{
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

int MpegCodec::decodeFrameBytes(int length, int16_t* out)
{
    const MpegFrameHeader h = unpackMpegHeader(readMpegWord(frame_));
    const int spf = mpegSamplesPerFrame(h);
    const int n = decoder_.decodeFrame(h, frame_, size_t(length), out);
    const int frameChannels = mpegChannels(h);
    // A frame whose channel count is not the stream's is brought to it.
    if (frameChannels == 1 && streamChannels_ == 2) {
        for (int i = spf - 1; i >= 0; --i) out[2 * i] = out[2 * i + 1] = out[i];
    } else if (frameChannels == 2 && streamChannels_ == 1) {
        for (int i = 0; i < spf; ++i) out[i] = int16_t((int(out[2 * i]) + int(out[2 * i + 1])) / 2);
    }
    return n < 0 ? -1 : spf;
}

int MpegCodec::decodeIndexed(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out, int& samplesPerChannel,
                             int& channels)
{
    for (;;) {
        if (nextFrame_ >= layout_.frameCount) return kEndOfInput;
        const uint64_t start = layout_.firstSampleOf(nextFrame_);
        if (start >= outputEnd_) return kEndOfInput;
        const int spf = layout_.samplesOf(nextFrame_);
        const uint64_t end = start + uint64_t(spf);
        const bool wanted = end > outputFrom_;
        int16_t* dst = wanted ? out : scratch_;

        const StreamLayout::Frame fr = layout_.frameAt(nextFrame_);
        ++nextFrame_;
        if (host.position() != int64_t(fr.offset) && host.seek(int64_t(fr.offset)) < 0) return kEndOfInput;
        const long got = host.read(frame_, fr.length);
        if (got < 0) return int(got);
        bool fault = false;
        const uint32_t word = got >= 4 ? readMpegWord(frame_) : 0;
        const MpegFrameHeader h = unpackMpegHeader(word);
        if (got < fr.length || !hasMpegSync(word) || !isValidMpegHeaderOrFree(h) ||
            mpegSamplesPerFrame(h) != spf || (!isFreeFormat(h) && mpegFrameLength(h) != fr.length)) {
            // The file changed since it was walked: the frame keeps its
            // place in the timeline as silence.
            std::fill(dst, dst + size_t(spf) * size_t(streamChannels_), int16_t(0));
            fault = true;
        } else {
            fault = decodeFrameBytes(fr.length, dst) < 0;
            updateEstimate(host, h, spf, status);
        }
        if (!wanted) continue;

        const uint64_t from = std::max(outputFrom_, start) - start;
        const uint64_t to = std::min(end, outputEnd_) - start;
        if (from > 0)
            std::memmove(out, out + from * uint64_t(streamChannels_), size_t(to - from) * size_t(streamChannels_) * 2);
        outputFrom_ = end;
        samplesPerChannel = int(to - from);
        channels = streamChannels_;
        return fault ? kDecodeFault : 0;
    }
}

int MpegCodec::decodeSequential(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out,
                                int& samplesPerChannel, int& channels)
{
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

int MpegCodec::decode(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out, int& samplesPerChannel,
                      int& channels)
{
    samplesPerChannel = 0;
    channels = 0;
    if (indexed_) return decodeIndexed(host, status, out, samplesPerChannel, channels);
    return decodeSequential(host, status, out, samplesPerChannel, channels);
}

void MpegCodec::updateEstimate(MpegCodecHost& host, const MpegFrameHeader& h, int samples, MpegStreamStatus& status)
{
    samplesDecoded_ += uint64_t(samples);
    if (info_.vbrHeader) return;

    const int level = mpegLevel(h), layer = mpegLayerNumber(h), mode = h.mode;
    if (level != lastLevel_) {
        host.setIntProperty("mpeg/level", level);
        status.changeFlags |= MpegStreamStatus::kInfoChanged;
    }
    if (layer != lastLayer_) {
        host.setIntProperty("mpeg/layer", layer);
        status.changeFlags |= MpegStreamStatus::kInfoChanged;
    }
    if (mode != lastMode_) {
        host.setIntProperty("mpeg/mode", mode);
        status.changeFlags |= MpegStreamStatus::kInfoChanged;
        // Output keeps the stream's channel count whatever a frame holds.
        if (status.channels == 0) {
            status.changeFlags |= MpegStreamStatus::kFormatChanged;
            status.channels = streamChannels_ ? streamChannels_ : mpegChannels(h);
        }
    }
    lastLevel_ = level;
    lastLayer_ = layer;
    lastMode_ = mode;
    const int rate = mpegSampleRate(h);
    if (rate != lastRate_ || status.sampleRate != rate) {
        status.sampleRate = rate;
        status.changeFlags |= MpegStreamStatus::kFormatChanged;
        lastRate_ = rate;
    }

    const int l = isFreeFormat(h) ? info_.bitrateKbps : mpegBitrateKbps(h);
    int& k = status.bitrateKbps;
    if (l != lastKbps_) {
        k = l;
        status.changeFlags |= MpegStreamStatus::kFormatChanged;
    }
    lastKbps_ = l;
    int smoothed;
    if (k == 0) {
        k = l;
        average_ = int64_t(l) * 1024;
        smoothed = l;
    } else {
        if (average_ == 0) average_ = int64_t(k) * 1024;
        average_ = (31 * average_ + int64_t(l) * 1024) >> 5;
        smoothed = int((average_ + 512) >> 10);
    }
    if (std::abs(smoothed - k) > k / 32) {
        k = smoothed;
        status.changeFlags |= MpegStreamStatus::kFormatChanged;
    }

    // The walk gave the exact duration; only a stream read as it comes has
    // its duration estimated from what was decoded so far.
    if (indexed_) return;
    if (k != 0 && (status.changeFlags & MpegStreamStatus::kFormatChanged) && streamSize_ != 0) {
        const double elapsed = double(samplesDecoded_) * 1000.0 / double(rate);
        const double p = double(host.position());
        const double u = double(seekOffset_);
        const double b = (u < p && elapsed > 0.0) ? (p - u) / elapsed : double(k);
        const double d = (double(tagSize_) < u && b > 0.0) ? (u - double(tagSize_)) * 0.8 / b : 0.0;
        const double remaining = double(tagSize_ + streamSize_) - p;
        const double ms = elapsed + d + remaining * 8.0 / double(k);
        status.durationMs = clampMs(int64_t(std::max(0.0, std::min(ms, 2e9))));
    }
}

double MpegCodec::offsetToFraction(int64_t x) const
{
    if (streamSize_ == 0) return 0.0;
    if (x >= tagSize_) return double(x - tagSize_) / double(streamSize_);
    return 0.0;
}

double MpegCodec::fractionToFileFraction(double f) const
{
    double g = f;
    if (info_.seekTable) {
        const auto& t = *info_.seekTable;
        f = std::clamp(f, 0.0, 1.0);
        int i = int(f * 100.0);
        if (i > 99) i = 99;
        // Above the last entry the table continues to the end of the file.
        const double upper = i == 99 ? 256.0 : double(t[size_t(i) + 1]);
        const double lower = t[size_t(i)];
        g = (lower + (f * 100.0 - i) * (upper - lower)) / 256.0;
    }
    if (tagSize_ != 0 && streamSize_ != 0)
        g = (g * double(streamSize_) + double(tagSize_)) / double(tagSize_ + streamSize_);
    return g;
}

void MpegCodec::seekNotify(int64_t offset)
{
    seekOffset_ = offset;
    if (!indexed_) {
        decoder_.reset();
        sequential_.reset();
        samplesDecoded_ = 0;
        return;
    }
    // The first audio frame at or after the offset.
    uint64_t lo = 0, hi = layout_.frameCount;
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (layout_.frameAt(mid).offset < uint64_t(std::max<int64_t>(offset, 0))) lo = mid + 1;
        else hi = mid;
    }
    const uint64_t from = lo < layout_.frameCount ? std::max(layout_.skip, layout_.firstSampleOf(lo)) : outputEnd_;
    startAt(lo, from);
    seekOffset_ = offset;
}

}  // namespace qoro::mpeg
