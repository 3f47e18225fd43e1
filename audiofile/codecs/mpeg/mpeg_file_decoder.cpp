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

int MpegFileDecoder::open(const std::string& path)
{
    close();
    std::unique_ptr<MpegDecoderContext> ctx;
    int rc = MpegDecoderContext::create(ctx);
    if (rc < 0) return rc;
    if ((rc = ctx->registerCodecModule(mpegAudioCodecModule())) < 0) return rc;
    if ((rc = ctx->registerInputModule(mpegFileInputModule())) < 0) return rc;
    if ((rc = ctx->openInput(-1, path)) < 0) return rc;
    if ((rc = ctx->open()) < 0) return rc;
    if ((rc = ctx->decodeFrame()) < 0) return rc;
    context_ = std::move(ctx);

    const auto& st = context_->status();
    facts_.channels = context_->output().channels;
    if (facts_.channels <= 0 || facts_.channels > 2) facts_.channels = 2;
    facts_.sampleRate = st.stream.sampleRate;
    st.properties.getInt("mpeg/level", facts_.level);
    st.properties.getInt("mpeg/layer", facts_.layer);
    st.properties.getInt("mpeg/mode", facts_.mode);

    // Decoding two frames lets the running estimate settle; then start over.
    if (context_->canSeek()) {
        context_->seekSeconds(0.0f);
        context_->decodeFrame();
        context_->decodeFrame();
        context_->seekSeconds(0.0f);
    }
    facts_.fileSize = context_->inputSize();
    if (const MpegCodec* codec = codecOf(*context_)) {
        facts_.vbrHeader = codec->info().vbrHeader;
        vbrFrames_ = codec->info().vbrFrames;
    }
    refreshFacts();
    return 0;
}

void MpegFileDecoder::refreshFacts()
{
    const auto& st = context_->status();
    facts_.bitrateKbps = st.stream.bitrateKbps;
    facts_.durationMs = st.stream.durationMs;
    facts_.expectedPcmBytes =
        uint64_t(std::llround(double(facts_.durationMs) * facts_.sampleRate * 2.0 * facts_.channels / 1000.0));
    const int spf = facts_.layer == 1 ? 384 : (facts_.layer == 3 && facts_.level != 1) ? 576 : 1152;
    if (facts_.vbrHeader)
        facts_.frameCount = vbrFrames_;
    else
        facts_.frameCount =
            facts_.sampleRate ? int64_t(double(facts_.durationMs) * facts_.sampleRate / 1000.0 / spf + 0.5) : 0;
}

size_t MpegFileDecoder::read(int16_t* out, size_t roomBytes)
{
    if (!context_ || !out) return 0;
    size_t filled = 0;
    while (context_->status().playFraction < 1.0f) {
        // A frame may need kMinReadBytes; never write past the caller's room.
        if (roomBytes - filled < kMinReadBytes) break;
        const int rc = context_->decodeFrame(out + filled / 2);
        if (rc < 0 && rc != kMpegErrFrameDecoding) break;
        // A frame with faulty data keeps its place (as silence where it could
        // not be decoded), so the output length follows the frame count and a
        // damaged frame does not look like the end of the file.
        const auto& o = context_->output();
        filled += size_t(2) * size_t(o.channels) * size_t(o.samples);
    }
    refreshFacts();
    return filled;
}

int MpegFileDecoder::seekPcmBytes(uint64_t offset)
{
    if (!context_) return kMpegErrInternal;
    const uint64_t bytesPerSecond = uint64_t(facts_.sampleRate) * 2u * uint64_t(facts_.channels);
    if (bytesPerSecond == 0) return kMpegErrInternal;
    const int64_t ms = int64_t(offset * 1000u / bytesPerSecond);
    return seekMs(ms);
}

int MpegFileDecoder::seekMs(int64_t ms)
{
    if (!context_) return kMpegErrInternal;
    return context_->seekSeconds(float(double(ms) / 1000.0));
}

int64_t MpegFileDecoder::inputPosition() const { return context_ ? context_->inputPosition() : 0; }

std::string MpegFileDecoder::streamProperty(const std::string& name) const
{
    std::string value;
    if (context_) context_->status().properties.getString(name, value);
    return value;
}

}  // namespace qoro::mpeg
