// The AudioFileLameMp3Encoder object: the automation face of an AudioFile's
// MP3 encoder settings. It holds no settings of its own; every property reads
// and writes the Mp3Settings record of its owner.
//
// An AudioFile makes its own settings object at construction and cuts the
// link when it goes away (a caller may still hold a reference then; from that
// moment the object works on nothing):
//
//   class AudioFileObject : ..., public qoro::audiofile::Mp3SettingsOwner {
//       qoro::com::ComPtr<qoro::audiofile::AudioFileLameMp3Encoder> encoder_ =
//           qoro::com::make<qoro::audiofile::AudioFileLameMp3Encoder>(this);
//       ~AudioFileObject() { if (encoder_) encoder_->detachOwner(); }
//       HRESULT get_Mp3LameEncoder(IAudioFileLameMp3Encoder** out) override {
//           return encoder_->QueryInterface(IID_IAudioFileLameMp3Encoder,
//                                           reinterpret_cast<void**>(out));
//       }
//       qoro::audiofile::Mp3Settings& mp3Settings() override { return mp3_; }
//       void mp3SettingsChanged() override { description_ = describeMp3(mp3_, encoderChoice_); }
//   };
//
// One created through the class factory (CLSID_AudioFileLameMp3Encoder) has no
// owner: its gets give 0, its puts and methods do nothing, all return S_OK.
#pragma once

#include "codecs/mp3enc/mp3_settings.h"
#include "qoro/AudioFile.h"
#include "qoro/com_server.h"

namespace qoro::audiofile {

class AudioFileLameMp3Encoder final
    : public com::Object<AudioFileLameMp3Encoder, com::Iface<IAudioFileLameMp3Encoder, IID_IAudioFileLameMp3Encoder>> {
public:
    explicit AudioFileLameMp3Encoder(Mp3SettingsOwner* owner = nullptr) : owner_(owner) {}

    static const com::DispatchTable& dispatchTable();

    // The owner is going away: from now on the object works on nothing.
    void detachOwner() { owner_ = nullptr; }

    HRESULT SetParamsFromCommandLine(BSTR CommandLine) override;
    HRESULT SetParamsFromPreset(SHORT Preset) override;
    HRESULT SetParamsFromAltPreset(SHORT Preset) override;
    HRESULT get_VbrBitrate(LONG* pVal) override;
    HRESULT put_VbrBitrate(LONG newVal) override;
    HRESULT get_VbrQuality(SHORT* pVal) override;
    HRESULT put_VbrQuality(SHORT newVal) override;
    HRESULT get_VbrCodingMethod(LONG* pVal) override;
    HRESULT put_VbrCodingMethod(LONG newVal) override;
    HRESULT get_AbrBitrate(SHORT* pVal) override;
    HRESULT put_AbrBitrate(SHORT newVal) override;
    HRESULT get_TypeStereo(LONG* pVal) override;
    HRESULT put_TypeStereo(LONG newVal) override;
    HRESULT get_EncoderQuality(SHORT* pVal) override;
    HRESULT put_EncoderQuality(SHORT newVal) override;
    HRESULT get_WritingVBRHeader(BOOL* pVal) override;
    HRESULT put_WritingVBRHeader(BOOL newVal) override;
    HRESULT get_BitReservoir(BOOL* pVal) override;
    HRESULT put_BitReservoir(BOOL newVal) override;
    HRESULT get_BlockTypeControl(BOOL* pVal) override;
    HRESULT put_BlockTypeControl(BOOL newVal) override;
    HRESULT get_ShortBlocks(BOOL* pVal) override;
    HRESULT put_ShortBlocks(BOOL newVal) override;
    HRESULT get_Emphasis(SHORT* pVal) override;
    HRESULT put_Emphasis(SHORT newVal) override;
    HRESULT get_StrictISOCompliance(BOOL* pVal) override;
    HRESULT put_StrictISOCompliance(BOOL newVal) override;
    HRESULT get_StrictlyEnforceMinBitrate(BOOL* pVal) override;
    HRESULT put_StrictlyEnforceMinBitrate(BOOL newVal) override;
    HRESULT get_ATHControlMode(SHORT* pVal) override;
    HRESULT put_ATHControlMode(SHORT newVal) override;
    HRESULT get_LowPassFrequency(LONG* pVal) override;
    HRESULT put_LowPassFrequency(LONG newVal) override;
    HRESULT get_HighPassFrequency(LONG* pVal) override;
    HRESULT put_HighPassFrequency(LONG newVal) override;
    HRESULT get_LowPassWidth(LONG* pVal) override;
    HRESULT put_LowPassWidth(LONG newVal) override;
    HRESULT get_HighPassWidth(LONG* pVal) override;
    HRESULT put_HighPassWidth(LONG newVal) override;
    HRESULT get_ErrorProtection(BOOL* pVal) override;
    HRESULT put_ErrorProtection(BOOL newVal) override;
    HRESULT get_Frequency(LONG* pVal) override;
    HRESULT put_Frequency(LONG newVal) override;
    HRESULT get_Channels(LONG* pVal) override;
    HRESULT put_Channels(LONG newVal) override;
    HRESULT get_Bitrate(LONG* pVal) override;
    HRESULT put_Bitrate(LONG newVal) override;

private:
    // Reads one field of the owner's record into *out (0 without an owner).
    template <class Out, class Field>
    HRESULT read(Out* out, Field field);
    // Changes the owner's record; 'describe': normalise and have the owner
    // rebuild its format description.
    template <class Edit>
    HRESULT edit(Edit change, bool describe);

    Mp3SettingsOwner* owner_;
};

// Creates a settings object working on 'owner' (null: on nothing) and asks it
// for riid.
HRESULT createAudioFileLameMp3Encoder(Mp3SettingsOwner* owner, REFIID riid, void** ppv);

// The class as the component module lists and registers it: made without an
// owner, ProgIDs "QoroAudioFile.AudioFileLameMp3Encoder(.1)", apartment model.
const com::ClassEntry& audioFileLameMp3EncoderClass();

}  // namespace qoro::audiofile
