#include "object/audio_information.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "genre/genre.h"
#include "io/file_rewrite.h"
#include "object/info_types.h"
#include "probe/signature.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"
#include "riff/riff.h"
#include "tags/apev2.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"
#include "tags/mp4_write.h"
#include "tags/text.h"
#include "tags/vorbis_comments.h"
#include "tags/wav_info.h"

namespace qoro::audioinfo {

namespace id = qoro::dispid::AudioInformation;

namespace {

std::string utf8Of(BSTR fileName) { return com::utf8FromBstr(fileName); }

HRESULT answer(bool yes, BOOL* out) {
    if (!out) return E_POINTER;
    *out = yes ? TRUE : FALSE;
    return S_OK;
}

// The probe of one file type; 0 for Unknown.
int probeOf(FileType type, const std::string& path) {
    const InfoTypeEntry* entry = infoTypeEntry(type);
    return entry ? entry->probe(path) : 0;
}

constexpr std::string_view kSource = "QoroAudioInformation.AudioInformation";

// A kind found by signature that the reader of a known type does not read:
// the file is no file of that type, and is not handed to its reader.
bool foreignTo(FileType type, probe::Kind kind) {
    const InfoTypeEntry* entry = infoTypeEntry(type);
    return entry && kind != probe::Kind::None && !readsKind(*entry, kind);
}

// Why a file of a foreign kind is not read as the type: the kind, and what
// it is not ("an MP4/AAC file: this format is not supported").
std::string foreignCause(FileType type, probe::Kind kind) {
    const InfoTypeEntry* entry = infoTypeEntry(type);
    return entry && anyReadsKind(kind) ? probe::refusal(kind, entry->inWords) : probe::refusal(kind);
}

// The bytes of a VT_UI1 array (by value or by reference, or inside a VARIANT
// by reference); nullopt for anything else. VT_EMPTY, VT_NULL and a missing
// argument give no bytes.
std::optional<std::vector<uint8_t>> bytesOf(const VARIANT& data) {
    const VARIANT* v = &data;
    while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    if (v->vt == VT_EMPTY || v->vt == VT_NULL || (v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND))
        return std::vector<uint8_t>{};
    SAFEARRAY* array = nullptr;
    if (v->vt == (VT_ARRAY | VT_UI1))
        array = v->parray;
    else if (v->vt == (VT_BYREF | VT_ARRAY | VT_UI1))
        array = v->pparray ? *v->pparray : nullptr;
    else
        return std::nullopt;
    if (!array) return std::vector<uint8_t>{};
    VARTYPE vt = VT_EMPTY;
    if (SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &vt)) || vt != VT_UI1 ||
        SafeArrayGetElemsize(array) != 1)
        return std::nullopt;
    LONG low = 0, high = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) return std::nullopt;
    std::vector<uint8_t> out;
    if (high < low) return out;
    out.resize(static_cast<size_t>(static_cast<int64_t>(high) - low + 1));
    void* p = nullptr;
    if (FAILED(SafeArrayAccessData(array, &p))) return std::nullopt;
    std::memcpy(out.data(), p, out.size());
    SafeArrayUnaccessData(array);
    return out;
}

// The MIME type of the common image formats by their first bytes ("" for others).
std::string sniffedMimeType(const std::vector<uint8_t>& b) {
    auto starts = [&b](std::initializer_list<uint8_t> magic) {
        return b.size() >= magic.size() && std::equal(magic.begin(), magic.end(), b.begin());
    };
    if (starts({0xFF, 0xD8, 0xFF})) return "image/jpeg";
    if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return "image/png";
    if (starts({'G', 'I', 'F', '8'})) return "image/gif";
    return {};
}

// What the extras hold after the changes: each change replaces every entry
// of its name (kind) by one in the place of the first of them, at the end
// when there was none, or removes them.
template <class Entry, class Same, class Present>
void applyChange(std::vector<Entry>& entries, const Entry& change, Same same, Present present) {
    std::vector<Entry> out;
    bool placed = false;
    for (auto& e : entries) {
        if (!same(e, change)) {
            out.push_back(std::move(e));
            continue;
        }
        if (!placed && present(change)) out.push_back(change);
        placed = true;
    }
    if (!placed && present(change)) out.push_back(change);
    entries = std::move(out);
}

// Runs a member's work; running out of memory (a picture of some size) is
// E_OUTOFMEMORY, never an exception across the interface.
template <class Work>
HRESULT guarded(Work&& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

const com::DispatchTable& AudioInformationObject::dispatchTable() {
    using namespace qoro::com;
    using I = IAudioInformation;
    static const DispatchTable table{
        method<&I::GetAudioInformation>(id::GetAudioInformation, u"GetAudioInformation", {required()}),
        method<&I::SetAudioInformation>(id::SetAudioInformation, u"SetAudioInformation", {required()}),
        propget<&I::get_infoFrequency>(id::infoFrequency, u"infoFrequency"),
        propget<&I::get_infoBitrate>(id::infoBitrate, u"infoBitrate"),
        propget<&I::get_infoDuration>(id::infoDuration, u"infoDuration"),
        propget<&I::get_infoSize>(id::infoSize, u"infoSize"),
        propget<&I::get_infoSamples>(id::infoSamples, u"infoSamples"),
        propget<&I::get_infoChannels>(id::infoChannels, u"infoChannels"),
        propget<&I::get_infoBitsPerSample>(id::infoBitsPerSample, u"infoBitsPerSample"),
        propget<&I::get_infoFormatTag>(id::infoFormatTag, u"infoFormatTag"),
        propget<&I::get_infoFormatString>(id::infoFormatString, u"infoFormatString"),
        propget<&I::get_infoType>(id::infoType, u"infoType"),
        method<&I::GenreToString>(id::GenreToString, u"GenreToString"),
        propget<&I::get_infoAlbum>(id::infoAlbum, u"infoAlbum"),
        propput<&I::put_infoAlbum>(id::infoAlbum, u"infoAlbum"),
        propget<&I::get_infoArtist>(id::infoArtist, u"infoArtist"),
        propput<&I::put_infoArtist>(id::infoArtist, u"infoArtist"),
        propget<&I::get_infoComments>(id::infoComments, u"infoComments"),
        propput<&I::put_infoComments>(id::infoComments, u"infoComments"),
        propget<&I::get_infoCopyright>(id::infoCopyright, u"infoCopyright"),
        propput<&I::put_infoCopyright>(id::infoCopyright, u"infoCopyright"),
        propget<&I::get_infoGenre>(id::infoGenre, u"infoGenre"),
        propput<&I::put_infoGenre>(id::infoGenre, u"infoGenre"),
        propget<&I::get_infoTitle>(id::infoTitle, u"infoTitle"),
        propput<&I::put_infoTitle>(id::infoTitle, u"infoTitle"),
        propget<&I::get_infoYear>(id::infoYear, u"infoYear"),
        propput<&I::put_infoYear>(id::infoYear, u"infoYear"),
        propget<&I::get_infoURL>(id::infoURL, u"infoURL"),
        propput<&I::put_infoURL>(id::infoURL, u"infoURL"),
        propget<&I::get_infoTrack>(id::infoTrack, u"infoTrack"),
        propput<&I::put_infoTrack>(id::infoTrack, u"infoTrack"),
        propget<&I::get_infoEncodedBy>(id::infoEncodedBy, u"infoEncodedBy"),
        propput<&I::put_infoEncodedBy>(id::infoEncodedBy, u"infoEncodedBy"),
        propget<&I::get_infoComposer>(id::infoComposer, u"infoComposer"),
        propput<&I::put_infoComposer>(id::infoComposer, u"infoComposer"),
        method<&I::IsWavFile>(id::IsWavFile, u"IsWavFile"),
        method<&I::IsMp3File>(id::IsMp3File, u"IsMp3File"),
        method<&I::IsOggVorbisFile>(id::IsOggVorbisFile, u"IsOggVorbisFile"),
        method<&I::IsMp2File>(id::IsMp2File, u"IsMp2File"),
        method<&I::IsMpPlusFile>(id::IsMpPlusFile, u"IsMpPlusFile"),
        method<&I::IsAviFile>(id::IsAviFile, u"IsAviFile"),
        method<&I::IsAudioFile>(id::IsAudioFile, u"IsAudioFile"),
        method<&I::IsInfoSupport>(id::IsInfoSupport, u"IsInfoSupport"),
        propget<&I::get_mp3FastAnalysis>(id::mp3FastAnalysis, u"mp3FastAnalysis"),
        propput<&I::put_mp3FastAnalysis>(id::mp3FastAnalysis, u"mp3FastAnalysis"),
        propget<&I::get_mp3TagInfoVersion>(id::mp3TagInfoVersion, u"mp3TagInfoVersion"),
        propput<&I::put_mp3TagInfoVersion>(id::mp3TagInfoVersion, u"mp3TagInfoVersion"),
        method<&I::InsertCue>(id::InsertCue, u"InsertCue",
                              {required(), required(), required(), optional(), optional(), optional(), optional(),
                               optional(), optional()}),
        method<&I::DeleteCue>(id::DeleteCue, u"DeleteCue"),
        propget<&I::get_cueCount>(id::cueCount, u"cueCount"),
        propget<&I::get_cueNum>(id::cueNum, u"cueNum"),
        propput<&I::put_cueNum>(id::cueNum, u"cueNum"),
        propget<&I::get_cuePosition>(id::cuePosition, u"cuePosition"),
        propput<&I::put_cuePosition>(id::cuePosition, u"cuePosition"),
        propget<&I::get_cueLength>(id::cueLength, u"cueLength"),
        propput<&I::put_cueLength>(id::cueLength, u"cueLength"),
        propget<&I::get_cueLabel>(id::cueLabel, u"cueLabel"),
        propput<&I::put_cueLabel>(id::cueLabel, u"cueLabel"),
        propget<&I::get_cueNote>(id::cueNote, u"cueNote"),
        propput<&I::put_cueNote>(id::cueNote, u"cueNote"),
        propget<&I::get_cueText>(id::cueText, u"cueText"),
        propput<&I::put_cueText>(id::cueText, u"cueText"),
        propget<&I::get_cueLanguage>(id::cueLanguage, u"cueLanguage"),
        propput<&I::put_cueLanguage>(id::cueLanguage, u"cueLanguage"),
        propget<&I::get_cueCountry>(id::cueCountry, u"cueCountry"),
        propput<&I::put_cueCountry>(id::cueCountry, u"cueCountry"),
        propget<&I::get_cueDialect>(id::cueDialect, u"cueDialect"),
        propput<&I::put_cueDialect>(id::cueDialect, u"cueDialect"),
        propget<&I::get_cueCodePage>(id::cueCodePage, u"cueCodePage"),
        propput<&I::put_cueCodePage>(id::cueCodePage, u"cueCodePage"),
        // IAudioInformation2
        method<&IAudioInformation2::GetField>(id::GetField, u"GetField", {required()}),
        method<&IAudioInformation2::SetField>(id::SetField, u"SetField", {required(), required()}),
        method<&IAudioInformation2::GetFieldNames>(id::GetFieldNames, u"GetFieldNames"),
        method<&IAudioInformation2::GetPicture>(id::GetPicture, u"GetPicture", {optional(SHORT{3}), optional()}),
        method<&IAudioInformation2::SetPicture>(id::SetPicture, u"SetPicture", {required(), required(), optional()}),
        // IAudioInformation3
        method<&IAudioInformation3::GetFieldValues>(id::GetFieldValues, u"GetFieldValues", {required()}),
        method<&IAudioInformation3::SetFieldValues>(id::SetFieldValues, u"SetFieldValues", {required(), optional()}),
    };
    return table;
}

const com::ClassEntry& AudioInformationObject::classEntry() {
    static const com::ClassEntry entry{
        .clsid = &CLSID_AudioInformation,
        .create = &com::createInstance<AudioInformationObject>,
        .description = DESCRIPTION_AudioInformation,
        .progId = "QoroAudioInformation.AudioInformation.1",
        .versionIndependentProgId = "QoroAudioInformation.AudioInformation",
        .typeLib = &LIBID_QoroAudioInformation,
        .typeLibVersion = "1.0",
        .threadingModel = "Apartment",
        .extraKeys = {{"Programmable", ""},
                      {"Control", ""},
                      {"Insertable", ""},
                      {"ToolboxBitmap32", "libQoroAudioInformation.so, 101"},
                      {"MiscStatus", "0"},
                      {"MiscStatus\\1", "132497"}},
    };
    return entry;
}

// --- state ---------------------------------------------------------------------

void AudioInformationObject::reset() {
    tags_ = tags::TagRecord{};
    facts_ = Facts{};
    cues_.clear();
    extras_ = tags::TagExtras{};
    changes_ = tags::TagChanges{};
}

FileType AudioInformationObject::classify(const std::string& path) {
    type_ = typeOfName(path);
    return type_;
}

HRESULT AudioInformationObject::text(const std::string& value, BSTR* out) {
    if (!out) return E_POINTER;
    *out = com::bstrFromUtf8(value);
    return S_OK;
}

HRESULT AudioInformationObject::number(LONG value, LONG* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}

HRESULT AudioInformationObject::number(SHORT value, SHORT* out) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}

// --- reading and writing files ---------------------------------------------------

// The state is the result, as it always was: infoType 0 or zero facts when
// the file could not be read. With it the cause in words goes into this
// thread's error information ("No such file or directory", "the file is
// empty", "not an audio file of this type", "a JPEG image, not an audio
// file"); the member returns S_OK. A file whose first bytes name a kind the
// reader of its type does not read is not handed to that reader.
HRESULT AudioInformationObject::GetAudioInformation(BSTR fileName) {
    SetErrorInfo(0, nullptr);
    reset();
    const std::string path = utf8Of(fileName);
    bool read = true;
    std::string notRead = "not an audio file of this type";
    const FileType type = classify(path);
    const probe::Kind kind = probe::identify(path);
    if (foreignTo(type, kind)) {
        // Named as one type, of a kind its reader does not read: a file that
        // reader cannot read.
        read = false;
        notRead = foreignCause(type, kind);
        type_ = FileType::Unknown;
    } else if (const InfoTypeEntry* entry = infoTypeEntry(type)) {
        std::string why;
        read = entry->read({path, fastAnalysis_ != FALSE, tagVersion_, facts_, tags_, extras_, cues_, &why});
        if (!read && !entry->unreadable.empty() && entry->probe(path) > 0) notRead = entry->unreadable;
        if (!read && !why.empty()) notRead = std::move(why);
        if (!read && !entry->keepsFailedRead) {
            type_ = FileType::Unknown;
            reset();
        }
    } else {
        facts_.size = sizeFact(fileLength(path));
        read = false;
        notRead = kind != probe::Kind::None && !anyReadsKind(kind) ? probe::refusal(kind)
                                                                   : "not a type of file this component reads";
    }
    if (!read) {
        // The file itself first: missing, not permitted, a directory, empty.
        const std::string reason = riff::unreadableReason(path);
        com::reportError(S_OK, IID_IAudioInformation, "QoroAudioInformation.AudioInformation",
                         reason.empty() ? notRead : reason);
    }
    return S_OK;
}

namespace {

HRESULT hresultOf(const std::error_code& ec) {
    if (ec.category() == std::system_category()) return com::hresultFromErrno(ec.value());
    if (ec == io::Error::Damaged) return HRESULT_BAD_FORMAT;
    return E_FAIL;
}

}  // namespace

// A write that cannot complete leaves the file as it was and is reported:
// a failing HRESULT and, as error information, its cause.
HRESULT AudioInformationObject::SetAudioInformation(BSTR fileName) {
    SetErrorInfo(0, nullptr);
    const std::string path = utf8Of(fileName);
    const FileType type = classify(path);
    // A file of another kind under this name gets no tag of this type.
    const InfoTypeEntry* entry = infoTypeEntry(type);
    if (!entry || !entry->write)
        return com::reportError(E_NOTIMPL, IID_IAudioInformation, kSource,
                                "tags of this type of file cannot be written");
    if (const probe::Kind kind = probe::identify(path); foreignTo(type, kind))
        return com::reportError(HRESULT_BAD_FORMAT, IID_IAudioInformation, kSource,
                                "cannot write the tags: " + foreignCause(type, kind));
    // Fields and pictures the file's tags cannot hold: nothing is written.
    if (const std::string why = refusal(*entry); !why.empty())
        return com::reportError(E_NOTIMPL, IID_IAudioInformation, kSource, "cannot write the tags: " + why);
    // Fields set while the record held a file of another type, whose names
    // the properties own here, set those properties.
    std::erase_if(changes_.fields, [this](const tags::FieldChange& f) { return setPropertyField(f.name, f.values); });
    const std::error_code ec = entry->write({path, tagVersion_, tags_, cues_, changes_});
    if (!ec) {
        // What was set is now what the file holds.
        extras_ = current();
        changes_ = tags::TagChanges{};
        return S_OK;
    }
    return com::reportError(hresultOf(ec), IID_IAudioInformation, "QoroAudioInformation.AudioInformation",
                            "cannot write the tags: " + ec.message());
}

HRESULT AudioInformationObject::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == IID_IAudioInformation || riid == IID_IAudioInformation2 || riid == IID_IAudioInformation3 ? S_OK
                                                                                                           : S_FALSE;
}

HRESULT AudioInformationObject::queryExtra(REFIID riid, void** ppv) {
    if (riid != IID_IAudioInformation && riid != IID_IAudioInformation2) return E_NOINTERFACE;
    IAudioInformation2* older = static_cast<IAudioInformation3*>(this);
    older->AddRef();
    *ppv = older;
    return S_OK;
}

// --- technical facts ---------------------------------------------------------------

HRESULT AudioInformationObject::get_infoFrequency(LONG* p) { return number(facts_.frequency, p); }
HRESULT AudioInformationObject::get_infoBitrate(LONG* p) { return number(facts_.bitrate, p); }
HRESULT AudioInformationObject::get_infoDuration(LONG* p) { return number(facts_.duration, p); }
HRESULT AudioInformationObject::get_infoSize(LONG* p) { return number(facts_.size, p); }
HRESULT AudioInformationObject::get_infoSamples(LONG* p) { return number(facts_.samples, p); }
HRESULT AudioInformationObject::get_infoChannels(LONG* p) { return number(facts_.channels, p); }
HRESULT AudioInformationObject::get_infoBitsPerSample(LONG* p) { return number(facts_.bitsPerSample, p); }
HRESULT AudioInformationObject::get_infoFormatTag(LONG* p) { return number(facts_.formatTag, p); }
HRESULT AudioInformationObject::get_infoFormatString(BSTR* p) { return text(facts_.description, p); }
HRESULT AudioInformationObject::get_infoType(SHORT* p) { return number(static_cast<SHORT>(type_), p); }

HRESULT AudioInformationObject::GenreToString(SHORT nGenre, BSTR* sGenre) {
    return text(std::string(genre::toString(nGenre)), sGenre);
}

// --- tags ----------------------------------------------------------------------------

HRESULT AudioInformationObject::get_infoAlbum(BSTR* p) { return text(tags_.album, p); }
HRESULT AudioInformationObject::put_infoAlbum(BSTR v) {
    tags_.album = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoArtist(BSTR* p) { return text(tags_.artist, p); }
HRESULT AudioInformationObject::put_infoArtist(BSTR v) {
    tags_.artist = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoComments(BSTR* p) { return text(tags_.comments, p); }
HRESULT AudioInformationObject::put_infoComments(BSTR v) {
    tags_.comments = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoCopyright(BSTR* p) { return text(tags_.copyright, p); }
HRESULT AudioInformationObject::put_infoCopyright(BSTR v) {
    tags_.copyright = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoGenre(SHORT* p) { return number(static_cast<SHORT>(tags_.genre), p); }
// Putting the index the object reports changes nothing (a free-text genre
// such as "Klezmer" reports 12 and stays; a file without a genre gets none);
// any other index puts that genre of the table.
HRESULT AudioInformationObject::put_infoGenre(SHORT v) {
    if (v != tags_.genre) tags::setGenreIndex(tags_, v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoTitle(BSTR* p) { return text(tags_.title, p); }
HRESULT AudioInformationObject::put_infoTitle(BSTR v) {
    tags_.title = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoYear(LONG* p) { return number(static_cast<LONG>(tags_.year), p); }
// The same year keeps the whole date it belongs to ("2021-06-01").
HRESULT AudioInformationObject::put_infoYear(LONG v) {
    if (v != tags_.year) tags::setYear(tags_, v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoURL(BSTR* p) { return text(tags_.url, p); }
HRESULT AudioInformationObject::put_infoURL(BSTR v) {
    tags_.url = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoTrack(SHORT* p) { return number(static_cast<SHORT>(tags_.track), p); }
HRESULT AudioInformationObject::put_infoTrack(SHORT v) {
    tags_.track = v;
    return S_OK;
}
HRESULT AudioInformationObject::get_infoEncodedBy(BSTR* p) { return text(tags_.encodedBy, p); }
HRESULT AudioInformationObject::put_infoEncodedBy(BSTR v) {
    tags_.encodedBy = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoComposer(BSTR* p) { return text(tags_.composer, p); }
HRESULT AudioInformationObject::put_infoComposer(BSTR v) {
    tags_.composer = utf8Of(v);
    return S_OK;
}

// --- file-type tests -------------------------------------------------------------------

HRESULT AudioInformationObject::IsWavFile(BSTR f, BOOL* r) { return answer(probeWav(utf8Of(f)) > 0, r); }
HRESULT AudioInformationObject::IsMp3File(BSTR f, BOOL* r) { return answer(probeMpeg(utf8Of(f)) == 3, r); }
HRESULT AudioInformationObject::IsOggVorbisFile(BSTR f, BOOL* r) { return answer(probeOgg(utf8Of(f)) > 0, r); }
HRESULT AudioInformationObject::IsMp2File(BSTR f, BOOL* r) { return answer(probeMpeg(utf8Of(f)) == 2, r); }
HRESULT AudioInformationObject::IsMpPlusFile(BSTR f, BOOL* r) { return answer(probeMpc(utf8Of(f)) > 0, r); }
HRESULT AudioInformationObject::IsAviFile(BSTR f, BOOL* r) { return answer(probeAvi(utf8Of(f)) > 0, r); }

HRESULT AudioInformationObject::IsAudioFile(BSTR fileName, BOOL* Result) {
    if (!Result) return E_POINTER;
    const std::string path = utf8Of(fileName);
    const FileType type = classify(path);
    // A kind of file that no reader here reads is no audio file to this
    // component, whatever a probe would make of its bytes.
    if (const probe::Kind kind = probe::identify(path); kind != probe::Kind::None && !anyReadsKind(kind))
        return answer(false, Result);
    int result = 0;
    if (type != FileType::Unknown) {
        result = probeOf(type, path);
        // Not what its name says: every other probe in turn.
        if (result <= 0)
            for (const InfoTypeEntry& other : infoTypes())
                if (other.type != type && (result = other.probe(path)) != 0) break;
    } else {
        for (const InfoTypeEntry& t : infoTypes())
            if ((result = t.probe(path)) != 0) break;
    }
    return answer(result > 0, Result);
}

HRESULT AudioInformationObject::IsInfoSupport(BSTR fileName, BOOL* Result) {
    if (!Result) return E_POINTER;
    const std::string path = utf8Of(fileName);
    const FileType type = classify(path);
    const InfoTypeEntry* entry = infoTypeEntry(type);
    const bool readable =
        entry && entry->scheme != TagScheme::None && !foreignTo(type, probe::identify(path)) && entry->probe(path) > 0;
    return answer(readable, Result);
}

HRESULT AudioInformationObject::get_mp3FastAnalysis(BOOL* p) {
    if (!p) return E_POINTER;
    *p = fastAnalysis_;
    return S_OK;
}
HRESULT AudioInformationObject::put_mp3FastAnalysis(BOOL v) {
    fastAnalysis_ = v;
    return S_OK;
}
HRESULT AudioInformationObject::get_mp3TagInfoVersion(SHORT* p) { return number(tagVersion_, p); }
HRESULT AudioInformationObject::put_mp3TagInfoVersion(SHORT v) {
    tagVersion_ = static_cast<SHORT>(std::clamp<int>(v, 1, 2));
    return S_OK;
}

// --- cue points ------------------------------------------------------------------------

HRESULT AudioInformationObject::InsertCue(LONG Position, LONG Length, BSTR Label, BSTR Note, BSTR Text, SHORT Language,
                                          SHORT Country, SHORT Dialect, SHORT CodePage) {
    tags::Cue cue;
    cue.position = static_cast<uint32_t>(std::max<LONG>(Position, 0));
    cue.length = static_cast<uint32_t>(std::max<LONG>(Length, 0));
    cue.label = utf8Of(Label);
    cue.note = utf8Of(Note);
    cue.text = utf8Of(Text);
    cue.language = static_cast<uint16_t>(Language);
    cue.country = static_cast<uint16_t>(Country);
    cue.dialect = static_cast<uint16_t>(Dialect);
    cue.codePage = static_cast<uint16_t>(CodePage);
    cues_.insert(std::move(cue));
    return S_OK;
}

HRESULT AudioInformationObject::DeleteCue() {
    cues_.remove();
    return S_OK;
}

HRESULT AudioInformationObject::get_cueCount(LONG* p) { return number(static_cast<LONG>(cues_.count()), p); }
HRESULT AudioInformationObject::get_cueNum(LONG* p) { return number(static_cast<LONG>(cues_.number()), p); }
HRESULT AudioInformationObject::put_cueNum(LONG v) {
    if (cues_.current()) cues_.select(v);
    return S_OK;
}

#define QORO_CUE_FIELD(Name, field, Type, Stored)                              \
    HRESULT AudioInformationObject::get_cue##Name(Type* p) {                   \
        const tags::Cue* c = cues_.current();                                  \
        return number(c ? static_cast<Type>(c->field) : Type{0}, p);           \
    }                                                                          \
    HRESULT AudioInformationObject::put_cue##Name(Type v) {                    \
        if (tags::Cue* c = cues_.current()) c->field = static_cast<Stored>(v); \
        return S_OK;                                                           \
    }
QORO_CUE_FIELD(Language, language, SHORT, uint16_t)
QORO_CUE_FIELD(Country, country, SHORT, uint16_t)
QORO_CUE_FIELD(Dialect, dialect, SHORT, uint16_t)
QORO_CUE_FIELD(CodePage, codePage, SHORT, uint16_t)
#undef QORO_CUE_FIELD

#define QORO_CUE_TEXT(Name, field)                                \
    HRESULT AudioInformationObject::get_cue##Name(BSTR* p) {      \
        const tags::Cue* c = cues_.current();                     \
        return text(c ? c->field : std::string(), p);             \
    }                                                             \
    HRESULT AudioInformationObject::put_cue##Name(BSTR v) {       \
        if (tags::Cue* c = cues_.current()) c->field = utf8Of(v); \
        return S_OK;                                              \
    }
QORO_CUE_TEXT(Label, label)
QORO_CUE_TEXT(Note, note)
QORO_CUE_TEXT(Text, text)
#undef QORO_CUE_TEXT

HRESULT AudioInformationObject::get_cuePosition(LONG* p) {
    const tags::Cue* c = cues_.current();
    return number(c ? static_cast<LONG>(c->position) : 0, p);
}
HRESULT AudioInformationObject::put_cuePosition(LONG v) {
    if (cues_.current()) cues_.setPosition(static_cast<uint32_t>(std::max<LONG>(v, 0)));
    return S_OK;
}
HRESULT AudioInformationObject::get_cueLength(LONG* p) {
    const tags::Cue* c = cues_.current();
    return number(c ? static_cast<LONG>(c->length) : 0, p);
}
HRESULT AudioInformationObject::put_cueLength(LONG v) {
    if (tags::Cue* c = cues_.current()) c->length = static_cast<uint32_t>(std::max<LONG>(v, 0));
    return S_OK;
}

}  // namespace qoro::audioinfo

// --- fields and pictures -------------------------------------------------------------

namespace qoro::audioinfo {

namespace {

// The property field a name stands for: a map name of one (TITLE, DATE), or
// a name of the tag scheme's own (a Vorbis property name, a RIFF "INFO" id).
std::optional<tags::Field> fieldNamed(TagScheme scheme, const std::string& name) {
    if (const tags::MappedField* m = tags::mappedField(name); m && m->property) return m->property;
    if (scheme == TagScheme::Vorbis) return vorbis::fieldOfName(name);
    if (scheme == TagScheme::RiffInfo) return tags::infoIdField(name);
    // An MP4 item key of a property ("\u00A9nam").
    if (scheme == TagScheme::Mp4)
        if (const tags::MappedField* m = tags::mappedFieldOfMp4(name); m && m->property) return m->property;
    return std::nullopt;
}

// The mapped field a name stands for in a tag scheme: its map name, or the
// scheme's own key of it ("MusicBrainz Album Id" of an ID3v2 "TXXX" frame,
// "Album Artist" of an APEv2 item).
const tags::MappedField* mappedNamed(TagScheme scheme, std::string_view name) {
    if (const tags::MappedField* m = tags::mappedField(name)) return m;
    const tags::MappedField* m = nullptr;
    switch (scheme) {
    case TagScheme::Id3:
    case TagScheme::Id3v2: m = tags::mappedFieldOfId3v2("TXXX:" + std::string(name)); break;
    case TagScheme::Ape: m = tags::mappedFieldOfApe(name); break;
    case TagScheme::Mp4: m = tags::mappedFieldOfMp4(name); break;
    default: break;
    }
    return m && !m->property ? m : nullptr;
}

// The values of a VT_ARRAY | VT_BSTR (by value or reference, or inside a
// VARIANT by reference); none for VT_EMPTY, VT_NULL or a missing argument;
// nullopt for anything else. A single BSTR is one value.
std::optional<std::vector<std::string>> textsOf(const VARIANT& data) {
    const VARIANT* v = &data;
    while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    if (v->vt == VT_EMPTY || v->vt == VT_NULL || (v->vt == VT_ERROR && v->scode == DISP_E_PARAMNOTFOUND))
        return std::vector<std::string>{};
    if (v->vt == VT_BSTR) return std::vector<std::string>{utf8Of(v->bstrVal)};
    SAFEARRAY* array = nullptr;
    if (v->vt == (VT_ARRAY | VT_BSTR))
        array = v->parray;
    else if (v->vt == (VT_BYREF | VT_ARRAY | VT_BSTR))
        array = v->pparray ? *v->pparray : nullptr;
    else
        return std::nullopt;
    std::vector<std::string> out;
    if (!array) return out;
    VARTYPE vt = VT_EMPTY;
    if (SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetVartype(array, &vt)) || vt != VT_BSTR) return std::nullopt;
    LONG low = 0, high = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) return std::nullopt;
    if (high < low) return out;
    void* p = nullptr;
    if (FAILED(SafeArrayAccessData(array, &p))) return std::nullopt;
    for (LONG i = 0; i <= high - low; ++i) out.push_back(utf8Of(static_cast<BSTR*>(p)[i]));
    SafeArrayUnaccessData(array);
    return out;
}

// A VARIANT holding a SAFEARRAY of VT_BSTR of the texts.
HRESULT textArray(const std::vector<std::string>& texts, VARIANT* out) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size()));
    if (!array) return E_OUTOFMEMORY;
    void* p = nullptr;
    if (FAILED(SafeArrayAccessData(array, &p))) {
        SafeArrayDestroy(array);
        return E_FAIL;
    }
    auto* items = static_cast<BSTR*>(p);
    for (size_t i = 0; i < texts.size(); ++i) items[i] = com::bstrFromUtf8(texts[i]);
    SafeArrayUnaccessData(array);
    out->vt = VT_ARRAY | VT_BSTR;
    out->parray = array;
    return S_OK;
}

}  // namespace

TagScheme AudioInformationObject::scheme() const {
    const InfoTypeEntry* entry = infoTypeEntry(type_);
    return entry ? entry->scheme : TagScheme::None;
}

bool AudioInformationObject::vorbisType() const { return scheme() == TagScheme::Vorbis; }

std::optional<std::vector<std::string>> AudioInformationObject::propertyValues(const std::string& name) const {
    const auto field = fieldNamed(scheme(), name);
    if (!field) return std::nullopt;
    if (scheme() == TagScheme::RiffInfo) {
        // As the "INFO" item is written: a text up to its first zero byte.
        const std::string t = tags::writtenText(tags_, *field).value_or(std::string()).c_str();
        return t.empty() ? std::vector<std::string>{} : std::vector<std::string>{t};
    }
    return tags::fieldValues(tags_, *field);
}

bool AudioInformationObject::setPropertyField(const std::string& name, const std::vector<std::string>& values) {
    // As a file holding this field gives it.
    const auto field = fieldNamed(scheme(), name);
    if (field) tags::setFieldValues(tags_, *field, values);
    return field.has_value();
}

bool AudioInformationObject::sameFieldName(std::string_view a, std::string_view b) const {
    const tags::MappedField* ma = mappedNamed(scheme(), a);
    const tags::MappedField* mb = mappedNamed(scheme(), b);
    if (ma || mb) return ma == mb;
    switch (scheme()) {
    case TagScheme::Vorbis:
    case TagScheme::Container:
    case TagScheme::Ape: return tags::text::sameIgnoringCase(a, b);
    case TagScheme::Mp4: {
        // "My Field" is the item "----:com.apple.iTunes:My Field"; freeform
        // names compare ignoring case.
        const auto ka = tags::mp4::keyOfField(a), kb = tags::mp4::keyOfField(b);
        if (!ka || !kb) return a == b;
        return ka->starts_with("----:") ? tags::text::sameIgnoringCase(*ka, *kb) : *ka == *kb;
    }
    default: return a == b;
    }
}

tags::TagExtras AudioInformationObject::current() const {
    tags::TagExtras now = extras_;
    for (const tags::FieldChange& change : changes_.fields) {
        std::vector<tags::TagField> out;
        bool placed = false;
        auto place = [&] {
            for (const std::string& v : change.values) out.push_back({change.name, v});
            placed = true;
        };
        for (tags::TagField& f : now.fields) {
            if (!sameFieldName(f.name, change.name))
                out.push_back(std::move(f));
            else if (!placed)
                place();
        }
        if (!placed) place();
        now.fields = std::move(out);
    }
    for (const tags::TagPicture& change : changes_.pictures)
        applyChange(
            now.pictures, change, [](const tags::TagPicture& a, const tags::TagPicture& b) { return a.kind == b.kind; },
            [](const tags::TagPicture& p) { return !p.data.empty(); });
    return now;
}

std::string AudioInformationObject::fieldRefusal(TagScheme scheme, const std::string& name) const {
    const tags::MappedField* m = tags::mappedField(name);
    switch (scheme) {
    case TagScheme::RiffInfo:
        if (tags::isInfoItemId(name) || (m && !m->riff.empty())) return {};
        return "\"" + name + "\" is no RIFF INFO id (four capital letters or digits, such as \"ITCH\")";
    case TagScheme::Vorbis:
        if (vorbis::isValidName(name)) return {};
        return "\"" + name + "\" is no Vorbis comment name (printable ASCII without \"=\")";
    case TagScheme::Ape: {
        const std::string key = m && !m->ape.empty() ? std::string(m->ape) : name;
        if (tags::ape::pictureKind(key) >= 0)
            return "\"" + name + "\" is a picture of an APEv2 tag: pictures are set with SetPicture";
        if (tags::ape::isValidKey(key)) return {};
        return "\"" + name + "\" is no APEv2 item key (2 to 255 printable ASCII characters)";
    }
    case TagScheme::Mp4:
        if (tags::mp4::keyOfField(name)) return {};
        if (name == "covr") return "\"covr\" holds the pictures of an MP4 tag: pictures are set with SetPicture";
        if (tags::text::sameIgnoringCase(name, "iTunSMPB") ||
            tags::text::sameIgnoringCase(name, "----:com.apple.iTunes:iTunSMPB"))
            return "\"" + name + "\" holds the encoder's gapless values: no tag edit sets it";
        return "\"" + name +
               "\" cannot name an MP4 item (printable UTF-8; a freeform key is \"----:\" mean \":\" name)";
    default: return {};
    }
}

std::string AudioInformationObject::refusal(const InfoTypeEntry& entry) const {
    if (changes_.empty()) return {};
    switch (entry.scheme) {
    case TagScheme::RiffInfo:
        if (!changes_.pictures.empty()) return std::string(entry.inWords) + "'s RIFF INFO list cannot hold pictures";
        break;
    case TagScheme::Id3:
        if (tagVersion_ != 2)
            return "an ID3v1 tag holds neither pictures nor fields beyond the properties (mp3TagInfoVersion 2 "
                   "writes an ID3v2 tag)";
        return {};
    case TagScheme::Id3v1:
        return std::string(entry.inWords) + "'s ID3v1 tag holds neither pictures nor fields beyond the properties";
    case TagScheme::Mp4:
        for (const tags::TagPicture& p : changes_.pictures)
            if (p.kind != 3 && !p.data.empty()) return "the covers of an MP4 tag are front covers (kind 3) alone";
        break;
    default: break;
    }
    for (const tags::FieldChange& f : changes_.fields)
        if (std::string why = fieldRefusal(entry.scheme, f.name); !why.empty()) return why;
    return {};
}

HRESULT AudioInformationObject::fieldValues(const std::string& given, std::vector<std::string>& out) const {
    const bool id3 = scheme() == TagScheme::Id3 || scheme() == TagScheme::Id3v2;
    const std::string name = id3 && given.starts_with("TXXX:") && given.size() > 5 ? given.substr(5) : given;
    if (auto property = propertyValues(name)) {
        out = std::move(*property);
        return S_OK;
    }
    out.clear();
    for (const tags::TagField& f : current().fields)
        if (sameFieldName(f.name, name)) out.push_back(f.value);
    return S_OK;
}

HRESULT AudioInformationObject::setFieldValues(const std::string& given, std::vector<std::string> values) {
    SetErrorInfo(0, nullptr);
    // "TXXX:Mood" names an ID3v2 user text frame by its description, as
    // other tools write it.
    const TagScheme here = scheme();
    const bool id3 = here == TagScheme::Id3 || here == TagScheme::Id3v2;
    const std::string name = id3 && given.starts_with("TXXX:") && given.size() > 5 ? given.substr(5) : given;
    if (name.empty()) return com::reportError(E_INVALIDARG, IID_IAudioInformation3, kSource, "a field needs a name");
    std::erase_if(values, [](const std::string& v) { return v.empty(); });
    if (setPropertyField(name, values)) return S_OK;
    // Names the current type cannot hold are refused at once (and again on
    // writing, which may go to a file of another type).
    if (const std::string why = fieldRefusal(scheme(), name); !why.empty())
        return com::reportError(E_INVALIDARG, IID_IAudioInformation3, kSource, why);
    // A mapped field is kept under its map name, so a write into a file of
    // any type finds it.
    const tags::MappedField* m = mappedNamed(scheme(), name);
    changes_.fields.emplace_back(m ? std::string(m->name) : name, std::move(values));
    return S_OK;
}

HRESULT AudioInformationObject::GetField(BSTR Name, BSTR* Value) {
    return guarded([&]() -> HRESULT {
        if (!Value) return E_POINTER;
        *Value = nullptr;
        std::vector<std::string> values;
        fieldValues(utf8Of(Name), values);
        return text(tags::joinValues(values), Value);
    });
}

HRESULT AudioInformationObject::SetField(BSTR Name, BSTR Value) {
    return guarded([&]() -> HRESULT {
        std::string value = utf8Of(Value);
        std::vector<std::string> values;
        if (!value.empty()) values.push_back(std::move(value));
        return setFieldValues(utf8Of(Name), std::move(values));
    });
}

HRESULT AudioInformationObject::GetFieldValues(BSTR Name, VARIANT* Values) {
    return guarded([&]() -> HRESULT {
        if (!Values) return E_POINTER;
        VariantInit(Values);
        std::vector<std::string> values;
        fieldValues(utf8Of(Name), values);
        return textArray(values, Values);
    });
}

HRESULT AudioInformationObject::SetFieldValues(BSTR Name, VARIANT Values) {
    return guarded([&]() -> HRESULT {
        auto values = textsOf(Values);
        if (!values)
            return com::reportError(E_INVALIDARG, IID_IAudioInformation3, kSource,
                                    "a field's values are an array of strings (VT_ARRAY | VT_BSTR)");
        return setFieldValues(utf8Of(Name), std::move(*values));
    });
}

HRESULT AudioInformationObject::GetFieldNames(VARIANT* Names) {
    return guarded([&]() -> HRESULT {
        if (!Names) return E_POINTER;
        VariantInit(Names);
        std::vector<std::string> names;
        for (const tags::TagField& f : current().fields) {
            const bool seen = std::any_of(names.begin(), names.end(),
                                          [&](const std::string& n) { return sameFieldName(n, f.name); });
            if (!seen) names.push_back(f.name);
        }
        return textArray(names, Names);
    });
}

HRESULT AudioInformationObject::GetPicture(SHORT Kind, BSTR* MimeType, VARIANT* Data) {
    return guarded([&]() -> HRESULT {
        if (!Data) return E_POINTER;
        VariantInit(Data);
        if (MimeType) *MimeType = nullptr;
        const tags::TagExtras now = current();
        const auto it = std::find_if(now.pictures.begin(), now.pictures.end(),
                                     [Kind](const tags::TagPicture& p) { return p.kind == Kind; });
        if (it == now.pictures.end()) return MimeType ? text("", MimeType) : S_OK;
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(it->data.size()));
        if (!array) return E_OUTOFMEMORY;
        void* p = nullptr;
        if (FAILED(SafeArrayAccessData(array, &p))) {
            SafeArrayDestroy(array);
            return E_FAIL;
        }
        std::copy(it->data.begin(), it->data.end(), static_cast<uint8_t*>(p));
        SafeArrayUnaccessData(array);
        Data->vt = VT_ARRAY | VT_UI1;
        Data->parray = array;
        return MimeType ? text(it->mimeType, MimeType) : S_OK;
    });
}

HRESULT AudioInformationObject::SetPicture(SHORT Kind, BSTR MimeType, VARIANT Data) {
    return guarded([&]() -> HRESULT {
        SetErrorInfo(0, nullptr);
        // The picture types of ID3v2 "APIC" and FLAC "PICTURE" (0 other ... 20 publisher logo).
        if (Kind < 0 || Kind > 20)
            return com::reportError(E_INVALIDARG, IID_IAudioInformation2, kSource,
                                    "a picture kind is 0 to 20 (3: front cover)");
        auto data = bytesOf(Data);
        if (!data)
            return com::reportError(E_INVALIDARG, IID_IAudioInformation2, kSource,
                                    "a picture's data is an array of bytes (VT_ARRAY | VT_UI1)");
        tags::TagPicture picture;
        picture.kind = Kind;
        picture.mimeType = utf8Of(MimeType);
        if (picture.mimeType.empty()) picture.mimeType = sniffedMimeType(*data);
        picture.data = std::move(*data);
        changes_.pictures.push_back(std::move(picture));
        return S_OK;
    });
}

}  // namespace qoro::audioinfo
