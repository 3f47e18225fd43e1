#include "acm_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace acmtest {

namespace {
uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
}  // namespace

WavParts readWav(const qoro::test::fs::path& file) {
    WavParts parts;
    const auto bytes = qoro::test::readBytes(file);
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return parts;
    size_t pos = 12;
    while (pos + 8 <= bytes.size()) {
        const uint32_t size = le32(bytes.data() + pos + 4);
        const size_t body = pos + 8;
        const size_t avail = std::min<size_t>(size, bytes.size() - body);
        if (std::memcmp(bytes.data() + pos, "fmt ", 4) == 0)
            parts.format.assign(bytes.begin() + body, bytes.begin() + body + avail);
        if (std::memcmp(bytes.data() + pos, "data", 4) == 0)
            parts.data.assign(bytes.begin() + body, bytes.begin() + body + avail);
        pos = body + size + (size & 1);
    }
    return parts;
}

void writeWav(const qoro::test::fs::path& file, const std::vector<uint8_t>& format, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out = {'R', 'I', 'F', 'F'};
    const size_t fmtPad = format.size() & 1, dataPad = data.size() & 1;
    put32(out, static_cast<uint32_t>(4 + 8 + format.size() + fmtPad + 8 + data.size() + dataPad));
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(out, static_cast<uint32_t>(format.size()));
    out.insert(out.end(), format.begin(), format.end());
    if (fmtPad) out.push_back(0);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (dataPad) out.push_back(0);
    qoro::test::writeBytes(file, out);
}

std::vector<uint8_t> toBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> b(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        b[2 * i] = static_cast<uint8_t>(samples[i] & 0xFF);
        b[2 * i + 1] = static_cast<uint8_t>((samples[i] >> 8) & 0xFF);
    }
    return b;
}

std::vector<int16_t> toSamples(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> s(bytes.size() / 2);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return s;
}

std::vector<uint8_t> recordBytes(const acm::WAVEFORMATEX& w, const std::vector<uint8_t>& extra) {
    acm::WAVEFORMATEX h = w;
    h.cbSize = static_cast<uint16_t>(extra.size());
    std::vector<uint8_t> out(sizeof(h));
    std::memcpy(out.data(), &h, sizeof(h));
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

std::vector<uint8_t> convertAll(acm::Stream& s, const std::vector<uint8_t>& in, size_t chunk, bool end) {
    std::vector<uint8_t> out;
    size_t pos = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        const size_t n = std::min(chunk, in.size() - pos);
        const bool last = end && pos + n == in.size();
        size_t room = 0;
        EXPECT_EQ(s.size(n, acm::Direction::SourceToDestination, room), acm::Result::Ok);
        std::vector<uint8_t> buf(room + 1024);
        const acm::Conversion c =
            s.convert(std::span<const uint8_t>(in.data() + pos, n), std::span<uint8_t>(buf), last);
        EXPECT_EQ(c.status, acm::Result::Ok);
        if (c.status != acm::Result::Ok) break;
        EXPECT_LE(c.sourceUsed, n);
        EXPECT_LE(c.destinationUsed, buf.size());
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(c.destinationUsed));
        pos += c.sourceUsed;
        if (c.sourceUsed == 0 && c.destinationUsed == 0) break;
    }
    return out;
}

std::vector<int16_t> decode(const std::vector<uint8_t>& format, const std::vector<uint8_t>& data) {
    acm::WAVEFORMATEX pcm{};
    EXPECT_EQ(acm::suggestPcm(format, pcm), acm::Result::Ok);
    acm::Stream s;
    EXPECT_EQ(s.open(format, acm::asBytes(pcm)), acm::Result::Ok);
    if (!s.isOpen()) return {};
    return toSamples(convertAll(s, data, 16384, true));
}

std::vector<uint8_t> encode(const std::vector<uint8_t>& format, const std::vector<int16_t>& pcmSamples) {
    acm::WAVEFORMATEX pcm{};
    EXPECT_EQ(acm::suggestPcm(format, pcm), acm::Result::Ok);
    acm::Stream s;
    EXPECT_EQ(s.open(acm::asBytes(pcm), format), acm::Result::Ok);
    if (!s.isOpen()) return {};
    return convertAll(s, toBytes(pcmSamples), 20000, true);
}

}  // namespace acmtest
