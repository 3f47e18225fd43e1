// The Formats object of QoroAudioFile ("QoroAudioFile.Formats"): the
// container table as callers see it (IAudioFileFormats), so that a program,
// a command line or a completion script lists the types, their extensions
// and what their writers take instead of keeping lists of their own.
#pragma once

#include "qoro/AudioFile.h"
#include "qoro/com_server.h"

namespace qoro::audiofile {

class AudioFileFormatsObject final
    : public com::Object<AudioFileFormatsObject, com::Iface<IAudioFileFormats, IID_IAudioFileFormats>> {
public:
    static const com::DispatchTable& dispatchTable();
    static const com::ClassEntry& classEntry();

    HRESULT get_Count(LONG* pVal) override;
    HRESULT FormatType(LONG Index, LONG* Value) override;
    HRESULT Name(LONG Index, BSTR* Value) override;
    HRESULT Title(LONG Index, BSTR* Value) override;
    HRESULT Extensions(LONG Index, LONG Purpose, BSTR* Value) override;
    HRESULT Abilities(LONG Index, LONG* Value) override;
    HRESULT WriterRates(LONG Index, BSTR* Value) override;
    HRESULT WriterChannels(LONG Index, LONG* Value) override;
    HRESULT WriterDepths(LONG Index, BSTR* Value) override;
    HRESULT WriterBitrates(LONG Index, BSTR* Value) override;
    HRESULT TypeForName(BSTR FileName, LONG Purpose, LONG* FormatType) override;
};

}  // namespace qoro::audiofile
