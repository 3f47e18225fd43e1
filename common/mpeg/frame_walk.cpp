#include "mpeg/frame_walk.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "tags/id3v2.h"
#include "tags/tails.h"

namespace qoro::mpeg {
namespace {

// The header bits every frame of one free-format stream shares: sync,
// version, layer, protection, bitrate index and sampling index.
constexpr uint32_t kFreeSignatureMask = 0xFFFFFC00u;
// A free-format frame holds at least its header and side information.
constexpr int kMinFreeFrameBytes = 4 + 32 + 2;

bool validWord(uint32_t w) { return hasMpegSync(w) && isValidMpegHeaderOrFree(unpackMpegHeader(w)); }

}  // namespace

// --------------------------------------------------------------- ByteWindow

// The buffer never holds more than the stretch, so a short stretch gets a
// buffer of its own size.
ByteWindow::ByteWindow(ReadAt readAt, uint64_t begin, uint64_t end, size_t capacity)
    : readAt_(std::move(readAt)),
      offset_(begin),
      end_(std::max(begin, end)),
      buffer_(size_t(std::min<uint64_t>(std::max<size_t>(capacity, 4 * kMaxMpegFrameBytes + 64), end_ - begin))) {}

size_t ByteWindow::need(size_t n) {
    n = std::min(n, buffer_.size());
    if (valid_ >= n) return n;
    const uint64_t left = end_ - offset_;
    if (valid_ >= left) return valid_;  // the stretch ends here
    if (start_ + n > buffer_.size()) {
        std::memmove(buffer_.data(), buffer_.data() + start_, valid_);
        start_ = 0;
    }
    while (valid_ < n && !failed_) {
        const uint64_t at = offset_ + valid_;
        if (at >= end_) break;
        const size_t room = buffer_.size() - start_ - valid_;
        const size_t want = size_t(std::min<uint64_t>(room, end_ - at));
        if (want == 0) break;
        const long got = readAt_(at, buffer_.data() + start_ + valid_, want);
        if (got < 0) failed_ = true;
        if (got <= 0) break;
        valid_ += size_t(got);
    }
    return std::min(valid_, n);
}

void ByteWindow::skip(uint64_t n) {
    if (n <= valid_) {
        start_ += size_t(n);
        valid_ -= size_t(n);
        offset_ += n;
        return;
    }
    start_ = valid_ = 0;
    offset_ = std::min(end_, offset_ + n);
}

void ByteWindow::moveTo(uint64_t offset) {
    start_ = valid_ = 0;
    offset_ = std::min(offset, end_);
}

// ------------------------------------------------------------- FrameScanner

int freeFormatFrameLength(std::span<const uint8_t> bytes) {
    if (bytes.size() < 4) return 0;
    const uint8_t* p = bytes.data();
    const size_t avail = bytes.size();
    const uint32_t signature = readMpegWord(p) & kFreeSignatureMask;
    const int pad = mpegPaddingBytes(unpackMpegHeader(readMpegWord(p)));
    for (size_t d = kMinFreeFrameBytes; d <= size_t(kMaxMpegFrameBytes) && d + 4 <= avail; ++d) {
        const uint32_t w2 = readMpegWord(p + d);
        if ((w2 & kFreeSignatureMask) != signature) continue;
        const int base = int(d) - pad;
        const size_t third = d + size_t(base + mpegPaddingBytes(unpackMpegHeader(w2)));
        if (third + 4 <= avail && (readMpegWord(p + third) & kFreeSignatureMask) != signature) continue;
        return int(d);
    }
    return 0;
}

int FrameScanner::freeFormatLength(const MpegFrameHeader& h, uint32_t word) {
    const uint32_t signature = word & kFreeSignatureMask;
    const int pad = mpegPaddingBytes(h);
    if (inSync_ && signature == freeSignature_ && freeBase_ > 0) return freeBase_ + pad;
    const size_t avail = in_.need(2 * size_t(kMaxMpegFrameBytes) + 8);
    if (const int d = freeFormatFrameLength(std::span<const uint8_t>(in_.data(), avail))) {
        freeSignature_ = signature;
        freeBase_ = d - pad;
        return d;
    }
    // The last frame of the stream: as long as the ones before it.
    if (signature == freeSignature_ && freeBase_ > 0 && avail < size_t(freeBase_ + pad) + 4) return freeBase_ + pad;
    return 0;
}

bool FrameScanner::next(ScannedFrame& f) {
    hasCut_ = false;
    for (;;) {
        if (in_.offset() > lastStart_ || in_.need(4) < 4) return false;
        const uint32_t w = readMpegWord(in_.data());
        if (!hasMpegSync(w)) {
            in_.skip(1);
            inSync_ = false;
            continue;
        }
        const MpegFrameHeader h = unpackMpegHeader(w);
        if (!isValidMpegHeaderOrFree(h)) {
            in_.skip(1);
            inSync_ = false;
            continue;
        }
        const int length = isFreeFormat(h) ? freeFormatLength(h, w) : mpegFrameLength(h);
        if (length < 4 || length > kMaxMpegFrameBytes) {
            in_.skip(1);
            inSync_ = false;
            continue;
        }
        const size_t got = in_.need(size_t(length) + 4);
        if (got < size_t(length)) {
            // A frame the input cuts short: the stream's end when it follows
            // its frames, a false start while searching.
            if (inSync_ && !in_.failed()) {
                cut_ = {in_.offset(), w, h, length};
                hasCut_ = true;
            }
            if (inSync_ || in_.failed()) return false;
            in_.skip(1);
            continue;
        }
        if (!inSync_) {
            if (got >= size_t(length) + 4 && !validWord(readMpegWord(in_.data() + length))) {
                in_.skip(1);
                continue;
            }
            inSync_ = true;
        }
        f.offset = in_.offset();
        f.word = w;
        f.header = h;
        f.length = length;
        return true;
    }
}

// ------------------------------------------------------------------ regions

StreamRegion audioRegion(const ReadAt& readAt, uint64_t fileSize) {
    StreamRegion r;
    const tags::ReadAtFn read = [&readAt](uint64_t at, uint8_t* data, size_t n) -> size_t {
        const long got = readAt(at, data, n);
        return got > 0 ? size_t(got) : 0;
    };
    r.begin = std::min(fileSize, tags::id3v2LeadingSize(read, fileSize, true));
    r.end = std::clamp(tags::findTails(read, fileSize).contentEnd, r.begin, fileSize);
    r.tagsEnd = fileSize;
    return r;
}

// ------------------------------------------------------------------- layout

int frameKbps(const MpegFrameHeader& h, int length) {
    if (!isFreeFormat(h)) return mpegBitrateKbps(h);
    const int spf = mpegSamplesPerFrame(h);
    return int(int64_t(length) * 8 * mpegSampleRate(h) / (int64_t(spf) * 1000));
}

int averageKbps(uint64_t bytes, uint64_t samples, int rate) {
    if (samples == 0 || rate <= 0) return 0;
    const unsigned __int128 num = static_cast<unsigned __int128>(bytes) * 8u * static_cast<unsigned>(rate);
    const unsigned __int128 den = static_cast<unsigned __int128>(samples) * 1000u;
    return int(std::min<unsigned __int128>((num + den / 2) / den, 1u << 20));
}

uint64_t StreamLayout::frameOfSample(uint64_t s, uint64_t& frameStart) const {
    auto it = std::upper_bound(segments.begin(), segments.end(), s,
                               [](uint64_t v, const Segment& seg) { return v < seg.firstSample; });
    if (it == segments.begin()) {
        frameStart = 0;
        return 0;
    }
    const Segment& seg = *(it - 1);
    const uint64_t k = (s - seg.firstSample) / uint64_t(seg.samplesPerFrame);
    frameStart = seg.firstSample + k * uint64_t(seg.samplesPerFrame);
    return seg.firstFrame + k;
}

uint64_t StreamLayout::firstSampleOf(uint64_t frame) const {
    auto it = std::upper_bound(segments.begin(), segments.end(), frame,
                               [](uint64_t v, const Segment& seg) { return v < seg.firstFrame; });
    if (it == segments.begin()) return 0;
    const Segment& seg = *(it - 1);
    return seg.firstSample + (frame - seg.firstFrame) * uint64_t(seg.samplesPerFrame);
}

int StreamLayout::samplesOf(uint64_t frame) const {
    auto it = std::upper_bound(segments.begin(), segments.end(), frame,
                               [](uint64_t v, const Segment& seg) { return v < seg.firstFrame; });
    return it == segments.begin() ? 0 : (it - 1)->samplesPerFrame;
}

uint64_t StreamLayout::warmUpStart(uint64_t frame) const {
    if (frame == 0 || frameCount == 0) return 0;
    frame = std::min(frame, frameCount);
    // Layer I and II: the synthesis keeps 512 samples of history, more than
    // a Layer I frame gives.
    if (mpegLayerNumber(firstHeader) != 3) return frame >= 2 ? frame - 2 : 0;
    // Layer III: the synthesis history (512 samples) lies in the granule
    // before the frame, whose output adds the overlap of the granule before
    // it: both must decode in full. In MPEG-1 both are in the frame before;
    // with one granule per frame (MPEG-2 and 2.5) they are the two frames
    // before. Before those, frames holding the furthest their main data may
    // begin back (511 bytes in MPEG-1, 255 below), counted without headers,
    // CRC words and side information.
    const bool mpeg1 = firstHeader.version == 1;
    const uint64_t whole = mpeg1 ? 1 : 2;
    if (frame <= whole) return 0;
    const int lookBack = mpeg1 ? 511 : 255;
    const int overhead = 4 + 2 + (mpeg1 ? 32 : 17);
    uint64_t j = frame - whole;
    int held = 0;
    while (j > 0 && held < lookBack) {
        --j;
        held += std::max(0, (hasIndex() ? frameAt(j).length : 0) - overhead);
        if (!hasIndex()) break;
    }
    return j;
}

void placeMusic(StreamLayout& layout) {
    layout.skip = 0;
    layout.length = layout.decodedSamples;
    layout.gapless = false;
    if (!layout.info || !layout.info->lame || !layout.info->frames || layout.frameCount == 0) return;
    if (mpegLayerNumber(layout.firstHeader) != 3) return;
    const uint64_t frames = *layout.info->frames;
    const bool endsInFrame = layout.droppedSamples > 0 || layout.filledBytes > 0;
    // The tag counts the stream's frames (the one the file cuts short
    // included); or, true to its CRC, more than a file that lost its end
    // within a frame still holds.
    if (frames != layout.frameCount && !(frames == layout.frameCount + 1 && layout.droppedSamples > 0) &&
        !(frames > layout.frameCount && endsInFrame && layout.info->lame->crcMatches))
        return;
    // The samples of the frames the tag counts, those missing of the
    // stream's kind.
    const uint64_t total = layout.decodedSamples;
    const uint64_t counted =
        total + (frames - layout.frameCount) * uint64_t(mpegSamplesPerFrame(layout.firstHeader));
    const uint64_t start = uint64_t(layout.info->lame->encoderDelay) + kLayer3DecoderDelay;
    const uint64_t padding = uint64_t(layout.info->lame->padding);
    // The last sample of the music is F x spf - P + 528; a padding shorter
    // than the decoder delay ends with the stream, and so does a stream
    // that ends before the music.
    const uint64_t end =
        std::min(total, counted + kLayer3DecoderDelay > padding ? counted + kLayer3DecoderDelay - padding : 0);
    layout.gapless = true;
    layout.skip = std::min(start, total);
    layout.length = end > start ? end - start : 0;
}

StreamLayout walkStream(const ReadAt& readAt, StreamRegion region, const WalkOptions& options) {
    StreamLayout layout;
    region.end = std::max(region.begin, region.end);
    layout.region = region;
    ByteWindow in(readAt, region.begin, region.end, 256 * 1024);
    FrameScanner scanner(in);
    if (options.searchLimit != UINT64_MAX)
        scanner.setSearchLimit(region.begin + std::min(options.searchLimit, UINT64_MAX - region.begin));
    ScannedFrame f;
    bool first = true;
    bool keep = options.keepIndex;
    layout.walkedToEnd = true;
    // Counts an audio frame.
    const auto take = [&](const ScannedFrame& frame) {
        const int spf = mpegSamplesPerFrame(frame.header);
        if (layout.frameCount == 0) {
            layout.firstHeader = frame.header;
            layout.firstOffset = frame.offset;
            layout.firstLength = frame.length;
        }
        if (keep && (layout.segments.empty() || layout.segments.back().samplesPerFrame != spf)) {
            if (layout.segments.size() >= kMaxSegments) {
                keep = false;
            } else {
                layout.segments.push_back({layout.frameCount, layout.decodedSamples, spf});
            }
        }
        const int kbps = frameKbps(frame.header, frame.length);
        layout.lowestKbps = layout.frameCount ? std::min(layout.lowestKbps, kbps) : kbps;
        layout.highestKbps = layout.frameCount ? std::max(layout.highestKbps, kbps) : kbps;
        layout.audioBytes += uint64_t(frame.length);
        layout.decodedSamples += uint64_t(spf);
        if (keep) {
            if (layout.frameCount >= kMaxIndexedFrames) {
                keep = false;
            } else {
                try {
                    layout.index_.push_back(frame.offset << 16 | uint64_t(frame.length));
                } catch (const std::bad_alloc&) {
                    keep = false;
                }
            }
        }
        ++layout.frameCount;
    };
    while (scanner.next(f)) {
        if (first) {
            first = false;
            scanner.setSearchLimit(UINT64_MAX);
            if (auto info = parseInfoFrame(std::span<const uint8_t>(in.data(), size_t(f.length)))) {
                layout.info = std::move(info);
                layout.infoOffset = f.offset;
                layout.infoLength = f.length;
                in.skip(uint64_t(f.length));
                continue;
            }
        }
        take(f);
        in.skip(uint64_t(f.length));
        if (layout.frameCount >= options.maxAudioFrames) {
            layout.walkedToEnd = false;
            break;
        }
    }
    layout.failed = in.failed();
    if (layout.failed) layout.walkedToEnd = false;
    // The frame the stream ends in: read whole when the tags behind the
    // stream hold the rest of its bytes, else left out.
    if (const ScannedFrame* cut = scanner.cutShort(); cut && layout.walkedToEnd) {
        const uint64_t frameEnd = cut->offset + uint64_t(cut->length);
        if (frameEnd > region.end && frameEnd <= region.tagsEnd) {
            take(*cut);
            layout.filledBytes = int(frameEnd - region.end);
        } else {
            layout.droppedSamples = mpegSamplesPerFrame(cut->header);
        }
    }
    if (options.keepIndex && !keep) {
        // Nothing half kept: without the whole index there is none.
        layout.indexDropped = true;
        layout.index_.clear();
        layout.index_.shrink_to_fit();
        layout.segments.clear();
    }
    placeMusic(layout);
    return layout;
}

}  // namespace qoro::mpeg
