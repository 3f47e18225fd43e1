// A small client of the AudioFile component for the close-failure tests:
// creates OUT of the given kind, writes a second of sound in 0.1 s blocks,
// notes the file's size, closes it, and prints what the object reported.
//
//   audiofile_close_probe KIND OUT
//   -> create=0 () write=0 size=176444 close=-18 hr=0 status=0 cause=No space left on device
//
// Run under the fail_io shim (QORO_FAIL_WRITE_AFTER=size), the writes made
// at the close are the ones that fail. The shim sees write(2) and pwrite(2)
// calls, not those the C library makes inside fwrite and fclose; for the
// writers that go through stdio, QORO_PROBE_LIMIT_AT_CLOSE=1 has the probe
// itself limit the file size to what is written before the close
// (RLIMIT_FSIZE): every write of the close that extends the file fails with
// EFBIG.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qoro/AudioFile.h"
#include "qoro/com.h"

namespace {

LONG lastError(IAudioFile* af) {
    LONG e = 1;
    af->get_LastErrorNum(&e);
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: audiofile_close_probe wav|adpcm|raw|vox|mp3|mp2|ogg OUT\n");
        return 2;
    }
    const std::string kind = argv[1];
    CoInitialize(nullptr);
    qoro::com::ComPtr<IAudioFile> af;
    if (CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, af.putVoid()) != S_OK) {
        std::fprintf(stderr, "no AudioFile object\n");
        return 2;
    }
    LONG align = 0;
    LONG type = WAV;
    if (kind == "wav")
        af->SetFormatPCM(44100, 2, 16, &align);
    else if (kind == "adpcm")
        af->SetFormatADPCM(22050, 1, &align);
    else if (kind == "raw")
        type = RAW, af->SetFormatRAW(1, 22050, 1, 16, &align);
    else if (kind == "vox")
        type = VOX, af->SetFormatVOX(8000, &align);
    else if (kind == "mp3")
        type = MP3, af->SetFormatMP3(44100, 128, 2, &align);
    else if (kind == "mp2")
        type = MP2, af->SetFormatMP2(44100, 128, 2, &align);
    else if (kind == "ogg")
        type = OGG, af->SetFormatOggVorbis(44100, 2, 128, -1, -1, -1, &align);
    qoro::com::Bstr name(argv[2]);
    af->CreateFile(name.get(), type);
    const LONG created = lastError(af.get());
    const std::string createCause = created == NOERRORS ? "" : qoro::com::takeErrorDescription();
    LONG written = 0;
    if (created == NOERRORS) {
        // A second of a tone at 44100 Hz in stereo, in the array format.
        LONG rate = 0, channels = 0;
        af->get_ArrayFrequency(&rate);
        af->get_ArrayChannels(&channels);
        const LONG block = rate / 10;
        std::vector<int16_t> samples(size_t(block * channels));
        for (int b = 0; b < 10 && written == NOERRORS; ++b) {
            for (LONG i = 0; i < block; ++i)
                for (LONG c = 0; c < channels; ++c)
                    samples[size_t(i * channels + c)] =
                        int16_t(12000 * std::sin(2 * M_PI * 440.0 * double(b * block + i) / double(rate)));
            SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 0, ULONG(samples.size()));
            void* data = nullptr;
            SafeArrayAccessData(sa, &data);
            std::memcpy(data, samples.data(), samples.size() * 2);
            SafeArrayUnaccessData(sa);
            af->WriteFile(&sa);
            SafeArrayDestroy(sa);
            written = lastError(af.get());
        }
    }
    struct stat st {};
    const long long size = ::stat(argv[2], &st) == 0 ? (long long)st.st_size : -1;
    if (const char* limit = std::getenv("QORO_PROBE_LIMIT_AT_CLOSE"); limit && *limit == '1' && size >= 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit r{rlim_t(size), rlim_t(size)};
        setrlimit(RLIMIT_FSIZE, &r);
    }
    // Nothing the writes left behind may pass for the close's cause.
    SetErrorInfo(0, nullptr);
    const HRESULT hr = af->CloseFile();
    const LONG closed = lastError(af.get());
    SHORT status = -1;
    af->get_Status(&status);
    const std::string cause = qoro::com::takeErrorDescription();
    std::printf("create=%ld (%s) write=%ld size=%lld close=%ld hr=%ld status=%d cause=%s\n", long(created),
                createCause.c_str(), long(written), size, long(closed), long(hr), int(status), cause.c_str());
    af.reset();
    CoUninitialize();
    return 0;
}
