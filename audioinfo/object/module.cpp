// The QoroAudioInformation component module: its two classes and the four exports
// (DllGetClassObject, DllCanUnloadNow, DllRegisterServer, DllUnregisterServer).
#include <span>

#include "object/audio_information.h"
#include "object/info_formats_object.h"

namespace {

std::span<const qoro::com::ClassEntry> componentClasses() {
    static const qoro::com::ClassEntry classes[] = {qoro::audioinfo::AudioInformationObject::classEntry(),
                                                    qoro::audioinfo::InfoFormatsObject::classEntry()};
    return classes;
}

}  // namespace

QORO_COM_MODULE_EXPORTS(componentClasses)
