// The component as a client sees it: created through the runtime by class
// identifier and ProgID, called by name through IDispatch, registered.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "qoro/AudioFile.h"
#include "qoro/AudioInformation.h"
#include "qoro/com.h"
#include "test_support.h"

namespace {

using namespace qoro::test;
using qoro::com::Bstr;
using qoro::com::ComPtr;

DISPID idOf(IDispatch* d, const char16_t* name) {
    std::u16string n(name);
    LPOLESTR names[] = {n.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << qoro::com::toUtf8(name);
    return id;
}

// An AudioInformation object created by class identifier through the runtime.
ComPtr<IAudioInformation> createByClass() {
    ComPtr<IAudioInformation> info;
    EXPECT_EQ(
        CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation, info.putVoid()),
        S_OK);
    return info;
}

// A script names the components by ProgID; an unregistered build or install
// tree must answer as a registered one does.
TEST(AudioInformationComponent, ProgIdsResolveWithAnEmptyRegistry) {
    TempDir dir;
    const char* saved = std::getenv("QORO_REGISTRY");
    const std::string before = saved ? saved : "";
    writeBytes(dir / "empty", {});
    ::setenv("QORO_REGISTRY", (dir / "empty").c_str(), 1);
    struct {
        const OLECHAR* progId;
        CLSID expected;
    } names[] = {{PROGID_AudioFile, CLSID_AudioFile},
                 {PROGID_AudioFile_VI, CLSID_AudioFile},
                 {u"qoroaudiofile.audiofile", CLSID_AudioFile},
                 {PROGID_AudioFileLameMp3Encoder_VI, CLSID_AudioFileLameMp3Encoder},
                 {PROGID_AudioInformation, CLSID_AudioInformation},
                 {PROGID_AudioInformation_VI, CLSID_AudioInformation},
                 {PROGID_AudioFileFormats_VI, CLSID_AudioFileFormats},
                 {PROGID_AudioInformationFormats_VI, CLSID_AudioInformationFormats}};
    CoInitialize(nullptr);
    for (const auto& n : names) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(n.progId, &clsid), S_OK) << qoro::com::toUtf8(n.progId);
        EXPECT_EQ(clsid, n.expected) << qoro::com::toUtf8(n.progId);
        ComPtr<IDispatch> object;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.putVoid()), S_OK);
    }
    CLSID none{};
    EXPECT_EQ(CLSIDFromProgID(u"QoroAudioFile.NoSuchClass", &none), CO_E_CLASSSTRING);
    EXPECT_EQ(none, GUID_NULL);
    CoUninitialize();
    if (saved)
        ::setenv("QORO_REGISTRY", before.c_str(), 1);
    else
        ::unsetenv("QORO_REGISTRY");
    EXPECT_EQ(readBytes(dir / "empty").size(), 0u);  // resolving wrote nothing
}

// The two Formats objects agree: every extension that chooses an
// information type chooses it (no two types claim one), and every type
// both components know by an extension is walked by both or by neither.
TEST(AudioInformationComponent, FormatsObjectsAgree) {
    CoInitialize(nullptr);
    ComPtr<IAudioInformationFormats> info;
    ComPtr<IAudioFileFormats> files;
    ASSERT_EQ(CoCreateInstance(CLSID_AudioInformationFormats, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IAudioInformationFormats, info.putVoid()),
              S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_AudioFileFormats, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFileFormats,
                               files.putVoid()),
              S_OK);
    auto text = [](BSTR b) {
        std::string s = qoro::com::utf8FromBstr(b);
        SysFreeString(b);
        return s;
    };
    // What the AudioFile component's walks take, by extension.
    std::map<std::string, bool> fileWalks;
    LONG fileCount = 0;
    files->get_Count(&fileCount);
    for (LONG i = 0; i < fileCount; ++i) {
        BSTR b = nullptr;
        LONG abilities = 0;
        files->Extensions(i, 0, &b);
        files->Abilities(i, &abilities);
        std::istringstream words(text(b));
        if (abilities & FORMAT_READS)
            for (std::string ext; words >> ext;) fileWalks[ext] = (abilities & FORMAT_WALKED) != 0;
    }
    LONG count = 0;
    ASSERT_EQ(info->get_Count(&count), S_OK);
    ASSERT_GE(count, 8);
    std::set<SHORT> seen;
    for (LONG i = 0; i < count; ++i) {
        SHORT type = 0;
        LONG abilities = 0;
        BSTR b = nullptr;
        ASSERT_EQ(info->InfoType(i, &type), S_OK);
        ASSERT_EQ(info->Abilities(i, &abilities), S_OK);
        EXPECT_TRUE(seen.insert(type).second) << type;
        ASSERT_EQ(info->Extensions(i, &b), S_OK);
        std::istringstream words(text(b));
        for (std::string ext; words >> ext;) {
            SHORT chosen = -1;
            ASSERT_EQ(info->TypeForName(qoro::com::Bstr(std::string_view("/x.y/a." + ext)).get(), &chosen), S_OK);
            EXPECT_EQ(chosen, type) << ext;
            ASSERT_TRUE(fileWalks.count(ext)) << ext << " is not known to QoroAudioFile";
            EXPECT_EQ(fileWalks[ext], (abilities & INFO_WALKED) != 0) << ext;
        }
        ASSERT_EQ(info->TagScheme(i, &b), S_OK);
        EXPECT_EQ(text(b).empty(), (abilities & INFO_TAGS_READ) == 0) << type;
    }
    SHORT none = -1;
    ASSERT_EQ(info->TypeForName(qoro::com::Bstr(std::string_view("song.au")).get(), &none), S_OK);
    EXPECT_EQ(none, 0);
    BSTR b = nullptr;
    EXPECT_EQ(info->Name(count, &b), E_INVALIDARG);
    info.reset();
    files.reset();
    CoUninitialize();
}

// A file that cannot be read leaves the state GetAudioInformation always
// left (infoType 0 or zero facts; S_OK) and says why in the error
// information: the system's words, "the file is empty", "not an audio file
// of this type". Random bytes named .mp3 give no facts, not invented ones.
// A file that is read leaves no error information behind.
TEST(AudioInformationComponent, UnreadableFilesSayWhy) {
    TempDir dir;
    CoInitialize(nullptr);
    ComPtr<IAudioInformation> info = createByClass();
    ASSERT_TRUE(info);
    writeBytes(dir / "empty.mp3", {});
    writeBytes(dir / "empty.wav", {});
    std::vector<uint8_t> noise(100000);
    uint32_t x = 19;
    for (auto& v : noise) v = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    writeBytes(dir / "random.mp3", noise);
    writeBytes(dir / "random.ogg", noise);
    fs::create_directory(dir / "folder.wav");
    writeBytes(dir / "notes.txt", {'h', 'i'});
    struct Case {
        const char* name;
        const char* cause;
    } cases[] = {
        {"missing.mp3", "No such file or directory"},
        {"missing.wav", "No such file or directory"},
        {"empty.mp3", "the file is empty"},
        {"empty.wav", "the file is empty"},
        {"random.mp3", "not an audio file of this type"},
        {"random.ogg", "not an audio file of this type"},
        {"folder.wav", "Is a directory"},
        {"notes.txt", "not a type of file this component reads"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bstr name((dir / c.name).string());
        EXPECT_EQ(info->GetAudioInformation(name.get()), S_OK);
        LONG frequency = -1, duration = -1;
        info->get_infoFrequency(&frequency);
        info->get_infoDuration(&duration);
        EXPECT_EQ(frequency, 0);
        EXPECT_EQ(duration, 0);
        EXPECT_EQ(qoro::com::takeErrorDescription(), c.cause);
    }
    writeWav16(dir / "good.wav", 8000, 1, testSignal(8000, 1, 800));
    Bstr bad((dir / "missing.wav").string()), good((dir / "good.wav").string());
    info->GetAudioInformation(bad.get());
    info->GetAudioInformation(good.get());
    LONG frequency = 0;
    info->get_infoFrequency(&frequency);
    EXPECT_EQ(frequency, 8000);
    EXPECT_EQ(qoro::com::takeErrorDescription(), "");
    info.reset();
    CoUninitialize();
}

// A tag write that cannot be done fails and says why, by vtable (error
// information) and by name (EXCEPINFO), and changes nothing.
TEST(AudioInformationComponent, FailedTagWritesReportTheirCause) {
    TempDir dir;
    CoInitialize(nullptr);
    ComPtr<IAudioInformation> info = createByClass();
    ASSERT_TRUE(info);
    ComPtr<ISupportErrorInfo> supports;
    ASSERT_EQ(info.as(IID_ISupportErrorInfo, supports), S_OK);
    EXPECT_EQ(supports->InterfaceSupportsErrorInfo(IID_IAudioInformation), S_OK);

    Bstr title(std::string("Lost"));
    info->put_infoTitle(title.get());
    Bstr gone((dir / "no-such-folder" / "song.mp3").string());
    info->put_mp3TagInfoVersion(2);
    EXPECT_EQ(info->SetAudioInformation(gone.get()), HRESULT_FILE_NOT_FOUND);
    EXPECT_NE(qoro::com::takeErrorDescription().find("No such file or directory"), std::string::npos);
    info->put_mp3TagInfoVersion(1);
    EXPECT_EQ(info->SetAudioInformation(gone.get()), HRESULT_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(dir / "no-such-folder"));

    // A type that holds no tags is refused, not reported as written.
    writeBytes(dir / "notes.txt", {'h', 'i'});
    Bstr text((dir / "notes.txt").string());
    EXPECT_TRUE(FAILED(info->SetAudioInformation(text.get())));
    EXPECT_EQ(readBytes(dir / "notes.txt").size(), 2u);

    ComPtr<IDispatch> disp;
    ASSERT_EQ(info.as(IID_IDispatch, disp), S_OK);
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = qoro::com::bstrFromUtf8((dir / "missing.wav").string());
    DISPPARAMS one{&arg, nullptr, 1, 0};
    EXCEPINFO excep{};
    EXPECT_EQ(disp->Invoke(idOf(disp.get(), u"SetAudioInformation"), IID_NULL, 0, DISPATCH_METHOD, &one, nullptr,
                           &excep, nullptr),
              DISP_E_EXCEPTION);
    VariantClear(&arg);
    EXPECT_EQ(excep.scode, HRESULT_FILE_NOT_FOUND);
    EXPECT_NE(qoro::com::utf8FromBstr(excep.bstrDescription).find("No such file or directory"), std::string::npos);
    EXPECT_EQ(qoro::com::utf8FromBstr(excep.bstrSource), "QoroAudioInformation.AudioInformation");
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
    info.reset();
    disp.reset();
    supports.reset();
    CoUninitialize();
}

TEST(AudioInformationComponent, CreatedByClassAndCalledByName) {
    CoInitialize(nullptr);
    ComPtr<IAudioInformation> info = createByClass();
    ASSERT_TRUE(info);
    // Not registered here: found beside the program.
    ComPtr<IDispatch> disp;
    ASSERT_EQ(CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, disp.putVoid()),
              S_OK);
    ComPtr<IConnectionPointContainer> cpc;
    EXPECT_EQ(disp.as(IID_IConnectionPointContainer, cpc), S_OK);

    TempDir dir;
    const auto wav = dir / "d.wav";
    writeWav16(wav, 22050, 1, std::vector<int16_t>(22050 * 2, 0));
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = qoro::com::bstrFromUtf8(wav.string());
    DISPPARAMS one{&arg, nullptr, 1, 0};
    EXPECT_EQ(disp->Invoke(idOf(disp.get(), u"getaudioinformation"), IID_NULL, 0, DISPATCH_METHOD, &one, nullptr,
                           nullptr, nullptr),
              S_OK);
    VariantClear(&arg);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(disp->Invoke(idOf(disp.get(), u"infoDuration"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                           nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 2000);

    // InsertCue with only its three required arguments (last first).
    VARIANT cue[3];
    for (auto& v : cue) VariantInit(&v);
    cue[0].vt = VT_BSTR;
    cue[0].bstrVal = qoro::com::bstrFromUtf8("label");
    cue[1].vt = VT_I4;
    cue[1].lVal = 0;
    cue[2].vt = VT_I4;
    cue[2].lVal = 4410;
    DISPPARAMS three{cue, nullptr, 3, 0};
    EXPECT_EQ(
        disp->Invoke(idOf(disp.get(), u"InsertCue"), IID_NULL, 0, DISPATCH_METHOD, &three, nullptr, nullptr, nullptr),
        S_OK);
    for (auto& v : cue) VariantClear(&v);
    ComPtr<IAudioInformation> same;
    ASSERT_EQ(disp.as(IID_IAudioInformation, same), S_OK);
    LONG pos = 0;
    same->get_cuePosition(&pos);
    EXPECT_EQ(pos, 4410);
    BSTR label = nullptr;
    same->get_cueLabel(&label);
    EXPECT_EQ(Bstr::adopt(label).utf8(), "label");
    info.reset();
    disp.reset();
    same.reset();
    cpc.reset();
    CoUninitialize();
}

// The fields and pictures of IAudioInformation2: asked for by its IID, and
// called by name through IDispatch with the DISPIDs after the old members.
TEST(AudioInformationComponent, FieldsAndPicturesByInterfaceAndByName) {
    CoInitialize(nullptr);
    {
        ComPtr<IAudioInformation2> info;
        ASSERT_EQ(CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation2,
                                   info.putVoid()),
                  S_OK);
        ComPtr<IAudioInformation> older;
        ASSERT_EQ(info.as(IID_IAudioInformation, older), S_OK);
        ComPtr<IDispatch> disp;
        ASSERT_EQ(older.as(IID_IDispatch, disp), S_OK);
        const std::pair<const char16_t*, DISPID> members[] = {
            {u"GetField", 60}, {u"setfield", 61}, {u"GetFieldNames", 62}, {u"GetPicture", 63}, {u"SetPicture", 64}};
        for (const auto& [name, id] : members) EXPECT_EQ(idOf(disp.get(), name), id);

        TempDir dir;
        const auto wav = dir / "d.wav";
        writeWav16(wav, 8000, 1, std::vector<int16_t>(800, 0));
        ASSERT_EQ(info->GetAudioInformation(Bstr(wav.string()).get()), S_OK);

        // SetField("ITCH", "Tech") and GetField("ITCH") by name (arguments last first).
        VARIANT two[2];
        for (auto& v : two) VariantInit(&v);
        two[0].vt = VT_BSTR;
        two[0].bstrVal = qoro::com::bstrFromUtf8("Tech");
        two[1].vt = VT_BSTR;
        two[1].bstrVal = qoro::com::bstrFromUtf8("ITCH");
        DISPPARAMS setArgs{two, nullptr, 2, 0};
        EXPECT_EQ(disp->Invoke(61, IID_NULL, 0, DISPATCH_METHOD, &setArgs, nullptr, nullptr, nullptr), S_OK);
        DISPPARAMS getArgs{&two[1], nullptr, 1, 0};
        VARIANT result;
        VariantInit(&result);
        ASSERT_EQ(disp->Invoke(60, IID_NULL, 0, DISPATCH_METHOD, &getArgs, &result, nullptr, nullptr), S_OK);
        EXPECT_EQ(result.vt, VT_BSTR);
        EXPECT_EQ(qoro::com::utf8FromBstr(result.bstrVal), "Tech");
        VariantClear(&result);
        for (auto& v : two) VariantClear(&v);
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        ASSERT_EQ(disp->Invoke(62, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
        ASSERT_EQ(result.vt, VT_ARRAY | VT_BSTR);
        LONG high = -1;
        SafeArrayGetUBound(result.parray, 1, &high);
        EXPECT_EQ(high, 0);
        VariantClear(&result);
        ASSERT_EQ(info->SetAudioInformation(Bstr(wav.string()).get()), S_OK);
        info->GetAudioInformation(Bstr(wav.string()).get());
        BSTR value = nullptr;
        info->GetField(Bstr(std::string("ITCH")).get(), &value);
        EXPECT_EQ(Bstr::adopt(value).utf8(), "Tech");

        // SetPicture(3, "image/png", bytes) and GetPicture(3, mime) by name:
        // the MIME type comes back through a BSTR by reference.
        const std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', 1, 2, 3};
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        void* p = nullptr;
        SafeArrayAccessData(array, &p);
        std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(p));
        SafeArrayUnaccessData(array);
        VARIANT three[3];
        for (auto& v : three) VariantInit(&v);
        three[0].vt = VT_ARRAY | VT_UI1;
        three[0].parray = array;
        three[1].vt = VT_BSTR;
        three[1].bstrVal = qoro::com::bstrFromUtf8("image/png");
        three[2].vt = VT_I4;
        three[2].lVal = 3;
        DISPPARAMS pictureArgs{three, nullptr, 3, 0};
        EXPECT_EQ(disp->Invoke(64, IID_NULL, 0, DISPATCH_METHOD, &pictureArgs, nullptr, nullptr, nullptr), S_OK);
        for (auto& v : three) VariantClear(&v);
        BSTR mime = qoro::com::bstrFromUtf8("old text, freed by the call");
        VARIANT getPicture[2];
        VariantInit(&getPicture[0]);
        VariantInit(&getPicture[1]);
        getPicture[0].vt = VT_BYREF | VT_BSTR;
        getPicture[0].pbstrVal = &mime;
        getPicture[1].vt = VT_I2;
        getPicture[1].iVal = 3;
        DISPPARAMS pictureOut{getPicture, nullptr, 2, 0};
        ASSERT_EQ(disp->Invoke(63, IID_NULL, 0, DISPATCH_METHOD, &pictureOut, &result, nullptr, nullptr), S_OK);
        EXPECT_EQ(qoro::com::utf8FromBstr(mime), "image/png");
        SysFreeString(mime);
        ASSERT_EQ(result.vt, VT_ARRAY | VT_UI1);
        SafeArrayAccessData(result.parray, &p);
        EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + bytes.size()), bytes);
        SafeArrayUnaccessData(result.parray);
        VariantClear(&result);
        // The kind left off: the front cover.
        ASSERT_EQ(disp->Invoke(63, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
        EXPECT_EQ(result.vt, VT_ARRAY | VT_UI1);
        VariantClear(&result);

        // A WAV holds no pictures: the write fails by name with its cause and writes nothing.
        const auto before = readBytes(wav);
        VARIANT path;
        VariantInit(&path);
        path.vt = VT_BSTR;
        path.bstrVal = qoro::com::bstrFromUtf8(wav.string());
        DISPPARAMS one{&path, nullptr, 1, 0};
        EXCEPINFO excep{};
        EXPECT_EQ(disp->Invoke(idOf(disp.get(), u"SetAudioInformation"), IID_NULL, 0, DISPATCH_METHOD, &one, nullptr,
                               &excep, nullptr),
                  DISP_E_EXCEPTION);
        VariantClear(&path);
        EXPECT_NE(qoro::com::utf8FromBstr(excep.bstrDescription).find("cannot hold pictures"), std::string::npos);
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrHelpFile);
        EXPECT_EQ(readBytes(wav), before);
    }
    CoUninitialize();
}

TEST(AudioInformationComponent, RegistrationEntries) {
    TempDir dir;
    const auto registry = dir / "registry";
    setenv("QORO_REGISTRY", registry.c_str(), 1);
    void* lib = dlopen(binPath("libQoroAudioInformation.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using Fn = HRESULT (*)();
    auto reg = reinterpret_cast<Fn>(dlsym(lib, "DllRegisterServer"));
    auto unreg = reinterpret_cast<Fn>(dlsym(lib, "DllUnregisterServer"));
    ASSERT_TRUE(reg && unreg);
    ASSERT_EQ(reg(), S_OK);
    std::stringstream text;
    text << std::ifstream(registry).rdbuf();
    const std::string s = text.str();
    for (const char* expected : {"QoroAudioInformation.AudioInformation.1", "QoroAudioInformation Class", "Apartment",
                                 "132497", "Insertable", "Programmable", "Control"})
        EXPECT_NE(s.find(expected), std::string::npos) << expected << "\n" << s;
    CLSID byName{};
    EXPECT_EQ(CLSIDFromProgID(PROGID_AudioInformation, &byName), S_OK);
    EXPECT_EQ(byName, CLSID_AudioInformation);
    EXPECT_EQ(CLSIDFromProgID(PROGID_AudioInformation_VI, &byName), S_OK);
    EXPECT_EQ(byName, CLSID_AudioInformation);
    CoInitialize(nullptr);
    ComPtr<IAudioInformation> info;
    EXPECT_EQ(CoCreateInstance(byName, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation, info.putVoid()), S_OK);
    info.reset();
    CoUninitialize();
    EXPECT_EQ(unreg(), S_OK);
    std::stringstream after;
    after << std::ifstream(registry).rdbuf();
    EXPECT_EQ(after.str().find("QoroAudioInformation.AudioInformation.1"), std::string::npos);
    dlclose(lib);
    unsetenv("QORO_REGISTRY");
}

}  // namespace
