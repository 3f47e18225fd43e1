// libFuzzer harness for the AudioInformation object: its readers (WAV with
// LIST INFO, DISP, cues and "id3 ", MPEG audio with ID3v1/ID3v2 and the
// information frame, Ogg Vorbis, MPEG Plus, AVI), its content probes, and its
// tag writers run on a copy of the input. One leading byte chooses:
//
//   bits 0-2: the file's extension (kExtensions), which picks the reader
//   bit 3: fast MPEG analysis; bit 4: ID3v2 rather than ID3v1
//   bit 5: a cue point added before writing; bit 6: the artist cleared
//   bit 7: a field and (but for WAV) a front cover set before writing
//
// The rest is the file, written to a folder in RAM. Besides "no crash, no
// read outside the input, no unbounded allocation":
//  - a write that fails leaves the copy byte for byte as it was;
//  - a write that succeeds on a file whose facts were read gives a file of
//    the same type that reads back the new title with the same facts (and
//    the field and cover set, when they were);
//  - every field and picture read can be asked for.
//
//   bash scripts/fuzz.sh 300 audioinfo_fuzz    (five minutes; the options are in the script)
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "object/audio_information.h"

namespace ai = qoro::audioinfo;
namespace com = qoro::com;
using qoro::fuzz::require;
using qoro::fuzz::ScratchFolder;

namespace {

constexpr const char* kExtensions[] = {"wav", "mp3", "mp2", "ogg", "mpc", "avi", "mp+", "bin"};

struct Facts {
    SHORT type = 0;
    LONG frequency = 0, bitrate = 0, duration = 0, size = 0, samples = 0, channels = 0, bits = 0, tag = 0;
    std::string format;
    bool operator==(const Facts&) const = default;
};

std::string text(IAudioInformation* info, HRESULT (IAudioInformation::*getter)(BSTR*)) {
    BSTR b = nullptr;
    require((info->*getter)(&b) == S_OK);
    return com::Bstr::adopt(b).utf8();
}

// Everything the object reports after GetAudioInformation.
Facts readAll(IAudioInformation* info) {
    Facts f;
    require(info->get_infoType(&f.type) == S_OK);
    info->get_infoFrequency(&f.frequency);
    info->get_infoBitrate(&f.bitrate);
    info->get_infoDuration(&f.duration);
    info->get_infoSize(&f.size);
    info->get_infoSamples(&f.samples);
    info->get_infoChannels(&f.channels);
    info->get_infoBitsPerSample(&f.bits);
    info->get_infoFormatTag(&f.tag);
    f.format = text(info, &IAudioInformation::get_infoFormatString);
    for (auto getter :
         {&IAudioInformation::get_infoAlbum, &IAudioInformation::get_infoArtist, &IAudioInformation::get_infoComments,
          &IAudioInformation::get_infoCopyright, &IAudioInformation::get_infoTitle, &IAudioInformation::get_infoURL,
          &IAudioInformation::get_infoEncodedBy, &IAudioInformation::get_infoComposer})
        text(info, getter);
    LONG count = 0;
    require(info->get_cueCount(&count) == S_OK && count >= 0);
    for (LONG i = 0; i < count && i < 64; ++i) {
        require(info->put_cueNum(i) == S_OK);
        LONG position = 0;
        info->get_cuePosition(&position);
        text(info, &IAudioInformation::get_cueLabel);
        text(info, &IAudioInformation::get_cueNote);
        text(info, &IAudioInformation::get_cueText);
    }
    return f;
}

// Every field name and the front cover through IAudioInformation2.
void readExtras(IAudioInformation2* info) {
    VARIANT names;
    VariantInit(&names);
    require(info->GetFieldNames(&names) == S_OK && names.vt == (VT_ARRAY | VT_BSTR));
    LONG high = -1;
    SafeArrayGetUBound(names.parray, 1, &high);
    void* p = nullptr;
    SafeArrayAccessData(names.parray, &p);
    for (LONG i = 0; i <= high; ++i) {
        BSTR value = nullptr;
        require(info->GetField(static_cast<BSTR*>(p)[i], &value) == S_OK);
        SysFreeString(value);
    }
    SafeArrayUnaccessData(names.parray);
    VariantClear(&names);
    BSTR mime = nullptr;
    VARIANT data;
    VariantInit(&data);
    require(info->GetPicture(3, &mime, &data) == S_OK);
    require(data.vt == VT_EMPTY || data.vt == (VT_ARRAY | VT_UI1));
    SysFreeString(mime);
    VariantClear(&data);
}

std::vector<uint8_t> cover(IAudioInformation2* info) {
    BSTR mime = nullptr;
    VARIANT data;
    VariantInit(&data);
    info->GetPicture(3, &mime, &data);
    SysFreeString(mime);
    std::vector<uint8_t> out;
    if (data.vt == (VT_ARRAY | VT_UI1)) {
        LONG high = -1;
        SafeArrayGetUBound(data.parray, 1, &high);
        void* p = nullptr;
        SafeArrayAccessData(data.parray, &p);
        out.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + high + 1);
        SafeArrayUnaccessData(data.parray);
    }
    VariantClear(&data);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static ScratchFolder folder("audioinfo-fuzz");
    const uint8_t choice = data[0];
    const std::string ext = kExtensions[choice & 7];
    const std::string source = folder.file("in." + ext);
    const std::string copy = folder.file("copy." + ext);
    ScratchFolder::write(source, data + 1, size - 1);
    ScratchFolder::write(copy, data + 1, size - 1);

    IAudioInformation* info = nullptr;
    require(com::createInstance<ai::AudioInformationObject>(IID_IAudioInformation, reinterpret_cast<void**>(&info)) ==
            S_OK);
    info->put_mp3FastAnalysis((choice & 8) ? TRUE : FALSE);
    info->put_mp3TagInfoVersion((choice & 16) ? 2 : 1);

    const com::Bstr sourceName(source);
    BOOL answer = FALSE;
    for (auto probe :
         {&IAudioInformation::IsWavFile, &IAudioInformation::IsMp3File, &IAudioInformation::IsOggVorbisFile,
          &IAudioInformation::IsMp2File, &IAudioInformation::IsMpPlusFile, &IAudioInformation::IsAviFile,
          &IAudioInformation::IsAudioFile, &IAudioInformation::IsInfoSupport})
        require((info->*probe)(sourceName.get(), &answer) == S_OK && (answer == TRUE || answer == FALSE));

    require(info->GetAudioInformation(sourceName.get()) == S_OK);
    const Facts before = readAll(info);
    IAudioInformation2* info2 = nullptr;
    require(info->QueryInterface(IID_IAudioInformation2, reinterpret_cast<void**>(&info2)) == S_OK);
    readExtras(info2);
    // The size is the file's (for AVI: its sound stream's); a file its
    // reader refuses leaves every fact at zero.
    if (before.type != static_cast<SHORT>(ai::FileType::Avi))
        require(before.size == static_cast<LONG>(size - 1) || (before.type == 0 && before == Facts{}));

    // The tags written into the copy.
    const std::string title = "Fuzzed title";
    require(info->put_infoTitle(com::Bstr(title).get()) == S_OK);
    if (choice & 64) info->put_infoArtist(com::Bstr("").get());
    if (choice & 32)
        info->InsertCue(7, 0, com::Bstr("seven").get(), com::Bstr("").get(), com::Bstr("").get(), 0, 0, 0, 0);
    const std::string fieldName = ext == "wav" ? "ITCH" : "Fuzz field";
    const std::vector<uint8_t> coverBytes = {0x89, 'P', 'N', 'G', 0, 1, 2};
    if (choice & 128) {
        require(info2->SetField(com::Bstr(fieldName).get(), com::Bstr("fuzzed value").get()) == S_OK);
    }
    // A WAV's INFO list holds no pictures (that write is refused).
    if ((choice & 128) && ext != "wav") {
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(coverBytes.size()));
        void* p = nullptr;
        SafeArrayAccessData(array, &p);
        std::copy(coverBytes.begin(), coverBytes.end(), static_cast<uint8_t*>(p));
        SafeArrayUnaccessData(array);
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_ARRAY | VT_UI1;
        v.parray = array;
        require(info2->SetPicture(3, com::Bstr("image/png").get(), v) == S_OK);
        VariantClear(&v);
    }
    const com::Bstr copyName(copy);
    const HRESULT written = info->SetAudioInformation(copyName.get());
    const std::vector<uint8_t> after = ScratchFolder::read(copy);
    if (FAILED(written)) {
        require(after == std::vector<uint8_t>(data + 1, data + size));
    } else if (before.type != 0 && before.frequency > 0) {
        require(info->GetAudioInformation(copyName.get()) == S_OK);
        Facts again = readAll(info);
        require(again.type == before.type);
        require(text(info, &IAudioInformation::get_infoTitle) == title);
        readExtras(info2);
        if (choice & 128) {
            BSTR value = nullptr;
            require(info2->GetField(com::Bstr(fieldName).get(), &value) == S_OK);
            require(com::Bstr::adopt(value).utf8() == "fuzzed value");
            if (ext != "wav") require(cover(info2) == coverBytes);
        }
        // The audio is what it was; only the size may differ.
        again.size = before.size;
        if (before.type != static_cast<SHORT>(ai::FileType::Mpeg)) require(again == before);
    }
    info2->Release();
    info->Release();
    return 0;
}
