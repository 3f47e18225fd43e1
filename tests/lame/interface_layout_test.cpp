// The public interfaces are a binary contract: early-bound clients call their
// members by vtable slot. These checks pin every member to its slot (after the
// seven IDispatch slots) and the identifiers to their values, so that an
// accidental reordering or a regenerated GUID fails here first.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "test_support.h"

namespace {

constexpr long kFirstSlot = 7;  // after IUnknown (3) and IDispatch (4)

TEST(InterfaceLayout, AudioFileLameMp3Encoder) {
    using I = IAudioFileLameMp3Encoder;
    // clang-format off
    const long slots[] = {
        qoro::test::vtableSlot(&I::SetParamsFromCommandLine), qoro::test::vtableSlot(&I::SetParamsFromPreset),
        qoro::test::vtableSlot(&I::SetParamsFromAltPreset), qoro::test::vtableSlot(&I::get_VbrBitrate), qoro::test::vtableSlot(&I::put_VbrBitrate),
        qoro::test::vtableSlot(&I::get_VbrQuality), qoro::test::vtableSlot(&I::put_VbrQuality), qoro::test::vtableSlot(&I::get_VbrCodingMethod),
        qoro::test::vtableSlot(&I::put_VbrCodingMethod), qoro::test::vtableSlot(&I::get_AbrBitrate), qoro::test::vtableSlot(&I::put_AbrBitrate),
        qoro::test::vtableSlot(&I::get_TypeStereo), qoro::test::vtableSlot(&I::put_TypeStereo), qoro::test::vtableSlot(&I::get_EncoderQuality),
        qoro::test::vtableSlot(&I::put_EncoderQuality), qoro::test::vtableSlot(&I::get_WritingVBRHeader),
        qoro::test::vtableSlot(&I::put_WritingVBRHeader), qoro::test::vtableSlot(&I::get_BitReservoir), qoro::test::vtableSlot(&I::put_BitReservoir),
        qoro::test::vtableSlot(&I::get_BlockTypeControl), qoro::test::vtableSlot(&I::put_BlockTypeControl),
        qoro::test::vtableSlot(&I::get_ShortBlocks), qoro::test::vtableSlot(&I::put_ShortBlocks), qoro::test::vtableSlot(&I::get_Emphasis),
        qoro::test::vtableSlot(&I::put_Emphasis), qoro::test::vtableSlot(&I::get_StrictISOCompliance),
        qoro::test::vtableSlot(&I::put_StrictISOCompliance), qoro::test::vtableSlot(&I::get_StrictlyEnforceMinBitrate),
        qoro::test::vtableSlot(&I::put_StrictlyEnforceMinBitrate), qoro::test::vtableSlot(&I::get_ATHControlMode),
        qoro::test::vtableSlot(&I::put_ATHControlMode), qoro::test::vtableSlot(&I::get_LowPassFrequency),
        qoro::test::vtableSlot(&I::put_LowPassFrequency), qoro::test::vtableSlot(&I::get_HighPassFrequency),
        qoro::test::vtableSlot(&I::put_HighPassFrequency), qoro::test::vtableSlot(&I::get_LowPassWidth),
        qoro::test::vtableSlot(&I::put_LowPassWidth), qoro::test::vtableSlot(&I::get_HighPassWidth), qoro::test::vtableSlot(&I::put_HighPassWidth),
        qoro::test::vtableSlot(&I::get_ErrorProtection), qoro::test::vtableSlot(&I::put_ErrorProtection),
        qoro::test::vtableSlot(&I::get_Frequency), qoro::test::vtableSlot(&I::put_Frequency), qoro::test::vtableSlot(&I::get_Channels),
        qoro::test::vtableSlot(&I::put_Channels), qoro::test::vtableSlot(&I::get_Bitrate), qoro::test::vtableSlot(&I::put_Bitrate),
    };
    // clang-format on
    EXPECT_EQ(qoro::test::vtableSlot(&I::Invoke), kFirstSlot - 1);
    for (size_t i = 0; i < std::size(slots); ++i) EXPECT_EQ(slots[i], kFirstSlot + long(i)) << i;
}

TEST(InterfaceLayout, AudioFile) {
    using I = IAudioFile;
    // clang-format off
    const long slots[] = {
        qoro::test::vtableSlot(&I::OpenFile), qoro::test::vtableSlot(&I::CloseFile), qoro::test::vtableSlot(&I::CreateFile), qoro::test::vtableSlot(&I::WriteFile),
        qoro::test::vtableSlot(&I::ReadFile), qoro::test::vtableSlot(&I::SeekFile), qoro::test::vtableSlot(&I::get_nSamples),
        qoro::test::vtableSlot(&I::get_Frequency), qoro::test::vtableSlot(&I::get_Status), qoro::test::vtableSlot(&I::get_nChannels),
        qoro::test::vtableSlot(&I::get_FormatString), qoro::test::vtableSlot(&I::get_BitsPerSample), qoro::test::vtableSlot(&I::get_Bitrate),
        qoro::test::vtableSlot(&I::get_Duration), qoro::test::vtableSlot(&I::get_LastErrorNum), qoro::test::vtableSlot(&I::get_ArrayChannels),
        qoro::test::vtableSlot(&I::get_ArrayFrequency), qoro::test::vtableSlot(&I::get_FormatTag), qoro::test::vtableSlot(&I::get_G723Bitrate),
        qoro::test::vtableSlot(&I::get_G726Bitrate), qoro::test::vtableSlot(&I::get_RawTypeCompress), qoro::test::vtableSlot(&I::SetFormatMP3),
        qoro::test::vtableSlot(&I::SetFormatRAW), qoro::test::vtableSlot(&I::SetFormatADPCM), qoro::test::vtableSlot(&I::SetFormatGSM),
        qoro::test::vtableSlot(&I::SetFormatVOX), qoro::test::vtableSlot(&I::SetFormatPCM), qoro::test::vtableSlot(&I::SetFormatArray),
        qoro::test::vtableSlot(&I::SetFormatFromMenu), qoro::test::vtableSlot(&I::SetFormatLikeSample), qoro::test::vtableSlot(&I::SetFormatDSP),
        qoro::test::vtableSlot(&I::SetFormatALAW), qoro::test::vtableSlot(&I::SetFormatALF2CD), qoro::test::vtableSlot(&I::SetFormatG723),
        qoro::test::vtableSlot(&I::SetFormatULAW), qoro::test::vtableSlot(&I::SetFormatG726), qoro::test::vtableSlot(&I::SetFormatMobileVoice),
        qoro::test::vtableSlot(&I::SetFormatOggVorbis), qoro::test::vtableSlot(&I::SetFormatG721), qoro::test::vtableSlot(&I::SetFormatWMA),
        qoro::test::vtableSlot(&I::SetFormatMP2), qoro::test::vtableSlot(&I::get_FastMP3Analysis), qoro::test::vtableSlot(&I::put_FastMP3Analysis),
        qoro::test::vtableSlot(&I::get_WmaFormatEnabled), qoro::test::vtableSlot(&I::put_WmaFormatEnabled),
        qoro::test::vtableSlot(&I::get_Mp3TypeEncoder), qoro::test::vtableSlot(&I::put_Mp3TypeEncoder),
        qoro::test::vtableSlot(&I::get_Mp3TypeDecoder), qoro::test::vtableSlot(&I::put_Mp3TypeDecoder),
        qoro::test::vtableSlot(&I::get_Mp3LameEncoder),
    };
    // clang-format on
    for (size_t i = 0; i < std::size(slots); ++i) EXPECT_EQ(slots[i], kFirstSlot + long(i)) << i;
}

TEST(InterfaceLayout, AudioInformation) {
    using I = IAudioInformation;
    // clang-format off
    const long slots[] = {
        qoro::test::vtableSlot(&I::GetAudioInformation), qoro::test::vtableSlot(&I::SetAudioInformation),
        qoro::test::vtableSlot(&I::get_infoFrequency), qoro::test::vtableSlot(&I::get_infoBitrate), qoro::test::vtableSlot(&I::get_infoDuration),
        qoro::test::vtableSlot(&I::get_infoSize), qoro::test::vtableSlot(&I::get_infoSamples), qoro::test::vtableSlot(&I::get_infoChannels),
        qoro::test::vtableSlot(&I::get_infoBitsPerSample), qoro::test::vtableSlot(&I::get_infoFormatTag),
        qoro::test::vtableSlot(&I::get_infoFormatString), qoro::test::vtableSlot(&I::get_infoType), qoro::test::vtableSlot(&I::GenreToString),
        qoro::test::vtableSlot(&I::get_infoAlbum), qoro::test::vtableSlot(&I::put_infoAlbum), qoro::test::vtableSlot(&I::get_infoArtist),
        qoro::test::vtableSlot(&I::put_infoArtist), qoro::test::vtableSlot(&I::get_infoComments), qoro::test::vtableSlot(&I::put_infoComments),
        qoro::test::vtableSlot(&I::get_infoCopyright), qoro::test::vtableSlot(&I::put_infoCopyright), qoro::test::vtableSlot(&I::get_infoGenre),
        qoro::test::vtableSlot(&I::put_infoGenre), qoro::test::vtableSlot(&I::get_infoTitle), qoro::test::vtableSlot(&I::put_infoTitle),
        qoro::test::vtableSlot(&I::get_infoYear), qoro::test::vtableSlot(&I::put_infoYear), qoro::test::vtableSlot(&I::get_infoURL),
        qoro::test::vtableSlot(&I::put_infoURL), qoro::test::vtableSlot(&I::get_infoTrack), qoro::test::vtableSlot(&I::put_infoTrack),
        qoro::test::vtableSlot(&I::get_infoEncodedBy), qoro::test::vtableSlot(&I::put_infoEncodedBy), qoro::test::vtableSlot(&I::get_infoComposer),
        qoro::test::vtableSlot(&I::put_infoComposer), qoro::test::vtableSlot(&I::IsWavFile), qoro::test::vtableSlot(&I::IsMp3File),
        qoro::test::vtableSlot(&I::IsOggVorbisFile), qoro::test::vtableSlot(&I::IsMp2File), qoro::test::vtableSlot(&I::IsMpPlusFile),
        qoro::test::vtableSlot(&I::IsAviFile), qoro::test::vtableSlot(&I::IsAudioFile), qoro::test::vtableSlot(&I::IsInfoSupport),
        qoro::test::vtableSlot(&I::get_mp3FastAnalysis), qoro::test::vtableSlot(&I::put_mp3FastAnalysis),
        qoro::test::vtableSlot(&I::get_mp3TagInfoVersion), qoro::test::vtableSlot(&I::put_mp3TagInfoVersion),
        qoro::test::vtableSlot(&I::InsertCue), qoro::test::vtableSlot(&I::DeleteCue), qoro::test::vtableSlot(&I::get_cueCount),
        qoro::test::vtableSlot(&I::get_cueNum), qoro::test::vtableSlot(&I::put_cueNum), qoro::test::vtableSlot(&I::get_cuePosition),
        qoro::test::vtableSlot(&I::put_cuePosition), qoro::test::vtableSlot(&I::get_cueLength), qoro::test::vtableSlot(&I::put_cueLength),
        qoro::test::vtableSlot(&I::get_cueLabel), qoro::test::vtableSlot(&I::put_cueLabel), qoro::test::vtableSlot(&I::get_cueNote),
        qoro::test::vtableSlot(&I::put_cueNote), qoro::test::vtableSlot(&I::get_cueText), qoro::test::vtableSlot(&I::put_cueText),
        qoro::test::vtableSlot(&I::get_cueLanguage), qoro::test::vtableSlot(&I::put_cueLanguage), qoro::test::vtableSlot(&I::get_cueCountry),
        qoro::test::vtableSlot(&I::put_cueCountry), qoro::test::vtableSlot(&I::get_cueDialect), qoro::test::vtableSlot(&I::put_cueDialect),
        qoro::test::vtableSlot(&I::get_cueCodePage), qoro::test::vtableSlot(&I::put_cueCodePage),
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
