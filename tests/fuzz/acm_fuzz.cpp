// libFuzzer harness for the codec manager's drivers (acm/acm.h), in memory:
// PCM, Microsoft ADPCM, G.711 A-law and mu-law, IMA ADPCM, GSM 6.10 and MPEG
// Layer-3, decoding and encoding. The input builds a format record and the
// head of a stream; every 16-bit field of the record and of the first
// block's header is either a value at the edge of what the field holds
// (chosen by one byte) or the input's raw bytes, so sums and products of
// extreme coefficients, samples and step sizes come up within seconds. The
// rest of the input is the stream. Besides "no crash, no undefined
// behaviour":
//  - a conversion never uses more source than it was given nor more room
//    than it was given, and produces whole PCM sample frames;
//  - decoding whole blocks yields no more than the size query promised.
//
//   bash scripts/fuzz.sh 300 acm_fuzz    (five minutes; the options are in the script)
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "acm/acm.h"
#include "fuzz_support.h"

using qoro::fuzz::require;

namespace {

constexpr uint16_t kTags[] = {acm::WAVE_FORMAT_PCM,       acm::WAVE_FORMAT_ADPCM,     acm::WAVE_FORMAT_ALAW,
                              acm::WAVE_FORMAT_MULAW,     acm::WAVE_FORMAT_IMA_ADPCM, acm::WAVE_FORMAT_GSM610,
                              acm::WAVE_FORMAT_MPEGLAYER3};
constexpr uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 6000};

// Values at the edges of 16-bit fields, and the ones codecs treat specially.
constexpr int16_t kEdges[] = {0, 1, -1, 2, 7, 16, 256, -256, 512, 1024, 16383, -16384, 32767, -32768, 0x7F00, 0xFF};

// Reads the input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t raw16() {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | byte() << 8);
    }
    // An edge value (selector below 0x80) or the next two bytes as they are.
    uint16_t field() {
        const uint8_t selector = byte();
        if (selector & 0x80) return raw16();
        return static_cast<uint16_t>(kEdges[selector % std::size(kEdges)]);
    }
    std::span<const uint8_t> rest() const { return {data_ + std::min(at_, size_), size_ - std::min(at_, size_)}; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    if (at + 2 > v.size()) v.resize(at + 2);
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

void append16(std::vector<uint8_t>& v, uint16_t x) { put16(v, v.size(), x); }

// The record: the 18-byte header, then what the format adds.
std::vector<uint8_t> buildRecord(Input& in, uint16_t tag, uint16_t channels, uint32_t rate) {
    acm::WAVEFORMATEX w{};
    w.wFormatTag = tag;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = in.field();
    w.wBitsPerSample = in.field();
    w.nAvgBytesPerSec = static_cast<uint32_t>(in.raw16()) * 4;
    std::vector<uint8_t> extra;
    switch (tag) {
    case acm::WAVE_FORMAT_ADPCM: {
        append16(extra, in.field());  // samples per block
        const uint16_t pairs = static_cast<uint16_t>(1 + in.byte() % 9);
        append16(extra, pairs);
        for (uint16_t i = 0; i < 2 * pairs; ++i) append16(extra, in.field());
        break;
    }
    case acm::WAVE_FORMAT_IMA_ADPCM:
    case acm::WAVE_FORMAT_GSM610: append16(extra, in.field()); break;  // samples per block
    case acm::WAVE_FORMAT_MPEGLAYER3:
        append16(extra, in.field());  // wID
        append16(extra, in.field());  // fdwFlags, low half
        append16(extra, 0);
        append16(extra, in.field());  // nBlockSize
        append16(extra, in.field());  // nFramesPerBlock
        append16(extra, in.field());  // nCodecDelay
        break;
    default: break;
    }
    w.cbSize = static_cast<uint16_t>(extra.size());
    std::vector<uint8_t> record(sizeof w);
    std::memcpy(record.data(), &w, sizeof w);
    record.insert(record.end(), extra.begin(), extra.end());
    if (tag == acm::WAVE_FORMAT_PCM) record.resize(16);
    return record;
}

// The stream: the input's rest, with the first block's header of the ADPCM
// formats built from fields (predictor and step size, the two samples of
// Microsoft ADPCM per channel; sample and step index of IMA ADPCM).
std::vector<uint8_t> buildStream(Input& in, uint16_t tag, uint16_t channels) {
    std::vector<uint8_t> header;
    if (tag == acm::WAVE_FORMAT_ADPCM) {
        for (uint16_t c = 0; c < channels; ++c) header.push_back(in.byte());
        for (int part = 0; part < 3; ++part)
            for (uint16_t c = 0; c < channels; ++c) append16(header, in.field());
    } else if (tag == acm::WAVE_FORMAT_IMA_ADPCM) {
        for (uint16_t c = 0; c < channels; ++c) {
            append16(header, in.field());
            header.push_back(in.byte());
            header.push_back(0);
        }
    }
    const std::span<const uint8_t> rest = in.rest();
    header.insert(header.end(), rest.begin(), rest.end());
    return header;
}

// Runs one conversion of all of `source` and checks what it reports.
void convertAll(acm::Stream& stream, std::span<const uint8_t> source, uint16_t pcmFrame, bool decoding) {
    size_t promised = 0;
    if (stream.size(source.size(), acm::Direction::SourceToDestination, promised) != acm::Result::Ok) return;
    // Room for what was promised plus what an encoder or the MPEG decoder holds back.
    const size_t room = std::min<size_t>(promised, size_t{1} << 24) + 65536;
    std::vector<uint8_t> out(room);
    const acm::Conversion c = stream.convert(source, out, true);
    if (c.status != acm::Result::Ok) return;
    require(c.sourceUsed <= source.size());
    require(c.destinationUsed <= room);
    if (decoding) {
        require(c.destinationUsed % pcmFrame == 0);
        const uint16_t tag = static_cast<uint16_t>(stream.sourceFormat()[0] | stream.sourceFormat()[1] << 8);
        if (tag != acm::WAVE_FORMAT_MPEGLAYER3) require(c.destinationUsed <= promised);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    Input in(data, size);
    const uint16_t tag = kTags[in.byte() % std::size(kTags)];
    const uint8_t flags = in.byte();
    const uint16_t channels = (flags & 1) ? 2 : 1;
    const bool encode = (flags & 2) != 0;
    const uint32_t rate = kRates[(flags >> 2) & 7];
    const std::vector<uint8_t> record = buildRecord(in, tag, channels, rate);

    acm::WAVEFORMATEX pcm{};
    if (acm::suggestPcm(record, pcm) != acm::Result::Ok) return 0;
    require(pcm.wFormatTag == acm::WAVE_FORMAT_PCM);
    if (pcm.nBlockAlign == 0) return 0;  // a PCM record suggests itself, as damaged as it is
    const std::span<const uint8_t> pcmRecord = acm::asBytes(pcm).first(16);

    acm::Stream stream;
    if (encode) {
        if (stream.open(pcmRecord, record) != acm::Result::Ok) return 0;
        const std::span<const uint8_t> samples = in.rest();
        convertAll(stream, samples.first(samples.size() - samples.size() % pcm.nBlockAlign), pcm.nBlockAlign, false);
    } else {
        if (stream.open(record, pcmRecord) != acm::Result::Ok) return 0;
        const std::vector<uint8_t> source = buildStream(in, tag, channels);
        convertAll(stream, source, pcm.nBlockAlign, true);
    }
    return 0;
}
