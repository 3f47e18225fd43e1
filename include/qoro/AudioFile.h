// QoroAudioFile: the public interface of the audio file component.
//
// The AudioFile object opens, decodes, creates and encodes audio files and
// exchanges blocks of 16-bit samples with its caller; AudioFileLameMp3Encoder
// tunes the MP3 encoder settings of the AudioFile that hands it out.
//
// This is the binding MIDL would generate for the component's type library:
// properties are get_Name(T*) / put_Name(T), a method's [out, retval] result is
// its last pointer parameter, every optional argument is present in the vtable
// (the defaults noted beside each member apply to late-bound callers through
// IDispatch), members stand in their vtable slot order after the seven
// IDispatch slots. Enumerated values travel as LONG (the enumerations below are
// 32-bit), 16-bit values as SHORT, text as BSTR, and the sample array as a
// SAFEARRAY of VT_I2. Every member returns S_OK; failures are reported through
// LastErrorNum and the _IAudioFileEvents.Error event.
//
//   IAudioFile* af = nullptr;
//   CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER,
//                    IID_IAudioFile, reinterpret_cast<void**>(&af));
//   BSTR name = SysAllocString(u"in.wav");
//   af->OpenFile(name, DEFAULT, READ);
//   SAFEARRAY* block = nullptr;
//   af->ReadFile(4410, &block);          // caller owns the array
//   LONG err = NOERRORS;
//   af->get_LastErrorNum(&err);
//   SafeArrayDestroy(block);
//   af->CloseFile();
//   SysFreeString(name);
//   af->Release();
//
// The identifiers below are fixed for good: stored registrations and every
// client rely on them.
#pragma once

#include "qoro/com.h"

// ---------------------------------------------------------------------------
// Enumerations of the type library (32-bit constants).

// Container/codec of a file.
enum FormatTypeConstants : LONG {
    DEFAULT = 0,  // choose by file-name extension
    WAV = 1,
    MP3 = 2,
    VOX = 3,
    RAW = 4,
    G726 = 5,
    OGG = 6,
    G721 = 7,
    G723 = 8,
    AVI = 9,
    MPC = 10,
    MP2 = 12,  // declared before WMA in the type library
    WMA = 11,
    FLAC = 13,  // IAudioFile2
    OPUS = 14,  // IAudioFile2
    AIFF = 15,  // AIFF and AIFF-C
    // Read through the media plug-in (WMA and Musepack SV8 too, under WMA
    // and MPC): refused with the package to install when it is absent.
    M4A = 16,       // MP4 audio: AAC, ALAC
    WAVPACK = 17,
    APE = 18,       // Monkey's Audio
    TTA = 19,
    DSD = 20,       // DSF and DSDIFF, decoded to 88200 Hz
    MATROSKA = 21,  // Matroska and WebM audio
    AC3 = 22,       // AC-3 and E-AC-3
    ADTS = 23,      // AAC in ADTS frames
    OGGFLAC = 24,   // FLAC in Ogg
    // Written through the media plug-in (IAudioFile4): M4A is AAC-LC when
    // created, ALAC the lossless M4A.
    ALAC = 25,
};

// Values of LastErrorNum and of the Error event.
enum ErrorConstants : LONG {
    NOERRORS = 0,
    BUSY = -10,
    MEMORY = -11,
    FORMATFILE = -12,
    FORMATNOTSUPPORT = -13,
    OUTDRIVER = -14,
    INPDRIVER = -15,
    MIXERDRIVER = -16,
    ACMDRIVER = -17,
    FILEACCESS = -18,
    INVALIDOPERATION = -19,
    INVALIDPARAM = -20,
    ASPIDRIVER = -21,
};

enum FlagOpen : LONG {
    READ = 1,
    READWRITE = 2,
};

enum FileSeekConstants : LONG {
    CURRENT_POS = 1,
    END_POS = 2,
    BEGIN_POS = 3,
};

// Sample rates in Hz.
enum FrequencyConstants : LONG {
    FQ_96_KHZ = 96000,
    FQ_88_KHZ = 88200,
    FQ_48_KHZ = 48000,
    FQ_44_KHZ = 44100,
    FQ_32_KHZ = 32000,
    FQ_24_KHZ = 24000,
    FQ_22_KHZ = 22050,
    FQ_16_KHZ = 16000,
    FQ_12_KHZ = 12000,
    FQ_11_KHZ = 11025,
    FQ_8_KHZ = 8000,
    FQ_6_KHZ = 6000,
};

enum ChannelsConstants : LONG {
    MONO = 1,
    STEREO = 2,
};

enum BitsPerSampleConstants : LONG {
    BPS_8_BIT = 8,
    BPS_16_BIT = 16,
};

// MPEG bitrates in kbit/s.
enum MpegBitrateConstants : LONG {
    BR_320_KBPS = 320,
    BR_256_KBPS = 256,
    BR_224_KBPS = 224,
    BR_192_KBPS = 192,
    BR_160_KBPS = 160,
    BR_128_KBPS = 128,
    BR_112_KBPS = 112,
    BR_96_KBPS = 96,
    BR_80_KBPS = 80,
    BR_64_KBPS = 64,
    BR_56_KBPS = 56,
    BR_48_KBPS = 48,
    BR_40_KBPS = 40,
    BR_32_KBPS = 32,
    BR_24_KBPS = 24,
    BR_16_KBPS = 16,
    BR_8_KBPS = 8,
    BR_NONE = 0,
};

enum Mp3EncoderConstants : LONG {
    ACM_DRIVER_IN = 1,  // the codec manager's MPEG Layer-3 encoder
    LAME = 2,           // the LAME encoder library
};

enum Mp3DecoderConstants : LONG {
    ACM_DRIVER_OUT = 1,  // the codec manager's MPEG Layer-3 decoder
    X_AUDIO = 2,         // the component's own MPEG decoder
};

enum Mp3LameMethodConstants : LONG {
    VBR_NONE = -1,
    VBR_DEFAULT = 0,
    VBR_OLD = 1,
    VBR_NEW = 2,
    VBR_MTRH = 3,
    VBR_ABR = 4,
};

enum Mp3LameTypeStereoConstants : LONG {
    SIMPLY = 1,
    JOINTSTEREO = 2,
    FORCEDJOINTSTEREO = 3,
    DUALCHANNEL = 4,
};

enum RawTypeCompressConstants : LONG {
    PCM = 1,
    ALAW = 2,
    ULAW = 3,
    GSM = 4,
    IMA_ADPCM = 5,
    MS_ADPCM = 6,
};

enum G723BitrateConstants : LONG {
    G723_24_KBPS = 1,
    G723_40_KBPS = 2,
};

enum G726BitrateConstants : LONG {
    G726_16_KBPS = 1,
    G726_24_KBPS = 2,
    G726_32_KBPS = 3,
    G726_40_KBPS = 4,
};

enum ALF2CDBitrateConstants : LONG {
    ALF2CD_256_KBPS = 1,
    ALF2CD_320_KBPS = 2,
    ALF2CD_384_KBPS = 3,
    ALF2CD_512_KBPS = 4,
};

// Ogg Vorbis bitrates in kbit/s.
enum OggBitrateConstants : LONG {
    OGG_NONE = -1,
    OGG_350_KBPS = 350,
    OGG_256_KBPS = 256,
    OGG_192_KBPS = 192,
    OGG_160_KBPS = 160,
    OGG_128_KBPS = 128,
    OGG_112_KBPS = 112,
};

// ---------------------------------------------------------------------------
// Identifiers.

// {62235C7D-9068-4041-88E7-76308E45F573}
inline constexpr GUID LIBID_QoroAudioFile = {
    0x62235c7d, 0x9068, 0x4041, {0x88, 0xe7, 0x76, 0x30, 0x8e, 0x45, 0xf5, 0x73}};
// {CB4DA45B-0A47-42D3-B467-D6185AE7940A}
inline constexpr CLSID CLSID_AudioFile = {
    0xcb4da45b, 0x0a47, 0x42d3, {0xb4, 0x67, 0xd6, 0x18, 0x5a, 0xe7, 0x94, 0x0a}};
// {FC199E4F-F9A5-4D6A-BD30-6AA06D196288}
inline constexpr IID IID_IAudioFile = {
    0xfc199e4f, 0xf9a5, 0x4d6a, {0xbd, 0x30, 0x6a, 0xa0, 0x6d, 0x19, 0x62, 0x88}};
// {9E7ADB6D-2DF0-40EA-864E-A3049B5AF275}
inline constexpr IID IID_IAudioFile2 = {
    0x9e7adb6d, 0x2df0, 0x40ea, {0x86, 0x4e, 0xa3, 0x04, 0x9b, 0x5a, 0xf2, 0x75}};
// {18E22B9A-7016-4E13-BC17-1284B89EF89F}
inline constexpr IID IID_IAudioFile3 = {
    0x18e22b9a, 0x7016, 0x4e13, {0xbc, 0x17, 0x12, 0x84, 0xb8, 0x9e, 0xf8, 0x9f}};
// {5B0E6C3D-8A41-4F27-9D6E-2C7A14F0B953}
inline constexpr IID IID_IAudioFile4 = {
    0x5b0e6c3d, 0x8a41, 0x4f27, {0x9d, 0x6e, 0x2c, 0x7a, 0x14, 0xf0, 0xb9, 0x53}};
// {8BDC4CE4-B318-4BF6-AAFD-4B39F5DC56CE}
inline constexpr IID DIID__IAudioFileEvents = {
    0x8bdc4ce4, 0xb318, 0x4bf6, {0xaa, 0xfd, 0x4b, 0x39, 0xf5, 0xdc, 0x56, 0xce}};
// {8A26807C-4570-4CD8-94C6-FFAAB032AC50}
inline constexpr CLSID CLSID_AudioFileLameMp3Encoder = {
    0x8a26807c, 0x4570, 0x4cd8, {0x94, 0xc6, 0xff, 0xaa, 0xb0, 0x32, 0xac, 0x50}};
// {75BED8D9-B118-42AB-B3E7-B48C60970C2B}
inline constexpr IID IID_IAudioFileLameMp3Encoder = {
    0x75bed8d9, 0xb118, 0x42ab, {0xb3, 0xe7, 0xb4, 0x8c, 0x60, 0x97, 0x0c, 0x2b}};
// {26FC3ABC-892A-4B90-B581-B6968CE4DB71}
inline constexpr CLSID CLSID_AudioFileFormats = {
    0x26fc3abc, 0x892a, 0x4b90, {0xb5, 0x81, 0xb6, 0x96, 0x8c, 0xe4, 0xdb, 0x71}};
// {6599C595-26CB-4AEC-A2D6-C2FBB1040FE3}
inline constexpr IID IID_IAudioFileFormats = {
    0x6599c595, 0x26cb, 0x4aec, {0xa2, 0xd6, 0xc2, 0xfb, 0xb1, 0x04, 0x0f, 0xe3}};

// Programmatic identifiers (version-dependent and version-independent).
inline constexpr const OLECHAR* PROGID_AudioFile = u"QoroAudioFile.AudioFile.1";
inline constexpr const OLECHAR* PROGID_AudioFile_VI = u"QoroAudioFile.AudioFile";
inline constexpr const OLECHAR* PROGID_AudioFileLameMp3Encoder =
    u"QoroAudioFile.AudioFileLameMp3Encoder.1";
inline constexpr const OLECHAR* PROGID_AudioFileLameMp3Encoder_VI =
    u"QoroAudioFile.AudioFileLameMp3Encoder";
inline constexpr const OLECHAR* PROGID_AudioFileFormats = u"QoroAudioFile.Formats.1";
inline constexpr const OLECHAR* PROGID_AudioFileFormats_VI = u"QoroAudioFile.Formats";

// ---------------------------------------------------------------------------
// Dispatch identifiers, so dispatch tables, scripts and tests use names.

namespace qoro::dispid {

namespace AudioFile {
inline constexpr DISPID OpenFile = 1;
inline constexpr DISPID CloseFile = 2;
inline constexpr DISPID CreateFile = 3;
inline constexpr DISPID WriteFile = 4;
inline constexpr DISPID ReadFile = 5;
inline constexpr DISPID SeekFile = 6;
inline constexpr DISPID nSamples = 10;
inline constexpr DISPID Frequency = 11;
inline constexpr DISPID Status = 12;
inline constexpr DISPID nChannels = 13;
inline constexpr DISPID FormatString = 14;
inline constexpr DISPID BitsPerSample = 16;
inline constexpr DISPID Bitrate = 17;
inline constexpr DISPID Duration = 18;
inline constexpr DISPID LastErrorNum = 19;
inline constexpr DISPID ArrayChannels = 20;
inline constexpr DISPID ArrayFrequency = 21;
inline constexpr DISPID FormatTag = 22;
inline constexpr DISPID G723Bitrate = 25;
inline constexpr DISPID G726Bitrate = 26;
inline constexpr DISPID RawTypeCompress = 27;
inline constexpr DISPID SetFormatMP3 = 40;
inline constexpr DISPID SetFormatRAW = 41;
inline constexpr DISPID SetFormatADPCM = 42;
inline constexpr DISPID SetFormatGSM = 43;
inline constexpr DISPID SetFormatVOX = 44;
inline constexpr DISPID SetFormatPCM = 45;
inline constexpr DISPID SetFormatArray = 46;
inline constexpr DISPID SetFormatFromMenu = 47;
inline constexpr DISPID SetFormatLikeSample = 48;
inline constexpr DISPID SetFormatDSP = 49;
inline constexpr DISPID SetFormatALAW = 50;
inline constexpr DISPID SetFormatALF2CD = 51;
inline constexpr DISPID SetFormatG723 = 52;
inline constexpr DISPID SetFormatULAW = 53;
inline constexpr DISPID SetFormatG726 = 54;
inline constexpr DISPID SetFormatMobileVoice = 55;
inline constexpr DISPID SetFormatOggVorbis = 56;
inline constexpr DISPID SetFormatG721 = 57;
inline constexpr DISPID SetFormatWMA = 58;
inline constexpr DISPID SetFormatMP2 = 59;
inline constexpr DISPID FastMP3Analysis = 60;
inline constexpr DISPID WmaFormatEnabled = 70;
inline constexpr DISPID Mp3TypeEncoder = 71;
inline constexpr DISPID Mp3TypeDecoder = 72;
inline constexpr DISPID Mp3LameEncoder = 73;
// IAudioFile2
inline constexpr DISPID SetFormatFLAC = 74;
inline constexpr DISPID SetFormatOpus = 75;
// IAudioFile3
inline constexpr DISPID ResampleQuality = 76;
inline constexpr DISPID SetFormatVorbis = 77;
inline constexpr DISPID Dither = 78;
inline constexpr DISPID SetFormatArrayKind = 79;
inline constexpr DISPID ArraySampleKind = 80;
inline constexpr DISPID ReadSamples = 81;
inline constexpr DISPID WriteSamples = 82;
inline constexpr DISPID nFrames = 83;
inline constexpr DISPID Position = 84;
inline constexpr DISPID SeekFrames = 85;
inline constexpr DISPID ClippedSamples = 86;
inline constexpr DISPID FileChannels = 87;
inline constexpr DISPID FileSampleKind = 88;
inline constexpr DISPID SetFormatPCMKind = 89;
inline constexpr DISPID SetFormatFLACBits = 90;
// IAudioFile4
inline constexpr DISPID SetFormatAAC = 91;
inline constexpr DISPID SetFormatALAC = 92;
}  // namespace AudioFile

namespace AudioFileEvents {
inline constexpr DISPID Error = 1;  // argument: Code (ErrorConstants)
}  // namespace AudioFileEvents

namespace AudioFileLameMp3Encoder {
inline constexpr DISPID SetParamsFromCommandLine = 1;
inline constexpr DISPID SetParamsFromPreset = 2;
inline constexpr DISPID SetParamsFromAltPreset = 3;
inline constexpr DISPID VbrBitrate = 10;
inline constexpr DISPID VbrQuality = 11;
inline constexpr DISPID VbrCodingMethod = 12;
inline constexpr DISPID AbrBitrate = 13;
inline constexpr DISPID TypeStereo = 14;
inline constexpr DISPID EncoderQuality = 15;
inline constexpr DISPID WritingVBRHeader = 16;
inline constexpr DISPID BitReservoir = 17;
inline constexpr DISPID BlockTypeControl = 18;
inline constexpr DISPID ShortBlocks = 19;
inline constexpr DISPID Emphasis = 20;
inline constexpr DISPID StrictISOCompliance = 21;
inline constexpr DISPID StrictlyEnforceMinBitrate = 22;
inline constexpr DISPID ATHControlMode = 23;
inline constexpr DISPID LowPassFrequency = 24;
inline constexpr DISPID HighPassFrequency = 25;
inline constexpr DISPID LowPassWidth = 26;
inline constexpr DISPID HighPassWidth = 27;
inline constexpr DISPID ErrorProtection = 29;
inline constexpr DISPID Frequency = 30;
inline constexpr DISPID Channels = 31;
inline constexpr DISPID Bitrate = 32;
}  // namespace AudioFileLameMp3Encoder

namespace AudioFileFormats {
inline constexpr DISPID Count = 1;
inline constexpr DISPID FormatType = 2;
inline constexpr DISPID Name = 3;
inline constexpr DISPID Title = 4;
inline constexpr DISPID Extensions = 5;
inline constexpr DISPID Abilities = 6;
inline constexpr DISPID WriterRates = 7;
inline constexpr DISPID WriterChannels = 8;
inline constexpr DISPID WriterDepths = 9;
inline constexpr DISPID WriterBitrates = 10;
inline constexpr DISPID TypeForName = 11;
}  // namespace AudioFileFormats

}  // namespace qoro::dispid

// ---------------------------------------------------------------------------
// Interfaces.

// The MP3 encoder settings of the AudioFile that hands this object out
// (AudioFile.Mp3LameEncoder). Puts store the value as given; the puts of
// VbrBitrate, VbrCodingMethod, AbrBitrate, TypeStereo, Frequency, Channels and
// Bitrate, and the three SetParams methods, also normalise the settings and
// rebuild the AudioFile's format description.
struct IAudioFileLameMp3Encoder : public IDispatch {
    virtual HRESULT SetParamsFromCommandLine(BSTR CommandLine) = 0;
    virtual HRESULT SetParamsFromPreset(SHORT Preset /* = 0 */) = 0;
    virtual HRESULT SetParamsFromAltPreset(SHORT Preset /* = 0 */) = 0;
    virtual HRESULT get_VbrBitrate(LONG* pVal /* MpegBitrateConstants */) = 0;
    virtual HRESULT put_VbrBitrate(LONG newVal) = 0;
    virtual HRESULT get_VbrQuality(SHORT* pVal) = 0;
    virtual HRESULT put_VbrQuality(SHORT newVal) = 0;
    virtual HRESULT get_VbrCodingMethod(LONG* pVal /* Mp3LameMethodConstants */) = 0;
    virtual HRESULT put_VbrCodingMethod(LONG newVal) = 0;
    virtual HRESULT get_AbrBitrate(SHORT* pVal) = 0;
    virtual HRESULT put_AbrBitrate(SHORT newVal) = 0;
    virtual HRESULT get_TypeStereo(LONG* pVal /* Mp3LameTypeStereoConstants */) = 0;
    virtual HRESULT put_TypeStereo(LONG newVal) = 0;
    virtual HRESULT get_EncoderQuality(SHORT* pVal) = 0;
    virtual HRESULT put_EncoderQuality(SHORT newVal) = 0;
    virtual HRESULT get_WritingVBRHeader(BOOL* pVal) = 0;
    virtual HRESULT put_WritingVBRHeader(BOOL newVal) = 0;
    virtual HRESULT get_BitReservoir(BOOL* pVal) = 0;
    virtual HRESULT put_BitReservoir(BOOL newVal) = 0;
    virtual HRESULT get_BlockTypeControl(BOOL* pVal) = 0;
    virtual HRESULT put_BlockTypeControl(BOOL newVal) = 0;
    virtual HRESULT get_ShortBlocks(BOOL* pVal) = 0;
    virtual HRESULT put_ShortBlocks(BOOL newVal) = 0;
    virtual HRESULT get_Emphasis(SHORT* pVal) = 0;
    virtual HRESULT put_Emphasis(SHORT newVal) = 0;
    virtual HRESULT get_StrictISOCompliance(BOOL* pVal) = 0;
    virtual HRESULT put_StrictISOCompliance(BOOL newVal) = 0;
    virtual HRESULT get_StrictlyEnforceMinBitrate(BOOL* pVal) = 0;
    virtual HRESULT put_StrictlyEnforceMinBitrate(BOOL newVal) = 0;
    virtual HRESULT get_ATHControlMode(SHORT* pVal) = 0;
    virtual HRESULT put_ATHControlMode(SHORT newVal) = 0;
    virtual HRESULT get_LowPassFrequency(LONG* pVal) = 0;
    virtual HRESULT put_LowPassFrequency(LONG newVal) = 0;
    virtual HRESULT get_HighPassFrequency(LONG* pVal) = 0;
    virtual HRESULT put_HighPassFrequency(LONG newVal) = 0;
    virtual HRESULT get_LowPassWidth(LONG* pVal) = 0;
    virtual HRESULT put_LowPassWidth(LONG newVal) = 0;
    virtual HRESULT get_HighPassWidth(LONG* pVal) = 0;
    virtual HRESULT put_HighPassWidth(LONG newVal) = 0;
    virtual HRESULT get_ErrorProtection(BOOL* pVal) = 0;
    virtual HRESULT put_ErrorProtection(BOOL newVal) = 0;
    virtual HRESULT get_Frequency(LONG* pVal /* FrequencyConstants */) = 0;
    virtual HRESULT put_Frequency(LONG newVal) = 0;
    virtual HRESULT get_Channels(LONG* pVal /* ChannelsConstants */) = 0;
    virtual HRESULT put_Channels(LONG newVal) = 0;
    virtual HRESULT get_Bitrate(LONG* pVal /* MpegBitrateConstants */) = 0;
    virtual HRESULT put_Bitrate(LONG newVal) = 0;
};

// The audio file object. Defaults of optional arguments are given in comments;
// the type of enumerated arguments is named beside them.
struct IAudioFile : public IDispatch {
    virtual HRESULT OpenFile(BSTR fileName, LONG FormatType /* FormatTypeConstants = DEFAULT */,
                             LONG Flag /* FlagOpen = READ */) = 0;
    virtual HRESULT CloseFile() = 0;
    virtual HRESULT CreateFile(BSTR fileName, LONG FormatType /* FormatTypeConstants = DEFAULT */) = 0;
    // [in] a SAFEARRAY of VT_I2, interleaved sample frames in the array format;
    // the caller keeps ownership.
    virtual HRESULT WriteFile(SAFEARRAY** WavArray) = 0;
    // [out, retval] a new SAFEARRAY of VT_I2 owned by the caller.
    virtual HRESULT ReadFile(LONG nSamples, SAFEARRAY** WavArray) = 0;
    virtual HRESULT SeekFile(LONG nSamples, LONG Origin /* FileSeekConstants = BEGIN_POS */,
                             LONG* CurrentSamples) = 0;
    virtual HRESULT get_nSamples(LONG* pVal) = 0;
    virtual HRESULT get_Frequency(LONG* pVal /* FrequencyConstants */) = 0;
    virtual HRESULT get_Status(SHORT* pVal) = 0;
    virtual HRESULT get_nChannels(LONG* pVal /* ChannelsConstants */) = 0;
    virtual HRESULT get_FormatString(BSTR* pVal) = 0;
    virtual HRESULT get_BitsPerSample(LONG* pVal /* BitsPerSampleConstants */) = 0;
    virtual HRESULT get_Bitrate(LONG* pVal) = 0;
    virtual HRESULT get_Duration(LONG* pVal) = 0;
    virtual HRESULT get_LastErrorNum(LONG* pVal /* ErrorConstants */) = 0;
    virtual HRESULT get_ArrayChannels(LONG* pVal /* ChannelsConstants */) = 0;
    virtual HRESULT get_ArrayFrequency(LONG* pVal /* FrequencyConstants */) = 0;
    virtual HRESULT get_FormatTag(LONG* pVal) = 0;
    virtual HRESULT get_G723Bitrate(LONG* pVal /* G723BitrateConstants */) = 0;
    virtual HRESULT get_G726Bitrate(LONG* pVal /* G726BitrateConstants */) = 0;
    virtual HRESULT get_RawTypeCompress(LONG* pVal /* RawTypeCompressConstants */) = 0;
    virtual HRESULT SetFormatMP3(LONG Frequency /* = 44100 */,
                                 LONG Bitrate /* MpegBitrateConstants = 128 */,
                                 LONG nChannels /* = 2 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatRAW(LONG TypeCompress /* RawTypeCompressConstants = PCM */,
                                 LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */,
                                 LONG BitsPerSample /* = 16 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatADPCM(LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */,
                                   LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatGSM(LONG Frequency /* = 8000 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatVOX(LONG Frequency /* = 8000 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatPCM(LONG Frequency /* = 8000 */, LONG nChannels /* = 1 */,
                                 LONG BitsPerSample /* = 16 */, LONG* BlockAlign) = 0;
    // Any rate from 1000 to 768000 Hz, 1 or 2 channels; anything else fails
    // with INVALIDPARAM and leaves the array format as it was.
    virtual HRESULT SetFormatArray(LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */) = 0;
    virtual HRESULT SetFormatFromMenu(LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatLikeSample(BSTR fileName, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatDSP(LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatALAW(LONG Frequency /* = 8000 */, LONG nChannels /* = 1 */,
                                  LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatALF2CD(LONG Bitrate /* ALF2CDBitrateConstants = 1 */,
                                    LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatG723(LONG Frequency /* = 8000 */,
                                  LONG Bitrate /* G723BitrateConstants = 1 */,
                                  LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatULAW(LONG Frequency /* = 8000 */, LONG nChannels /* = 1 */,
                                  LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatG726(LONG Frequency /* = 8000 */,
                                  LONG Bitrate /* G726BitrateConstants = 3 */,
                                  LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatMobileVoice(LONG Frequency /* = 8000 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatOggVorbis(LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */,
                                       LONG NominalBitrate /* OggBitrateConstants = 128 */,
                                       LONG MinBitrate /* = -1 */, LONG MaxBitrate /* = -1 */,
                                       SHORT Quality /* = -1 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatG721(LONG Frequency /* = 8000 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatWMA(LONG Profile /* = 28 */, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatMP2(LONG Frequency /* = 44100 */, LONG Bitrate /* = 128 */,
                                 SHORT nChannels /* = 2 */, LONG* BlockAlign) = 0;
    virtual HRESULT get_FastMP3Analysis(BOOL* pVal) = 0;
    virtual HRESULT put_FastMP3Analysis(BOOL newVal) = 0;
    virtual HRESULT get_WmaFormatEnabled(BOOL* pVal) = 0;
    virtual HRESULT put_WmaFormatEnabled(BOOL newVal) = 0;
    virtual HRESULT get_Mp3TypeEncoder(LONG* pVal /* Mp3EncoderConstants */) = 0;
    virtual HRESULT put_Mp3TypeEncoder(LONG newVal) = 0;
    virtual HRESULT get_Mp3TypeDecoder(LONG* pVal /* Mp3DecoderConstants */) = 0;
    virtual HRESULT put_Mp3TypeDecoder(LONG newVal) = 0;
    // [out, retval] a counted reference to the object's own settings object.
    virtual HRESULT get_Mp3LameEncoder(IAudioFileLameMp3Encoder** pVal) = 0;
};

// The audio file object's second interface: IAudioFile unchanged (the same
// slots, DISPIDs and values), followed by the output formats FLAC and Opus.
// An object that has it answers QueryInterface(IID_IAudioFile2); through
// IDispatch its members are found by name like the others.
//
// SetFormatFLAC chooses FLAC output (the format type FLAC, chosen for ".flac"
// names): 16-bit samples at Frequency (1000 to 384000 Hz) in nChannels (1 or
// 2), compressed at Level 0 (fastest) to 8 (smallest), 5 by default; the
// created file takes that rate and those channels as its array format, and
// carries the MD5 signature of its samples. It returns the BlockAlign of the
// samples written (0 with INVALIDPARAM for an argument out of range, BUSY
// while a file is open). FLAC files are read at 4 to 32 bits in one or two
// channels, as 16-bit samples (8-bit ones report BitsPerSample 8).
// SetFormatOpus chooses Opus output (the format type OPUS, chosen for ".opus"
// names) at 48000 Hz in nChannels (1 or 2; 3 to 8 as surround, with channel
// mapping family 1, in WAV order in the arrays) with Bitrate (6 to 510 kbit/s, as
// the other encoders take it) and Complexity (0 fastest to 10 best); the
// created file takes 48000 Hz and those channels as its array format. It
// returns the BlockAlign of the samples written (0 with INVALIDPARAM for an
// argument out of range, BUSY while a file is open). Opus files are read at
// 48000 Hz (what Opus decodes to) as 16-bit samples in their channels, files
// of more than two channels mixed down to stereo (IAudioFile3's deep arrays
// read them in their own channels, as the decoder's floats).
struct IAudioFile2 : public IAudioFile {
    virtual HRESULT SetFormatFLAC(LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */, LONG Level /* = 5 */,
                                  LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatOpus(LONG nChannels /* = 2 */, LONG Bitrate /* = 128 */,
                                  LONG Complexity /* = 10 */, LONG* BlockAlign) = 0;
};

// The audio file object's third interface: IAudioFile2 unchanged, followed
// by the members below. An object that has it answers
// QueryInterface(IID_IAudioFile3); through IDispatch its members are found
// by name like the others.
//
// ResampleQuality chooses how a rate change between the file and the array
// is made: 0 (the default) converts rates of the PCM table (6000 to 48000 Hz)
// with the block converter IAudioFile has always used and any other rate
// through a very high quality resampler; 1 takes the very high quality
// resampler for every rate change (passband flat to within 0.01 dB up to
// 91 % of the lower Nyquist frequency, images and aliases below -170 dB). It
// takes effect when the next OpenFile, CreateFile or SetFormatArray designs
// the conversion; a value other than 0 and 1 is refused with INVALIDPARAM.
// The resampler delays its output by its filter; the samples owed at the end
// of a stream are delivered by the last reads (a writer's by CloseFile), so
// a stream keeps the length the rates give.
//
// SetFormatVorbis chooses Ogg Vorbis as SetFormatOggVorbis does, at the rate
// and channels it is given rather than always 44100 Hz stereo: 44100 or
// 48000 Hz, 1 to 8 channels (WAV order in the arrays; the stream carries
// the Vorbis order). Any other value is refused with INVALIDPARAM and
// BlockAlign 0, and the output format stays as it was.
//
// Dither chooses what happens where samples deeper than 16 bits (24- and
// 32-bit integers, floats; channels folded down to stereo) are rounded to
// the 16-bit PCM form: 0 (the default) rounds them to nearest; 1 adds
// triangular (TPDF) dither of one 16-bit step either way first, as sox does
// when it narrows. It takes effect at the next OpenFile or CreateFile; a
// value other than 0 and 1 is refused with INVALIDPARAM.
//
// Deep and many-channel samples (SampleKindConstants):
//   SetFormatArrayKind  the array format as SetFormatArray sets it, with 1 to
//                       8 channels and samples of any kind; a deep kind or
//                       more than two channels has the file's samples read
//                       as they are (24-bit stays 24-bit, 6 channels stay 6),
//                       never narrowed to 16-bit stereo first
//   ArraySampleKind     the kind the array holds now
//   ReadSamples         up to nFrames frames as a one-dimensional array:
//                       VT_I2 for SAMPLE_INT16, VT_I4 for SAMPLE_INT24
//                       (right-justified) and SAMPLE_INT32, VT_R4 for
//                       SAMPLE_FLOAT32 (full scale +-1.0, values beyond kept)
//   WriteSamples        writes such an array (its type must be the kind's)
//   nFrames, Position   the length and read position in array frames,
//   SeekFrames          and a seek, in 64 bits (nSamples and SeekFile stop at
//                       2^31 - 1: 3.1 hours at 192 kHz)
//   ClippedSamples      samples clipped since the file was opened or created
//                       (an integer target that could not hold a value)
//   FileChannels        the file's own channels and the kind that holds its
//   FileSampleKind      samples without loss (SAMPLE_INT16 for 8- and 16-bit
//                       and lossy files; a lossy decoder still gives its
//                       own float precision to a SAMPLE_FLOAT32 array)
//   SetFormatPCMKind    a WAV file of 1 to 8 channels at 1000 to 384000 Hz
//                       with samples of any kind (WAVE_FORMAT_EXTENSIBLE
//                       where more than 16 bits or two channels need it)
//   SetFormatFLACBits   FLAC as SetFormatFLAC chooses it, at 16 or 24 bits
//                       in 1 to 8 channels
// The samples keep WAV channel order (the order of the speaker bits), which
// FLAC shares.
struct IAudioFile3 : public IAudioFile2 {
    virtual HRESULT get_ResampleQuality(LONG* pVal) = 0;
    virtual HRESULT put_ResampleQuality(LONG newVal) = 0;
    virtual HRESULT SetFormatVorbis(LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */,
                                    LONG NominalBitrate /* = 128 */, LONG MinBitrate /* = -1 */,
                                    LONG MaxBitrate /* = -1 */, SHORT Quality /* = -1 */, LONG* BlockAlign) = 0;
    virtual HRESULT get_Dither(LONG* pVal) = 0;
    virtual HRESULT put_Dither(LONG newVal) = 0;
    virtual HRESULT SetFormatArrayKind(LONG Frequency, LONG nChannels, LONG SampleKind) = 0;
    virtual HRESULT get_ArraySampleKind(LONG* pVal) = 0;
    virtual HRESULT ReadSamples(LONGLONG nFrames, SAFEARRAY** Samples) = 0;
    virtual HRESULT WriteSamples(SAFEARRAY** Samples) = 0;
    virtual HRESULT get_nFrames(LONGLONG* pVal) = 0;
    virtual HRESULT get_Position(LONGLONG* pVal) = 0;
    virtual HRESULT SeekFrames(LONGLONG nFrames, LONG Origin, LONGLONG* Position) = 0;
    virtual HRESULT get_ClippedSamples(LONGLONG* pVal) = 0;
    virtual HRESULT get_FileChannels(LONG* pVal) = 0;
    virtual HRESULT get_FileSampleKind(LONG* pVal) = 0;
    virtual HRESULT SetFormatPCMKind(LONG Frequency, LONG nChannels, LONG SampleKind, LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatFLACBits(LONG Frequency, LONG nChannels, LONG BitsPerSample, LONG Level,
                                      LONG* BlockAlign) = 0;
};

// The audio file object's fourth interface: IAudioFile3 unchanged, followed
// by the M4A writers, which the media plug-in (the package quillet-libav)
// carries: without it CreateFile refuses them with FORMATNOTSUPPORT and the
// package to install.
//
// SetFormatAAC chooses AAC-LC in M4A (the format type M4A, chosen for
// ".m4a" names) at Frequency (an MPEG-4 rate: 7350, 8000, 11025, 12000,
// 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200 or 96000 Hz) in
// nChannels (1 to 6 or 8, in WAV order in the arrays) at Bitrate (8 to
// 512 kbit/s per channel). The file states the encoder's delay and padding
// (an edit list and iTunSMPB) so that it plays exactly the samples written.
// SetFormatALAC chooses ALAC in M4A (the format type ALAC) at 1000 to 384000
// Hz, 1 to 8 channels, 16 or 24 bits. Both return the BlockAlign of the
// samples written (0 with INVALIDPARAM for an argument out of range, BUSY
// while a file is open); the created file takes that rate and those
// channels as its array format. M4A files are read through the plug-in as
// the other formats it carries.
struct IAudioFile4 : public IAudioFile3 {
    virtual HRESULT SetFormatAAC(LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */, LONG Bitrate /* = 256 */,
                                 LONG* BlockAlign) = 0;
    virtual HRESULT SetFormatALAC(LONG Frequency /* = 44100 */, LONG nChannels /* = 2 */,
                                  LONG BitsPerSample /* = 16 */, LONG* BlockAlign) = 0;
};

// The kinds of sample the deep array format and SetFormatPCMKind take.
enum SampleKindConstants : LONG {
    SAMPLE_INT16 = 0,
    SAMPLE_INT24 = 1,
    SAMPLE_INT32 = 2,
    SAMPLE_FLOAT32 = 3,
};

// What AudioFileFormats.Abilities reports of a type, as bits.
enum FormatAbilityConstants : LONG {
    FORMAT_READS = 1,       // OpenFile reads it
    FORMAT_WRITES = 2,      // CreateFile writes it
    FORMAT_READWRITE = 4,   // OpenFile takes READWRITE
    FORMAT_WALKED = 8,      // music: a walk over a library takes its files
    FORMAT_AUDIO = 16,      // it holds sound (a kind known by its signature may not)
};

// The types of file the component knows ("QoroAudioFile.Formats"): one entry
// per FormatTypeConstants value it reads or writes, in their order, then the
// kinds of sound file it recognises by their first bytes but does not read
// (FormatType 0; an MP4/AAC or Monkey's Audio file, say), so that a caller
// can tell "not supported" from "not audio" without a list of its own.
// Index runs from 0 to Count - 1; an Index out of range gives E_INVALIDARG.
//
//   Name            short and lower case, as on a command line: "wav", "mp3"
//   Title           for people: "WAV", "MPEG audio", "an MP4/AAC file"
//   Extensions      lower case, without dots, separated by blanks, the usual
//                   one first: Purpose 0 those OpenFile with DEFAULT chooses
//                   the type by ("mp3 mp2 mp1 mpeg"), 1 those CreateFile
//                   chooses it by ("mp3"); a kind not read (or a type only written,
//                   as ALAC) lists its usual ones
//   Abilities       FormatAbilityConstants bits
//   WriterRates     the rates its writer takes, in Hz: a list ("8000 11025")
//                   or a range ("1000-384000"); empty without a writer
//   WriterChannels  the most channels its writer takes (0 without a writer)
//   WriterDepths    the bits per sample a PCM writer takes ("8 16"; "32f" for
//                   32-bit floats), else empty
//   WriterBitrates  kbit/s a coded writer takes: a list or a range ("6-510")
//   TypeForName     the FormatType OpenFile (Purpose 0) or CreateFile (1)
//                   chooses with DEFAULT for a file name (RAW when no type
//                   claims its extension)
struct IAudioFileFormats : public IDispatch {
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT FormatType(LONG Index, LONG* Value) = 0;
    virtual HRESULT Name(LONG Index, BSTR* Value) = 0;
    virtual HRESULT Title(LONG Index, BSTR* Value) = 0;
    virtual HRESULT Extensions(LONG Index, LONG Purpose, BSTR* Value) = 0;
    virtual HRESULT Abilities(LONG Index, LONG* Value) = 0;
    virtual HRESULT WriterRates(LONG Index, BSTR* Value) = 0;
    virtual HRESULT WriterChannels(LONG Index, LONG* Value) = 0;
    virtual HRESULT WriterDepths(LONG Index, BSTR* Value) = 0;
    virtual HRESULT WriterBitrates(LONG Index, BSTR* Value) = 0;
    virtual HRESULT TypeForName(BSTR FileName, LONG Purpose, LONG* FormatType) = 0;
};

// Outgoing events of AudioFile, a dispinterface: sinks receive them through
// IDispatch::Invoke. Error (qoro::dispid::AudioFileEvents::Error) carries one
// argument, Code (ErrorConstants, VT_I4), and is fired synchronously from
// inside the failing call.
struct _IAudioFileEvents : public IDispatch {};
