#include "object/info_formats_object.h"

#include <string>

#include "object/info_types.h"

namespace qoro::audioinfo {

namespace {

// The row at Index, or nullptr when Index is out of range.
const InfoTypeEntry* at(LONG index) {
    const auto rows = infoTypes();
    return index >= 0 && static_cast<size_t>(index) < rows.size() ? &rows[static_cast<size_t>(index)] : nullptr;
}

// Hands what 'get' makes of row Index to *out: E_POINTER, E_INVALIDARG or S_OK.
template <class Out, class Get>
HRESULT valueOf(LONG index, Out* out, Get get) {
    if (!out) return E_POINTER;
    *out = Out{};
    const InfoTypeEntry* row = at(index);
    if (!row) return E_INVALIDARG;
    *out = get(*row);
    return S_OK;
}

BSTR textOf(std::string_view text) { return com::bstrFromUtf8(text); }

}  // namespace

const com::DispatchTable& InfoFormatsObject::dispatchTable() {
    using namespace com;
    using I = IAudioInformationFormats;
    namespace id = dispid::AudioInformationFormats;
    static const DispatchTable table{
        propget<&I::get_Count>(id::Count, u"Count"),
        method<&I::InfoType>(id::InfoType, u"InfoType", {required()}),
        method<&I::Name>(id::Name, u"Name", {required()}),
        method<&I::Title>(id::Title, u"Title", {required()}),
        method<&I::Extensions>(id::Extensions, u"Extensions", {required()}),
        method<&I::Abilities>(id::Abilities, u"Abilities", {required()}),
        method<&I::TagScheme>(id::TagScheme, u"TagScheme", {required()}),
        method<&I::TypeForName>(id::TypeForName, u"TypeForName", {required()}),
    };
    return table;
}

const com::ClassEntry& InfoFormatsObject::classEntry() {
    static const com::ClassEntry entry{
        .clsid = &CLSID_AudioInformationFormats,
        .create = &com::createInstance<InfoFormatsObject>,
        .description = "AudioInformation Formats Class",
        .progId = "QoroAudioInformation.Formats.1",
        .versionIndependentProgId = "QoroAudioInformation.Formats",
        .typeLib = &LIBID_QoroAudioInformation,
        .extraKeys = {{"Programmable", ""}},
    };
    return entry;
}

HRESULT InfoFormatsObject::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(infoTypes().size());
    return S_OK;
}

HRESULT InfoFormatsObject::InfoType(LONG Index, SHORT* Value) {
    return valueOf(Index, Value, [](const InfoTypeEntry& e) { return static_cast<SHORT>(e.type); });
}

HRESULT InfoFormatsObject::Name(LONG Index, BSTR* Value) {
    return valueOf(Index, Value, [](const InfoTypeEntry& e) { return textOf(e.name); });
}

HRESULT InfoFormatsObject::Title(LONG Index, BSTR* Value) {
    return valueOf(Index, Value, [](const InfoTypeEntry& e) { return textOf(e.title); });
}

HRESULT InfoFormatsObject::Extensions(LONG Index, BSTR* Value) {
    return valueOf(Index, Value, [](const InfoTypeEntry& e) {
        std::string text;
        for (std::string_view ext : e.extensions) {
            if (!text.empty()) text += ' ';
            text += ext;
        }
        return textOf(text);
    });
}

HRESULT InfoFormatsObject::Abilities(LONG Index, LONG* Value) {
    return valueOf(Index, Value, [](const InfoTypeEntry& e) -> LONG {
        const bool tags = e.scheme != audioinfo::TagScheme::None;
        return INFO_FACTS | (tags ? INFO_TAGS_READ : 0) | (e.write ? INFO_TAGS_WRITE : 0) |
               (e.walked ? INFO_WALKED : 0);
    });
}

HRESULT InfoFormatsObject::TagScheme(LONG Index, BSTR* Value) {
    return valueOf(Index, Value, [](const InfoTypeEntry& e) { return textOf(schemeName(e.scheme)); });
}

HRESULT InfoFormatsObject::TypeForName(BSTR FileName, SHORT* Type) {
    if (!Type) return E_POINTER;
    *Type = static_cast<SHORT>(typeOfName(com::utf8FromBstr(FileName)));
    return S_OK;
}

}  // namespace qoro::audioinfo
