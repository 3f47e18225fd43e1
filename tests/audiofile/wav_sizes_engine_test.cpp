// The file engine on a compressed WAV stream beyond 4 GiB: lengths counted
// in 64 bits through the codec manager, whole blocks only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "qoro/AudioFile.h"
#include "test_support.h"

using namespace qoro::audiofile;
namespace t = qoro::test;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

// IMA ADPCM written to a pipe by ffmpeg, its samples grown (sparse on disk)
// to 5 GiB and half a block: every whole block counts, the half does not, and
// the last frames read from a seek near the end are exactly those left.
TEST(WavSizesEngine, CompressedStreamBeyondFourGiBCountsEveryWholeBlock) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    t::TempDir dir;
    const auto src = dir / "src.wav", big = dir / "big.wav";
    t::writeWav16(src, 22050, 2, t::testSignal(22050, 2, 22050));
    const auto r = t::run("ffmpeg -v error -i " + t::shellQuote(src.string()) +
                          " -c:a adpcm_ima_wav -f wav - | cat > " + t::shellQuote(big.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const auto head = t::readBytes(big);
    ASSERT_EQ(std::memcmp(head.data() + 12, "fmt ", 4), 0);
    const uint32_t block = head[32] | head[33] << 8;
    const uint32_t perBlock = head[38] | head[39] << 8;  // samples per block, after the extra size
    ASSERT_GT(block, 0u);
    auto at = std::search(head.begin(), head.end(), "data", "data" + 4);
    ASSERT_NE(at, head.end());
    const size_t data = static_cast<size_t>(at - head.begin()) + 8;
    ASSERT_EQ(le32(head, data - 4), 0xFFFFFFFFu);

    const uint64_t size = (uint64_t{5} << 30) + block / 2;
    t::fs::resize_file(big, size);
    const uint64_t blocks = (size - data) / block;
    const uint64_t frames = blocks * perBlock;
    ASSERT_GT(frames * 4, uint64_t{1} << 32);

    Engine e;
    ASSERT_EQ(e.open(big.string(), WAV, READ), 0);
    EXPECT_EQ(e.arrayFormat().nChannels, 2);
    EXPECT_EQ(e.totalLength(), frames * 4);
    ASSERT_EQ(e.seek(1000 * 4, SeekOrigin::End), 0);
    const uint64_t from = e.position();
    EXPECT_LE(from, (frames - 1000) * 4);  // lands on a block start at or before
    EXPECT_GT(from + uint64_t{perBlock} * 4, (frames - 1000) * 4);
    std::vector<uint8_t> bytes;
    for (;;) {
        const uint64_t want = e.arrayBytesFor(4096 * 4);
        if (want == 0) break;
        const int64_t got = e.read(want, bytes);
        ASSERT_GE(got, 0);
        if (got == 0) break;
    }
    EXPECT_EQ(bytes.size(), frames * 4 - from);
    EXPECT_EQ(e.position(), frames * 4);
}

// PCM "fmt " fields no array format takes (65535 channels of 65535 bits, as
// a damaged header may state them) are refused as they stand; the block
// alignment is not recomputed from them (it would overflow).
TEST(WavSizesEngine, PcmFieldsNoArrayFormatTakesAreRefused) {
    t::TempDir dir;
    const auto path = dir / "bad.wav";
    t::writeWav16(path, 8000, 1, t::testSignal(8000, 1, 100));
    auto bytes = t::readBytes(path);
    struct Fields {
        uint16_t channels, bits;
    };
    for (const Fields f :
         {Fields{0xFFFF, 0xFFFF}, Fields{2, 0xFFFF}, Fields{0xFFFF, 16}, Fields{0, 16}, Fields{1, 20}, Fields{9, 24}}) {
        SCOPED_TRACE(std::to_string(f.channels) + " channels, " + std::to_string(f.bits) + " bits");
        bytes[22] = static_cast<uint8_t>(f.channels);
        bytes[23] = static_cast<uint8_t>(f.channels >> 8);
        bytes[34] = static_cast<uint8_t>(f.bits);
        bytes[35] = static_cast<uint8_t>(f.bits >> 8);
        t::writeBytes(path, bytes);
        Engine e;
        EXPECT_EQ(e.open(path.string(), WAV, READ), status::kFormatNotSupport);
    }
}
