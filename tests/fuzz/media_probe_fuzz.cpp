// libFuzzer harness for the media plug-in's open path (qoro-libav: the
// demuxers of libavformat behind our own I/O, the packet walk that counts
// the frames, the decoders, our sample conversion and exact seek). Besides
// never crashing, hanging or allocating without bound:
//  - a file that opens has 1 to 8 channels, a positive rate, frames >= -1,
//    a sample kind the table names and NUL-terminated names;
//  - reading never gives more frames than announced, and a failed read
//    leaves a cause in error();
//  - a seek inside the file succeeds or fails with a cause, and reading
//    goes on after it.
//
//   bash scripts/fuzz.sh 300 media_probe_fuzz
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "libav_media.h"

using qoro::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qoro::fuzz::MemoryFile mem("media-probe-fuzz");
    static const qoro_media_api* api = qoro::libav::api();
    mem.set(data, size);

    char why[256];
    std::memset(why, 'x', sizeof why);
    qoro_media* m = api->open(mem.path().c_str(), why, sizeof why);
    require(std::memchr(why, 0, sizeof why) != nullptr);
    if (!m) {
        require(why[0] != '\0');
        return 0;
    }
    const qoro_media_facts& f = *api->facts(m);
    require(f.size == sizeof(qoro_media_facts));
    require(f.channels >= 1 && f.channels <= 8);
    require(f.rate > 0);
    require(f.frames >= -1);
    require(f.sample == QORO_MEDIA_S16 || f.sample == QORO_MEDIA_S32 || f.sample == QORO_MEDIA_F32);
    require(std::memchr(f.codec, 0, sizeof f.codec) && std::memchr(f.container, 0, sizeof f.container));
    require(std::memchr(f.codec_title, 0, sizeof f.codec_title) && std::memchr(f.profile, 0, sizeof f.profile));

    const char *key = nullptr, *value = nullptr;
    for (int i = 0; api->tag(m, i, &key, &value); ++i) require(key && value);
    const uint8_t* pic = nullptr;
    size_t bytes = 0;
    const char* mime = nullptr;
    for (int i = 0; api->picture(m, i, &pic, &bytes, &mime); ++i) require(mime && (pic || bytes == 0));

    // A bounded read in each kind, a seek to the middle, and more reading.
    std::vector<uint8_t> buf(4096 * 8 * 4);
    int64_t given = 0;
    const int kinds[] = {f.sample, QORO_MEDIA_S16, QORO_MEDIA_S32, QORO_MEDIA_F32};
    for (int step = 0; step < 24; ++step) {
        const long n = api->read(m, kinds[step % 4], buf.data(), 4096);
        if (n == 0) break;
        if (n < 0) {
            require(api->error(m)[0] != '\0');
            continue;
        }
        require(n <= 4096);
        given += n;
        if (f.frames >= 0) require(given <= f.frames);
    }
    if (f.frames > 0) {
        const int64_t to = f.frames / 2;
        if (api->seek(m, to) != 0) require(api->error(m)[0] != '\0');
        int64_t after = 0;
        for (int step = 0; step < 8; ++step) {
            const long n = api->read(m, QORO_MEDIA_F32, buf.data(), 4096);
            if (n == 0) break;
            if (n > 0) after += n;
        }
        require(after <= f.frames - to || api->error(m)[0] != '\0');
    }
    require(api->seek(m, f.frames + 2) == -1 || f.frames < 0);
    api->close(m);
    return 0;
}
