// The information component's own light-weight MPEG audio analyser: the
// first frame header gives the layout, a "Xing" header the VBR frame count,
// and the duration comes either from the audio byte count (fast) or from a
// walk over every frame (full).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "formats/readers.h"
#include "mpeg/mpeg_header.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"

namespace qoro::audioinfo {

namespace {

// Where the readers look for the first header: offsets 0..204800 of the audio.
constexpr int64_t kHeaderSearchLimit = 204800;
// The probe looks at offsets 0..20480 and refuses frames longer than 2000 bytes.
constexpr int64_t kProbeSearchLimit = 20480;
constexpr int kProbeMaxFrame = 2000;
// Segment table of the full analysis (one entry kept for the end mark).
constexpr size_t kMaxSegments = 9999;

// A read-only file descriptor.
class InputFile {
public:
    explicit InputFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ >= 0) {
            const off_t end = ::lseek(fd_, 0, SEEK_END);
            if (end < 0) close();
            else size_ = end;
        }
    }
    ~InputFile() { close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int64_t size() const { return size_; }
    // Up to n bytes at offset; the number read (short at the end, 0 on failure).
    size_t readAt(int64_t offset, void* data, size_t n) const {
        if (offset < 0 || offset >= size_) return 0;
        size_t done = 0;
        auto* out = static_cast<uint8_t*>(data);
        while (done < n) {
            const ssize_t r = ::pread(fd_, out + done, n - done, offset + static_cast<off_t>(done));
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        return done;
    }

private:
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_ = -1;
    int64_t size_ = 0;
};

// Sequential 32-bit big-endian reads through a window of the file.
class Window {
public:
    explicit Window(const InputFile& file, size_t capacity = 256 * 1024) : file_(file), buf_(capacity) {}
    // The word at offset; false when fewer than four bytes are left.
    bool word(int64_t offset, uint32_t& w) {
        if (offset < start_ || offset + 4 > start_ + static_cast<int64_t>(valid_)) {
            start_ = offset;
            valid_ = file_.readAt(offset, buf_.data(), buf_.size());
            if (valid_ < 4) return false;
        }
        w = mpeg::readMpegWord(&buf_[static_cast<size_t>(offset - start_)]);
        return true;
    }

private:
    const InputFile& file_;
    std::vector<uint8_t> buf_;
    int64_t start_ = 0;
    size_t valid_ = 0;
};

// A header as this analyser sees it.
struct Header {
    int versionNumber = 0;  // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
    int layer = 0;          // 1..3
    int row = 0;            // table row of the shared tables
    int bitrate = 0;        // kbit/s
    int rate = 0;           // Hz
    int channelCode = 0;    // 1 mono, 2 stereo or dual channel, 3 joint stereo
    int padding = 0;
};

// The analyser's validity rule: sync, no reserved version, layer, bitrate
// index, sampling index or emphasis. Nothing else is checked.
bool isValid(uint32_t w) {
    return mpeg::hasMpegSync(w) && ((w >> 19) & 3) != 1 && ((w >> 17) & 3) != 0 &&
           ((w >> 12) & 15) != 0 && ((w >> 12) & 15) != 15 && ((w >> 10) & 3) != 3 && (w & 3) != 2;
}

Header decode(uint32_t w) {
    const mpeg::MpegFrameHeader f = mpeg::unpackMpegHeader(w);
    Header h;
    h.row = f.version;
    h.versionNumber = f.version == 1 ? 1 : f.version == 0 ? 2 : 3;
    h.layer = mpeg::mpegLayerNumber(f);
    h.bitrate = mpeg::kMpegBitrateKbps[f.version][f.layer][f.bitrateIndex];
    h.rate = mpeg::kMpegSampleRate[f.version][f.samplingIndex];
    h.channelCode = f.mode == 3 ? 1 : f.mode == 1 ? 3 : 2;
    h.padding = f.padding;
    return h;
}

// Bytes per kbit/s and Hz of a frame: samples per frame / 8 (48 for Layer I,
// 144 for Layer II and MPEG-1 Layer III, 72 for MPEG-2/2.5 Layer III).
int bytesFactor(const Header& h) {
    if (h.layer == 1) return 48;
    if (h.layer == 3 && h.versionNumber != 1) return 72;
    return 144;
}

// Frame length in bytes, padding included (a Layer I slot is 4 bytes).
int frameLength(const Header& h) {
    if (h.rate <= 0) return 0;
    if (h.layer == 1) return (12 * h.bitrate * 1000 / h.rate + h.padding) * 4;
    return bytesFactor(h) * h.bitrate * 1000 / h.rate + h.padding;
}

// Where the audio starts: after the ID3v2 tags the file begins with (any
// version and size, several one after another). Audio never starts inside one.
int64_t audioStart(const InputFile& file) {
    if (!file.isOpen()) return 0;
    return static_cast<int64_t>(tags::id3v2LeadingSize(
        [&file](uint64_t at, uint8_t* data, size_t n) { return file.readAt(static_cast<int64_t>(at), data, n); },
        static_cast<uint64_t>(file.size())));
}

// First valid header at offsets from..from+limit (inclusive) with four bytes.
std::optional<int64_t> findFirstHeader(const InputFile& file, int64_t from, int64_t limit) {
    std::vector<uint8_t> buf;
    const int64_t last = std::min(from + limit, file.size() - 4);
    // Small files and streams that start at once are settled by the first read.
    int64_t chunk = 8192;
    int64_t pos = from;
    while (pos <= last) {
        const int64_t end = std::min(last, pos + chunk - 1);
        buf.resize(static_cast<size_t>(end - pos + 4));
        const size_t got = file.readAt(pos, buf.data(), buf.size());
        if (got < 4) return std::nullopt;
        for (size_t i = 0; i + 4 <= got && pos + static_cast<int64_t>(i) <= end; ++i)
            if (isValid(mpeg::readMpegWord(&buf[i]))) return pos + static_cast<int64_t>(i);
        pos = end + 1;
        chunk = 64 * 1024;
    }
    return std::nullopt;
}

struct Scan {
    int64_t samples = -1;  // S, rate x seconds x channels x 2
    int32_t duration = 0;
    int lowest = 0;
    int highest = 0;
};

// The full analysis: every frame from the first one, segments of equal bitrate.
Scan fullScan(const InputFile& file, int64_t first, int64_t audioBytes, const Header& ref) {
    Scan result;
    struct Segment {
        int64_t offset;
        int bitrate;
    };
    std::vector<Segment> segments;
    const int refChannels = ref.channelCode == 1 ? 1 : 2;
    const int64_t end = first + audioBytes;
    Window window(file);
    int64_t pos = first;
    int lastBitrate = -1;
    uint32_t w = 0;
    while (pos + 4 <= end && window.word(pos, w)) {
        if (!isValid(w)) {
            ++pos;
            continue;
        }
        const Header h = decode(w);
        const int channels = h.channelCode == 1 ? 1 : 2;
        if (h.rate != ref.rate || channels != refChannels || h.layer != ref.layer ||
            h.versionNumber != ref.versionNumber) {
            ++pos;
            continue;
        }
        if (h.bitrate != lastBitrate && segments.size() < kMaxSegments) {
            segments.push_back({pos, h.bitrate});
            lastBitrate = h.bitrate;
        }
        const int length = frameLength(h);
        pos += length > 4 ? length : 1;
    }
    if (segments.empty()) return result;

    const int64_t segmentsEnd = segments.front().offset + audioBytes;
    double seconds = 0.0;
    bool any = false;
    for (size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const int64_t stop = i + 1 < segments.size() ? segments[i + 1].offset : segmentsEnd;
        const int64_t bytes = stop - s.offset;
        Header probe = ref;
        probe.bitrate = s.bitrate;
        probe.padding = 0;
        const int length = frameLength(probe);
        if (length > 0 && bytes / length >= 1) {
            result.lowest = any ? std::min(result.lowest, s.bitrate) : s.bitrate;
            result.highest = any ? std::max(result.highest, s.bitrate) : s.bitrate;
            any = true;
        }
        seconds += static_cast<double>(bytes - 4) / (s.bitrate * 125.0);
    }
    if (!any) result.lowest = result.highest = segments.front().bitrate;
    if (seconds < 0) seconds = 0;
    result.duration = static_cast<int32_t>(seconds * 1000.0);
    result.samples = static_cast<int64_t>(ref.rate * seconds * refChannels * 2);
    return result;
}

std::string withThousandsComma(int value) {
    std::string digits = std::to_string(value);
    if (digits.size() > 3) digits.insert(digits.size() - 3, ",");
    return digits;
}

void clearTags(tags::TagRecord& t) { t = tags::TagRecord{}; }

}  // namespace

std::string mpegDescription(int versionNumber, int layer, int rate, int channelCode, int bitrate,
                            int lowest, int highest) {
    std::string s = "MPEG " + std::to_string(versionNumber) + ".0 layer-" + std::to_string(layer) + ": ";
    s += withThousandsComma(rate) + " kHz ";
    s += channelCode == 1 ? "Mono; " : channelCode == 3 ? "Joint Stereo; " : "Stereo; ";
    if (lowest == highest)
        s += " " + std::to_string(bitrate) + " Kbps; ";
    else
        s += " " + std::to_string(lowest) + "-" + std::to_string(highest) + " Kbps;  ";
    return s;
}

MpegRead readMpeg(const std::string& path, const MpegOptions& options, Facts& facts, tags::TagRecord& tags) {
    InputFile file(path);
    if (!file.isOpen()) {
        facts.size = -1;
        return MpegRead::CannotOpen;
    }
    const int64_t F = file.size();
    facts.size = low32(static_cast<uint64_t>(F));

    const auto first = findFirstHeader(file, audioStart(file), kHeaderSearchLimit);
    if (!first) return MpegRead::NoHeader;
    uint8_t hb[4];
    file.readAt(*first, hb, 4);
    const Header h = decode(mpeg::readMpegWord(hb));
    const int64_t P = *first + 4;

    // "Xing" VBR header after the side information.
    int64_t xingFrames = -1;
    {
        const int side = h.versionNumber == 1 ? (h.channelCode == 1 ? 17 : 32) : (h.channelCode == 1 ? 9 : 17);
        uint8_t x[12] = {};
        if (file.readAt(P + side, x, 12) == 12 && std::memcmp(x, "Xing", 4) == 0 && (x[7] & 1))
            xingFrames = mpeg::readMpegWord(x + 8);
    }

    // Tags: ID3v1 always looked at, ID3v2 only when asked for.
    std::optional<tags::Id3v1Tag> v1;
    if (F >= 128) {
        tags::Id3v1Block block{};
        if (file.readAt(F - 128, block.data(), block.size()) == block.size()) v1 = tags::parseId3v1(block);
    }
    std::optional<tags::Id3v2Tag> v2;
    if (options.tagKind == 2) v2 = tags::readId3v2(path);
    const int found = v2 ? 2 : v1 ? 1 : 0;

    const int64_t A = std::max<int64_t>(0, F - P - (v1 ? 128 : 0));

    int B = h.bitrate;
    if (xingFrames > 0) {
        const float perFrame = static_cast<float>(F) / static_cast<float>(xingFrames);
        B = static_cast<int>(h.rate * static_cast<double>(perFrame) / (1000.0 * bytesFactor(h)));
    }

    if (found == options.tagKind && found == 2) v2->applyTo(tags);
    else if (found == options.tagKind && found == 1) v1->applyTo(tags);
    else clearTags(tags);
    if (!genre::isValid(tags.genre)) tags.genre = genre::kDefault;

    const int channels = h.channelCode == 1 ? 1 : 2;
    facts.formatTag = 0;
    facts.channels = channels;
    facts.frequency = h.rate;
    facts.bitsPerSample = 16;

    int64_t S = 0;
    int lowest = B, highest = B;
    if (options.fastAnalysis) {
        const int32_t ms = B > 0 ? mulDiv(A, 8, B) : 0;
        facts.duration = ms < 0 ? 0 : ms;
        S = mulDiv(facts.duration, int64_t(h.rate) * channels * 2, 1000);
    } else {
        const Scan scan = fullScan(file, *first, A, h);
        facts.duration = scan.duration;
        S = scan.samples;
        lowest = scan.lowest;
        highest = scan.highest;
    }
    if (highest != 0 && highest < B) B = highest;
    facts.bitrate = B * 1000;
    int64_t samples = S / 2;
    if (h.channelCode != 1) samples /= 2;
    facts.samples = low32(static_cast<uint64_t>(samples));
    facts.description = mpegDescription(h.versionNumber, h.layer, h.rate, h.channelCode, B, lowest, highest);
    return MpegRead::Ok;
}

int probeMpeg(const std::string& path) {
    InputFile file(path);
    if (!file.isOpen()) return 0;
    // The search limits count from the end of the tags, however large they are.
    const int64_t start = audioStart(file);
    std::vector<uint8_t> buf(static_cast<size_t>(kProbeSearchLimit + kProbeMaxFrame + 64));
    const size_t got = file.readAt(start, buf.data(), buf.size());
    auto wordAt = [&](int64_t off, uint32_t& w) {
        if (off < 0 || off + 4 > static_cast<int64_t>(got)) return false;
        w = mpeg::readMpegWord(&buf[static_cast<size_t>(off)]);
        return true;
    };
    int64_t first = -1;
    uint32_t w = 0;
    for (int64_t off = 0; off <= kProbeSearchLimit && wordAt(off, w); ++off)
        if (isValid(w)) {
            first = off;
            break;
        }
    if (first < 0) return 0;
    const Header h = decode(w);
    if (h.layer != 3 && h.layer != 2) return 0;
    const int L = frameLength(h);
    if (L > kProbeMaxFrame) return 0;
    for (int64_t off = first + L - 15; off <= first + L + 41 && wordAt(off, w); ++off) {
        if (off <= first || !isValid(w)) continue;
        const Header second = decode(w);
        if (second.versionNumber == h.versionNumber && second.layer == h.layer) return h.layer;
    }
    return 0;
}

}  // namespace qoro::audioinfo
