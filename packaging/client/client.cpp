// A small outside client of the installed components, built only against the
// installed headers and libqorocom:
//
//   g++ -std=c++20 client.cpp $(pkg-config --cflags --libs qoro) -o qoro-client
//   ./qoro-client song.wav
//
// It creates an AudioFile by its ProgID, opens the file given on the command
// line, reads it to the end and prints its length. Exit status: 0 when the
// file was read whole, 1 when it could not be opened or read, 2 for bad usage
// or when the component cannot be created.
#include <qoro/AudioFile.h>
#include <qoro/com.h>

#include <cstdio>

using qoro::com::Bstr;
using qoro::com::ComPtr;

namespace {

// The number of 16-bit values in a sample array returned by ReadFile.
long elementCount(SAFEARRAY* array) {
    if (!array) return 0;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) return -1;
    return static_cast<long>(upper) - lower + 1;
}

int readWhole(IAudioFile* file, const char* path) {
    Bstr name(path);
    LONG error = NOERRORS;
    if (FAILED(file->OpenFile(name.get(), DEFAULT, READ)) || FAILED(file->get_LastErrorNum(&error)) ||
        error != NOERRORS) {
        std::fprintf(stderr, "qoro-client: cannot open %s (error %ld)\n", path, static_cast<long>(error));
        return 1;
    }
    LONG frames = 0, rate = 0, channels = 0, arrayChannels = 0, bits = 0, duration = 0;
    Bstr format;
    file->get_nSamples(&frames);
    file->get_Frequency(&rate);
    file->get_nChannels(&channels);
    file->get_ArrayChannels(&arrayChannels);
    file->get_BitsPerSample(&bits);
    file->get_Duration(&duration);
    file->get_FormatString(format.put());

    // Read it all in blocks and count what came back.
    const LONG block = 8192;
    long read = 0;
    for (;;) {
        SAFEARRAY* samples = nullptr;
        if (FAILED(file->ReadFile(block, &samples)) || FAILED(file->get_LastErrorNum(&error)) || error != NOERRORS) {
            if (samples) SafeArrayDestroy(samples);
            std::fprintf(stderr, "qoro-client: reading %s failed after %ld frames (error %ld)\n", path, read,
                         static_cast<long>(error));
            return 1;
        }
        const long values = elementCount(samples);
        SafeArrayDestroy(samples);
        if (values < 0 || arrayChannels <= 0) {
            std::fprintf(stderr, "qoro-client: %s: malformed sample array\n", path);
            return 1;
        }
        if (values == 0) break;
        read += values / arrayChannels;
        if (read > frames) break;  // more than announced: stop, reported below
    }
    file->CloseFile();

    std::printf("%s: %ld sample frames, %ld ms, %ld Hz, %ld channel(s), %ld bits, %s\n", path,
                static_cast<long>(frames), static_cast<long>(duration), static_cast<long>(rate),
                static_cast<long>(channels), static_cast<long>(bits), format.utf8().c_str());
    if (read != frames) {
        std::fprintf(stderr, "qoro-client: %s: read %ld sample frames, the file announced %ld\n", path, read,
                     static_cast<long>(frames));
        return 1;
    }
    if (frames <= 0) {
        std::fprintf(stderr, "qoro-client: %s holds no samples\n", path);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.wav\n", argc > 0 ? argv[0] : "qoro-client");
        return 2;
    }
    if (FAILED(CoInitialize(nullptr))) {
        std::fprintf(stderr, "qoro-client: the component runtime did not start\n");
        return 2;
    }
    int status = 2;
    {
        CLSID clsid = GUID_NULL;
        ComPtr<IAudioFile> file;
        HRESULT hr = CLSIDFromProgID(u"QoroAudioFile.AudioFile", &clsid);
        if (FAILED(hr)) {
            std::fprintf(stderr, "qoro-client: ProgID QoroAudioFile.AudioFile is unknown (0x%08X)\n",
                         static_cast<unsigned>(hr));
        } else if (FAILED(hr =
                              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, file.putVoid()))) {
            std::fprintf(stderr, "qoro-client: cannot create %s (0x%08X)\n", qoro::com::toString(clsid).c_str(),
                         static_cast<unsigned>(hr));
        } else {
            status = readWhole(file.get(), argv[1]);
        }
    }
    CoUninitialize();
    return status;
}
