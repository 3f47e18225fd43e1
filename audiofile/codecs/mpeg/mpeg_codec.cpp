#include "mpeg_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>

#include "tags/id3v2.h"

namespace qoro::mpeg {
namespace {

constexpr int kHeadBytes = 152;

uint32_t be32(const uint8_t* p) { return readMpegWord(p); }

int clampMs(int64_t ms)
{
    return int(std::clamp<int64_t>(ms, 0, std::numeric_limits<int>::max()));
}

}  // namespace

MpegCodec::MpegCodec() = default;

void MpegCodec::reset()
{
    decoder_.reset();
    inSync_ = false;
    haveAhead_ = false;
    seekOffset_ = 0;
    samplesDecoded_ = 0;
}

bool MpegCodec::analyse(MpegCodecHost& host, MpegStreamStatus& status)
{
    info_ = MpegStreamInfo{};
    const int64_t inputSize = host.size();
    streamSize_ = inputSize;
    tagSize_ = 0;

    uint8_t head[kHeadBytes] = {};
    if (host.seek(0) < 0) return false;
    long got = host.read(head, kHeadBytes);
    if (got < 0) return false;
    if (got >= 10 && tags::parseId3v2Header(std::span<const uint8_t>(head, size_t(got)))) {
        // The ID3v2 tags the stream begins with (several may stand one after
        // another); a tag that claims more than the input takes all of it.
        const auto readAt = [&host](uint64_t at, uint8_t* data, size_t n) -> size_t {
            if (host.seek(int64_t(at)) < 0) return 0;
            const long r = host.read(data, long(n));
            return r > 0 ? size_t(r) : 0;
        };
        tagSize_ = int64_t(tags::id3v2LeadingSize(readAt, uint64_t(std::max<int64_t>(inputSize, 0)), true));
        streamSize_ = std::max<int64_t>(inputSize - tagSize_, 0);
        std::memset(head, 0, sizeof head);
        if (host.seek(tagSize_) < 0) return false;
        got = host.read(head, kHeadBytes);
        if (got < 0) return false;
    }
    // Decoding starts at the audio data.
    if (host.seek(tagSize_) < 0) return false;
    if (got < 4) return false;

    if (head[0] != 0xFF || head[1] < 0xE0) return false;
    const MpegFrameHeader h = unpackMpegHeader(be32(head));
    if (!isValidMpegHeader(h)) return false;

    MpegStreamInfo info;
    info.level = mpegLevel(h);
    info.layer = mpegLayerNumber(h);
    info.mode = h.mode;
    info.channels = mpegChannels(h);
    info.sampleRate = mpegSampleRate(h);
    info.bitrateKbps = mpegBitrateKbps(h);
    info.durationMs = info.bitrateKbps ? streamSize_ / (info.bitrateKbps / 8) : 0;

    // A VBR header sits where Layer III side information would end.
    const int o = 4 + mpegSideInfoLength(h);
    const int spf = h.version == 1 ? 1152 : 576;
    auto fromFrames = [&](uint32_t frames) {
        info.vbrFrames = frames;
        info.durationMs = int64_t(double(spf) * 1000.0 * double(frames) / double(info.sampleRate));
        info.bitrateKbps = info.durationMs ? int(std::min<int64_t>(streamSize_ / info.durationMs * 8, 1 << 30)) : 0;
        info.vbrHeader = true;
    };
    if (o + 8 <= got && (std::memcmp(head + o, "Xing", 4) == 0 || std::memcmp(head + o, "Lame", 4) == 0)) {
        const uint32_t flags = be32(head + o + 4);
        int at = o + 8;
        if (flags & 1) {
            if (at + 4 > got) return false;
            fromFrames(be32(head + at));
            at += 4;
        }
        if (flags & 2) at += 4;
        if (flags & 4) {
            if (at + 100 > got) return false;  // the seek table does not fit what was read
            std::array<uint8_t, 100> table;
            std::memcpy(table.data(), head + at, 100);
            info.seekTable = table;
        }
    } else if (o + 18 <= got && std::memcmp(head + o, "VBRI", 4) == 0) {
        fromFrames(be32(head + o + 14));
    }

    info_ = info;
    lastLevel_ = info.level;
    lastLayer_ = info.layer;
    lastMode_ = info.mode;
    lastRate_ = info.sampleRate;
    lastKbps_ = mpegBitrateKbps(h);
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

// Finds the next confirmed frame and reads it into frame_. 'status' gets
// the input's error or kEndOfInput when false is returned.
bool MpegCodec::readFrame(MpegCodecHost& host, MpegFrameHeader& h, int& length, int& status)
{
    auto readByte = [&](uint8_t& b) -> int {
        const long n = host.read(&b, 1);
        return n == 1 ? 1 : (n < 0 ? int(n) : 0);
    };
    for (;;) {
        uint32_t word;
        if (haveAhead_) {
            word = ahead_;
            haveAhead_ = false;
        } else {
            uint8_t b4[4];
            const long n = host.read(b4, 4);
            if (n < 0) {
                status = int(n);
                return false;
            }
            if (n < 4) {
                status = kEndOfInput;
                return false;
            }
            word = be32(b4);
            while (!hasMpegSync(word)) {
                uint8_t b;
                const int r = readByte(b);
                if (r <= 0) {
                    status = r < 0 ? r : kEndOfInput;
                    return false;
                }
                word = (word << 8) | b;
                inSync_ = false;
            }
        }
        h = unpackMpegHeader(word);
        if (!isValidMpegHeader(h)) {
            inSync_ = false;
            continue;
        }
        length = mpegFrameLength(h);
        if (length < 4 || length > MpegFrameDecoder::kMaxFrameBytes) {
            inSync_ = false;
            continue;
        }
        frame_[0] = uint8_t(word >> 24);
        frame_[1] = uint8_t(word >> 16);
        frame_[2] = uint8_t(word >> 8);
        frame_[3] = uint8_t(word);
        const long body = host.read(frame_ + 4, length - 4);
        if (body < 0) {
            status = int(body);
            return false;
        }
        if (body < length - 4) {
            status = kEndOfInput;  // a truncated last frame is not decoded
            return false;
        }
        if (!inSync_) {
            uint8_t b4[4];
            const long n = host.read(b4, 4);
            if (n < 0) {
                status = int(n);
                return false;
            }
            if (n == 4) {
                const uint32_t next = be32(b4);
                if (!hasMpegSync(next) || !isValidMpegHeader(unpackMpegHeader(next))) continue;  // drop it
                ahead_ = next;
                haveAhead_ = true;
                inSync_ = true;
            }
        }
        return true;
    }
}

int MpegCodec::decode(MpegCodecHost& host, MpegStreamStatus& status, int16_t* out, int& samplesPerChannel,
                      int& channels)
{
    MpegFrameHeader h;
    int length = 0;
    int err = 0;
    samplesPerChannel = 0;
    channels = 0;
    if (!readFrame(host, h, length, err)) return err;
    const int n = decoder_.decodeFrame(h, frame_, size_t(length), out);
    samplesPerChannel = mpegSamplesPerFrame(h);
    channels = mpegChannels(h);
    updateEstimate(host, h, status);
    return n < 0 ? kDecodeFault : 0;
}

void MpegCodec::updateEstimate(MpegCodecHost& host, const MpegFrameHeader& h, MpegStreamStatus& status)
{
    samplesDecoded_ += uint64_t(mpegSamplesPerFrame(h));
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
        if ((mode == 3) != (lastMode_ == 3) || status.channels == 0) {
            status.changeFlags |= MpegStreamStatus::kFormatChanged;
            status.channels = mode == 3 ? 1 : 2;
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

    const int l = mpegBitrateKbps(h);
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
    reset();
    seekOffset_ = offset;
}

}  // namespace qoro::mpeg
