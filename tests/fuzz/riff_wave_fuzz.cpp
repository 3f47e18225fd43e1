// libFuzzer harness for the walk that finds a WAVE file's parts whatever its
// sizes say (riff::locateWave), and for the file engine's WAV reader and
// read-write path on top of it. Besides never crashing:
//  - the layout never points beyond the file;
//  - a WAV that opens delivers, read to its end, exactly the length it
//    announced (PCM and the block codecs of the codec manager);
//  - the information component counts the same sample frames for a PCM
//    file it reads with the same rate, channels and bits;
//  - a WAV opened for reading and writing, extended by one sample frame and
//    closed, still opens (see below for MPEG data), nothing before its samples
//    changed but the two size fields, and its stored samples are kept.
//
//   bash scripts/fuzz.sh 300 riff_wave_fuzz    (five minutes; the options are in the script)
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz_support.h"
#include "qoro/AudioFile.h"
#include "readers/readers.h"
#include "riff/riff.h"

namespace riff = qoro::riff;
namespace af = qoro::audiofile;
using qoro::fuzz::require;

namespace {

bool exactLength(uint16_t tag) { return tag == 1 || tag == 2 || tag == 6 || tag == 7 || tag == 17 || tag == 49; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qoro::fuzz::MemoryFile mem("riff-wave-fuzz");
    mem.set(data, size);

    riff::WaveLayout w;
    {
        riff::File f;
        require(f.open(mem.path(), riff::Mode::Read, 512) == riff::Status::Ok);
        if (riff::locateWave(f, w) != riff::Status::Ok) return 0;
        if (w.hasFormat) require(w.format.dataEnd() <= size);
        if (w.hasFact) require(w.fact.dataEnd() <= size);
        if (w.hasData) {
            require(w.data.dataOffset <= size && w.data.dataOffset + w.dataSize <= size);
            if (w.dataToEnd) require(w.data.dataOffset + w.dataSize == size && w.dataIsLast);
        }
    }

    // Reading: everything announced is delivered, nothing more.
    {
        af::Engine e;
        if (e.open(mem.path(), WAV, READ) != 0) return 0;
        const uint64_t total = e.totalLength();
        const uint16_t tag = af::tagOf(e.fullFormat());
        std::vector<uint8_t> out;
        uint64_t delivered = 0;
        for (int step = 0; step < 100000; ++step) {
            const uint64_t want = e.arrayBytesFor(4096);
            if (want == 0) break;
            out.clear();
            const int64_t got = e.read(want, out);
            require(got >= 0);
            if (got == 0) break;
            delivered += static_cast<uint64_t>(got);
        }
        if (exactLength(tag)) require(delivered == total);
        require(delivered <= total + 2 * 65536);

        qoro::audioinfo::Facts facts;
        qoro::tags::TagRecord tags;
        qoro::tags::CueList cues;
        const af::WAVEFORMATEX file = e.fileFormat();
        if (tag == 1 && qoro::audioinfo::readWav(mem.path(), facts, tags, cues) && facts.formatTag == 1 &&
            facts.frequency == static_cast<int32_t>(file.nSamplesPerSec) && facts.channels == file.nChannels &&
            facts.bitsPerSample == file.wBitsPerSample) {
            const uint64_t frames = total / e.arrayFormat().nBlockAlign;
            require(facts.samples == qoro::audioinfo::low32(frames));
        }
    }

    // Reading and writing: one more sample frame at the end.
    const std::vector<uint8_t> before(data, data + size);
    uint16_t storedTag = 0, storedBlock = 1;
    {
        af::Engine e;
        if (e.open(mem.path(), WAV, READWRITE) != 0) return 0;
        storedTag = af::tagOf(e.fullFormat());
        storedBlock = std::max<uint16_t>(af::headerOf(e.fullFormat()).nBlockAlign, 1);
        const std::vector<uint8_t> frame(e.arrayFormat().nBlockAlign, 0);
        e.seek(0, af::SeekOrigin::End);
        e.write(frame.data(), frame.size());
        e.close();
    }
    const std::vector<uint8_t> after = mem.bytes();
    require(after.size() >= size);
    const uint64_t keep = w.data.dataOffset >= 8 ? w.data.dataOffset - 8 : 0;
    for (uint64_t i = 0; i < keep && i < size; ++i)
        if (i < 4 || i >= 8) require(after[i] == before[i]);
    // The stored samples stay as they were, up to the last whole block
    // (MPEG frames: every byte; a partial block decodes to nothing and is
    // what the new samples replace).
    const bool mpeg = storedTag == 80 || storedTag == 85;
    uint64_t stored = w.dataSize;
    if (!mpeg) stored -= stored % storedBlock;
    for (uint64_t i = w.data.dataOffset; i < w.data.dataOffset + stored; ++i) require(after[i] == before[i]);
    // The file still opens. MPEG data is left out: in a stream that is not
    // what its record says, frames appended as the record says can form the
    // run the frame search settles on, and that run need not decode (real
    // files are checked by the unit tests).
    af::Engine again;
    const int16_t reopened = again.open(mem.path(), WAV, READ);
    if (!mpeg) require(reopened == 0);
    return 0;
}
