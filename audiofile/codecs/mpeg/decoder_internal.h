// Pieces shared by the Layer I/II and Layer III halves of the frame decoder.
#pragma once

#include "mpeg_frame_decoder.h"

#include "codecs/dsp/polyphase.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qoro::mpeg::detail {

// Big-endian bit reader over a buffer. Reads past 'capacityBytes' yield zero
// bits, so hostile lengths never read out of bounds.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t capacityBytes, size_t startBit = 0)
        : data_(data), capacity_(capacityBytes), pos_(startBit) {}

    // Up to 24 bits, without consuming them.
    uint32_t peek(int n) const {
        const size_t byte = pos_ >> 3;
        uint32_t w;
        if (byte + 4 <= capacity_) [[likely]] {
            std::memcpy(&w, data_ + byte, 4);
            w = __builtin_bswap32(w);
        } else {
            w = 0;
            for (size_t i = 0; i < 4; ++i) {
                w <<= 8;
                if (byte + i < capacity_) w |= data_[byte + i];
            }
        }
        return (w << (pos_ & 7)) >> (32 - n);
    }
    uint32_t get(int n) {
        if (n <= 0) return 0;
        const uint32_t v = peek(n);
        pos_ += size_t(n);
        return v;
    }
    void skip(int n) { pos_ += size_t(n); }
    size_t position() const { return pos_; }
    void setPosition(size_t bit) { pos_ = bit; }
    const uint8_t* data() const { return data_; }
    size_t capacity() const { return capacity_; }

private:
    const uint8_t* data_;
    size_t capacity_;
    size_t pos_;
};

struct Layer3State;
struct Layer3Deleter {
    void operator()(Layer3State* s) const;
};
using Layer3Ptr = std::unique_ptr<Layer3State, Layer3Deleter>;

}  // namespace qoro::mpeg::detail

namespace qoro::mpeg {

struct MpegFrameDecoder::State {
    // Frame copy with room for safe over-reads.
    alignas(16) uint8_t frame[kMaxFrameBytes + 8] = {};
    dsp::PolyphaseSynthesis synth[2];
    detail::Layer3Ptr l3;
};

}  // namespace qoro::mpeg

namespace qoro::mpeg::detail {

// One slot of the synthesis (32 samples per channel) of a frame's `nch`
// channels into `out`, interleaved when there are two: 16-bit PCM, or the
// filter bank's floats at full scale 1.0. The layers decode into either
// form alike; the two differ only in the synthesis's last step.
template <class Sample>
inline void synthesizeSlot(dsp::PolyphaseSynthesis* synth, int nch, const float* left, const float* right,
                           Sample* out) {
    if (nch == 2)
        dsp::synthesizeStereo(synth[0], synth[1], left, right, out);
    else
        synth[0].run(left, out, 1);
}

Layer3Ptr makeLayer3State();
void resetLayer3(Layer3State& s);
// Returns samples per channel or -1 on a fault. Sample is int16_t or float.
template <class Sample>
int decodeLayer3(Layer3State& s, dsp::PolyphaseSynthesis* synth, const MpegFrameHeader& h, const uint8_t* frame,
                 size_t size, Sample* out);
template <class Sample>
int decodeLayer1(dsp::PolyphaseSynthesis* synth, const MpegFrameHeader& h, const uint8_t* frame, size_t size,
                 Sample* out);
template <class Sample>
int decodeLayer2(dsp::PolyphaseSynthesis* synth, const MpegFrameHeader& h, const uint8_t* frame, size_t size,
                 Sample* out);

}  // namespace qoro::mpeg::detail
