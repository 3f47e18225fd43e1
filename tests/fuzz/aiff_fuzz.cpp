// libFuzzer harness for AIFF and AIFF-C: the "COMM" parser and the 80-bit
// extended numbers of common/aiff, and the engine's AIFF reader over the
// input as a file. Besides never crashing:
//  - a "COMM" that parses has channels, a finite rate > 0 and, for integer
//    samples, 1..32 bits, and the chunk made from it parses to the same;
//  - every finite extended number comes back from toExtended unchanged;
//  - an AIFF that opens delivers, read to its end, exactly the length it
//    announced, and from the middle exactly the rest;
//  - read on as they are (useNative) in an array of the kind, channels and
//    starting frame the input's last byte chooses, the same frames: the
//    length in the new array counts as many, the position stays on its
//    frame, and the rest delivers exactly what is left.
//
//   bash scripts/fuzz.sh 300 aiff_fuzz    (five minutes; the options are in the script)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "aiff/aiff.h"
#include "engine/engine.h"
#include "fuzz_support.h"
#include "qoro/AudioFile.h"

namespace af = qoro::audiofile;
namespace aiff = qoro::aiff;
using qoro::fuzz::require;

namespace {

bool knownStatus(int64_t st) {
    return st == af::status::kFormatFile || st == af::status::kFormatNotSupport || st == af::status::kFileAccess ||
           st == af::status::kInvalidOperation;
}

// Array bytes delivered from the position on, to the end or up to `limit`
// bytes (whole frames).
uint64_t readOn(af::Engine& e, uint64_t limit = UINT64_MAX) {
    const uint64_t frame = e.arrayFormat().nBlockAlign;
    uint64_t delivered = 0;
    std::vector<uint8_t> out;
    while (delivered < limit) {
        const uint64_t frames = std::min<uint64_t>(8192 / frame + 1, (limit - delivered) / frame);
        const uint64_t want = e.arrayBytesFor(frames * frame);
        if (want == 0) break;
        out.clear();
        const int64_t got = e.read(want, out);
        require(got >= 0 && static_cast<uint64_t>(got) == out.size() && out.size() % frame == 0);
        if (got == 0) break;
        delivered += static_cast<uint64_t>(got);
    }
    return delivered;
}

// The first frames (none to three quarters) read in the 16-bit form, the
// rest as the samples are, converted to an array of the kind and channels
// `choice` picks.
void readOnAsTheyAre(af::Engine& e, uint8_t choice) {
    static constexpr af::SampleKind kKinds[] = {af::SampleKind::Int16, af::SampleKind::Int24, af::SampleKind::Int32,
                                                af::SampleKind::Float32};
    const uint64_t frames = e.totalLength() / e.arrayFormat().nBlockAlign;
    const uint64_t head = frames * ((choice >> 4) & 3) / 4;
    require(e.seek(0, af::SeekOrigin::Begin) == 0);
    require(readOn(e, head * e.arrayFormat().nBlockAlign) == head * e.arrayFormat().nBlockAlign);
    const af::WAVEFORMATEX own = e.ownFormat();
    require(own.nChannels >= 1 && own.nChannels <= 8 && own.nSamplesPerSec == e.fileFormat().nSamplesPerSec);
    e.setArrayFormat(own.nSamplesPerSec, (choice & 8) ? 2 : own.nChannels, kKinds[(choice >> 1) & 3]);
    const uint64_t block = e.arrayFormat().nBlockAlign;
    require(e.totalLength() == frames * block && e.position() == head * block);
    require(readOn(e) == (frames - head) * block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input's first bytes as a "COMM" chunk's data, of both form types.
    for (bool aifc : {false, true}) {
        aiff::Comm c;
        if (!aiff::parseComm({data, size}, aifc, c)) continue;
        require(c.channels > 0 && std::isfinite(c.rate) && c.rate > 0);
        if (const auto enc = aiff::encodingOf(c)) {
            require(aiff::frameBytes(c) >= c.channels && aiff::bytesPerSample(c) <= 8);
            if (*enc != aiff::Encoding::Float32 && *enc != aiff::Encoding::Float64) require(c.bits >= 1 && c.bits <= 32);
        }
        aiff::Comm again;
        require(aiff::parseComm(aiff::makeComm(c), aifc, again));
        require(again.channels == c.channels && again.frames == c.frames && again.bits == c.bits &&
                again.rate == c.rate && again.compression == c.compression &&
                again.compressionName == c.compressionName);
    }
    if (size >= 10) {
        uint8_t ext[10];
        std::memcpy(ext, data, 10);
        const double x = aiff::fromExtended(ext);
        if (std::isfinite(x)) {
            uint8_t back[10];
            aiff::toExtended(x, back);
            require(aiff::fromExtended(back) == x);
        }
    }

    static qoro::fuzz::MemoryFile file("aiff-fuzz");
    file.set(data, size);
    af::Engine e;
    const int16_t opened = e.open(file.path(), AIFF, READ);
    if (opened < 0) {
        require(knownStatus(opened) && !e.isOpen());
        return 0;
    }
    const uint64_t total = e.totalLength();
    const uint64_t frame = e.arrayFormat().nBlockAlign;
    require(frame != 0 && total % frame == 0 && total <= 4 * uint64_t{size});
    require(readOn(e) == total);
    const uint64_t middle = total / frame / 2 * frame;
    require(e.seek(middle, af::SeekOrigin::Begin) == 0);
    require(readOn(e) == total - middle);
    if (data[size - 1] & 1) readOnAsTheyAre(e, data[size - 1]);
    e.close();
    return 0;
}
