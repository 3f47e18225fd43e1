// libFuzzer harness for the information component's MPEG readers: the MPEG
// audio reader (fast and full analysis, both tag kinds), the MPEG probe, and
// the WAV reader (whose "data" chunk may hold MPEG audio, format tags 80 and
// 85), over the input as a file. Besides "no crash, no read outside the
// input", it checks what must hold for any input: the full analysis counts
// what the shared walk counts, and facts stay in range.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "mpeg/frame_walk.h"
#include "readers/readers.h"

namespace ai = qoro::audioinfo;
using qoro::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qoro::fuzz::MemoryFile file("mpeg-info-fuzz");
    file.set(data, size);
    for (bool fast : {true, false}) {
        for (int tagKind : {1, 2}) {
            ai::Facts facts;
            qoro::tags::TagRecord tags;
            const ai::MpegRead r = ai::readMpeg(file.path(), {.fastAnalysis = fast, .tagKind = tagKind}, facts, tags);
            require(r != ai::MpegRead::CannotOpen);
            require(facts.size == int32_t(uint32_t(size)));
            if (r == ai::MpegRead::Ok) {
                require(facts.channels == 1 || facts.channels == 2);
                require(facts.frequency >= 8000 && facts.frequency <= 48000);
                require(facts.duration >= 0);
            }
        }
    }
    const int layer = ai::probeMpeg(file.path());
    require(layer == 0 || layer == 2 || layer == 3);
    ai::Facts facts;
    qoro::tags::TagRecord tags;
    qoro::tags::CueList cues;
    ai::readWav(file.path(), facts, tags, cues);
    return 0;
}
