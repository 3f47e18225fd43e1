#include "object/audio_file.h"

#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace qoro::audiofile {

namespace {

namespace id = qoro::dispid::AudioFile;

// The sample array a read returns, one-dimensional, of elements of one
// type, filled in place.
class SafeArrayBytes final : public ByteArray {
public:
    SafeArrayBytes(VARTYPE vt, size_t elementSize) : vt_(vt), size_(elementSize) {}
    ~SafeArrayBytes() {
        unlock();
        if (array_) SafeArrayDestroy(array_);
    }

    uint8_t* allocate(size_t bytes) override {
        const size_t elements = bytes / size_;
        array_ = SafeArrayCreateVector(vt_, 0, static_cast<ULONG>(elements));
        if (!array_) return nullptr;
        void* p = nullptr;
        if (FAILED(SafeArrayAccessData(array_, &p))) return nullptr;
        locked_ = true;
        data_ = static_cast<uint8_t*>(p);
        if (data_ && elements) std::memset(data_, 0, elements * size_);
        return data_;
    }

    void shrink(size_t bytes) override {
        if (!array_) return;
        unlock();
        SAFEARRAYBOUND bound{static_cast<ULONG>(bytes / size_), 0};
        SafeArrayRedim(array_, &bound);
    }

    // Hands the array over (an empty one if none could be made).
    SAFEARRAY* release() {
        unlock();
        if (!array_) array_ = SafeArrayCreateVector(vt_, 0, 0);
        return std::exchange(array_, nullptr);
    }

private:
    void unlock() {
        if (locked_) SafeArrayUnaccessData(array_);
        locked_ = false;
        data_ = nullptr;
    }

    VARTYPE vt_;
    size_t size_;
    SAFEARRAY* array_ = nullptr;
    uint8_t* data_ = nullptr;
    bool locked_ = false;
};

// ReadFile's array of 16-bit samples.
class SafeArraySamples final : public SampleArray {
public:
    int16_t* allocate(size_t elements) override { return reinterpret_cast<int16_t*>(bytes_.allocate(elements * 2)); }
    void shrink(size_t elements) override { bytes_.shrink(elements * 2); }
    SAFEARRAY* release() { return bytes_.release(); }

private:
    SafeArrayBytes bytes_{VT_I2, 2};
};

// The element type of an array of a sample kind.
VARTYPE elementType(long kind) {
    switch (kind) {
    case SAMPLE_INT24:
    case SAMPLE_INT32: return VT_I4;
    case SAMPLE_FLOAT32: return VT_R4;
    default: return VT_I2;
    }
}

template <class T>
HRESULT put(T* out, long long value) {
    if (!out) return E_POINTER;
    *out = static_cast<T>(value);
    return S_OK;
}

// A method's BlockAlign result.
HRESULT blockAlign(LONG* out, long value) {
    if (out) *out = static_cast<LONG>(value);
    return S_OK;
}

// The start of a member that can fail: no error information of an earlier
// call stays behind.
void clearErrorInfo() { SetErrorInfo(0, nullptr); }

}  // namespace

AudioFileObject::AudioFileObject() : core_(this) {
    encoder_ = com::make<AudioFileLameMp3Encoder>(static_cast<Mp3SettingsOwner*>(&core_));
}

AudioFileObject::~AudioFileObject() {
    // No event fires from a dying object: a close that fails now has no
    // caller left to tell.
    core_.closeQuietly();
    // A caller may still hold the settings object: from now on it works on nothing.
    if (encoder_) encoder_->detachOwner();
}

void AudioFileObject::fireError(long code, const std::string& cause) {
    fire(qoro::dispid::AudioFileEvents::Error, static_cast<LONG>(code));
    // Set after the event, so that members a handler calls do not clear it.
    if (code != NOERRORS && !cause.empty()) com::reportError(S_OK, IID_IAudioFile, "QoroAudioFile.AudioFile", cause);
}

template <class Work>
void AudioFileObject::guarded(Work&& work) {
    try {
        work();
    } catch (const std::bad_alloc&) {
        core_.reportOutOfMemory();
    }
}

HRESULT AudioFileObject::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == IID_IAudioFile || riid == IID_IAudioFile2 || riid == IID_IAudioFile3 || riid == IID_IAudioFile4
               ? S_OK
               : S_FALSE;
}

HRESULT AudioFileObject::queryExtra(REFIID riid, void** ppv) {
    if (riid != IID_IAudioFile && riid != IID_IAudioFile2 && riid != IID_IAudioFile3) return E_NOINTERFACE;
    IAudioFile3* older = static_cast<IAudioFile4*>(this);
    older->AddRef();
    *ppv = older;
    return S_OK;
}

const com::DispatchTable& AudioFileObject::dispatchTable() {
    using namespace qoro::com;
    static const DispatchTable table{
        method<&IAudioFile::OpenFile>(id::OpenFile, u"OpenFile", {required(), optional(0L), optional(1L)}),
        method<&IAudioFile::CloseFile>(id::CloseFile, u"CloseFile"),
        method<&IAudioFile::CreateFile>(id::CreateFile, u"CreateFile", {required(), optional(0L)}),
        method<&IAudioFile::WriteFile>(id::WriteFile, u"WriteFile", {required()}),
        method<&IAudioFile::ReadFile>(id::ReadFile, u"ReadFile", {required()}),
        method<&IAudioFile::SeekFile>(id::SeekFile, u"SeekFile", {required(), optional(3L)}),
        propget<&IAudioFile::get_nSamples>(id::nSamples, u"nSamples"),
        propget<&IAudioFile::get_Frequency>(id::Frequency, u"Frequency"),
        propget<&IAudioFile::get_Status>(id::Status, u"Status"),
        propget<&IAudioFile::get_nChannels>(id::nChannels, u"nChannels"),
        propget<&IAudioFile::get_FormatString>(id::FormatString, u"FormatString"),
        propget<&IAudioFile::get_BitsPerSample>(id::BitsPerSample, u"BitsPerSample"),
        propget<&IAudioFile::get_Bitrate>(id::Bitrate, u"Bitrate"),
        propget<&IAudioFile::get_Duration>(id::Duration, u"Duration"),
        propget<&IAudioFile::get_LastErrorNum>(id::LastErrorNum, u"LastErrorNum"),
        propget<&IAudioFile::get_ArrayChannels>(id::ArrayChannels, u"ArrayChannels"),
        propget<&IAudioFile::get_ArrayFrequency>(id::ArrayFrequency, u"ArrayFrequency"),
        propget<&IAudioFile::get_FormatTag>(id::FormatTag, u"FormatTag"),
        propget<&IAudioFile::get_G723Bitrate>(id::G723Bitrate, u"G723Bitrate"),
        propget<&IAudioFile::get_G726Bitrate>(id::G726Bitrate, u"G726Bitrate"),
        propget<&IAudioFile::get_RawTypeCompress>(id::RawTypeCompress, u"RawTypeCompress"),
        method<&IAudioFile::SetFormatMP3>(id::SetFormatMP3, u"SetFormatMP3",
                                          {optional(44100L), optional(128L), optional(2L)}),
        method<&IAudioFile::SetFormatRAW>(id::SetFormatRAW, u"SetFormatRAW",
                                          {optional(1L), optional(44100L), optional(2L), optional(16L)}),
        method<&IAudioFile::SetFormatADPCM>(id::SetFormatADPCM, u"SetFormatADPCM", {optional(44100L), optional(2L)}),
        method<&IAudioFile::SetFormatGSM>(id::SetFormatGSM, u"SetFormatGSM", {optional(8000L)}),
        method<&IAudioFile::SetFormatVOX>(id::SetFormatVOX, u"SetFormatVOX", {optional(8000L)}),
        method<&IAudioFile::SetFormatPCM>(id::SetFormatPCM, u"SetFormatPCM",
                                          {optional(8000L), optional(1L), optional(16L)}),
        method<&IAudioFile::SetFormatArray>(id::SetFormatArray, u"SetFormatArray", {optional(44100L), optional(2L)}),
        method<&IAudioFile::SetFormatFromMenu>(id::SetFormatFromMenu, u"SetFormatFromMenu"),
        method<&IAudioFile::SetFormatLikeSample>(id::SetFormatLikeSample, u"SetFormatLikeSample", {required()}),
        method<&IAudioFile::SetFormatDSP>(id::SetFormatDSP, u"SetFormatDSP"),
        method<&IAudioFile::SetFormatALAW>(id::SetFormatALAW, u"SetFormatALAW", {optional(8000L), optional(1L)}),
        method<&IAudioFile::SetFormatALF2CD>(id::SetFormatALF2CD, u"SetFormatALF2CD", {optional(1L)}),
        method<&IAudioFile::SetFormatG723>(id::SetFormatG723, u"SetFormatG723", {optional(8000L), optional(1L)}),
        method<&IAudioFile::SetFormatULAW>(id::SetFormatULAW, u"SetFormatULAW", {optional(8000L), optional(1L)}),
        method<&IAudioFile::SetFormatG726>(id::SetFormatG726, u"SetFormatG726", {optional(8000L), optional(3L)}),
        method<&IAudioFile::SetFormatMobileVoice>(id::SetFormatMobileVoice, u"SetFormatMobileVoice", {optional(8000L)}),
        method<&IAudioFile::SetFormatOggVorbis>(id::SetFormatOggVorbis, u"SetFormatOggVorbis",
                                                {optional(44100L), optional(2L), optional(128L), optional(-1L),
                                                 optional(-1L), optional(static_cast<SHORT>(-1))}),
        method<&IAudioFile::SetFormatG721>(id::SetFormatG721, u"SetFormatG721", {optional(8000L)}),
        method<&IAudioFile::SetFormatWMA>(id::SetFormatWMA, u"SetFormatWMA", {optional(28L)}),
        method<&IAudioFile::SetFormatMP2>(id::SetFormatMP2, u"SetFormatMP2",
                                          {optional(44100L), optional(128L), optional(static_cast<SHORT>(2))}),
        propget<&IAudioFile::get_FastMP3Analysis>(id::FastMP3Analysis, u"FastMP3Analysis"),
        propput<&IAudioFile::put_FastMP3Analysis>(id::FastMP3Analysis, u"FastMP3Analysis"),
        propget<&IAudioFile::get_WmaFormatEnabled>(id::WmaFormatEnabled, u"WmaFormatEnabled"),
        propput<&IAudioFile::put_WmaFormatEnabled>(id::WmaFormatEnabled, u"WmaFormatEnabled"),
        propget<&IAudioFile::get_Mp3TypeEncoder>(id::Mp3TypeEncoder, u"Mp3TypeEncoder"),
        propput<&IAudioFile::put_Mp3TypeEncoder>(id::Mp3TypeEncoder, u"Mp3TypeEncoder"),
        propget<&IAudioFile::get_Mp3TypeDecoder>(id::Mp3TypeDecoder, u"Mp3TypeDecoder"),
        propput<&IAudioFile::put_Mp3TypeDecoder>(id::Mp3TypeDecoder, u"Mp3TypeDecoder"),
        propget<&IAudioFile::get_Mp3LameEncoder>(id::Mp3LameEncoder, u"Mp3LameEncoder"),
        // IAudioFile2
        method<&IAudioFile2::SetFormatFLAC>(id::SetFormatFLAC, u"SetFormatFLAC",
                                            {optional(44100L), optional(2L), optional(5L)}),
        method<&IAudioFile2::SetFormatOpus>(id::SetFormatOpus, u"SetFormatOpus",
                                            {optional(2L), optional(128L), optional(10L)}),
        // IAudioFile3
        propget<&IAudioFile3::get_ResampleQuality>(id::ResampleQuality, u"ResampleQuality"),
        propput<&IAudioFile3::put_ResampleQuality>(id::ResampleQuality, u"ResampleQuality"),
        propget<&IAudioFile3::get_Dither>(id::Dither, u"Dither"),
        propput<&IAudioFile3::put_Dither>(id::Dither, u"Dither"),
        method<&IAudioFile3::SetFormatVorbis>(id::SetFormatVorbis, u"SetFormatVorbis",
                                              {optional(44100L), optional(2L), optional(128L), optional(-1L),
                                               optional(-1L), optional(static_cast<SHORT>(-1))}),
        method<&IAudioFile3::SetFormatArrayKind>(id::SetFormatArrayKind, u"SetFormatArrayKind",
                                                 {optional(44100L), optional(2L), optional(0L)}),
        propget<&IAudioFile3::get_ArraySampleKind>(id::ArraySampleKind, u"ArraySampleKind"),
        method<&IAudioFile3::ReadSamples>(id::ReadSamples, u"ReadSamples", {required()}),
        method<&IAudioFile3::WriteSamples>(id::WriteSamples, u"WriteSamples", {required()}),
        propget<&IAudioFile3::get_nFrames>(id::nFrames, u"nFrames"),
        propget<&IAudioFile3::get_Position>(id::Position, u"Position"),
        method<&IAudioFile3::SeekFrames>(id::SeekFrames, u"SeekFrames", {required(), optional(3L)}),
        propget<&IAudioFile3::get_ClippedSamples>(id::ClippedSamples, u"ClippedSamples"),
        propget<&IAudioFile3::get_FileChannels>(id::FileChannels, u"FileChannels"),
        propget<&IAudioFile3::get_FileSampleKind>(id::FileSampleKind, u"FileSampleKind"),
        method<&IAudioFile3::SetFormatPCMKind>(id::SetFormatPCMKind, u"SetFormatPCMKind",
                                               {optional(44100L), optional(2L), optional(1L)}),
        method<&IAudioFile3::SetFormatFLACBits>(id::SetFormatFLACBits, u"SetFormatFLACBits",
                                                {optional(44100L), optional(2L), optional(24L), optional(5L)}),
        // IAudioFile4
        method<&IAudioFile4::SetFormatAAC>(id::SetFormatAAC, u"SetFormatAAC",
                                           {optional(44100L), optional(2L), optional(256L)}),
        method<&IAudioFile4::SetFormatALAC>(id::SetFormatALAC, u"SetFormatALAC",
                                            {optional(44100L), optional(2L), optional(16L)}),
    };
    return table;
}

const com::ClassEntry& AudioFileObject::classEntry() {
    static const com::ClassEntry entry{
        .clsid = &CLSID_AudioFile,
        .create = &com::createInstance<AudioFileObject>,
        .description = "AudioFile Class",
        .progId = "QoroAudioFile.AudioFile.1",
        .versionIndependentProgId = "QoroAudioFile.AudioFile",
        .typeLib = &LIBID_QoroAudioFile,
        .extraKeys = {{"Programmable", ""}, {"Control", ""}},
    };
    return entry;
}

// --- files -------------------------------------------------------------------

HRESULT AudioFileObject::OpenFile(BSTR fileName, LONG FormatType, LONG Flag) {
    clearErrorInfo();
    guarded([&] { core_.openFile(com::utf8FromBstr(fileName), FormatType, Flag); });
    return S_OK;
}

HRESULT AudioFileObject::CloseFile() {
    clearErrorInfo();
    guarded([&] { core_.closeFile(); });
    return S_OK;
}

HRESULT AudioFileObject::CreateFile(BSTR fileName, LONG FormatType) {
    clearErrorInfo();
    guarded([&] { core_.createFile(com::utf8FromBstr(fileName), FormatType); });
    return S_OK;
}

HRESULT AudioFileObject::WriteFile(SAFEARRAY** WavArray) {
    clearErrorInfo();
    SAFEARRAY* sa = WavArray ? *WavArray : nullptr;
    if (!sa) {  // nothing to write: still the Status check
        core_.writeFile(nullptr, 0);
        return S_OK;
    }
    VARTYPE vt = VT_EMPTY;
    LONG lower = 0, upper = -1;
    if (SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetVartype(sa, &vt)) || (vt != VT_I2 && vt != VT_UI2) ||
        FAILED(SafeArrayGetLBound(sa, 1, &lower)) || FAILED(SafeArrayGetUBound(sa, 1, &upper))) {
        core_.writeFile(nullptr, 0);
        return S_OK;
    }
    void* data = nullptr;
    const long count = static_cast<long>(upper) - static_cast<long>(lower) + 1;
    if (count <= 0 || FAILED(SafeArrayAccessData(sa, &data))) {
        core_.writeFile(nullptr, 0);
        return S_OK;
    }
    guarded([&] { core_.writeFile(static_cast<const int16_t*>(data), count); });
    SafeArrayUnaccessData(sa);
    return S_OK;
}

HRESULT AudioFileObject::WriteSamples(SAFEARRAY** Samples) {
    clearErrorInfo();
    SAFEARRAY* sa = Samples ? *Samples : nullptr;
    VARTYPE vt = VT_EMPTY;
    LONG lower = 0, upper = -1;
    void* data = nullptr;
    if (!sa || SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetVartype(sa, &vt)) ||
        vt != elementType(core_.arraySampleKind()) || FAILED(SafeArrayGetLBound(sa, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(sa, 1, &upper)) || upper < lower || FAILED(SafeArrayAccessData(sa, &data))) {
        core_.writeSamples(nullptr, 0);  // still the Status check
        return S_OK;
    }
    const auto count = static_cast<size_t>(static_cast<long long>(upper) - lower + 1);
    guarded([&] { core_.writeSamples(data, count); });
    SafeArrayUnaccessData(sa);
    return S_OK;
}

HRESULT AudioFileObject::ReadSamples(LONGLONG nFrames, SAFEARRAY** Samples) {
    if (!Samples) return E_POINTER;
    clearErrorInfo();
    const long kind = core_.arraySampleKind();
    SafeArrayBytes samples(elementType(kind), bytesPerArraySample(static_cast<SampleKind>(kind)));
    guarded([&] { core_.readSamples(nFrames, samples); });
    *Samples = samples.release();
    return S_OK;
}

HRESULT AudioFileObject::SeekFrames(LONGLONG nFrames, LONG Origin, LONGLONG* Position) {
    clearErrorInfo();
    int64_t pos = 0;
    guarded([&] { pos = core_.seekFrames(nFrames, Origin); });
    if (Position) *Position = pos;
    return S_OK;
}

HRESULT AudioFileObject::SetFormatArrayKind(LONG Frequency, LONG nChannels, LONG SampleKind) {
    clearErrorInfo();
    guarded([&] { core_.setFormatArrayKind(Frequency, nChannels, SampleKind); });
    return S_OK;
}

HRESULT AudioFileObject::SetFormatPCMKind(LONG Frequency, LONG nChannels, LONG SampleKind, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatPCMKind(Frequency, nChannels, SampleKind));
}

HRESULT AudioFileObject::SetFormatFLACBits(LONG Frequency, LONG nChannels, LONG BitsPerSample, LONG Level,
                                           LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatFLACBits(Frequency, nChannels, BitsPerSample, Level));
}

HRESULT AudioFileObject::SetFormatAAC(LONG Frequency, LONG nChannels, LONG Bitrate, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatAAC(Frequency, nChannels, Bitrate));
}

HRESULT AudioFileObject::SetFormatALAC(LONG Frequency, LONG nChannels, LONG BitsPerSample, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatALAC(Frequency, nChannels, BitsPerSample));
}

HRESULT AudioFileObject::get_ArraySampleKind(LONG* pVal) { return put(pVal, core_.arraySampleKind()); }
HRESULT AudioFileObject::get_nFrames(LONGLONG* pVal) { return put(pVal, core_.nFrames()); }
HRESULT AudioFileObject::get_Position(LONGLONG* pVal) { return put(pVal, core_.position()); }
HRESULT AudioFileObject::get_ClippedSamples(LONGLONG* pVal) { return put(pVal, core_.clippedSamples()); }
HRESULT AudioFileObject::get_FileChannels(LONG* pVal) { return put(pVal, core_.fileChannels()); }
HRESULT AudioFileObject::get_FileSampleKind(LONG* pVal) { return put(pVal, core_.fileSampleKind()); }

HRESULT AudioFileObject::ReadFile(LONG nSamples, SAFEARRAY** WavArray) {
    if (!WavArray) return E_POINTER;
    clearErrorInfo();
    SafeArraySamples samples;
    guarded([&] { core_.readFile(nSamples, samples); });
    *WavArray = samples.release();
    return S_OK;
}

HRESULT AudioFileObject::SeekFile(LONG nSamples, LONG Origin, LONG* CurrentSamples) {
    clearErrorInfo();
    long pos = 0;
    guarded([&] { pos = core_.seekFile(nSamples, Origin); });
    if (CurrentSamples) *CurrentSamples = static_cast<LONG>(pos);
    return S_OK;
}

// --- properties ----------------------------------------------------------------

HRESULT AudioFileObject::get_nSamples(LONG* pVal) { return put(pVal, core_.nSamples()); }
HRESULT AudioFileObject::get_Frequency(LONG* pVal) { return put(pVal, core_.frequency()); }
HRESULT AudioFileObject::get_Status(SHORT* pVal) { return put(pVal, core_.status()); }
HRESULT AudioFileObject::get_nChannels(LONG* pVal) { return put(pVal, core_.nChannels()); }
HRESULT AudioFileObject::get_FormatString(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    const std::string& text = core_.formatString();
    *pVal = com::bstrFromUtf8(std::string_view(text).substr(0, 1023));
    return S_OK;
}
HRESULT AudioFileObject::get_BitsPerSample(LONG* pVal) { return put(pVal, core_.bitsPerSample()); }
HRESULT AudioFileObject::get_Bitrate(LONG* pVal) { return put(pVal, core_.bitrate()); }
HRESULT AudioFileObject::get_Duration(LONG* pVal) { return put(pVal, core_.duration()); }
HRESULT AudioFileObject::get_LastErrorNum(LONG* pVal) { return put(pVal, core_.lastError()); }
HRESULT AudioFileObject::get_ArrayChannels(LONG* pVal) { return put(pVal, core_.arrayChannels()); }
HRESULT AudioFileObject::get_ArrayFrequency(LONG* pVal) { return put(pVal, core_.arrayFrequency()); }
HRESULT AudioFileObject::get_FormatTag(LONG* pVal) { return put(pVal, core_.formatTag()); }
HRESULT AudioFileObject::get_G723Bitrate(LONG* pVal) { return put(pVal, core_.g723Bitrate()); }
HRESULT AudioFileObject::get_G726Bitrate(LONG* pVal) { return put(pVal, core_.g726Bitrate()); }
HRESULT AudioFileObject::get_RawTypeCompress(LONG* pVal) { return put(pVal, core_.rawTypeCompress()); }

HRESULT AudioFileObject::get_FastMP3Analysis(BOOL* pVal) { return put(pVal, core_.fastMp3Analysis() ? 1 : 0); }
HRESULT AudioFileObject::put_FastMP3Analysis(BOOL newVal) {
    core_.setFastMp3Analysis(newVal != 0);
    return S_OK;
}
HRESULT AudioFileObject::get_ResampleQuality(LONG* pVal) { return put(pVal, core_.resampleQuality()); }
HRESULT AudioFileObject::put_ResampleQuality(LONG newVal) {
    guarded([&] { core_.setResampleQuality(newVal); });
    return S_OK;
}
HRESULT AudioFileObject::get_Dither(LONG* pVal) { return put(pVal, core_.dither()); }
HRESULT AudioFileObject::put_Dither(LONG newVal) {
    guarded([&] { core_.setDither(newVal); });
    return S_OK;
}
HRESULT AudioFileObject::get_WmaFormatEnabled(BOOL* pVal) { return put(pVal, core_.wmaFormatEnabled() ? 1 : 0); }
HRESULT AudioFileObject::put_WmaFormatEnabled(BOOL newVal) {
    core_.setWmaFormatEnabled(newVal != 0);
    return S_OK;
}
HRESULT AudioFileObject::get_Mp3TypeEncoder(LONG* pVal) { return put(pVal, core_.mp3TypeEncoder()); }
HRESULT AudioFileObject::put_Mp3TypeEncoder(LONG newVal) {
    core_.setMp3TypeEncoder(newVal);
    return S_OK;
}
HRESULT AudioFileObject::get_Mp3TypeDecoder(LONG* pVal) { return put(pVal, core_.mp3TypeDecoder()); }
HRESULT AudioFileObject::put_Mp3TypeDecoder(LONG newVal) {
    core_.setMp3TypeDecoder(newVal);
    return S_OK;
}
HRESULT AudioFileObject::get_Mp3LameEncoder(IAudioFileLameMp3Encoder** pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    if (!encoder_) return S_OK;
    encoder_->QueryInterface(IID_IAudioFileLameMp3Encoder, reinterpret_cast<void**>(pVal));
    return S_OK;
}

// --- output formats --------------------------------------------------------------

HRESULT AudioFileObject::SetFormatMP3(LONG Frequency, LONG Bitrate, LONG nChannels, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatMP3(Frequency, Bitrate, nChannels));
}
HRESULT AudioFileObject::SetFormatRAW(LONG TypeCompress, LONG Frequency, LONG nChannels, LONG BitsPerSample,
                                      LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatRAW(TypeCompress, Frequency, nChannels, BitsPerSample));
}
HRESULT AudioFileObject::SetFormatADPCM(LONG Frequency, LONG nChannels, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatADPCM(Frequency, nChannels));
}
HRESULT AudioFileObject::SetFormatGSM(LONG Frequency, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatGSM(Frequency));
}
HRESULT AudioFileObject::SetFormatVOX(LONG Frequency, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatVOX(Frequency));
}
HRESULT AudioFileObject::SetFormatPCM(LONG Frequency, LONG nChannels, LONG BitsPerSample, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatPCM(Frequency, nChannels, BitsPerSample));
}
HRESULT AudioFileObject::SetFormatArray(LONG Frequency, LONG nChannels) {
    guarded([&] { core_.setFormatArray(Frequency, nChannels); });
    return S_OK;
}
HRESULT AudioFileObject::SetFormatFromMenu(LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatFromMenu());
}
HRESULT AudioFileObject::SetFormatLikeSample(BSTR fileName, LONG* BlockAlign) {
    clearErrorInfo();
    long align = 0;
    guarded([&] { align = core_.setFormatLikeSample(com::utf8FromBstr(fileName)); });
    return blockAlign(BlockAlign, align);
}
HRESULT AudioFileObject::SetFormatDSP(LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatDSP());
}
HRESULT AudioFileObject::SetFormatALAW(LONG Frequency, LONG nChannels, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatALAW(Frequency, nChannels));
}
HRESULT AudioFileObject::SetFormatALF2CD(LONG Bitrate, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatALF2CD(Bitrate));
}
HRESULT AudioFileObject::SetFormatG723(LONG Frequency, LONG Bitrate, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatG723(Frequency, Bitrate));
}
HRESULT AudioFileObject::SetFormatULAW(LONG Frequency, LONG nChannels, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatULAW(Frequency, nChannels));
}
HRESULT AudioFileObject::SetFormatG726(LONG Frequency, LONG Bitrate, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatG726(Frequency, Bitrate));
}
HRESULT AudioFileObject::SetFormatMobileVoice(LONG Frequency, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatMobileVoice(Frequency));
}
HRESULT AudioFileObject::SetFormatOggVorbis(LONG Frequency, LONG nChannels, LONG NominalBitrate, LONG MinBitrate,
                                            LONG MaxBitrate, SHORT Quality, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign,
                      core_.setFormatOggVorbis(Frequency, nChannels, NominalBitrate, MinBitrate, MaxBitrate, Quality));
}
HRESULT AudioFileObject::SetFormatG721(LONG Frequency, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatG721(Frequency));
}
HRESULT AudioFileObject::SetFormatWMA(LONG, LONG*) {
    // Without the WMA codec component nothing happens, BlockAlign included.
    return S_OK;
}
HRESULT AudioFileObject::SetFormatMP2(LONG Frequency, LONG Bitrate, SHORT nChannels, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatMP2(Frequency, Bitrate, nChannels));
}

HRESULT AudioFileObject::SetFormatFLAC(LONG Frequency, LONG nChannels, LONG Level, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatFLAC(Frequency, nChannels, Level));
}
HRESULT AudioFileObject::SetFormatOpus(LONG nChannels, LONG Bitrate, LONG Complexity, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign, core_.setFormatOpus(nChannels, Bitrate, Complexity));
}
HRESULT AudioFileObject::SetFormatVorbis(LONG Frequency, LONG nChannels, LONG NominalBitrate, LONG MinBitrate,
                                         LONG MaxBitrate, SHORT Quality, LONG* BlockAlign) {
    clearErrorInfo();
    return blockAlign(BlockAlign,
                      core_.setFormatVorbis(Frequency, nChannels, NominalBitrate, MinBitrate, MaxBitrate, Quality));
}

}  // namespace qoro::audiofile
