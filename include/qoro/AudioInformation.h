// QoroAudioInformation: the public interface of the audio information component.
//
// The AudioInformation object reports a file's technical facts, reads and
// writes its descriptive tags, edits the cue points of WAV files and answers
// file-type questions. It keeps no file open between calls.
//
// This is the binding MIDL would generate for the component's type library:
// properties are get_Name(T*) / put_Name(T), a method's [out, retval] result is
// its last pointer parameter, every optional argument is present in the vtable,
// members stand in their vtable slot order after the seven IDispatch slots.
// 32-bit values travel as LONG, 16-bit values as SHORT, yes/no answers as BOOL,
// text as BSTR (a returned BSTR belongs to the caller). Every member returns
// S_OK; failure shows only in the state (infoType 0, zero facts, empty texts).
//
//   IAudioInformation* info = nullptr;
//   CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER,
//                    IID_IAudioInformation, reinterpret_cast<void**>(&info));
//   BSTR name = SysAllocString(u"song.mp3");
//   info->GetAudioInformation(name);
//   LONG ms = 0;
//   info->get_infoDuration(&ms);
//   BSTR title = nullptr;
//   info->get_infoTitle(&title);         // caller frees
//   SysFreeString(title);
//   SysFreeString(name);
//   info->Release();
//
// The identifiers below are fixed for good: stored registrations and every
// client rely on them.
#pragma once

#include "qoro/com.h"

// {1DD294F7-4368-4D1C-B7B6-864BB8BDD001}
inline constexpr GUID LIBID_QoroAudioInformation = {
    0x1dd294f7, 0x4368, 0x4d1c, {0xb7, 0xb6, 0x86, 0x4b, 0xb8, 0xbd, 0xd0, 0x01}};
// {B5BEDDC5-1506-46C6-A93D-DBC13A88073D}
inline constexpr CLSID CLSID_AudioInformation = {
    0xb5beddc5, 0x1506, 0x46c6, {0xa9, 0x3d, 0xdb, 0xc1, 0x3a, 0x88, 0x07, 0x3d}};
// {4C70B5ED-81AF-4F37-8500-1CA16E330DB5}
inline constexpr IID IID_IAudioInformation = {
    0x4c70b5ed, 0x81af, 0x4f37, {0x85, 0x00, 0x1c, 0xa1, 0x6e, 0x33, 0x0d, 0xb5}};
// {6B1F0C2E-5D4A-4E8B-9C37-2F81A0D6E913}
inline constexpr IID IID_IAudioInformation2 = {
    0x6b1f0c2e, 0x5d4a, 0x4e8b, {0x9c, 0x37, 0x2f, 0x81, 0xa0, 0xd6, 0xe9, 0x13}};
// {A3C1E5F2-7B64-4D0A-9E18-5C2D7F40B6A1}
inline constexpr IID IID_IAudioInformation3 = {
    0xa3c1e5f2, 0x7b64, 0x4d0a, {0x9e, 0x18, 0x5c, 0x2d, 0x7f, 0x40, 0xb6, 0xa1}};
// {8E9509FF-BEF3-4D88-B520-493C4CD3B465}
inline constexpr IID DIID__IAudioInformationEvents = {
    0x8e9509ff, 0xbef3, 0x4d88, {0xb5, 0x20, 0x49, 0x3c, 0x4c, 0xd3, 0xb4, 0x65}};
// {0273EF4D-BC2A-49D6-94E4-606F030F1373}
inline constexpr CLSID CLSID_AudioInformationFormats = {
    0x0273ef4d, 0xbc2a, 0x49d6, {0x94, 0xe4, 0x60, 0x6f, 0x03, 0x0f, 0x13, 0x73}};
// {716F9114-9310-4990-B174-D404370A7174}
inline constexpr IID IID_IAudioInformationFormats = {
    0x716f9114, 0x9310, 0x4990, {0xb1, 0x74, 0xd4, 0x04, 0x37, 0x0a, 0x71, 0x74}};

// Programmatic identifiers (version-dependent and version-independent) and
// the class description written at registration.
inline constexpr const OLECHAR* PROGID_AudioInformation =
    u"QoroAudioInformation.AudioInformation.1";
inline constexpr const OLECHAR* PROGID_AudioInformation_VI =
    u"QoroAudioInformation.AudioInformation";
inline constexpr const char* DESCRIPTION_AudioInformation = "QoroAudioInformation Class";
inline constexpr const OLECHAR* PROGID_AudioInformationFormats = u"QoroAudioInformation.Formats.1";
inline constexpr const OLECHAR* PROGID_AudioInformationFormats_VI = u"QoroAudioInformation.Formats";

// Dispatch identifiers, so dispatch tables, scripts and tests use names.
namespace qoro::dispid::AudioInformation {
inline constexpr DISPID GetAudioInformation = 1;
inline constexpr DISPID SetAudioInformation = 2;
inline constexpr DISPID infoFrequency = 9;
inline constexpr DISPID infoBitrate = 10;
inline constexpr DISPID infoDuration = 11;
inline constexpr DISPID infoSize = 12;
inline constexpr DISPID infoSamples = 13;
inline constexpr DISPID infoChannels = 14;
inline constexpr DISPID infoBitsPerSample = 15;
inline constexpr DISPID infoFormatTag = 16;
inline constexpr DISPID infoFormatString = 17;
inline constexpr DISPID infoType = 18;
inline constexpr DISPID GenreToString = 19;
inline constexpr DISPID infoAlbum = 21;
inline constexpr DISPID infoArtist = 22;
inline constexpr DISPID infoComments = 23;
inline constexpr DISPID infoCopyright = 24;
inline constexpr DISPID infoGenre = 25;
inline constexpr DISPID infoTitle = 26;
inline constexpr DISPID infoYear = 27;
inline constexpr DISPID infoURL = 56;
inline constexpr DISPID infoTrack = 57;
inline constexpr DISPID infoEncodedBy = 58;
inline constexpr DISPID infoComposer = 59;
inline constexpr DISPID IsWavFile = 29;
inline constexpr DISPID IsMp3File = 30;
inline constexpr DISPID IsOggVorbisFile = 31;
inline constexpr DISPID IsMp2File = 32;
inline constexpr DISPID IsMpPlusFile = 33;
inline constexpr DISPID IsAviFile = 34;
inline constexpr DISPID IsAudioFile = 37;
inline constexpr DISPID IsInfoSupport = 38;
inline constexpr DISPID mp3FastAnalysis = 39;
inline constexpr DISPID mp3TagInfoVersion = 55;
inline constexpr DISPID InsertCue = 40;
inline constexpr DISPID DeleteCue = 41;
inline constexpr DISPID cueCount = 44;
inline constexpr DISPID cueNum = 45;
inline constexpr DISPID cuePosition = 46;
inline constexpr DISPID cueLength = 47;
inline constexpr DISPID cueLabel = 48;
inline constexpr DISPID cueNote = 49;
inline constexpr DISPID cueText = 50;
inline constexpr DISPID cueLanguage = 51;
inline constexpr DISPID cueCountry = 52;
inline constexpr DISPID cueDialect = 53;
inline constexpr DISPID cueCodePage = 54;
// IAudioInformation2
inline constexpr DISPID GetField = 60;
inline constexpr DISPID SetField = 61;
inline constexpr DISPID GetFieldNames = 62;
inline constexpr DISPID GetPicture = 63;
inline constexpr DISPID SetPicture = 64;
// IAudioInformation3
inline constexpr DISPID GetFieldValues = 65;
inline constexpr DISPID SetFieldValues = 66;
}  // namespace qoro::dispid::AudioInformation

struct IAudioInformation : public IDispatch {
    virtual HRESULT GetAudioInformation(BSTR fileName) = 0;
    virtual HRESULT SetAudioInformation(BSTR fileName) = 0;
    virtual HRESULT get_infoFrequency(LONG* pVal) = 0;
    virtual HRESULT get_infoBitrate(LONG* pVal) = 0;
    virtual HRESULT get_infoDuration(LONG* pVal) = 0;
    virtual HRESULT get_infoSize(LONG* pVal) = 0;
    virtual HRESULT get_infoSamples(LONG* pVal) = 0;
    virtual HRESULT get_infoChannels(LONG* pVal) = 0;
    virtual HRESULT get_infoBitsPerSample(LONG* pVal) = 0;
    virtual HRESULT get_infoFormatTag(LONG* pVal) = 0;
    virtual HRESULT get_infoFormatString(BSTR* pVal) = 0;
    // 0 none, 1 WAV, 2 MPEG audio, 3 Ogg Vorbis, 4 MPEG Plus, 5 AVI, 6 FLAC,
    // 7 Opus, ... (AudioInformationFormats lists them): chosen by the file's
    // extension.
    virtual HRESULT get_infoType(SHORT* pVal) = 0;
    virtual HRESULT GenreToString(SHORT nGenre, BSTR* sGenre) = 0;
    virtual HRESULT get_infoAlbum(BSTR* pVal) = 0;
    virtual HRESULT put_infoAlbum(BSTR newVal) = 0;
    virtual HRESULT get_infoArtist(BSTR* pVal) = 0;
    virtual HRESULT put_infoArtist(BSTR newVal) = 0;
    virtual HRESULT get_infoComments(BSTR* pVal) = 0;
    virtual HRESULT put_infoComments(BSTR newVal) = 0;
    virtual HRESULT get_infoCopyright(BSTR* pVal) = 0;
    virtual HRESULT put_infoCopyright(BSTR newVal) = 0;
    virtual HRESULT get_infoGenre(SHORT* pVal) = 0;
    virtual HRESULT put_infoGenre(SHORT newVal) = 0;
    virtual HRESULT get_infoTitle(BSTR* pVal) = 0;
    virtual HRESULT put_infoTitle(BSTR newVal) = 0;
    virtual HRESULT get_infoYear(LONG* pVal) = 0;
    virtual HRESULT put_infoYear(LONG newVal) = 0;
    virtual HRESULT get_infoURL(BSTR* pVal) = 0;
    virtual HRESULT put_infoURL(BSTR newVal) = 0;
    virtual HRESULT get_infoTrack(SHORT* pVal) = 0;
    virtual HRESULT put_infoTrack(SHORT newVal) = 0;
    virtual HRESULT get_infoEncodedBy(BSTR* pVal) = 0;
    virtual HRESULT put_infoEncodedBy(BSTR newVal) = 0;
    virtual HRESULT get_infoComposer(BSTR* pVal) = 0;
    virtual HRESULT put_infoComposer(BSTR newVal) = 0;
    virtual HRESULT IsWavFile(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT IsMp3File(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT IsOggVorbisFile(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT IsMp2File(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT IsMpPlusFile(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT IsAviFile(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT IsAudioFile(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT IsInfoSupport(BSTR fileName, BOOL* Result) = 0;
    virtual HRESULT get_mp3FastAnalysis(BOOL* pVal) = 0;
    virtual HRESULT put_mp3FastAnalysis(BOOL newVal) = 0;
    virtual HRESULT get_mp3TagInfoVersion(SHORT* pVal) = 0;
    virtual HRESULT put_mp3TagInfoVersion(SHORT newVal) = 0;
    // Note, Text, Language, Country, Dialect and CodePage are optional.
    virtual HRESULT InsertCue(LONG Position, LONG Length, BSTR Label, BSTR Note, BSTR Text,
                              SHORT Language, SHORT Country, SHORT Dialect, SHORT CodePage) = 0;
    virtual HRESULT DeleteCue() = 0;
    virtual HRESULT get_cueCount(LONG* pVal) = 0;
    virtual HRESULT get_cueNum(LONG* pVal) = 0;
    virtual HRESULT put_cueNum(LONG newVal) = 0;
    virtual HRESULT get_cuePosition(LONG* pVal) = 0;
    virtual HRESULT put_cuePosition(LONG newVal) = 0;
    virtual HRESULT get_cueLength(LONG* pVal) = 0;
    virtual HRESULT put_cueLength(LONG newVal) = 0;
    virtual HRESULT get_cueLabel(BSTR* pVal) = 0;
    virtual HRESULT put_cueLabel(BSTR newVal) = 0;
    virtual HRESULT get_cueNote(BSTR* pVal) = 0;
    virtual HRESULT put_cueNote(BSTR newVal) = 0;
    virtual HRESULT get_cueText(BSTR* pVal) = 0;
    virtual HRESULT put_cueText(BSTR newVal) = 0;
    virtual HRESULT get_cueLanguage(SHORT* pVal) = 0;
    virtual HRESULT put_cueLanguage(SHORT newVal) = 0;
    virtual HRESULT get_cueCountry(SHORT* pVal) = 0;
    virtual HRESULT put_cueCountry(SHORT newVal) = 0;
    virtual HRESULT get_cueDialect(SHORT* pVal) = 0;
    virtual HRESULT put_cueDialect(SHORT newVal) = 0;
    virtual HRESULT get_cueCodePage(SHORT* pVal) = 0;
    virtual HRESULT put_cueCodePage(SHORT newVal) = 0;
};

// What a converter needs to carry everything a file's tags hold. An object
// that has it answers QueryInterface(IID_IAudioInformation2); the members are
// also reachable through IDispatch by name. Fields and pictures belong to the
// state GetAudioInformation fills, like the properties: the setters change
// that state, and SetAudioInformation writes it (only what was set; every
// other field and picture the file holds stays as it is).
//
// A field is any text field by the name the file type gives it: a Vorbis
// comment name (FLAC, Ogg Vorbis, Opus; compared ignoring ASCII case), an
// ID3v2 "TXXX" description (MPEG audio), a RIFF "INFO" chunk id (WAV). A name
// one of the properties owns there ("TITLE", "INAM", ...) reads and sets
// that property.
//
// A picture has a kind as in ID3v2 "APIC" (3 = front cover), a MIME type and
// its bytes, stored as "APIC", FLAC "PICTURE" or "METADATA_BLOCK_PICTURE".
struct IAudioInformation2 : public IAudioInformation {
    // [out, retval] the field's value ("" when there is none; several values of
    // one name joined with "; ").
    virtual HRESULT GetField(BSTR Name, BSTR* Value) = 0;
    // An empty Value removes the field.
    virtual HRESULT SetField(BSTR Name, BSTR Value) = 0;
    // [out, retval] a SAFEARRAY of VT_BSTR in a VARIANT: the names of the
    // fields beyond the properties, in file order, each once.
    virtual HRESULT GetFieldNames(VARIANT* Names) = 0;
    // [out] the MIME type; [out, retval] the bytes as a SAFEARRAY of VT_UI1 in
    // a VARIANT (VT_EMPTY and MimeType "" when the file has no such picture).
    virtual HRESULT GetPicture(SHORT Kind /* = 3 */, BSTR* MimeType, VARIANT* Data) = 0;
    // Data: a SAFEARRAY of VT_UI1 (or a VARIANT holding one); an empty array or
    // VT_EMPTY removes the pictures of that kind.
    virtual HRESULT SetPicture(SHORT Kind, BSTR MimeType, VARIANT Data) = 0;
};

// The fields of every tag format under one set of names, after MusicBrainz
// Picard's tag mapping: "ALBUMARTIST" is an MP3's "TPE2" frame, a FLAC's
// ALBUMARTIST comment and a Musepack file's "Album Artist" item;
// "MUSICBRAINZ_ALBUMID" is "TXXX:MusicBrainz Album Id" in an MP3. The
// property fields have map names too (TITLE, ARTIST, ALBUM, COMMENT,
// COPYRIGHT, COMPOSER, URL, ENCODEDBY, DATE, GENRE, TRACKNUMBER), and so have
// the totals (TOTALTRACKS, TOTALDISCS) a "3/12" holds. Through IAudioInformation3
// (and IAudioInformation2, whose members it has) GetField, SetField and
// GetFieldNames take map names for mapped fields (in any letter case) and a
// format's own names for the rest; GetFieldNames gives the map name of every
// mapped field the file holds beyond the properties. Several values of one
// field stay apart: an ID3v2 or APEv2 item holds them separated by NUL,
// Vorbis comments repeat the name.
struct IAudioInformation3 : public IAudioInformation2 {
    // [out, retval] a SAFEARRAY of VT_BSTR in a VARIANT: the field's values
    // in order (none when the file has no such field).
    virtual HRESULT GetFieldValues(BSTR Name, VARIANT* Values) = 0;
    // Values: a SAFEARRAY of VT_BSTR (or a VARIANT holding one); an empty
    // array or VT_EMPTY removes the field.
    virtual HRESULT SetFieldValues(BSTR Name, VARIANT Values) = 0;
};

namespace qoro::dispid::AudioInformationFormats {
inline constexpr DISPID Count = 1;
inline constexpr DISPID InfoType = 2;
inline constexpr DISPID Name = 3;
inline constexpr DISPID Title = 4;
inline constexpr DISPID Extensions = 5;
inline constexpr DISPID Abilities = 6;
inline constexpr DISPID TagScheme = 7;
inline constexpr DISPID TypeForName = 8;
}  // namespace qoro::dispid::AudioInformationFormats

// What AudioInformationFormats.Abilities reports of a type, as bits.
enum InfoAbilityConstants : LONG {
    INFO_FACTS = 1,        // GetAudioInformation reads its technical facts
    INFO_TAGS_READ = 2,    // ... and its tags
    INFO_TAGS_WRITE = 4,   // SetAudioInformation writes its tags
    INFO_WALKED = 8,       // music: a walk over a library takes its files
};

// The types of file the component reads ("QoroAudioInformation.Formats"):
// one entry per infoType value, in the order the content probes of
// IsAudioFile run. Index runs from 0 to Count - 1; an Index out of range
// gives E_INVALIDARG.
//
//   InfoType     the infoType value (1 WAV, 2 MPEG audio, ...)
//   Name         short and lower case: "wav", "mp3"
//   Title        for people: "WAV", "MPEG audio"
//   Extensions   those that choose the type, lower case, without dots,
//                separated by blanks: "mp3 mp2 mp1 mpeg"
//   Abilities    InfoAbilityConstants bits
//   TagScheme    how its tags name fields: "RIFF INFO", "ID3v1 or ID3v2",
//                "Vorbis comments", ... ("" without tags)
//   TypeForName  the infoType a file name's extension chooses (0: none)
struct IAudioInformationFormats : public IDispatch {
    virtual HRESULT get_Count(LONG* pVal) = 0;
    virtual HRESULT InfoType(LONG Index, SHORT* Value) = 0;
    virtual HRESULT Name(LONG Index, BSTR* Value) = 0;
    virtual HRESULT Title(LONG Index, BSTR* Value) = 0;
    virtual HRESULT Extensions(LONG Index, BSTR* Value) = 0;
    virtual HRESULT Abilities(LONG Index, LONG* Value) = 0;
    virtual HRESULT TagScheme(LONG Index, BSTR* Value) = 0;
    virtual HRESULT TypeForName(BSTR FileName, SHORT* InfoType) = 0;
};

// Outgoing event interface of AudioInformation, a dispinterface with no
// members: declared as the default source interface and never fired.
struct _IAudioInformationEvents : public IDispatch {};
