// The AudioFileLameMp3Encoder object over a settings owner: property rules,
// inverted flags, which changes rebuild the description, the object without
// an owner, and late-bound calls through IDispatch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "object/audio_file_lame_mp3_encoder.h"
#include "qoro/AudioFile.h"

namespace qoro::audiofile {
namespace {

using com::Bstr;
using com::ComPtr;
namespace id = dispid::AudioFileLameMp3Encoder;

// Stands in for the AudioFile: owns the record and rebuilds its description.
class FakeOwner : public Mp3SettingsOwner {
public:
    Mp3Settings settings;
    std::string description;
    int rebuilds = 0;
    Mp3Settings& mp3Settings() override { return settings; }
    void mp3SettingsChanged() override {
        ++rebuilds;
        description = describeMp3(settings, LAME);
    }
};

class EncoderObject : public ::testing::Test {
protected:
    FakeOwner owner;
    ComPtr<IAudioFileLameMp3Encoder> enc;

    void SetUp() override {
        ASSERT_EQ(createAudioFileLameMp3Encoder(&owner, IID_IAudioFileLameMp3Encoder, enc.putVoid()), S_OK);
        ASSERT_TRUE(enc);
    }

    // Late-bound call by DISPID; returns the HRESULT of Invoke.
    HRESULT invoke(DISPID member, WORD flags, std::vector<VARIANT> reversedArgs, VARIANT* result = nullptr) {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{reversedArgs.data(), flags == DISPATCH_PROPERTYPUT ? &named : nullptr,
                          static_cast<UINT>(reversedArgs.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
        EXCEPINFO excep{};
        UINT argErr = 0;
        return enc->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &excep, &argErr);
    }
};

VARIANT longVariant(LONG v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_I4;
    r.lVal = v;
    return r;
}

VARIANT boolVariant(bool v) {
    VARIANT r;
    VariantInit(&r);
    r.vt = VT_BOOL;
    r.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
}

TEST_F(EncoderObject, BitReservoirAndShortBlocksAreInverted) {
    BOOL value = -7;
    EXPECT_EQ(enc->get_BitReservoir(&value), S_OK);
    EXPECT_EQ(value, TRUE);

    EXPECT_EQ(enc->put_BitReservoir(FALSE), S_OK);
    EXPECT_EQ(owner.settings.noBitReservoir, 1);
    enc->get_BitReservoir(&value);
    EXPECT_EQ(value, FALSE);
    enc->put_BitReservoir(-1);
    EXPECT_EQ(owner.settings.noBitReservoir, 0);

    enc->put_ShortBlocks(FALSE);
    EXPECT_EQ(owner.settings.noShortBlocks, 1);
    enc->get_ShortBlocks(&value);
    EXPECT_EQ(value, FALSE);
    enc->put_ShortBlocks(5);
    EXPECT_EQ(owner.settings.noShortBlocks, 0);
    enc->get_ShortBlocks(&value);
    EXPECT_EQ(value, TRUE);
    EXPECT_EQ(owner.rebuilds, 0);
}

TEST_F(EncoderObject, PutsStoreAsGivenAndOnlyDescriptionPutsNormalise) {
    enc->put_VbrQuality(12);
    EXPECT_EQ(owner.settings.vbrQuality, 12);
    SHORT q = 0;
    enc->get_VbrQuality(&q);
    EXPECT_EQ(q, 12);
    EXPECT_EQ(owner.rebuilds, 0);

    enc->put_Bitrate(160);
    EXPECT_EQ(owner.settings.vbrQuality, 9);
    EXPECT_EQ(owner.settings.bitrate, 160);
    EXPECT_EQ(owner.settings.abrBitrate, 160);
    EXPECT_EQ(owner.rebuilds, 1);
    EXPECT_EQ(owner.description, "MP3 44,100 kHz; Stereo;  160 Kbps; ");

    // Each of these rebuilds the description ...
    enc->put_VbrBitrate(256);
    enc->put_VbrCodingMethod(VBR_NEW);
    enc->put_AbrBitrate(192);
    enc->put_TypeStereo(JOINTSTEREO);
    enc->put_Frequency(32000);
    enc->put_Channels(2);
    EXPECT_EQ(owner.rebuilds, 7);
    EXPECT_EQ(owner.description, "MP3 32,000 kHz; Joint Stereo;  160-256 Kbps; ");

    // ... these only store.
    enc->put_EncoderQuality(-4);
    enc->put_Emphasis(1);
    enc->put_ATHControlMode(2);
    enc->put_LowPassFrequency(17000);
    enc->put_HighPassFrequency(90);
    enc->put_LowPassWidth(1000);
    enc->put_HighPassWidth(20);
    enc->put_WritingVBRHeader(FALSE);
    enc->put_BlockTypeControl(TRUE);
    enc->put_StrictISOCompliance(TRUE);
    enc->put_StrictlyEnforceMinBitrate(TRUE);
    enc->put_ErrorProtection(TRUE);
    EXPECT_EQ(owner.rebuilds, 7);
    EXPECT_EQ(owner.settings.encoderQuality, -4);
    EXPECT_EQ(owner.settings.emphasis, 1);
    EXPECT_EQ(owner.settings.athMode, 2);
    EXPECT_EQ(owner.settings.lowPassFrequency, 17000);
    EXPECT_EQ(owner.settings.highPassFrequency, 90);
    EXPECT_EQ(owner.settings.lowPassWidth, 1000);
    EXPECT_EQ(owner.settings.highPassWidth, 20);
    EXPECT_EQ(owner.settings.writeVbrHeader, 0);
    EXPECT_EQ(owner.settings.blockTypeControl, 1);
    EXPECT_EQ(owner.settings.strictIsoCompliance, 1);
    EXPECT_EQ(owner.settings.enforceMinBitrate, 1);
    EXPECT_EQ(owner.settings.errorProtection, 1);

    LONG v = 0;
    enc->get_Frequency(&v);
    EXPECT_EQ(v, 32000);
    enc->get_VbrCodingMethod(&v);
    EXPECT_EQ(v, VBR_NEW);
    enc->get_LowPassFrequency(&v);
    EXPECT_EQ(v, 17000);
}

TEST_F(EncoderObject, WideValuesKeepTheirMeaningInNarrowFields) {
    enc->put_WritingVBRHeader(0x10000);  // true, although its low 16 bits are 0
    BOOL b = FALSE;
    enc->get_WritingVBRHeader(&b);
    EXPECT_NE(b, FALSE);
    enc->put_WritingVBRHeader(-1);
    enc->get_WritingVBRHeader(&b);
    EXPECT_EQ(b, -1);

    enc->put_VbrBitrate(100000);
    LONG v = 0;
    enc->get_VbrBitrate(&v);
    EXPECT_EQ(v, 32767);
}

TEST_F(EncoderObject, CommandLineAndPresets) {
    EXPECT_EQ(enc->SetParamsFromCommandLine(Bstr("-b 192 -m j --abr 160").get()), S_OK);
    EXPECT_EQ(owner.rebuilds, 1);
    EXPECT_EQ(owner.description, "MP3 44,100 kHz; Joint Stereo;  ABR 192 Kbps; ");

    // Empty and missing command lines change nothing and rebuild nothing.
    const Mp3Settings before = owner.settings;
    EXPECT_EQ(enc->SetParamsFromCommandLine(Bstr("").get()), S_OK);
    EXPECT_EQ(enc->SetParamsFromCommandLine(nullptr), S_OK);
    EXPECT_EQ(owner.settings, before);
    EXPECT_EQ(owner.rebuilds, 1);

    enc->SetParamsFromPreset(1);
    EXPECT_EQ(owner.settings.frequency, 8000);
    EXPECT_EQ(owner.description, "MP3 8,000 kHz; Mono; 8-56 Kbps; ");

    enc->SetParamsFromAltPreset(5);
    EXPECT_EQ(owner.settings.presetMode, 4);
    EXPECT_EQ(owner.settings.bitrate, 320);

    // Alternative preset 0 is number 100, which is unknown: a full reset.
    enc->SetParamsFromAltPreset(0);
    EXPECT_EQ(owner.settings, Mp3Settings::afterReset());
    EXPECT_EQ(owner.rebuilds, 4);
}

TEST_F(EncoderObject, NullResultPointerIsRefused) {
    EXPECT_EQ(enc->get_Bitrate(nullptr), E_POINTER);
    EXPECT_EQ(enc->get_BitReservoir(nullptr), E_POINTER);
}

TEST_F(EncoderObject, DetachedOwnerIsNoLongerTouched) {
    static_cast<AudioFileLameMp3Encoder*>(enc.get())->detachOwner();
    enc->put_Bitrate(64);
    enc->SetParamsFromPreset(3);
    EXPECT_EQ(owner.settings, Mp3Settings());
    EXPECT_EQ(owner.rebuilds, 0);
    LONG v = 99;
    EXPECT_EQ(enc->get_Bitrate(&v), S_OK);
    EXPECT_EQ(v, 0);
}

TEST_F(EncoderObject, QueryInterface) {
    ComPtr<IDispatch> disp;
    ComPtr<IUnknown> unk1, unk2;
    EXPECT_EQ(enc->QueryInterface(IID_IDispatch, disp.putVoid()), S_OK);
    EXPECT_EQ(enc->QueryInterface(IID_IUnknown, unk1.putVoid()), S_OK);
    EXPECT_EQ(disp->QueryInterface(IID_IUnknown, unk2.putVoid()), S_OK);
    EXPECT_EQ(unk1.get(), unk2.get());
    ComPtr<IAudioFile> wrong;
    EXPECT_EQ(enc->QueryInterface(IID_IAudioFile, wrong.putVoid()), E_NOINTERFACE);
    EXPECT_FALSE(wrong);
}

TEST_F(EncoderObject, LateBoundCallsByNameAndDispid) {
    struct Name {
        const char16_t* text;
        DISPID expected;
    };
    for (const Name& n :
         {Name{u"bitreservoir", id::BitReservoir}, Name{u"Emphasis", id::Emphasis},
          Name{u"ERRORPROTECTION", id::ErrorProtection},
          Name{u"SetParamsFromCommandLine", id::SetParamsFromCommandLine}, Name{u"Bitrate", id::Bitrate}}) {
        std::u16string copy(n.text);
        LPOLESTR names[] = {copy.data()};
        DISPID got = 0;
        EXPECT_EQ(enc->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &got), S_OK);
        EXPECT_EQ(got, n.expected);
    }

    // A script's False reaches the inverted flag.
    EXPECT_EQ(invoke(id::BitReservoir, DISPATCH_PROPERTYPUT, {boolVariant(false)}), S_OK);
    EXPECT_EQ(owner.settings.noBitReservoir, 1);

    EXPECT_EQ(invoke(id::Bitrate, DISPATCH_PROPERTYPUT, {longVariant(256)}), S_OK);
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(invoke(id::VbrBitrate, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 256);  // raised to the bitrate
    VariantClear(&result);

    VARIANT line;
    VariantInit(&line);
    line.vt = VT_BSTR;
    line.bstrVal = SysAllocString(u"--preset radio");
    EXPECT_EQ(invoke(id::SetParamsFromCommandLine, DISPATCH_METHOD, {line}), S_OK);
    VariantClear(&line);
    EXPECT_EQ(owner.settings.bitrate, 64);
    EXPECT_EQ(owner.settings.lowPassFrequency, 15000);

    // The preset argument is optional and defaults to 0: a reset.
    EXPECT_EQ(invoke(id::SetParamsFromPreset, DISPATCH_METHOD, {}), S_OK);
    EXPECT_EQ(owner.settings, Mp3Settings::afterReset());
}

TEST(EncoderClass, RegistrationAndCreationWithoutOwner) {
    const com::ClassEntry& entry = audioFileLameMp3EncoderClass();
    EXPECT_EQ(*entry.clsid, CLSID_AudioFileLameMp3Encoder);
    EXPECT_STREQ(entry.progId, "QoroAudioFile.AudioFileLameMp3Encoder.1");
    EXPECT_STREQ(entry.versionIndependentProgId, "QoroAudioFile.AudioFileLameMp3Encoder");
    EXPECT_STREQ(entry.threadingModel, "Apartment");
    EXPECT_EQ(*entry.typeLib, LIBID_QoroAudioFile);

    ComPtr<IAudioFileLameMp3Encoder> lone;
    ASSERT_EQ(entry.create(IID_IAudioFileLameMp3Encoder, lone.putVoid()), S_OK);
    LONG v = 5;
    EXPECT_EQ(lone->put_Bitrate(320), S_OK);
    EXPECT_EQ(lone->get_Bitrate(&v), S_OK);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(lone->SetParamsFromCommandLine(Bstr("-b 64").get()), S_OK);
    BOOL b = 5;
    EXPECT_EQ(lone->get_ShortBlocks(&b), S_OK);
    EXPECT_EQ(b, 0);
}

}  // namespace
}  // namespace qoro::audiofile
