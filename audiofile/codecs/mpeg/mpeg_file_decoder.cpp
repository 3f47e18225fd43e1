#include "mpeg_file_decoder.h"

#include <algorithm>
#include <cmath>

namespace qoro::mpeg {

MpegFileDecoder::MpegFileDecoder() = default;
MpegFileDecoder::~MpegFileDecoder() = default;

void MpegFileDecoder::close()
{
    context_.reset();
    facts_ = MpegFileFacts{};
}

bool MpegFileDecoder::indexed() const
{
    const MpegCodec* codec = context_ ? codecOf(*context_) : nullptr;
    return codec && codec->indexed();
}

int MpegFileDecoder::open(const std::string& path, std::optional<StreamRegion> region)
{
    close();
    std::unique_ptr<MpegDecoderContext> ctx;
    int rc = MpegDecoderContext::create(ctx);
    if (rc < 0) return rc;
    if ((rc = ctx->registerCodecModule(mpegAudioCodecModule())) < 0) return rc;
    if ((rc = ctx->registerInputModule(mpegFileInputModule())) < 0) return rc;
    if ((rc = ctx->openInput(-1, path)) < 0) return rc;
    ctx->setStreamRegion(region);
    if ((rc = ctx->open()) < 0) return rc;
    // The first frame of music: a stream without one is not an MPEG stream.
    if ((rc = ctx->decodeFrame()) < 0) return rc;
    context_ = std::move(ctx);

    const auto& st = context_->status();
    facts_.channels = context_->output().channels;
    if (facts_.channels <= 0 || facts_.channels > 2) facts_.channels = 2;
    facts_.sampleRate = st.stream.sampleRate;
    st.properties.getInt("mpeg/level", facts_.level);
    st.properties.getInt("mpeg/layer", facts_.layer);
    st.properties.getInt("mpeg/mode", facts_.mode);
    facts_.fileSize = context_->inputSize();

    if (indexed()) {
        const MpegCodec& codec = *codecOf(*context_);
        context_->seekToSample(0);
        facts_.vbrHeader = codec.info().vbrHeader;
        facts_.frameCount = int64_t(codec.layout().frameCount);
        facts_.samples = codec.musicLength();
        facts_.expectedPcmBytes = facts_.samples * 2u * uint64_t(facts_.channels);
        facts_.durationMs =
            int(std::min<uint64_t>(facts_.samples * 1000 / uint64_t(std::max(facts_.sampleRate, 1)), INT32_MAX));
        facts_.bitrateKbps = st.stream.bitrateKbps;
        return 0;
    }
    // An input that cannot seek: the running estimate is all there is.
    refreshFacts();
    return 0;
}

void MpegFileDecoder::refreshFacts()
{
    if (indexed()) return;  // exact since the open
    const auto& st = context_->status();
    facts_.bitrateKbps = st.stream.bitrateKbps;
    facts_.durationMs = st.stream.durationMs;
    facts_.samples = uint64_t(std::llround(double(facts_.durationMs) * facts_.sampleRate / 1000.0));
    facts_.expectedPcmBytes = facts_.samples * 2u * uint64_t(facts_.channels);
    const int spf = facts_.layer == 1 ? 384 : (facts_.layer == 3 && facts_.level != 1) ? 576 : 1152;
    facts_.frameCount = int64_t(double(facts_.samples) / spf + 0.5);
}

size_t MpegFileDecoder::read(int16_t* out, size_t roomBytes)
{
    if (!context_ || !out) return 0;
    size_t filled = 0;
    // A frame may need kMinReadBytes; never write past the caller's room.
    while (roomBytes - filled >= kMinReadBytes) {
        const int rc = context_->decodeFrame(out + filled / 2);
        if (rc < 0 && rc != kMpegErrFrameDecoding) break;
        const auto& o = context_->output();
        filled += size_t(2) * size_t(o.channels) * size_t(o.samples);
    }
    refreshFacts();
    return filled;
}

int MpegFileDecoder::seekSample(uint64_t sample)
{
    if (!context_) return kMpegErrInternal;
    if (indexed()) return context_->seekToSample(sample);
    const uint64_t rate = uint64_t(std::max(facts_.sampleRate, 1));
    return seekMs(int64_t(std::min<uint64_t>(sample / rate * 1000 + sample % rate * 1000 / rate, INT64_MAX)));
}

int MpegFileDecoder::seekPcmBytes(uint64_t offset)
{
    if (!context_) return kMpegErrInternal;
    const uint64_t frameBytes = 2u * uint64_t(std::max(facts_.channels, 1));
    return seekSample(offset / frameBytes);
}

int MpegFileDecoder::seekMs(int64_t ms)
{
    if (!context_) return kMpegErrInternal;
    if (indexed()) {
        const uint64_t rate = uint64_t(std::max(facts_.sampleRate, 1));
        const uint64_t t = uint64_t(std::max<int64_t>(ms, 0));
        return context_->seekToSample(t / 1000 * rate + t % 1000 * rate / 1000);
    }
    return context_->seekSeconds(float(double(ms) / 1000.0));
}

const StreamLayout* MpegFileDecoder::layout() const
{
    return indexed() ? &codecOf(*context_)->layout() : nullptr;
}

int64_t MpegFileDecoder::inputPosition() const { return context_ ? context_->inputPosition() : 0; }

std::string MpegFileDecoder::streamProperty(const std::string& name) const
{
    std::string value;
    if (context_) context_->status().properties.getString(name, value);
    return value;
}

}  // namespace qoro::mpeg
