// The registry file, qoro-regsvr, CoCreateInstance from another program (real
// dlopen, real registry file) and the registration-free fallback.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "qoro/com_registry.h"
#include "test_calc.h"
#include "test_support.h"

namespace {

using namespace qoro::test;
namespace reg = qoro::com::registry;

// Points this process (and the programs it starts) at a registry of its own.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry = dir / "registry";
        ::setenv("QORO_REGISTRY", registry.c_str(), 1);
    }
    CommandResult tool(const std::string& program, const std::string& args) {
        return run("QORO_REGISTRY=" + shellQuote(registry.string()) + " " + shellQuote(binPath(program).string()) +
                   " " + args);
    }
    std::string library() const { return fs::canonical(binPath("libQoroTestComponent.so")).string(); }
    TempDir dir;
    fs::path registry;
};

TEST(Hive, RoundTripsQuotedValuesAndComparesWithoutCase) {
    reg::Hive h;
    h.setValue("CLSID\\{ABC}\\InprocServer32", "", "/opt/my lib/\"x\"\\y.so");
    h.setValue("CLSID\\{ABC}\\InprocServer32", "ThreadingModel", "Apartment");
    h.setValue("Multi", "line", "a\nb");
    reg::Hive back;
    ASSERT_TRUE(back.parse(h.serialize()));
    EXPECT_EQ(back.value("clsid\\{abc}\\inprocserver32"), "/opt/my lib/\"x\"\\y.so");
    EXPECT_EQ(back.value("CLSID\\{ABC}\\InprocServer32", "threadingmodel"), "Apartment");
    EXPECT_EQ(back.value("Multi", "line"), "a\nb");
    EXPECT_EQ(back.value("CLSID\\{ABC}\\INPROCSERVER32"), back.value("clsid\\{abc}\\inprocserver32"));
    EXPECT_FALSE(back.hasKey("CLSID\\{ABC}\\InprocServer3"));
    EXPECT_TRUE(back.hasKey("CLSID\\{ABC}"));  // parents exist
    EXPECT_EQ(back.subKeys("CLSID"), std::vector<std::string>{"{ABC}"});
    EXPECT_FALSE(back.value("CLSID\\{ABC}", "missing"));
}

TEST(Hive, RemovingATreeKeepsKeysThatOnlyShareAPrefix) {
    reg::Hive h;
    h.setValue("App\\Sub", "", "1");
    h.setValue("App!", "", "2");
    h.setValue("App.1", "", "3");
    h.setValue("Apple", "", "4");
    h.removeTree("APP");
    EXPECT_FALSE(h.hasKey("App"));
    EXPECT_FALSE(h.hasKey("App\\Sub"));
    EXPECT_EQ(h.value("App!"), "2");
    EXPECT_EQ(h.value("App.1"), "3");
    EXPECT_EQ(h.value("Apple"), "4");
}

TEST(Hive, DamagedTextReadsAsEmptyOrSkipsBadLines) {
    reg::Hive h;
    EXPECT_FALSE(h.parse(std::string("\x00\xFF garbage", 10)));
    EXPECT_FALSE(h.hasKey("garbage"));
    ASSERT_TRUE(
        h.parse("QORO REGISTRY 1\n[Good]\n@=\"yes\"\n\"broken=\"x\n[Bad\n\"k\"=\"v\"\n[Also]\n\"n\"=\"unterminated\n"));
    EXPECT_EQ(h.value("Good"), "yes");
    EXPECT_FALSE(h.value("Good", "broken"));
    EXPECT_TRUE(h.hasKey("Also"));
    EXPECT_FALSE(h.value("Also", "n"));
}

// A damaged file with a key hundreds of levels deep (or a name longer than a
// key name can be) is a damaged line: skipped, quickly, and the rest is read.
TEST(Hive, KeysTooDeepOrTooLongAreDamagedLines) {
    std::string deep = "Root";
    for (int i = 0; i < 1000; ++i) deep += "\\k";
    std::string text = "QORO REGISTRY 1\n[" + deep + "]\n@=\"deep\"\n[" + std::string(300, 'n') +
                       "]\n@=\"long\"\n[Good\\Below]\n@=\"yes\"\n";
    reg::Hive h;
    ASSERT_TRUE(h.parse(text));
    EXPECT_FALSE(h.hasKey("Root"));
    EXPECT_FALSE(h.hasKey(std::string(300, 'n')));
    EXPECT_EQ(h.value("Good\\Below"), "yes");
    h.setValue(deep, "", "x");
    EXPECT_FALSE(h.hasKey("Root"));
    // The deepest and longest keys that are allowed still are.
    std::string deepest = "Root";
    for (int i = 1; i < 64; ++i) deepest += "\\k";
    h.setValue(deepest, "", "ok");
    EXPECT_EQ(h.value(deepest), "ok");
    EXPECT_FALSE(h.hasKey(deepest + "\\k"));
    h.setValue(deepest + "\\k", "", "too deep");
    EXPECT_FALSE(h.hasKey(deepest + "\\k"));
    h.setValue("Root\\" + std::string(255, 'n'), "", "ok");
    EXPECT_EQ(h.value("Root\\" + std::string(255, 'n')), "ok");
}

TEST_F(RegistryTest, UpdateReplacesTheFileAndAMissingFileIsEmpty) {
    EXPECT_FALSE(reg::value("X"));
    ASSERT_EQ(reg::update([](reg::Hive& h) { h.setValue("X\\Y", "v", "1"); }), S_OK);
    ASSERT_EQ(reg::update([](reg::Hive& h) { h.setValue("X\\Z", "", "2"); }), S_OK);
    EXPECT_EQ(reg::value("x\\y", "V"), "1");
    EXPECT_EQ(reg::value("X\\Z"), "2");
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
    writeBytes(registry, {0x00, 0x01, 0x02});
    EXPECT_FALSE(reg::value("X\\Z"));  // damaged: empty
}

TEST_F(RegistryTest, RegsvrRegistersAndTheClientCreatesThroughTheRegistry) {
    CommandResult r = tool("qoro-regsvr", shellQuote(binPath("libQoroTestComponent.so").string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;

    const std::string clsid = "CLSID\\" + qoro::com::toString(CLSID_TestCalc);
    EXPECT_EQ(reg::value(clsid + "\\InprocServer32"), library());
    EXPECT_EQ(reg::value(clsid + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(reg::value(clsid + "\\ProgID"), "QoroTest.Calc.1");
    EXPECT_EQ(reg::value(clsid + "\\VersionIndependentProgID"), "QoroTest.Calc");
    EXPECT_EQ(reg::value(clsid + "\\TypeLib"), qoro::com::toString(LIBID_TestCalc));
    EXPECT_EQ(reg::value(clsid + "\\MiscStatus"), "0");
    EXPECT_TRUE(reg::load().hasKey(clsid + "\\Programmable"));
    EXPECT_EQ(reg::value("QoroTest.Calc.1\\CLSID"), qoro::com::toString(CLSID_TestCalc));
    EXPECT_EQ(reg::value("QoroTest.Calc\\CLSID"), qoro::com::toString(CLSID_TestCalc));
    EXPECT_EQ(reg::value("QoroTest.Calc\\CurVer"), "QoroTest.Calc.1");
    EXPECT_EQ(reg::inprocServer(CLSID_TestCalc), library());

    CLSID found{};
    ASSERT_EQ(CLSIDFromProgID(u"qorotest.calc", &found), S_OK);
    EXPECT_EQ(found, CLSID_TestCalc);
    EXPECT_EQ(CLSIDFromProgID(u"QoroTest.Nothing", &found), CO_E_CLASSSTRING);

    // Another program, by ProgID, no fallback names: only the registry can find it.
    r = tool("qoro-com-test-client", "--progid QoroTest.Calc.1");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("add=105"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("unloaded=1"), std::string::npos) << r.output;

    r = tool("qoro-regsvr", "-u " + shellQuote(binPath("libQoroTestComponent.so").string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(reg::load().hasKey(clsid));
    EXPECT_FALSE(reg::load().hasKey("QoroTest.Calc.1"));
    EXPECT_FALSE(reg::load().hasKey("QoroTest.Calc"));

    r = tool("qoro-com-test-client", "--progid QoroTest.Calc.1");
    EXPECT_EQ(r.exitCode, 3);
    r = tool("qoro-com-test-client", "");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.output.find("hr=0x80040154"), std::string::npos) << r.output;  // REGDB_E_CLASSNOTREG
}

TEST_F(RegistryTest, RegsvrReportsBadLibraries) {
    EXPECT_NE(tool("qoro-regsvr", shellQuote((dir / "none.so").string())).exitCode, 0);
    EXPECT_NE(tool("qoro-regsvr", "").exitCode, 0);
    // A library without the exports.
    EXPECT_NE(tool("qoro-regsvr", shellQuote(binPath("libqorocom.so").string())).exitCode, 0);
}

TEST_F(RegistryTest, UnregisteredClassesAreFoundBesideTheProgram) {
    CommandResult r = tool("qoro-com-test-client", "--known libQoroTestComponent.so");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("add=105"), std::string::npos);
    EXPECT_FALSE(reg::load().hasKey("CLSID\\" + qoro::com::toString(CLSID_TestCalc)));  // nothing was written
}

TEST_F(RegistryTest, UnregisteredProgIdsResolveThroughTheLibrariesFound) {
    CommandResult r = tool("qoro-com-test-client", "--known libQoroTestComponent.so --progid qorotest.calc");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("add=105"), std::string::npos) << r.output;
    r = tool("qoro-com-test-client", "--known libQoroTestComponent.so --progid QoroTest.Calc.2");
    EXPECT_EQ(r.exitCode, 3) << r.output;                                             // a name no library knows
    EXPECT_NE(r.output.find("progid hr=0x800401F3"), std::string::npos) << r.output;  // CO_E_CLASSSTRING
    EXPECT_FALSE(fs::exists(registry) && reg::load().hasKey("QoroTest.Calc"));
}

// An installed tree: the program in bin/, the runtime in lib/, the components
// in lib/qoro/. Nothing is registered and nothing lies beside the program.
TEST_F(RegistryTest, ComponentsAreFoundInTheQoroFolderBesideTheRuntime) {
    const fs::path bin = dir / "tree/bin", lib = dir / "tree/lib", components = lib / "qoro";
    fs::create_directories(bin);
    fs::create_directories(components);
    fs::copy_file(binPath("qoro-com-test-client"), bin / "qoro-com-test-client");
    const fs::path runtime = fs::canonical(binPath("libqorocom.so"));
    for (const char* name : {"libqorocom.so", "libqorocom.so.1"}) fs::copy_file(runtime, lib / name);
    fs::copy_file(binPath("libQoroTestComponent.so"), components / "libQoroTestComponent.so");

    const std::string env =
        "QORO_REGISTRY=" + shellQuote(registry.string()) + " LD_LIBRARY_PATH=" + shellQuote(lib.string()) + " ";
    const std::string client = shellQuote((bin / "qoro-com-test-client").string());
    CommandResult r = run(env + client + " --known libQoroTestComponent.so --progid QoroTest.Calc");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("add=105"), std::string::npos) << r.output;
    fs::remove(components / "libQoroTestComponent.so");
    r = run(env + client + " --known libQoroTestComponent.so");
    EXPECT_EQ(r.exitCode, 3) << r.output;
}

// A thread that closes its apartment must not unload a library another
// thread may still be running (returning from the Release of its last
// object): libraries go only when no other apartment is open.
TEST_F(RegistryTest, LibrariesStayLoadedWhileAnotherApartmentIsOpen) {
    qoro::com::addKnownLibrary("libQoroTestComponent.so");
    auto loaded = [] {
        void* h = ::dlopen("libQoroTestComponent.so", RTLD_NOW | RTLD_NOLOAD);
        if (h) ::dlclose(h);
        return h != nullptr;
    };
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    {
        qoro::com::ComPtr<IDispatch> calc;
        ASSERT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, calc.putVoid()), S_OK);
    }  // no object of the library is alive any more
    std::thread other([] {
        CoInitialize(nullptr);
        CoFreeUnusedLibraries();
        CoUninitialize();
    });
    other.join();
    EXPECT_TRUE(loaded()) << "unloaded while this thread's apartment is open";
    CoUninitialize();  // the last apartment: now it may go
    EXPECT_FALSE(loaded());
}

TEST_F(RegistryTest, LibrariesStayLoadedWhileObjectsLive) {
    qoro::com::addKnownLibrary("libQoroTestComponent.so");
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    qoro::com::ComPtr<IDispatch> calc;
    ASSERT_EQ(CoCreateInstance(CLSID_TestCalc, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, calc.putVoid()), S_OK);
    qoro::com::ComPtr<IUnknown> outer;
    EXPECT_EQ(CoCreateInstance(CLSID_TestCalc, calc.get(), CLSCTX_INPROC_SERVER, IID_IUnknown, outer.putVoid()),
              CLASS_E_NOAGGREGATION);
    const GUID nobody = qoro::com::guid("{00000000-1111-2222-3333-444444444444}");
    EXPECT_EQ(CoCreateInstance(nobody, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, outer.putVoid()),
              REGDB_E_CLASSNOTREG);

    auto loaded = [] {
        void* h = ::dlopen("libQoroTestComponent.so", RTLD_NOW | RTLD_NOLOAD);
        if (h) ::dlclose(h);
        return h != nullptr;
    };
    ASSERT_TRUE(loaded());
    CoFreeUnusedLibraries();
    EXPECT_TRUE(loaded());  // an object is alive: DllCanUnloadNow says no
    calc.reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(loaded());
    CoUninitialize();
}

}  // namespace
