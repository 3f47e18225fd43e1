// The test component library: one class, the four exports.
#include <span>

#include "test_calc.h"

namespace {

std::span<const qoro::com::ClassEntry> classes() {
    static const qoro::com::ClassEntry list[] = {{
        .clsid = &CLSID_TestCalc,
        .create = &qoro::com::createInstance<testcalc::Calc>,
        .description = "QoroTest Calc Class",
        .progId = PROGID_TestCalc,
        .versionIndependentProgId = PROGID_TestCalc_VI,
        .typeLib = &LIBID_TestCalc,
        .extraKeys = {{"Programmable", ""}, {"MiscStatus", "0"}},
    }};
    return list;
}

}  // namespace

QORO_COM_MODULE_EXPORTS(classes)
