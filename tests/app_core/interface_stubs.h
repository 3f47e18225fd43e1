// Bases for test doubles of the component interfaces: IUnknown and IDispatch
// work, every interface member answers E_NOTIMPL until a fake overrides it.
#pragma once

#include <atomic>

#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"

namespace quillet::test {

template <class Interface>
class DispatchStub : public Interface {
public:
    HRESULT QueryInterface(REFIID, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_; }  // owned by the test, never deleted here
    HRESULT GetTypeInfoCount(UINT* n) override {
        if (n) *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    ULONG references() const { return refs_; }

private:
    std::atomic<ULONG> refs_{1};
};

class AudioFileStub : public DispatchStub<IAudioFile> {
public:
    HRESULT OpenFile(BSTR, LONG, LONG) override { return E_NOTIMPL; }
    HRESULT CloseFile() override { return E_NOTIMPL; }
    HRESULT CreateFile(BSTR, LONG) override { return E_NOTIMPL; }
    HRESULT WriteFile(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT ReadFile(LONG, SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT SeekFile(LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT get_nSamples(LONG*) override { return E_NOTIMPL; }
    HRESULT get_Frequency(LONG*) override { return E_NOTIMPL; }
    HRESULT get_Status(SHORT*) override { return E_NOTIMPL; }
    HRESULT get_nChannels(LONG*) override { return E_NOTIMPL; }
    HRESULT get_FormatString(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_BitsPerSample(LONG*) override { return E_NOTIMPL; }
    HRESULT get_Bitrate(LONG*) override { return E_NOTIMPL; }
    HRESULT get_Duration(LONG*) override { return E_NOTIMPL; }
    HRESULT get_LastErrorNum(LONG*) override { return E_NOTIMPL; }
    HRESULT get_ArrayChannels(LONG*) override { return E_NOTIMPL; }
    HRESULT get_ArrayFrequency(LONG*) override { return E_NOTIMPL; }
    HRESULT get_FormatTag(LONG*) override { return E_NOTIMPL; }
    HRESULT get_G723Bitrate(LONG*) override { return E_NOTIMPL; }
    HRESULT get_G726Bitrate(LONG*) override { return E_NOTIMPL; }
    HRESULT get_RawTypeCompress(LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatMP3(LONG, LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatRAW(LONG, LONG, LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatADPCM(LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatGSM(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatVOX(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatPCM(LONG, LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatArray(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT SetFormatFromMenu(LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatLikeSample(BSTR, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatDSP(LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatALAW(LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatALF2CD(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatG723(LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatULAW(LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatG726(LONG, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatMobileVoice(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatOggVorbis(LONG, LONG, LONG, LONG, LONG, SHORT, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatG721(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatWMA(LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT SetFormatMP2(LONG, LONG, SHORT, LONG*) override { return E_NOTIMPL; }
    HRESULT get_FastMP3Analysis(BOOL*) override { return E_NOTIMPL; }
    HRESULT put_FastMP3Analysis(BOOL) override { return E_NOTIMPL; }
    HRESULT get_WmaFormatEnabled(BOOL*) override { return E_NOTIMPL; }
    HRESULT put_WmaFormatEnabled(BOOL) override { return E_NOTIMPL; }
    HRESULT get_Mp3TypeEncoder(LONG*) override { return E_NOTIMPL; }
    HRESULT put_Mp3TypeEncoder(LONG) override { return E_NOTIMPL; }
    HRESULT get_Mp3TypeDecoder(LONG*) override { return E_NOTIMPL; }
    HRESULT put_Mp3TypeDecoder(LONG) override { return E_NOTIMPL; }
    HRESULT get_Mp3LameEncoder(IAudioFileLameMp3Encoder**) override { return E_NOTIMPL; }
};

class AudioInformationStub : public DispatchStub<IAudioInformation> {
public:
    HRESULT GetAudioInformation(BSTR) override { return E_NOTIMPL; }
    HRESULT SetAudioInformation(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoFrequency(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoBitrate(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoDuration(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoSize(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoSamples(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoChannels(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoBitsPerSample(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoFormatTag(LONG*) override { return E_NOTIMPL; }
    HRESULT get_infoFormatString(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_infoType(SHORT*) override { return E_NOTIMPL; }
    HRESULT GenreToString(SHORT, BSTR*) override { return E_NOTIMPL; }
    HRESULT get_infoAlbum(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoAlbum(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoArtist(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoArtist(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoComments(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoComments(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoCopyright(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoCopyright(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoGenre(SHORT*) override { return E_NOTIMPL; }
    HRESULT put_infoGenre(SHORT) override { return E_NOTIMPL; }
    HRESULT get_infoTitle(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoTitle(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoYear(LONG*) override { return E_NOTIMPL; }
    HRESULT put_infoYear(LONG) override { return E_NOTIMPL; }
    HRESULT get_infoURL(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoURL(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoTrack(SHORT*) override { return E_NOTIMPL; }
    HRESULT put_infoTrack(SHORT) override { return E_NOTIMPL; }
    HRESULT get_infoEncodedBy(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoEncodedBy(BSTR) override { return E_NOTIMPL; }
    HRESULT get_infoComposer(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_infoComposer(BSTR) override { return E_NOTIMPL; }
    HRESULT IsWavFile(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT IsMp3File(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT IsOggVorbisFile(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT IsMp2File(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT IsMpPlusFile(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT IsAviFile(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT IsAudioFile(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT IsInfoSupport(BSTR, BOOL*) override { return E_NOTIMPL; }
    HRESULT get_mp3FastAnalysis(BOOL*) override { return E_NOTIMPL; }
    HRESULT put_mp3FastAnalysis(BOOL) override { return E_NOTIMPL; }
    HRESULT get_mp3TagInfoVersion(SHORT*) override { return E_NOTIMPL; }
    HRESULT put_mp3TagInfoVersion(SHORT) override { return E_NOTIMPL; }
    HRESULT InsertCue(LONG, LONG, BSTR, BSTR, BSTR, SHORT, SHORT, SHORT, SHORT) override { return E_NOTIMPL; }
    HRESULT DeleteCue() override { return E_NOTIMPL; }
    HRESULT get_cueCount(LONG*) override { return E_NOTIMPL; }
    HRESULT get_cueNum(LONG*) override { return E_NOTIMPL; }
    HRESULT put_cueNum(LONG) override { return E_NOTIMPL; }
    HRESULT get_cuePosition(LONG*) override { return E_NOTIMPL; }
    HRESULT put_cuePosition(LONG) override { return E_NOTIMPL; }
    HRESULT get_cueLength(LONG*) override { return E_NOTIMPL; }
    HRESULT put_cueLength(LONG) override { return E_NOTIMPL; }
    HRESULT get_cueLabel(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_cueLabel(BSTR) override { return E_NOTIMPL; }
    HRESULT get_cueNote(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_cueNote(BSTR) override { return E_NOTIMPL; }
    HRESULT get_cueText(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_cueText(BSTR) override { return E_NOTIMPL; }
    HRESULT get_cueLanguage(SHORT*) override { return E_NOTIMPL; }
    HRESULT put_cueLanguage(SHORT) override { return E_NOTIMPL; }
    HRESULT get_cueCountry(SHORT*) override { return E_NOTIMPL; }
    HRESULT put_cueCountry(SHORT) override { return E_NOTIMPL; }
    HRESULT get_cueDialect(SHORT*) override { return E_NOTIMPL; }
    HRESULT put_cueDialect(SHORT) override { return E_NOTIMPL; }
    HRESULT get_cueCodePage(SHORT*) override { return E_NOTIMPL; }
    HRESULT put_cueCodePage(SHORT) override { return E_NOTIMPL; }
};

}  // namespace quillet::test
