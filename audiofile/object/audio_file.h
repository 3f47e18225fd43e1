// The AudioFile automation object: IAudioFile, IAudioFile2 (IAudioFile and
// the FLAC and Opus output formats after it) and IAudioFile3 (IAudioFile2 and
// the resample quality after it), one vtable for all three,
// through their vtable and through IDispatch (a table of members with their
// DISPIDs and argument defaults),
// and the _IAudioFileEvents.Error event through a connection point. All the
// work is done by AudioFileCore; this class converts automation values.
//
// Failures are reported as the interface has always reported them: the
// member returns S_OK, LastErrorNum holds the ErrorConstants code and the
// Error event fires. With them the member sets this thread's error
// information (SetErrorInfo; ISupportErrorInfo says so for IAudioFile): its
// description is the cause in words, for a caller that wants to say why
// ("No such file or directory", "the file is empty", "not an audio file of
// this type", "No space left on device"). A member that can fail clears it
// first, so what GetErrorInfo finds after a failure is that failure's.
#pragma once

#include "object/audio_file_core.h"
#include "object/audio_file_lame_mp3_encoder.h"
#include "qoro/AudioFile.h"
#include "qoro/com_server.h"

namespace qoro::audiofile {

class AudioFileObject final
    : public com::Object<AudioFileObject, com::Iface<IAudioFile4, IID_IAudioFile4>,
                         com::Iface<ISupportErrorInfo, IID_ISupportErrorInfo>, com::Events<DIID__IAudioFileEvents>>,
      private ErrorSink {
public:
    AudioFileObject();
    ~AudioFileObject() override;

    static const com::DispatchTable& dispatchTable();

    // The class as the component module lists and registers it.
    static const com::ClassEntry& classEntry();

    HRESULT OpenFile(BSTR fileName, LONG FormatType, LONG Flag) override;
    HRESULT CloseFile() override;
    HRESULT CreateFile(BSTR fileName, LONG FormatType) override;
    HRESULT WriteFile(SAFEARRAY** WavArray) override;
    HRESULT ReadFile(LONG nSamples, SAFEARRAY** WavArray) override;
    HRESULT SeekFile(LONG nSamples, LONG Origin, LONG* CurrentSamples) override;
    HRESULT get_nSamples(LONG* pVal) override;
    HRESULT get_Frequency(LONG* pVal) override;
    HRESULT get_Status(SHORT* pVal) override;
    HRESULT get_nChannels(LONG* pVal) override;
    HRESULT get_FormatString(BSTR* pVal) override;
    HRESULT get_BitsPerSample(LONG* pVal) override;
    HRESULT get_Bitrate(LONG* pVal) override;
    HRESULT get_Duration(LONG* pVal) override;
    HRESULT get_LastErrorNum(LONG* pVal) override;
    HRESULT get_ArrayChannels(LONG* pVal) override;
    HRESULT get_ArrayFrequency(LONG* pVal) override;
    HRESULT get_FormatTag(LONG* pVal) override;
    HRESULT get_G723Bitrate(LONG* pVal) override;
    HRESULT get_G726Bitrate(LONG* pVal) override;
    HRESULT get_RawTypeCompress(LONG* pVal) override;
    HRESULT SetFormatMP3(LONG Frequency, LONG Bitrate, LONG nChannels, LONG* BlockAlign) override;
    HRESULT SetFormatRAW(LONG TypeCompress, LONG Frequency, LONG nChannels, LONG BitsPerSample,
                         LONG* BlockAlign) override;
    HRESULT SetFormatADPCM(LONG Frequency, LONG nChannels, LONG* BlockAlign) override;
    HRESULT SetFormatGSM(LONG Frequency, LONG* BlockAlign) override;
    HRESULT SetFormatVOX(LONG Frequency, LONG* BlockAlign) override;
    HRESULT SetFormatPCM(LONG Frequency, LONG nChannels, LONG BitsPerSample, LONG* BlockAlign) override;
    HRESULT SetFormatArray(LONG Frequency, LONG nChannels) override;
    HRESULT SetFormatFromMenu(LONG* BlockAlign) override;
    HRESULT SetFormatLikeSample(BSTR fileName, LONG* BlockAlign) override;
    HRESULT SetFormatDSP(LONG* BlockAlign) override;
    HRESULT SetFormatALAW(LONG Frequency, LONG nChannels, LONG* BlockAlign) override;
    HRESULT SetFormatALF2CD(LONG Bitrate, LONG* BlockAlign) override;
    HRESULT SetFormatG723(LONG Frequency, LONG Bitrate, LONG* BlockAlign) override;
    HRESULT SetFormatULAW(LONG Frequency, LONG nChannels, LONG* BlockAlign) override;
    HRESULT SetFormatG726(LONG Frequency, LONG Bitrate, LONG* BlockAlign) override;
    HRESULT SetFormatMobileVoice(LONG Frequency, LONG* BlockAlign) override;
    HRESULT SetFormatOggVorbis(LONG Frequency, LONG nChannels, LONG NominalBitrate, LONG MinBitrate, LONG MaxBitrate,
                               SHORT Quality, LONG* BlockAlign) override;
    HRESULT SetFormatG721(LONG Frequency, LONG* BlockAlign) override;
    HRESULT SetFormatWMA(LONG Profile, LONG* BlockAlign) override;
    HRESULT SetFormatMP2(LONG Frequency, LONG Bitrate, SHORT nChannels, LONG* BlockAlign) override;
    HRESULT get_FastMP3Analysis(BOOL* pVal) override;
    HRESULT put_FastMP3Analysis(BOOL newVal) override;
    HRESULT get_WmaFormatEnabled(BOOL* pVal) override;
    HRESULT put_WmaFormatEnabled(BOOL newVal) override;
    HRESULT get_Mp3TypeEncoder(LONG* pVal) override;
    HRESULT put_Mp3TypeEncoder(LONG newVal) override;
    HRESULT get_Mp3TypeDecoder(LONG* pVal) override;
    HRESULT put_Mp3TypeDecoder(LONG newVal) override;
    HRESULT get_Mp3LameEncoder(IAudioFileLameMp3Encoder** pVal) override;
    HRESULT SetFormatFLAC(LONG Frequency, LONG nChannels, LONG Level, LONG* BlockAlign) override;
    HRESULT SetFormatOpus(LONG nChannels, LONG Bitrate, LONG Complexity, LONG* BlockAlign) override;
    HRESULT get_ResampleQuality(LONG* pVal) override;
    HRESULT put_ResampleQuality(LONG newVal) override;
    HRESULT get_Dither(LONG* pVal) override;
    HRESULT put_Dither(LONG newVal) override;
    HRESULT SetFormatVorbis(LONG Frequency, LONG nChannels, LONG NominalBitrate, LONG MinBitrate, LONG MaxBitrate,
                            SHORT Quality, LONG* BlockAlign) override;
    HRESULT SetFormatArrayKind(LONG Frequency, LONG nChannels, LONG SampleKind) override;
    HRESULT get_ArraySampleKind(LONG* pVal) override;
    HRESULT ReadSamples(LONGLONG nFrames, SAFEARRAY** Samples) override;
    HRESULT WriteSamples(SAFEARRAY** Samples) override;
    HRESULT get_nFrames(LONGLONG* pVal) override;
    HRESULT get_Position(LONGLONG* pVal) override;
    HRESULT SeekFrames(LONGLONG nFrames, LONG Origin, LONGLONG* Position) override;
    HRESULT get_ClippedSamples(LONGLONG* pVal) override;
    HRESULT get_FileChannels(LONG* pVal) override;
    HRESULT get_FileSampleKind(LONG* pVal) override;
    HRESULT SetFormatPCMKind(LONG Frequency, LONG nChannels, LONG SampleKind, LONG* BlockAlign) override;
    HRESULT SetFormatFLACBits(LONG Frequency, LONG nChannels, LONG BitsPerSample, LONG Level,
                              LONG* BlockAlign) override;
    HRESULT SetFormatAAC(LONG Frequency, LONG nChannels, LONG Bitrate, LONG* BlockAlign) override;
    HRESULT SetFormatALAC(LONG Frequency, LONG nChannels, LONG BitsPerSample, LONG* BlockAlign) override;

    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

    // IAudioFile, IAudioFile2 and IAudioFile3: the first slots of IAudioFile4's vtable.
    HRESULT queryExtra(REFIID riid, void** ppv);

private:
    void fireError(long code, const std::string& cause) override;
    // Runs a member's work; running out of memory in it is reported as
    // MEMORY, never thrown across the interface.
    template <class Work>
    void guarded(Work&& work);

    AudioFileCore core_;
    com::ComPtr<AudioFileLameMp3Encoder> encoder_;
};

}  // namespace qoro::audiofile
