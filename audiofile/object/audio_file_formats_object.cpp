#include "object/audio_file_formats_object.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "containers/containers.h"

namespace qoro::audiofile {

namespace {

// One entry the object lists: a row of the container table, or a kind of
// sound file known by its signature that no row reads.
struct Listed {
    const ContainerEntry* row = nullptr;
    const probe::KindInfo* kind = nullptr;
};

const std::vector<Listed>& listed() {
    static const std::vector<Listed> entries = [] {
        std::vector<Listed> all;
        for (const ContainerEntry& row : containers())
            if (row.open || row.create) all.push_back({&row, nullptr});
        for (const probe::KindInfo& kind : probe::kinds())
            if (kind.audio && !kind.extensions.empty() && !anyReadsKind(kind.kind)) all.push_back({nullptr, &kind});
        return all;
    }();
    return entries;
}

// The entry at Index, or nullptr when Index is out of range.
const Listed* at(LONG index) {
    const auto& all = listed();
    return index >= 0 && static_cast<size_t>(index) < all.size() ? &all[static_cast<size_t>(index)] : nullptr;
}

template <class T>
std::string joined(std::span<const T> items) {
    std::string text;
    for (const T& item : items) {
        if (!text.empty()) text += ' ';
        if constexpr (std::is_same_v<T, std::string_view>)
            text += item;
        else
            text += std::to_string(item);
    }
    return text;
}

// A list, or a range when the list is empty and the bounds are set.
std::string listOrRange(std::span<const long> list, long low, long high) {
    if (!list.empty()) return joined(list);
    if (high <= 0) return {};
    return std::to_string(low) + "-" + std::to_string(high);
}

// Hands the text of entry Index to *out: E_POINTER, E_INVALIDARG or S_OK.
template <class Text>
HRESULT textOf(LONG index, BSTR* out, Text text) {
    if (!out) return E_POINTER;
    *out = nullptr;
    const Listed* entry = at(index);
    if (!entry) return E_INVALIDARG;
    *out = com::bstrFromUtf8(text(*entry));
    return S_OK;
}

template <class Number>
HRESULT numberOf(LONG index, LONG* out, Number number) {
    if (!out) return E_POINTER;
    *out = 0;
    const Listed* entry = at(index);
    if (!entry) return E_INVALIDARG;
    *out = number(*entry);
    return S_OK;
}

}  // namespace

const com::DispatchTable& AudioFileFormatsObject::dispatchTable() {
    using namespace com;
    using I = IAudioFileFormats;
    namespace id = dispid::AudioFileFormats;
    static const DispatchTable table{
        propget<&I::get_Count>(id::Count, u"Count"),
        method<&I::FormatType>(id::FormatType, u"FormatType", {required()}),
        method<&I::Name>(id::Name, u"Name", {required()}),
        method<&I::Title>(id::Title, u"Title", {required()}),
        method<&I::Extensions>(id::Extensions, u"Extensions", {required(), optional(0L)}),
        method<&I::Abilities>(id::Abilities, u"Abilities", {required()}),
        method<&I::WriterRates>(id::WriterRates, u"WriterRates", {required()}),
        method<&I::WriterChannels>(id::WriterChannels, u"WriterChannels", {required()}),
        method<&I::WriterDepths>(id::WriterDepths, u"WriterDepths", {required()}),
        method<&I::WriterBitrates>(id::WriterBitrates, u"WriterBitrates", {required()}),
        method<&I::TypeForName>(id::TypeForName, u"TypeForName", {required(), optional(0L)}),
    };
    return table;
}

const com::ClassEntry& AudioFileFormatsObject::classEntry() {
    static const com::ClassEntry entry{
        .clsid = &CLSID_AudioFileFormats,
        .create = &com::createInstance<AudioFileFormatsObject>,
        .description = "AudioFile Formats Class",
        .progId = "QoroAudioFile.Formats.1",
        .versionIndependentProgId = "QoroAudioFile.Formats",
        .typeLib = &LIBID_QoroAudioFile,
        .extraKeys = {{"Programmable", ""}},
    };
    return entry;
}

HRESULT AudioFileFormatsObject::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(listed().size());
    return S_OK;
}

HRESULT AudioFileFormatsObject::FormatType(LONG Index, LONG* Value) {
    return numberOf(Index, Value, [](const Listed& e) { return e.row ? static_cast<LONG>(e.row->formatType) : 0; });
}

HRESULT AudioFileFormatsObject::Name(LONG Index, BSTR* Value) {
    return textOf(Index, Value, [](const Listed& e) {
        return std::string(e.row ? e.row->name : e.kind->extensions.empty() ? "" : e.kind->extensions.front());
    });
}

HRESULT AudioFileFormatsObject::Title(LONG Index, BSTR* Value) {
    return textOf(Index, Value, [](const Listed& e) { return std::string(e.row ? e.row->title : e.kind->name); });
}

HRESULT AudioFileFormatsObject::Extensions(LONG Index, LONG Purpose, BSTR* Value) {
    if (Purpose != 0 && Purpose != 1) return E_INVALIDARG;
    return textOf(Index, Value, [Purpose](const Listed& e) {
        if (!e.row) return Purpose == 0 ? joined(e.kind->extensions) : std::string();
        // A type only written (ALAC: M4A reads its files) lists its usual ones.
        const bool opens = Purpose == 0 && !e.row->openExtensions.empty();
        return joined(opens ? e.row->openExtensions : e.row->createExtensions);
    });
}

HRESULT AudioFileFormatsObject::Abilities(LONG Index, LONG* Value) {
    return numberOf(Index, Value, [](const Listed& e) -> LONG {
        if (!e.row) return FORMAT_AUDIO;
        return FORMAT_AUDIO | (e.row->open ? FORMAT_READS : 0) | (e.row->create ? FORMAT_WRITES : 0) |
               (e.row->readWritePair ? FORMAT_READWRITE : 0) | (e.row->walked ? FORMAT_WALKED : 0);
    });
}

HRESULT AudioFileFormatsObject::WriterRates(LONG Index, BSTR* Value) {
    return textOf(Index, Value, [](const Listed& e) {
        if (!e.row || !e.row->create) return std::string();
        const WriterLimits& w = e.row->writer;
        return listOrRange(w.rates, w.minRate, w.maxRate);
    });
}

HRESULT AudioFileFormatsObject::WriterChannels(LONG Index, LONG* Value) {
    return numberOf(Index, Value, [](const Listed& e) -> LONG {
        return e.row && e.row->create ? static_cast<LONG>(e.row->writer.maxChannels) : 0;
    });
}

HRESULT AudioFileFormatsObject::WriterDepths(LONG Index, BSTR* Value) {
    return textOf(Index, Value, [](const Listed& e) {
        if (!e.row || !e.row->create) return std::string();
        return joined(e.row->writer.depths) + (e.row->writer.floats ? " 32f" : "");
    });
}

HRESULT AudioFileFormatsObject::WriterBitrates(LONG Index, BSTR* Value) {
    return textOf(Index, Value, [](const Listed& e) {
        if (!e.row || !e.row->create) return std::string();
        const WriterLimits& w = e.row->writer;
        return listOrRange(w.bitrates, w.minBitrate, w.maxBitrate);
    });
}

HRESULT AudioFileFormatsObject::TypeForName(BSTR FileName, LONG Purpose, LONG* FormatType) {
    if (!FormatType) return E_POINTER;
    *FormatType = 0;
    if (Purpose != 0 && Purpose != 1) return E_INVALIDARG;
    *FormatType = typeForName(com::utf8FromBstr(FileName), Purpose == 1);
    return S_OK;
}

}  // namespace qoro::audiofile
