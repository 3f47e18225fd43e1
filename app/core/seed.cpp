#include "core/seed.h"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <ostream>
#include <string>
#include <vector>

#include "core/file_grid.h"
#include "core/file_types.h"

namespace quillet {

namespace {

namespace fs = std::filesystem;
using qoro::com::Bstr;

constexpr int kRate = 44100;

struct Piece {
    const char* name;
    std::vector<int> notes;  // MIDI note numbers, one per beat
    double beat;             // seconds
    int harmonics;
};

// A plucked tone per note: decaying partials, slightly detuned between the
// two channels, with a soft bass note an octave and a fifth below.
std::vector<int16_t> render(const Piece& piece) {
    const size_t beatFrames = static_cast<size_t>(piece.beat * kRate);
    std::vector<int16_t> samples(beatFrames * piece.notes.size() * 2);
    for (size_t n = 0; n < piece.notes.size(); ++n) {
        const double f = 440.0 * std::pow(2.0, (piece.notes[n] - 69) / 12.0);
        for (size_t i = 0; i < beatFrames; ++i) {
            const double t = static_cast<double>(i) / kRate;
            const double env = std::exp(-3.0 * t / piece.beat) * std::min(1.0, t * 200.0);
            double left = 0, right = 0;
            for (int h = 1; h <= piece.harmonics; ++h) {
                const double a = 1.0 / (h * h);
                left += a * std::sin(2 * std::numbers::pi * f * h * t);
                right += a * std::sin(2 * std::numbers::pi * f * 1.003 * h * t);
            }
            const double bass = 0.35 * std::sin(2 * std::numbers::pi * f / 3.0 * t);
            const size_t at = (n * beatFrames + i) * 2;
            samples[at] = static_cast<int16_t>(std::lround(9000.0 * env * (left + bass)));
            samples[at + 1] = static_cast<int16_t>(std::lround(9000.0 * env * (right + bass)));
        }
    }
    return samples;
}

// Writes one file through the component; false (and no file left) on failure.
bool writeThrough(IAudioFile* file, const std::string& path, LONG type, const std::vector<int16_t>& samples) {
    LONG blockAlign = 0, error = NOERRORS;
    if (type == WAV)
        file->SetFormatPCM(kRate, 2, 16, &blockAlign);
    else
        file->SetFormatMP3(kRate, 128, 2, &blockAlign);
    const Bstr name(path);
    file->CreateFile(name.get(), type);
    file->get_LastErrorNum(&error);
    if (error < 0) return false;
    file->SetFormatArray(kRate, 2);
    SAFEARRAY* array = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(samples.size()));
    void* data = nullptr;
    if (array && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::copy(samples.begin(), samples.end(), static_cast<int16_t*>(data));
        SafeArrayUnaccessData(array);
        file->WriteFile(&array);
        file->get_LastErrorNum(&error);
    } else {
        error = MEMORY;
    }
    if (array) SafeArrayDestroy(array);
    file->CloseFile();
    if (error < 0) {
        std::error_code ec;
        fs::remove(path, ec);
        return false;
    }
    return true;
}

void writeList(const std::string& listFile, const std::vector<std::string>& paths) {
    std::ofstream out(listFile, std::ios::binary);
    out << paths.size() << "\r\n";
    for (const std::string& p : paths) out << '.' << p << "\r\n";
}

}  // namespace

int seedSamples(const DataFolder& data, std::ostream& out) {
    const std::string mp3List = data.listFile(ConversionMode::Mp3ToWav);
    const std::string wavList = data.listFile(ConversionMode::WavToMp3);
    const bool wantMp3 = !fs::exists(mp3List), wantWav = !fs::exists(wavList);
    if (!wantMp3 && !wantWav) return 0;
    qoro::com::ComPtr<IAudioFile> file;
    CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, file.putVoid());
    if (!file) {
        out << "quillet: the audio file component could not be created; no samples written\n";
        return 0;
    }
    const std::string folder = data.root + "Samples/";
    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::vector<Piece> pieces = {
        {"Arpeggio", {60, 64, 67, 72, 67, 64, 60, 55}, 0.4, 6},
        {"Chimes", {76, 79, 74, 72, 79, 84}, 0.55, 3},
        {"Walking Bass", {40, 43, 45, 47, 48, 47, 45, 43, 40, 38}, 0.3, 8},
    };
    int written = 0;
    std::vector<std::string> mp3s, wavs;
    for (const Piece& piece : pieces) {
        const std::vector<int16_t> samples = render(piece);
        const std::string base = folder + piece.name;
        if (wantWav && writeThrough(file.get(), base + usualExtension(WAV), WAV, samples)) {
            wavs.push_back(base + usualExtension(WAV));
            ++written;
        }
        if (wantMp3 && writeThrough(file.get(), base + usualExtension(MP3), MP3, samples)) {
            mp3s.push_back(base + usualExtension(MP3));
            ++written;
        }
    }
    if (wantMp3) writeList(mp3List, mp3s);
    if (wantWav) writeList(wavList, wavs);
    out << "quillet: " << written << " sample file(s) written to " << folder << '\n';
    return written;
}

}  // namespace quillet
