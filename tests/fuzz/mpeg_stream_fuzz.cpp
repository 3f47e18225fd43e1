// libFuzzer harness for the MPEG stream parsers on the decoder's side: the
// information frame ("Xing", "Info", LAME tag, "VBRI"), the frame search and
// walk, and the codec over the frames it found - decoded to the end, sought
// to a sample the input's last byte chooses and decoded again, and decoded
// as an input read as it comes.
// Besides "no crash, no read outside the input", it checks what must hold
// for any input: the music the walk announces is what decoding delivers,
// from the start and from any sample, and frames lie inside the stream (the
// last one perhaps reaching into the tags behind it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "mpeg/frame_walk.h"
#include "mpeg/info_frame.h"
#include "mpeg_codec.h"

using namespace qoro::mpeg;

namespace {

using qoro::fuzz::require;

class MemoryHost : public MpegCodecHost {
public:
    MemoryHost(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    long read(void* buffer, long n) override {
        const size_t count = std::min(size_t(n), size_ - std::min(pos_, size_));
        if (count) std::memcpy(buffer, data_ + pos_, count);
        pos_ += count;
        return long(count);
    }
    int seek(int64_t offset) override {
        if (offset < 0) return -1;
        pos_ = size_t(std::min<int64_t>(offset, int64_t(size_)));
        return 0;
    }
    int64_t position() const override { return int64_t(pos_); }
    int64_t size() const override { return int64_t(size_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Samples per channel decoded from where the codec stands to the end.
uint64_t drain(MpegCodec& codec, MemoryHost& host, MpegStreamStatus& st, int16_t* out) {
    uint64_t total = 0;
    for (int i = 0; i < 20000; ++i) {
        int spc = 0, ch = 0;
        const int rc = codec.decode(host, st, out, spc, ch);
        if (rc == MpegCodec::kEndOfInput || (rc < 0 && rc != MpegCodec::kDecodeFault)) break;
        require(spc >= 0 && spc <= 1152 && (ch == 1 || ch == 2));
        total += uint64_t(spc);
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    if (const auto info = parseInfoFrame(bytes)) {
        require(info->offset >= 0 && size_t(info->offset) + 4 <= size);
        if (info->lame) require(info->lame->encoderDelay < 4096 && info->lame->padding < 4096);
    }
    (void)freeFormatFrameLength(bytes);

    const ReadAt readAt = [&](uint64_t at, uint8_t* out, size_t n) -> long {
        if (at >= size) return 0;
        const size_t k = std::min<size_t>(n, size - size_t(at));
        std::memcpy(out, data + at, k);
        return long(k);
    };
    const StreamRegion region = audioRegion(readAt, size);
    require(region.begin <= region.end && region.end <= size && region.tagsEnd == size);
    const StreamLayout layout = walkStream(readAt, region, {.keepIndex = true});
    // Only the last frame may reach into the tags behind the stream, and
    // no further than they go.
    require(layout.filledBytes >= 0 && region.end + uint64_t(layout.filledBytes) <= size);
    require(layout.filledBytes == 0 || layout.droppedSamples == 0);
    for (uint64_t i = 0; i < layout.frameCount; ++i) {
        const auto f = layout.frameAt(i);
        const uint64_t end = region.end + (i + 1 == layout.frameCount ? uint64_t(layout.filledBytes) : 0);
        require(f.offset >= region.begin && f.offset + uint64_t(f.length) <= end);
        require(f.length >= 4 && f.length <= kMaxMpegFrameBytes);
    }
    require(layout.skip + layout.length <= layout.decodedSamples);

    std::vector<int16_t> out(MpegFrameDecoder::kMaxSamples);
    {
        MemoryHost host(data, size);
        MpegCodec codec;
        MpegStreamStatus st;
        const bool found = codec.analyse(host, st);
        require(found == (layout.frameCount > 0));
        const uint64_t length = codec.musicLength();
        require(length == layout.length);
        require(drain(codec, host, st, out.data()) == length);
        // One seek per input, chosen by its last byte: to any fraction of
        // the music, to its last sample, or past its end.
        const uint8_t pick = size ? data[size - 1] : 0;
        const uint64_t s = pick == 255 ? length + 5 : pick == 254 ? (length ? length - 1 : 0) : length * pick / 254;
        require(codec.seekToSample(s));
        require(drain(codec, host, st, out.data()) == (s < length ? length - s : 0));
    }
    {
        // Read as it comes (no analysis).
        MemoryHost host(data, size);
        MpegCodec codec;
        MpegStreamStatus st;
        drain(codec, host, st, out.data());
    }
    return 0;
}
