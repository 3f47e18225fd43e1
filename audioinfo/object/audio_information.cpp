#include "object/audio_information.h"

#include <algorithm>

#include "genre/genre.h"
#include "io/file_rewrite.h"
#include "readers/ogg_comments.h"
#include "readers/readers.h"
#include "riff/riff.h"
#include "tags/id3v1.h"
#include "tags/id3v2.h"
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

// The probe of one file type (WAV, MPEG, Ogg Vorbis, MPEG Plus, AVI).
int probe(FileType type, const std::string& path) {
    switch (type) {
    case FileType::Wav: return probeWav(path);
    case FileType::Mpeg: return probeMpeg(path);
    case FileType::OggVorbis: return probeOgg(path);
    case FileType::MpegPlus: return probeMpc(path);
    case FileType::Avi: return probeAvi(path);
    case FileType::Unknown: break;
    }
    return 0;
}

constexpr FileType kProbeOrder[] = {FileType::Wav, FileType::Mpeg, FileType::OggVorbis, FileType::MpegPlus,
                                    FileType::Avi};

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
}

FileType AudioInformationObject::classify(const std::string& path) {
    type_ = classifyExtension(path);
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
// empty", "not an audio file of this type"); the member returns S_OK.
HRESULT AudioInformationObject::GetAudioInformation(BSTR fileName) {
    SetErrorInfo(0, nullptr);
    reset();
    const std::string path = utf8Of(fileName);
    bool read = true;
    std::string notRead = "not an audio file of this type";
    switch (classify(path)) {
    case FileType::Wav:
        if (!readWav(path, facts_, tags_, cues_)) {
            read = false;
            if (probeWav(path) > 0)
                notRead = "a WAV file whose sound format is not supported or whose chunks are damaged";
            type_ = FileType::Unknown;
            reset();
        }
        break;
    case FileType::Mpeg:
        read = readMpeg(path, {.fastAnalysis = fastAnalysis_ != FALSE, .tagKind = tagVersion_}, facts_, tags_) ==
               MpegRead::Ok;
        break;
    case FileType::OggVorbis:
        if (!readOgg(path, facts_, tags_)) {
            read = false;
            type_ = FileType::Unknown;
            reset();
        }
        break;
    case FileType::MpegPlus:
        if (!readMpc(path, facts_, tags_)) {
            read = false;
            type_ = FileType::Unknown;
            reset();
        }
        break;
    case FileType::Avi: read = readAvi(path, facts_); break;
    case FileType::Unknown:
        facts_.size = sizeFact(fileLength(path));
        read = false;
        notRead = "not a type of file this component reads";
        break;
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
    std::error_code ec;
    switch (classify(path)) {
    case FileType::Wav: ec = tags::writeWavInfo(path, tags_, cues_); break;
    case FileType::Mpeg: ec = tagVersion_ == 2 ? tags::writeId3v2(path, tags_) : tags::writeId3v1(path, tags_); break;
    case FileType::OggVorbis: ec = writeOggComments(path, tags_); break;
    case FileType::MpegPlus: ec = writeMpcTag(path, tags_); break;
    case FileType::Avi:
    case FileType::Unknown:
        return com::reportError(E_NOTIMPL, IID_IAudioInformation, "QoroAudioInformation.AudioInformation",
                                "tags of this type of file cannot be written");
    }
    if (!ec) return S_OK;
    return com::reportError(hresultOf(ec), IID_IAudioInformation, "QoroAudioInformation.AudioInformation",
                            "cannot write the tags: " + ec.message());
}

HRESULT AudioInformationObject::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == IID_IAudioInformation ? S_OK : S_FALSE;
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
HRESULT AudioInformationObject::put_infoGenre(SHORT v) {
    tags_.genre = v;
    return S_OK;
}
HRESULT AudioInformationObject::get_infoTitle(BSTR* p) { return text(tags_.title, p); }
HRESULT AudioInformationObject::put_infoTitle(BSTR v) {
    tags_.title = utf8Of(v);
    return S_OK;
}
HRESULT AudioInformationObject::get_infoYear(LONG* p) { return number(static_cast<LONG>(tags_.year), p); }
HRESULT AudioInformationObject::put_infoYear(LONG v) {
    tags_.year = v;
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
    int result = 0;
    if (type != FileType::Unknown) {
        result = probe(type, path);
        // Not what its name says: every other probe in turn.
        if (result <= 0)
            for (FileType other : kProbeOrder)
                if (other != type && (result = probe(other, path)) != 0) break;
    } else {
        for (FileType t : kProbeOrder)
            if ((result = probe(t, path)) != 0) break;
    }
    return answer(result > 0, Result);
}

HRESULT AudioInformationObject::IsInfoSupport(BSTR fileName, BOOL* Result) {
    if (!Result) return E_POINTER;
    const std::string path = utf8Of(fileName);
    const FileType type = classify(path);
    const bool readable = type != FileType::Avi && type != FileType::Unknown && probe(type, path) > 0;
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
