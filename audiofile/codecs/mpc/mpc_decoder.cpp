#include "mpc_decoder.h"

#include <algorithm>
#include <cmath>

#include "codecs/dsp/polyphase.h"
#include "mpc_bitbuffer.h"
#include "mpc_frame.h"

namespace qoro::mpc {

namespace {

// Samples the synthesis filter bank delays the signal by; the first frame
// drops them.
constexpr int kSynthesisDelay = 481;
constexpr int kLengthBits = 20;
// Frames parsed before a seek target so that the state carried from frame to
// frame (the scale factors) is rebuilt.
constexpr uint32_t kSeekRebuildFrames = 32;

}  // namespace

struct MpcDecoder::State {
    MpcStreamInfo info;
    BitBuffer bits;
    FrameState frame;
    dsp::PolyphaseSynthesis synth[2];
    float subbands[2][kSlots][kBands] = {};
    int16_t pcm[kFrameSamples * 2] = {};
    float floats[kFrameSamples * 2] = {};
    bool open = false;
    uint64_t firstFrameBit = 0;
    uint32_t decodedFrames = 0;
    float peakScale = 1.0f;
    // Defaults: the peak-based scale is not applied (clipping prevention off),
    // and damaged frames are replaced by silence (skipping on).
    bool clippingPrevention = false;
    int skipDamaged = 1;
    Stats stats;

    void rewind() {
        frame.reset();
        synth[0].reset();
        synth[1].reset();
        bits.seek(firstFrameBit);
        decodedFrames = 0;
        stats = Stats{};
    }

    // Reads the length field and parses the frame after it. True when the
    // frame's parsed length matches its length field and stays inside the
    // data; 'next' is where the following frame starts.
    bool parseOne(uint64_t& next) {
        const uint32_t length = bits.read(kLengthBits);
        const uint64_t body = bits.position();
        next = body + length;
        parseFrame(bits, frame);
        return bits.position() - body == length && !bits.overrun();
    }

    bool atEnd() const {
        return decodedFrames >= info.header.frames || bits.position() + kLengthBits > bits.dataBits();
    }

    template <class Sample>
    int next(Sample* pcmOut);
};

MpcDecoder::MpcDecoder() : s_(std::make_unique<State>()) {}
MpcDecoder::~MpcDecoder() = default;

int MpcDecoder::open(const std::string& path) {
    close();
    MpcStreamInfo info;
    if (!readStreamInfo(path, info)) return -1;
    if (!s_->bits.open(path, info.audioStart, info.audioBytes)) return -1;
    // The header again, from the bit buffer the frames are read from.
    const auto header = parseMpcHeader(std::span<const uint8_t>(s_->bits.headBytes(), s_->bits.headSize()));
    if (!header || header->streamVersion < 4 || header->streamVersion > 7 || header->maxBand >= kBands) {
        s_->bits.close();
        return -1;
    }
    s_->info = info;
    s_->info.header = *header;
    s_->firstFrameBit = uint64_t(header->firstFrameByte) * 8 + uint64_t(header->firstFrameBit);
    s_->frame.streamVersion = header->streamVersion;
    s_->frame.maxBand = header->maxBand;
    s_->frame.msStereo = header->msStereo;
    s_->peakScale = header->streamVersion == 7 ? float(32767.0 / ((double(header->peak) + 1e-10) * 1.18)) : 1.0f;
    s_->rewind();
    s_->open = true;
    return 0;
}

void MpcDecoder::close() {
    s_->bits.close();
    s_->open = false;
    s_->info = MpcStreamInfo{};
    s_->decodedFrames = 0;
}

const MpcStreamInfo& MpcDecoder::info() const { return s_->info; }

// Parses and synthesises the next frame into the State's samples (16-bit or
// float): the sample frames it yields, 0 at the end (or at a damaged frame
// when skipping is off), or -n for a damaged frame skipped as n frames of
// silence.
template <class Sample>
int MpcDecoder::State::next(Sample* pcmOut) {
    if (!open || atEnd()) return 0;
    const bool first = decodedFrames == 0;
    const int frames = first ? kFirstFrameBytes / 4 : kFrameSamples;
    const uint64_t start = bits.position();
    uint64_t after = 0;
    if (!parseOne(after)) {
        ++stats.damagedFrames;
        if (skipDamaged <= 0) {
            bits.seek(start);
            return 0;
        }
        bits.seek(after);
        ++decodedFrames;
        return -frames;
    }
    ++decodedFrames;
    for (int ch = 0; ch < 2; ++ch)
        for (int n = 0; n <= frame.maxBand; ++n) {
            const int res = frame.res[ch][n];
            if (res != 0) ++stats.codedBands;
            if (res == -1) ++stats.noiseBands;
        }
    const float gain = clippingPrevention && peakScale < 1.0f ? peakScale : 1.0f;
    requantise(frame, gain, subbands);
    for (int ch = 0; ch < 2; ++ch)
        for (int k = 0; k < kSlots; ++k) synth[ch].run(subbands[ch][k], pcmOut + k * 64 + ch, 2);
    return frames;
}

int MpcDecoder::decodeFrame(uint8_t* out) {
    State& s = *s_;
    const bool first = s.decodedFrames == 0;
    const int n = s.next(s.pcm);
    if (n == 0) return 0;
    const int bytes = 4 * (n < 0 ? -n : n);
    if (n < 0) {
        std::fill(out, out + bytes, uint8_t(0));
        return bytes;
    }
    const int skip = first ? kSynthesisDelay * 2 : 0;
    for (int i = 0; i < bytes / 2; ++i) {
        const uint16_t v = uint16_t(s.pcm[skip + i]);
        out[2 * i] = uint8_t(v);
        out[2 * i + 1] = uint8_t(v >> 8);
    }
    return bytes;
}

int MpcDecoder::decodeFrame(float* out) {
    State& s = *s_;
    const bool first = s.decodedFrames == 0;
    const int n = s.next(s.floats);
    if (n == 0) return 0;
    const int samples = 2 * (n < 0 ? -n : n);
    if (n < 0)
        std::fill(out, out + samples, 0.0f);
    else
        std::copy_n(s.floats + (first ? kSynthesisDelay * 2 : 0), samples, out);
    return samples * 4;
}

int64_t MpcDecoder::seekMs(int64_t ms) {
    State& s = *s_;
    if (!s.open) return 0;
    const double wanted = std::max<double>(0.0, double(ms)) * 44.1 / kFrameSamples + 0.5;
    const uint32_t target = uint32_t(std::min<double>(wanted, double(s.info.header.frames)));
    s.rewind();
    // Far frames are only skipped by their length fields.
    while (s.decodedFrames + kSeekRebuildFrames < target && !s.atEnd()) {
        const uint32_t length = s.bits.read(kLengthBits);
        s.bits.seek(s.bits.position() + length);
        ++s.decodedFrames;
    }
    // The last ones are parsed, without synthesis, to rebuild the carried
    // state, all but the frame just before the target.
    while (s.decodedFrames + 1 < target && !s.atEnd()) {
        const uint64_t start = s.bits.position();
        uint64_t next = 0;
        if (!s.parseOne(next)) {
            s.bits.seek(start);
            s.synth[0].reset();
            s.synth[1].reset();
            return positionMs();
        }
        ++s.decodedFrames;
    }
    // That one is decoded in full into cleared synthesis filters, which
    // refills them: the frames that follow come out as they do when the
    // stream is decoded from the start.
    s.synth[0].reset();
    s.synth[1].reset();
    if (s.decodedFrames + 1 == target) {
        const Stats kept = s.stats;
        uint8_t discard[kFrameBytes];
        decodeFrame(discard);  // a damaged frame with skipping off stays unread
        s.stats = kept;
    }
    return positionMs();
}

int64_t MpcDecoder::positionMs() const { return int64_t(double(s_->decodedFrames) * kFrameSamples / 44.1 + 0.5); }

uint64_t MpcDecoder::filePosition() const { return s_->open ? s_->bits.streamStart() + s_->bits.position() / 8 : 0; }

const MpcDecoder::Stats& MpcDecoder::stats() const { return s_->stats; }

void MpcDecoder::setClippingPrevention(bool on) { s_->clippingPrevention = on; }

void MpcDecoder::setSkipDamagedFrames(int skip) { s_->skipDamaged = skip; }

}  // namespace qoro::mpc
