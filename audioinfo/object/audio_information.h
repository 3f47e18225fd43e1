// The AudioInformation automation object: IAudioInformation,
// IAudioInformation2 (the fields and pictures after it) and
// IAudioInformation3 (fields of several values; one vtable for all three) through their vtable and through IDispatch (a table of
// members with their DISPIDs and optional arguments), and the empty
// _IAudioInformationEvents source interface.
//
// The object is a record of the current file: GetAudioInformation fills it
// from a file (the reader is chosen by the extension), the properties read and
// change it, SetAudioInformation writes its tags (and, for WAV, its cues) into
// a file. No file stays open between calls. Beyond the properties the
// record holds the fields and pictures the file had (as read) and those a
// caller set since (applied on write, then part of what was read). Failure shows in the state
// (infoType 0, zero facts, empty texts), and the cause in words in this
// thread's error information; GetAudioInformation returns S_OK in any case,
// SetAudioInformation a failing HRESULT when it writes nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "object/info_types.h"
#include "qoro/AudioInformation.h"
#include "qoro/com_server.h"
#include "readers/facts.h"
#include "readers/file_type.h"
#include "tags/cue_list.h"
#include "tags/tag_record.h"

namespace qoro::audioinfo {

class AudioInformationObject final
    : public com::Object<AudioInformationObject, com::Iface<IAudioInformation3, IID_IAudioInformation3>,
                         com::Iface<ISupportErrorInfo, IID_ISupportErrorInfo>,
                         com::Events<DIID__IAudioInformationEvents>> {
public:
    AudioInformationObject() = default;
    ~AudioInformationObject() override = default;

    static const com::DispatchTable& dispatchTable();
    // The class as the component module lists and registers it.
    static const com::ClassEntry& classEntry();

    HRESULT GetAudioInformation(BSTR fileName) override;
    HRESULT SetAudioInformation(BSTR fileName) override;
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;
    HRESULT get_infoFrequency(LONG* pVal) override;
    HRESULT get_infoBitrate(LONG* pVal) override;
    HRESULT get_infoDuration(LONG* pVal) override;
    HRESULT get_infoSize(LONG* pVal) override;
    HRESULT get_infoSamples(LONG* pVal) override;
    HRESULT get_infoChannels(LONG* pVal) override;
    HRESULT get_infoBitsPerSample(LONG* pVal) override;
    HRESULT get_infoFormatTag(LONG* pVal) override;
    HRESULT get_infoFormatString(BSTR* pVal) override;
    HRESULT get_infoType(SHORT* pVal) override;
    HRESULT GenreToString(SHORT nGenre, BSTR* sGenre) override;
    HRESULT get_infoAlbum(BSTR* pVal) override;
    HRESULT put_infoAlbum(BSTR newVal) override;
    HRESULT get_infoArtist(BSTR* pVal) override;
    HRESULT put_infoArtist(BSTR newVal) override;
    HRESULT get_infoComments(BSTR* pVal) override;
    HRESULT put_infoComments(BSTR newVal) override;
    HRESULT get_infoCopyright(BSTR* pVal) override;
    HRESULT put_infoCopyright(BSTR newVal) override;
    HRESULT get_infoGenre(SHORT* pVal) override;
    HRESULT put_infoGenre(SHORT newVal) override;
    HRESULT get_infoTitle(BSTR* pVal) override;
    HRESULT put_infoTitle(BSTR newVal) override;
    HRESULT get_infoYear(LONG* pVal) override;
    HRESULT put_infoYear(LONG newVal) override;
    HRESULT get_infoURL(BSTR* pVal) override;
    HRESULT put_infoURL(BSTR newVal) override;
    HRESULT get_infoTrack(SHORT* pVal) override;
    HRESULT put_infoTrack(SHORT newVal) override;
    HRESULT get_infoEncodedBy(BSTR* pVal) override;
    HRESULT put_infoEncodedBy(BSTR newVal) override;
    HRESULT get_infoComposer(BSTR* pVal) override;
    HRESULT put_infoComposer(BSTR newVal) override;
    HRESULT IsWavFile(BSTR fileName, BOOL* Result) override;
    HRESULT IsMp3File(BSTR fileName, BOOL* Result) override;
    HRESULT IsOggVorbisFile(BSTR fileName, BOOL* Result) override;
    HRESULT IsMp2File(BSTR fileName, BOOL* Result) override;
    HRESULT IsMpPlusFile(BSTR fileName, BOOL* Result) override;
    HRESULT IsAviFile(BSTR fileName, BOOL* Result) override;
    HRESULT IsAudioFile(BSTR fileName, BOOL* Result) override;
    HRESULT IsInfoSupport(BSTR fileName, BOOL* Result) override;
    HRESULT get_mp3FastAnalysis(BOOL* pVal) override;
    HRESULT put_mp3FastAnalysis(BOOL newVal) override;
    HRESULT get_mp3TagInfoVersion(SHORT* pVal) override;
    HRESULT put_mp3TagInfoVersion(SHORT newVal) override;
    HRESULT InsertCue(LONG Position, LONG Length, BSTR Label, BSTR Note, BSTR Text, SHORT Language, SHORT Country,
                      SHORT Dialect, SHORT CodePage) override;
    HRESULT DeleteCue() override;
    HRESULT get_cueCount(LONG* pVal) override;
    HRESULT get_cueNum(LONG* pVal) override;
    HRESULT put_cueNum(LONG newVal) override;
    HRESULT get_cuePosition(LONG* pVal) override;
    HRESULT put_cuePosition(LONG newVal) override;
    HRESULT get_cueLength(LONG* pVal) override;
    HRESULT put_cueLength(LONG newVal) override;
    HRESULT get_cueLabel(BSTR* pVal) override;
    HRESULT put_cueLabel(BSTR newVal) override;
    HRESULT get_cueNote(BSTR* pVal) override;
    HRESULT put_cueNote(BSTR newVal) override;
    HRESULT get_cueText(BSTR* pVal) override;
    HRESULT put_cueText(BSTR newVal) override;
    HRESULT get_cueLanguage(SHORT* pVal) override;
    HRESULT put_cueLanguage(SHORT newVal) override;
    HRESULT get_cueCountry(SHORT* pVal) override;
    HRESULT put_cueCountry(SHORT newVal) override;
    HRESULT get_cueDialect(SHORT* pVal) override;
    HRESULT put_cueDialect(SHORT newVal) override;
    HRESULT get_cueCodePage(SHORT* pVal) override;
    HRESULT put_cueCodePage(SHORT newVal) override;
    HRESULT GetField(BSTR Name, BSTR* Value) override;
    HRESULT SetField(BSTR Name, BSTR Value) override;
    HRESULT GetFieldNames(VARIANT* Names) override;
    HRESULT GetPicture(SHORT Kind, BSTR* MimeType, VARIANT* Data) override;
    HRESULT SetPicture(SHORT Kind, BSTR MimeType, VARIANT Data) override;
    HRESULT GetFieldValues(BSTR Name, VARIANT* Values) override;
    HRESULT SetFieldValues(BSTR Name, VARIANT Values) override;

    // IAudioInformation and IAudioInformation2: the first slots of
    // IAudioInformation3's vtable.
    HRESULT queryExtra(REFIID riid, void** ppv);

private:
    // Back to the state of a new object, except the MPEG options and the type.
    void reset();
    // Classifies the path's extension and stores the type.
    FileType classify(const std::string& path);
    // A fresh BSTR of UTF-8 text into *out (E_POINTER for a null out).
    static HRESULT text(const std::string& value, BSTR* out);
    static HRESULT number(LONG value, LONG* out);
    static HRESULT number(SHORT value, SHORT* out);
    // The tag scheme of the current type (None without one).
    TagScheme scheme() const;
    // True when the current type keeps its fields in Vorbis comments.
    bool vorbisType() const;
    // The values of the property a field name stands for (a map name, or a
    // name of the current type's own); nullopt for a name beyond the
    // properties.
    std::optional<std::vector<std::string>> propertyValues(const std::string& name) const;
    bool setPropertyField(const std::string& name, const std::vector<std::string>& values);
    // Field names compared: mapped names by the field they map to, others
    // as the current type compares its names.
    bool sameFieldName(std::string_view a, std::string_view b) const;
    // Why a tag scheme cannot hold a field of this name ("" when it can).
    std::string fieldRefusal(TagScheme scheme, const std::string& name) const;
    HRESULT fieldValues(const std::string& name, std::vector<std::string>& out) const;
    HRESULT setFieldValues(const std::string& name, std::vector<std::string> values);
    // The fields and pictures as read with the changes applied.
    tags::TagExtras current() const;
    // Why the changes cannot be written into a file of this type ("" when they can).
    std::string refusal(const InfoTypeEntry& entry) const;

    tags::TagRecord tags_;
    Facts facts_;
    FileType type_ = FileType::Unknown;
    BOOL fastAnalysis_ = TRUE;
    SHORT tagVersion_ = 1;
    tags::CueList cues_;
    tags::TagExtras extras_;    // as read (or last written)
    tags::TagChanges changes_;  // set since
};

}  // namespace qoro::audioinfo
