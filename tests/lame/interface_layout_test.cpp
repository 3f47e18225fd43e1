// The public interfaces are a binary contract: early-bound clients call their
// members by vtable slot. These checks pin every member to its slot (after the
// seven IDispatch slots) and the identifiers to their values, so that an
// accidental reordering or a regenerated GUID fails here first.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"

namespace {

// The vtable slot a pointer to a virtual member function designates (Itanium
// C++ ABI: the pointer holds 1 + the byte offset of the slot).
template <class F>
long slotOf(F member) {
    static_assert(sizeof(F) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
    if ((words[0] & 1) == 0) return -1;  // not virtual
    return static_cast<long>((words[0] - 1) / sizeof(void*));
}

constexpr long kFirstSlot = 7;  // after IUnknown (3) and IDispatch (4)

TEST(InterfaceLayout, AudioFileLameMp3Encoder) {
    using I = IAudioFileLameMp3Encoder;
    // clang-format off
    const long slots[] = {
        slotOf(&I::SetParamsFromCommandLine), slotOf(&I::SetParamsFromPreset),
        slotOf(&I::SetParamsFromAltPreset), slotOf(&I::get_VbrBitrate), slotOf(&I::put_VbrBitrate),
        slotOf(&I::get_VbrQuality), slotOf(&I::put_VbrQuality), slotOf(&I::get_VbrCodingMethod),
        slotOf(&I::put_VbrCodingMethod), slotOf(&I::get_AbrBitrate), slotOf(&I::put_AbrBitrate),
        slotOf(&I::get_TypeStereo), slotOf(&I::put_TypeStereo), slotOf(&I::get_EncoderQuality),
        slotOf(&I::put_EncoderQuality), slotOf(&I::get_WritingVBRHeader),
        slotOf(&I::put_WritingVBRHeader), slotOf(&I::get_BitReservoir), slotOf(&I::put_BitReservoir),
        slotOf(&I::get_BlockTypeControl), slotOf(&I::put_BlockTypeControl),
        slotOf(&I::get_ShortBlocks), slotOf(&I::put_ShortBlocks), slotOf(&I::get_Emphasis),
        slotOf(&I::put_Emphasis), slotOf(&I::get_StrictISOCompliance),
        slotOf(&I::put_StrictISOCompliance), slotOf(&I::get_StrictlyEnforceMinBitrate),
        slotOf(&I::put_StrictlyEnforceMinBitrate), slotOf(&I::get_ATHControlMode),
        slotOf(&I::put_ATHControlMode), slotOf(&I::get_LowPassFrequency),
        slotOf(&I::put_LowPassFrequency), slotOf(&I::get_HighPassFrequency),
        slotOf(&I::put_HighPassFrequency), slotOf(&I::get_LowPassWidth),
        slotOf(&I::put_LowPassWidth), slotOf(&I::get_HighPassWidth), slotOf(&I::put_HighPassWidth),
        slotOf(&I::get_ErrorProtection), slotOf(&I::put_ErrorProtection),
        slotOf(&I::get_Frequency), slotOf(&I::put_Frequency), slotOf(&I::get_Channels),
        slotOf(&I::put_Channels), slotOf(&I::get_Bitrate), slotOf(&I::put_Bitrate),
    };
    // clang-format on
    EXPECT_EQ(slotOf(&I::Invoke), kFirstSlot - 1);
    for (size_t i = 0; i < std::size(slots); ++i) EXPECT_EQ(slots[i], kFirstSlot + long(i)) << i;
}

TEST(InterfaceLayout, AudioFile) {
    using I = IAudioFile;
    // clang-format off
    const long slots[] = {
        slotOf(&I::OpenFile), slotOf(&I::CloseFile), slotOf(&I::CreateFile), slotOf(&I::WriteFile),
        slotOf(&I::ReadFile), slotOf(&I::SeekFile), slotOf(&I::get_nSamples),
        slotOf(&I::get_Frequency), slotOf(&I::get_Status), slotOf(&I::get_nChannels),
        slotOf(&I::get_FormatString), slotOf(&I::get_BitsPerSample), slotOf(&I::get_Bitrate),
        slotOf(&I::get_Duration), slotOf(&I::get_LastErrorNum), slotOf(&I::get_ArrayChannels),
        slotOf(&I::get_ArrayFrequency), slotOf(&I::get_FormatTag), slotOf(&I::get_G723Bitrate),
        slotOf(&I::get_G726Bitrate), slotOf(&I::get_RawTypeCompress), slotOf(&I::SetFormatMP3),
        slotOf(&I::SetFormatRAW), slotOf(&I::SetFormatADPCM), slotOf(&I::SetFormatGSM),
        slotOf(&I::SetFormatVOX), slotOf(&I::SetFormatPCM), slotOf(&I::SetFormatArray),
        slotOf(&I::SetFormatFromMenu), slotOf(&I::SetFormatLikeSample), slotOf(&I::SetFormatDSP),
        slotOf(&I::SetFormatALAW), slotOf(&I::SetFormatALF2CD), slotOf(&I::SetFormatG723),
        slotOf(&I::SetFormatULAW), slotOf(&I::SetFormatG726), slotOf(&I::SetFormatMobileVoice),
        slotOf(&I::SetFormatOggVorbis), slotOf(&I::SetFormatG721), slotOf(&I::SetFormatWMA),
        slotOf(&I::SetFormatMP2), slotOf(&I::get_FastMP3Analysis), slotOf(&I::put_FastMP3Analysis),
        slotOf(&I::get_WmaFormatEnabled), slotOf(&I::put_WmaFormatEnabled),
        slotOf(&I::get_Mp3TypeEncoder), slotOf(&I::put_Mp3TypeEncoder),
        slotOf(&I::get_Mp3TypeDecoder), slotOf(&I::put_Mp3TypeDecoder),
        slotOf(&I::get_Mp3LameEncoder),
    };
    // clang-format on
    for (size_t i = 0; i < std::size(slots); ++i) EXPECT_EQ(slots[i], kFirstSlot + long(i)) << i;
}

TEST(InterfaceLayout, AudioInformation) {
    using I = IAudioInformation;
    // clang-format off
    const long slots[] = {
        slotOf(&I::GetAudioInformation), slotOf(&I::SetAudioInformation),
        slotOf(&I::get_infoFrequency), slotOf(&I::get_infoBitrate), slotOf(&I::get_infoDuration),
        slotOf(&I::get_infoSize), slotOf(&I::get_infoSamples), slotOf(&I::get_infoChannels),
        slotOf(&I::get_infoBitsPerSample), slotOf(&I::get_infoFormatTag),
        slotOf(&I::get_infoFormatString), slotOf(&I::get_infoType), slotOf(&I::GenreToString),
        slotOf(&I::get_infoAlbum), slotOf(&I::put_infoAlbum), slotOf(&I::get_infoArtist),
        slotOf(&I::put_infoArtist), slotOf(&I::get_infoComments), slotOf(&I::put_infoComments),
        slotOf(&I::get_infoCopyright), slotOf(&I::put_infoCopyright), slotOf(&I::get_infoGenre),
        slotOf(&I::put_infoGenre), slotOf(&I::get_infoTitle), slotOf(&I::put_infoTitle),
        slotOf(&I::get_infoYear), slotOf(&I::put_infoYear), slotOf(&I::get_infoURL),
        slotOf(&I::put_infoURL), slotOf(&I::get_infoTrack), slotOf(&I::put_infoTrack),
        slotOf(&I::get_infoEncodedBy), slotOf(&I::put_infoEncodedBy), slotOf(&I::get_infoComposer),
        slotOf(&I::put_infoComposer), slotOf(&I::IsWavFile), slotOf(&I::IsMp3File),
        slotOf(&I::IsOggVorbisFile), slotOf(&I::IsMp2File), slotOf(&I::IsMpPlusFile),
        slotOf(&I::IsAviFile), slotOf(&I::IsAudioFile), slotOf(&I::IsInfoSupport),
        slotOf(&I::get_mp3FastAnalysis), slotOf(&I::put_mp3FastAnalysis),
        slotOf(&I::get_mp3TagInfoVersion), slotOf(&I::put_mp3TagInfoVersion),
        slotOf(&I::InsertCue), slotOf(&I::DeleteCue), slotOf(&I::get_cueCount),
        slotOf(&I::get_cueNum), slotOf(&I::put_cueNum), slotOf(&I::get_cuePosition),
        slotOf(&I::put_cuePosition), slotOf(&I::get_cueLength), slotOf(&I::put_cueLength),
        slotOf(&I::get_cueLabel), slotOf(&I::put_cueLabel), slotOf(&I::get_cueNote),
        slotOf(&I::put_cueNote), slotOf(&I::get_cueText), slotOf(&I::put_cueText),
        slotOf(&I::get_cueLanguage), slotOf(&I::put_cueLanguage), slotOf(&I::get_cueCountry),
        slotOf(&I::put_cueCountry), slotOf(&I::get_cueDialect), slotOf(&I::put_cueDialect),
        slotOf(&I::get_cueCodePage), slotOf(&I::put_cueCodePage),
    };
    // clang-format on
    for (size_t i = 0; i < std::size(slots); ++i) EXPECT_EQ(slots[i], kFirstSlot + long(i)) << i;
}

TEST(InterfaceLayout, IdentifiersAreDistinctAndFixed) {
    const GUID ids[] = {LIBID_QoroAudioFile,
                        CLSID_AudioFile,
                        IID_IAudioFile,
                        DIID__IAudioFileEvents,
                        CLSID_AudioFileLameMp3Encoder,
                        IID_IAudioFileLameMp3Encoder,
                        LIBID_QoroAudioInformation,
                        CLSID_AudioInformation,
                        IID_IAudioInformation,
                        DIID__IAudioInformationEvents,
                        IID_IUnknown,
                        IID_IDispatch};
    for (size_t i = 0; i < std::size(ids); ++i)
        for (size_t j = i + 1; j < std::size(ids); ++j) EXPECT_NE(ids[i], ids[j]) << i << " " << j;

    // Stored registrations name these; they never change.
    EXPECT_EQ(CLSID_AudioFile, qoro::com::guid("{CB4DA45B-0A47-42D3-B467-D6185AE7940A}"));
    EXPECT_EQ(CLSID_AudioFileLameMp3Encoder, qoro::com::guid("{8A26807C-4570-4CD8-94C6-FFAAB032AC50}"));
    EXPECT_EQ(CLSID_AudioInformation, qoro::com::guid("{B5BEDDC5-1506-46C6-A93D-DBC13A88073D}"));
    EXPECT_EQ(IID_IAudioFile, qoro::com::guid("{FC199E4F-F9A5-4D6A-BD30-6AA06D196288}"));
    EXPECT_EQ(IID_IAudioInformation, qoro::com::guid("{4C70B5ED-81AF-4F37-8500-1CA16E330DB5}"));
}

TEST(InterfaceLayout, EnumerationsAre32Bit) {
    static_assert(sizeof(FormatTypeConstants) == 4 && sizeof(ErrorConstants) == 4);
    static_assert(sizeof(OggBitrateConstants) == 4 && sizeof(Mp3LameMethodConstants) == 4);
    EXPECT_EQ(MP2, 12);
    EXPECT_EQ(WMA, 11);
    EXPECT_EQ(ASPIDRIVER, -21);
    EXPECT_EQ(VBR_NONE, -1);
    EXPECT_EQ(OGG_NONE, -1);
    EXPECT_EQ(FQ_88_KHZ, 88200);
}

}  // namespace
