// The QoroAudioInformation component module: its class and the four exports
// (DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer).
#include <span>

#include "object/audio_information.h"

namespace {

std::span<const qoro::com::ClassEntry> componentClasses() {
    static const qoro::com::ClassEntry classes[] = {qoro::audioinfo::AudioInformationObject::classEntry()};
    return classes;
}

}  // namespace

QORO_COM_MODULE_EXPORTS(componentClasses)
