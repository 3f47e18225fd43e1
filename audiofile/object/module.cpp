// The QoroAudioFile component module: its three classes and the four exports
// (DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer).
#include <span>

#include "object/audio_file.h"
#include "object/audio_file_formats_object.h"
#include "object/audio_file_lame_mp3_encoder.h"

namespace {

std::span<const qoro::com::ClassEntry> componentClasses() {
    static const qoro::com::ClassEntry classes[] = {
        qoro::audiofile::AudioFileObject::classEntry(),
        qoro::audiofile::audioFileLameMp3EncoderClass(),
        qoro::audiofile::AudioFileFormatsObject::classEntry(),
    };
    return classes;
}

}  // namespace

QORO_COM_MODULE_EXPORTS(componentClasses)
