#include "mpeg_frame_decoder.h"

#include "decoder_internal.h"

#include <algorithm>

namespace qoro::mpeg {

MpegFrameDecoder::MpegFrameDecoder() : s_(std::make_unique<State>()) { s_->l3 = detail::makeLayer3State(); }

MpegFrameDecoder::~MpegFrameDecoder() = default;

void MpegFrameDecoder::reset() {
    s_->synth[0].reset();
    s_->synth[1].reset();
    detail::resetLayer3(*s_->l3);
}

template <class Sample>
int MpegFrameDecoder::decodeInto(const MpegFrameHeader& h, const uint8_t* frame, size_t size, Sample* out) {
    if (!isValidMpegHeaderOrFree(h) || frame == nullptr || out == nullptr) return -1;
    // A free-format frame is as long as the stream says.
    const int expected = isFreeFormat(h) ? int(std::min<size_t>(size, kMaxFrameBytes)) : mpegFrameLength(h);
    const int samples = mpegSamplesPerFrame(h) * mpegChannels(h);
    if (size > size_t(expected)) size = size_t(expected);
    if (size < 4 || size > size_t(kMaxFrameBytes)) {
        std::fill(out, out + samples, Sample(0));
        return -1;
    }
    // Work on a padded copy so bit reads past a short frame see zeros.
    std::copy(frame, frame + size, s_->frame);
    std::fill(s_->frame + size, s_->frame + size + 8, uint8_t(0));
    switch (h.layer) {
    case 3: return detail::decodeLayer1(s_->synth, h, s_->frame, size, out);
    case 2: return detail::decodeLayer2(s_->synth, h, s_->frame, size, out);
    default: return detail::decodeLayer3(*s_->l3, s_->synth, h, s_->frame, size, out);
    }
}

int MpegFrameDecoder::decodeFrame(const MpegFrameHeader& h, const uint8_t* frame, size_t size, int16_t* out) {
    return decodeInto(h, frame, size, out);
}

int MpegFrameDecoder::decodeFrame(const MpegFrameHeader& h, const uint8_t* frame, size_t size, float* out) {
    return decodeInto(h, frame, size, out);
}

}  // namespace qoro::mpeg
