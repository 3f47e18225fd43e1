#include "object/audio_file_lame_mp3_encoder.h"

namespace qoro::audiofile {

namespace {

// A BOOL is true when non-zero. The flags are 16-bit fields; a value that does
// not fit is stored as 1 so that it stays true.
int16_t flagField(BOOL value) { return value >= -32768 && value <= 32767 ? static_cast<int16_t>(value) : int16_t{1}; }

}  // namespace

const com::DispatchTable& AudioFileLameMp3Encoder::dispatchTable() {
    using namespace com;
    using I = IAudioFileLameMp3Encoder;
    namespace id = dispid::AudioFileLameMp3Encoder;
    static const DispatchTable table{
        method<&I::SetParamsFromCommandLine>(id::SetParamsFromCommandLine, u"SetParamsFromCommandLine", {required()}),
        method<&I::SetParamsFromPreset>(id::SetParamsFromPreset, u"SetParamsFromPreset", {optional(0)}),
        method<&I::SetParamsFromAltPreset>(id::SetParamsFromAltPreset, u"SetParamsFromAltPreset", {optional(0)}),
        propget<&I::get_VbrBitrate>(id::VbrBitrate, u"VbrBitrate"),
        propput<&I::put_VbrBitrate>(id::VbrBitrate, u"VbrBitrate"),
        propget<&I::get_VbrQuality>(id::VbrQuality, u"VbrQuality"),
        propput<&I::put_VbrQuality>(id::VbrQuality, u"VbrQuality"),
        propget<&I::get_VbrCodingMethod>(id::VbrCodingMethod, u"VbrCodingMethod"),
        propput<&I::put_VbrCodingMethod>(id::VbrCodingMethod, u"VbrCodingMethod"),
        propget<&I::get_AbrBitrate>(id::AbrBitrate, u"AbrBitrate"),
        propput<&I::put_AbrBitrate>(id::AbrBitrate, u"AbrBitrate"),
        propget<&I::get_TypeStereo>(id::TypeStereo, u"TypeStereo"),
        propput<&I::put_TypeStereo>(id::TypeStereo, u"TypeStereo"),
        propget<&I::get_EncoderQuality>(id::EncoderQuality, u"EncoderQuality"),
        propput<&I::put_EncoderQuality>(id::EncoderQuality, u"EncoderQuality"),
        propget<&I::get_WritingVBRHeader>(id::WritingVBRHeader, u"WritingVBRHeader"),
        propput<&I::put_WritingVBRHeader>(id::WritingVBRHeader, u"WritingVBRHeader"),
        propget<&I::get_BitReservoir>(id::BitReservoir, u"BitReservoir"),
        propput<&I::put_BitReservoir>(id::BitReservoir, u"BitReservoir"),
        propget<&I::get_BlockTypeControl>(id::BlockTypeControl, u"BlockTypeControl"),
        propput<&I::put_BlockTypeControl>(id::BlockTypeControl, u"BlockTypeControl"),
        propget<&I::get_ShortBlocks>(id::ShortBlocks, u"ShortBlocks"),
        propput<&I::put_ShortBlocks>(id::ShortBlocks, u"ShortBlocks"),
        propget<&I::get_Emphasis>(id::Emphasis, u"Emphasis"),
        propput<&I::put_Emphasis>(id::Emphasis, u"Emphasis"),
        propget<&I::get_StrictISOCompliance>(id::StrictISOCompliance, u"StrictISOCompliance"),
        propput<&I::put_StrictISOCompliance>(id::StrictISOCompliance, u"StrictISOCompliance"),
        propget<&I::get_StrictlyEnforceMinBitrate>(id::StrictlyEnforceMinBitrate, u"StrictlyEnforceMinBitrate"),
        propput<&I::put_StrictlyEnforceMinBitrate>(id::StrictlyEnforceMinBitrate, u"StrictlyEnforceMinBitrate"),
        propget<&I::get_ATHControlMode>(id::ATHControlMode, u"ATHControlMode"),
        propput<&I::put_ATHControlMode>(id::ATHControlMode, u"ATHControlMode"),
        propget<&I::get_LowPassFrequency>(id::LowPassFrequency, u"LowPassFrequency"),
        propput<&I::put_LowPassFrequency>(id::LowPassFrequency, u"LowPassFrequency"),
        propget<&I::get_HighPassFrequency>(id::HighPassFrequency, u"HighPassFrequency"),
        propput<&I::put_HighPassFrequency>(id::HighPassFrequency, u"HighPassFrequency"),
        propget<&I::get_LowPassWidth>(id::LowPassWidth, u"LowPassWidth"),
        propput<&I::put_LowPassWidth>(id::LowPassWidth, u"LowPassWidth"),
        propget<&I::get_HighPassWidth>(id::HighPassWidth, u"HighPassWidth"),
        propput<&I::put_HighPassWidth>(id::HighPassWidth, u"HighPassWidth"),
        propget<&I::get_ErrorProtection>(id::ErrorProtection, u"ErrorProtection"),
        propput<&I::put_ErrorProtection>(id::ErrorProtection, u"ErrorProtection"),
        propget<&I::get_Frequency>(id::Frequency, u"Frequency"),
        propput<&I::put_Frequency>(id::Frequency, u"Frequency"),
        propget<&I::get_Channels>(id::Channels, u"Channels"),
        propput<&I::put_Channels>(id::Channels, u"Channels"),
        propget<&I::get_Bitrate>(id::Bitrate, u"Bitrate"),
        propput<&I::put_Bitrate>(id::Bitrate, u"Bitrate"),
    };
    return table;
}

template <class Out, class Field>
HRESULT AudioFileLameMp3Encoder::read(Out* out, Field field) {
    if (!out) return E_POINTER;
    *out = owner_ ? static_cast<Out>(field(owner_->mp3Settings())) : Out{0};
    return S_OK;
}

template <class Edit>
HRESULT AudioFileLameMp3Encoder::edit(Edit change, bool describe) {
    if (!owner_) return S_OK;
    Mp3Settings& settings = owner_->mp3Settings();
    const bool changed = change(settings);
    if (describe && changed) {
        settings.normalise();
        owner_->mp3SettingsChanged();
    }
    return S_OK;
}

// --- Methods ----------------------------------------------------------------

HRESULT AudioFileLameMp3Encoder::SetParamsFromCommandLine(BSTR CommandLine) {
    const std::string line = com::utf8FromBstr(CommandLine);
    return edit([&](Mp3Settings& s) { return s.applyCommandLine(line); }, true);
}

HRESULT AudioFileLameMp3Encoder::SetParamsFromPreset(SHORT Preset) {
    return edit(
        [&](Mp3Settings& s) {
            s.applyPreset(Preset);
            return true;
        },
        true);
}

HRESULT AudioFileLameMp3Encoder::SetParamsFromAltPreset(SHORT Preset) {
    return edit(
        [&](Mp3Settings& s) {
            s.applyPreset(Preset + 100);
            return true;
        },
        true);
}

// --- Properties -------------------------------------------------------------
// Puts store as given (16-bit fields saturate); those that shape the format
// description normalise the record and have the owner rebuild it.

#define QORO_FIELD_PROPERTY(Name, Type, field, convert, describe)        \
    HRESULT AudioFileLameMp3Encoder::get_##Name(Type* pVal) {            \
        return read(pVal, [](const Mp3Settings& s) { return s.field; }); \
    }                                                                    \
    HRESULT AudioFileLameMp3Encoder::put_##Name(Type newVal) {           \
        return edit(                                                     \
            [&](Mp3Settings& s) {                                        \
                s.field = convert(newVal);                               \
                return true;                                             \
            },                                                           \
            describe);                                                   \
    }

static int32_t as32(LONG v) { return v; }

QORO_FIELD_PROPERTY(VbrBitrate, LONG, maxVbrBitrate, toField16, true)
QORO_FIELD_PROPERTY(VbrQuality, SHORT, vbrQuality, toField16, false)
QORO_FIELD_PROPERTY(VbrCodingMethod, LONG, vbrMethod, toField16, true)
QORO_FIELD_PROPERTY(AbrBitrate, SHORT, abrBitrate, toField16, true)
QORO_FIELD_PROPERTY(TypeStereo, LONG, stereoType, toField16, true)
QORO_FIELD_PROPERTY(EncoderQuality, SHORT, encoderQuality, toField16, false)
QORO_FIELD_PROPERTY(WritingVBRHeader, BOOL, writeVbrHeader, flagField, false)
QORO_FIELD_PROPERTY(BlockTypeControl, BOOL, blockTypeControl, flagField, false)
QORO_FIELD_PROPERTY(Emphasis, SHORT, emphasis, toField16, false)
QORO_FIELD_PROPERTY(StrictISOCompliance, BOOL, strictIsoCompliance, flagField, false)
QORO_FIELD_PROPERTY(StrictlyEnforceMinBitrate, BOOL, enforceMinBitrate, flagField, false)
QORO_FIELD_PROPERTY(ATHControlMode, SHORT, athMode, toField16, false)
QORO_FIELD_PROPERTY(LowPassFrequency, LONG, lowPassFrequency, as32, false)
QORO_FIELD_PROPERTY(HighPassFrequency, LONG, highPassFrequency, as32, false)
QORO_FIELD_PROPERTY(LowPassWidth, LONG, lowPassWidth, as32, false)
QORO_FIELD_PROPERTY(HighPassWidth, LONG, highPassWidth, as32, false)
QORO_FIELD_PROPERTY(ErrorProtection, BOOL, errorProtection, flagField, false)
QORO_FIELD_PROPERTY(Frequency, LONG, frequency, as32, true)
QORO_FIELD_PROPERTY(Channels, LONG, channels, toField16, true)
QORO_FIELD_PROPERTY(Bitrate, LONG, bitrate, toField16, true)

#undef QORO_FIELD_PROPERTY

// The record keeps "no bit reservoir" and "no short blocks"; the properties
// speak of the positive.
HRESULT AudioFileLameMp3Encoder::get_BitReservoir(BOOL* pVal) {
    return read(pVal, [](const Mp3Settings& s) { return s.noBitReservoir == 0; });
}
HRESULT AudioFileLameMp3Encoder::put_BitReservoir(BOOL newVal) {
    return edit(
        [&](Mp3Settings& s) {
            s.noBitReservoir = newVal == 0;
            return true;
        },
        false);
}
HRESULT AudioFileLameMp3Encoder::get_ShortBlocks(BOOL* pVal) {
    return read(pVal, [](const Mp3Settings& s) { return s.noShortBlocks == 0; });
}
HRESULT AudioFileLameMp3Encoder::put_ShortBlocks(BOOL newVal) {
    return edit(
        [&](Mp3Settings& s) {
            s.noShortBlocks = newVal == 0;
            return true;
        },
        false);
}

// --- Creation ---------------------------------------------------------------

HRESULT createAudioFileLameMp3Encoder(Mp3SettingsOwner* owner, REFIID riid, void** ppv) {
    return com::createInstance<AudioFileLameMp3Encoder>(riid, ppv, owner);
}

namespace {
HRESULT createWithoutOwner(REFIID riid, void** ppv) { return createAudioFileLameMp3Encoder(nullptr, riid, ppv); }
}  // namespace

const com::ClassEntry& audioFileLameMp3EncoderClass() {
    static const com::ClassEntry entry{
        .clsid = &CLSID_AudioFileLameMp3Encoder,
        .create = &createWithoutOwner,
        .description = "AudioFileLameMp3Encoder Class",
        .progId = "QoroAudioFile.AudioFileLameMp3Encoder.1",
        .versionIndependentProgId = "QoroAudioFile.AudioFileLameMp3Encoder",
        .typeLib = &LIBID_QoroAudioFile,
        .typeLibVersion = "1.0",
        .threadingModel = "Apartment",
        .extraKeys = {},
    };
    return entry;
}

}  // namespace qoro::audiofile
