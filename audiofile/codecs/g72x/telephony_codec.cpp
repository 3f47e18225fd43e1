#include "telephony_codec.h"

#include <algorithm>
#include <cstring>

namespace qoro::audiofile::g72x {

namespace {

// Decoding works through a bounded scratch buffer, whatever the request.
constexpr size_t kChunkBytes = 4095;  // a multiple of 3 and of 5

int widthFor(TelephonyCodec::Format format, int bits) {
    switch (format) {
    case TelephonyCodec::Format::Vox:
    case TelephonyCodec::Format::G721: return 4;
    case TelephonyCodec::Format::G723: return bits == 3 || bits == 5 ? bits : 0;
    case TelephonyCodec::Format::G726: return bits >= 2 && bits <= 5 ? bits : 0;
    }
    return 0;
}

}  // namespace

TelephonyCodec::TelephonyCodec(Format format, int bits) : format_(format), bits_(widthFor(format, bits)) {}

void TelephonyCodec::reset() {
    resetVox(vox_);
    resetG72x(g72x_);
    carry_ = {};
    haveOddSample_ = false;
}

uint64_t TelephonyCodec::decodedFor(uint64_t sourceBytes) const {
    if (!valid()) return 0;
    return g72xCodesIn(sourceBytes, bits_) * 2;
}

uint64_t TelephonyCodec::sourceFor(uint64_t pcmBytes) const {
    if (!valid()) return 0;
    const uint64_t unit = sourceUnit();
    const uint64_t codesPerUnit = unit * 8 / static_cast<uint64_t>(bits_);
    return pcmBytes / 2 / codesPerUnit * unit;
}

uint64_t TelephonyCodec::seekTo(uint64_t pcmOffset) {
    if (format_ == Format::Vox) resetVox(vox_);
    return sourceFor(pcmOffset);
}

size_t TelephonyCodec::decode(std::span<const uint8_t> source, std::vector<uint8_t>& pcm) {
    if (!valid()) return 0;
    const size_t start = pcm.size();
    pcm.resize(start + decodedFor(source.size()));
    size_t at = start;
    while (!source.empty()) {
        const std::span<const uint8_t> part = source.first(std::min(source.size(), kChunkBytes));
        source = source.subspan(part.size());
        scratch_.resize(static_cast<size_t>(g72xCodesIn(part.size(), bits_)));
        const size_t made = format_ == Format::Vox ? voxDecode(vox_, part, scratch_.data())
                                                   : g72xDecode(g72x_, bits_, part, scratch_.data());
        std::memcpy(pcm.data() + at, scratch_.data(), made);
        at += made;
    }
    pcm.resize(at);
    return at - start;
}

size_t TelephonyCodec::encode(const uint8_t* pcm, size_t bytes, std::vector<uint8_t>& codes) {
    if (!valid() || pcm == nullptr) return 0;
    const size_t start = codes.size();
    size_t samples = bytes / 2;
    while (samples > 0) {
        const size_t n = std::min<size_t>(samples, 4096);
        scratch_.resize(n + 1);
        size_t have = 0;
        if (format_ == Format::Vox && haveOddSample_) {
            scratch_[have++] = oddSample_;
            haveOddSample_ = false;
        }
        std::memcpy(scratch_.data() + have, pcm, n * 2);
        have += n;
        pcm += n * 2;
        samples -= n;
        const size_t at = codes.size();
        if (format_ == Format::Vox) {
            if (have % 2 != 0) {
                oddSample_ = scratch_[--have];
                haveOddSample_ = true;
            }
            codes.resize(at + have / 2);
            voxEncode(vox_, std::span<const int16_t>(scratch_.data(), have), codes.data() + at);
        } else {
            codes.resize(at + (static_cast<size_t>(carry_.count) + have * static_cast<size_t>(bits_)) / 8);
            const size_t made =
                g72xEncode(g72x_, bits_, std::span<const int16_t>(scratch_.data(), have), carry_, codes.data() + at);
            codes.resize(at + made);
        }
    }
    return codes.size() - start;
}

size_t TelephonyCodec::pendingSamples() const {
    if (format_ == Format::Vox) return haveOddSample_ ? 1 : 0;
    return valid() ? static_cast<size_t>((carry_.count + bits_ - 1) / bits_) : 0;
}

}  // namespace qoro::audiofile::g72x
