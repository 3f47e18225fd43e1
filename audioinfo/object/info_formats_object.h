// The Formats object of QoroAudioInformation ("QoroAudioInformation.Formats"):
// the table of file types as callers see it (IAudioInformationFormats).
#pragma once

#include "qoro/AudioInformation.h"
#include "qoro/com_server.h"

namespace qoro::audioinfo {

class InfoFormatsObject final
    : public com::Object<InfoFormatsObject, com::Iface<IAudioInformationFormats, IID_IAudioInformationFormats>> {
public:
    static const com::DispatchTable& dispatchTable();
    static const com::ClassEntry& classEntry();

    HRESULT get_Count(LONG* pVal) override;
    HRESULT InfoType(LONG Index, SHORT* Value) override;
    HRESULT Name(LONG Index, BSTR* Value) override;
    HRESULT Title(LONG Index, BSTR* Value) override;
    HRESULT Extensions(LONG Index, BSTR* Value) override;
    HRESULT Abilities(LONG Index, LONG* Value) override;
    HRESULT TagScheme(LONG Index, BSTR* Value) override;
    HRESULT TypeForName(BSTR FileName, SHORT* InfoType) override;
};

}  // namespace qoro::audioinfo
