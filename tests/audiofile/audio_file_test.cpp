// The AudioFile object as callers see it: created through CoCreateInstance
// (the component library is found beside this program, never linked), driven
// through its vtable and through IDispatch by member name, its Error event
// received through a connection point.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <numbers>
#include <utility>
#include <vector>

#include "audio_file_session.h"
#include "kind_files.h"
#include "qoro/AudioFile.h"
#include "qoro/com.h"
#include "test_support.h"

namespace t = qoro::test;
using qoro::com::Bstr;
using qoro::com::ComPtr;

namespace {

// An event sink that records the codes of _IAudioFileEvents.Error.
class ErrorRecorder final : public IDispatch {
public:
    std::vector<LONG> codes;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID__IAudioFileEvents) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override { return --refs_; }  // lives on the test's stack
    HRESULT GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id != qoro::dispid::AudioFileEvents::Error || !params || params->cArgs != 1) return DISP_E_MEMBERNOTFOUND;
        codes.push_back(params->rgvarg[0].lVal);
        return S_OK;
    }

private:
    ULONG refs_ = 1;
};

// The shared AudioFile session with an Error event sink advised.
class AudioFileTest : public t::AudioFileSession {
protected:
    // The DISPID the object's IDispatch finds for a member's name.
    DISPID dispidOf(const char16_t* name) {
        ComPtr<IDispatch> disp;
        EXPECT_EQ(af.as(IID_IDispatch, disp), S_OK);
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << qoro::com::toUtf8(name);
        return id;
    }
    void SetUp() override {
        AudioFileSession::SetUp();
        ComPtr<IConnectionPointContainer> cpc;
        ASSERT_EQ(af.as(IID_IConnectionPointContainer, cpc), S_OK);
        ASSERT_EQ(cpc->FindConnectionPoint(DIID__IAudioFileEvents, point.put()), S_OK);
        ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
    }
    void TearDown() override {
        if (point) point->Unadvise(cookie);
        point.reset();
        AudioFileSession::TearDown();
    }

    SHORT status() {
        SHORT s = -1;
        af->get_Status(&s);
        return s;
    }
    std::vector<int16_t> read(LONG frames) {
        SAFEARRAY* sa = nullptr;
        EXPECT_EQ(af->ReadFile(frames, &sa), S_OK);
        std::vector<int16_t> out;
        if (!sa) return out;
        LONG ub = -1;
        SafeArrayGetUBound(sa, 1, &ub);
        void* data = nullptr;
        SafeArrayAccessData(sa, &data);
        out.assign(static_cast<int16_t*>(data), static_cast<int16_t*>(data) + (ub + 1));
        SafeArrayUnaccessData(sa);
        SafeArrayDestroy(sa);
        return out;
    }
    void write(const int16_t* samples, size_t count) {
        SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(count));
        void* data = nullptr;
        SafeArrayAccessData(sa, &data);
        if (count) std::memcpy(data, samples, count * 2);
        SafeArrayUnaccessData(sa);
        EXPECT_EQ(af->WriteFile(&sa), S_OK);
        SafeArrayDestroy(sa);
    }

    ComPtr<IConnectionPoint> point;
    ErrorRecorder sink;
    DWORD cookie = 0;
    t::TempDir dir;
};

}  // namespace

TEST_F(AudioFileTest, InitialStateAndWrongStatusCalls) {
    EXPECT_EQ(status(), 0);
    EXPECT_EQ(prop(&IAudioFile::get_Frequency), 44100);
    EXPECT_EQ(prop(&IAudioFile::get_nChannels), 2);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 44100);
    EXPECT_EQ(prop(&IAudioFile::get_Duration), 0);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 0);
    EXPECT_EQ(prop(&IAudioFile::get_FormatTag), 0);

    // ReadFile while closed: FILEACCESS and one silent sample frame.
    EXPECT_EQ(read(100), std::vector<int16_t>(2, 0));
    EXPECT_EQ(err(), FILEACCESS);
    int16_t s[2] = {1, 2};
    write(s, 2);
    LONG pos = 7;
    EXPECT_EQ(af->SeekFile(0, BEGIN_POS, &pos), S_OK);
    EXPECT_EQ(sink.codes, (std::vector<LONG>{FILEACCESS, FILEACCESS, FILEACCESS}));

    // CloseFile on a closed object succeeds silently and clears the error.
    EXPECT_EQ(af->CloseFile(), S_OK);
    EXPECT_EQ(err(), NOERRORS);
    open("");
    EXPECT_EQ(err(), FILEACCESS);
    open((dir / "x.wav").string(), WAV, 7);
    EXPECT_EQ(err(), INVALIDPARAM);
    open((dir / "x.ogg").string(), OGG, READWRITE);
    EXPECT_EQ(err(), INVALIDOPERATION);
    create((dir / "x.avi").string(), AVI);
    EXPECT_EQ(err(), FORMATNOTSUPPORT);
    EXPECT_FALSE(t::fs::exists(dir / "x.avi"));
    open((dir / "song.MP3").string());  // chosen as MPEG by its extension; the MPEG reader
    EXPECT_EQ(err(), FORMATFILE);       // reports every failed open as a format failure
    t::writeBytes(dir / "text.MP3", std::vector<uint8_t>(4000, 'x'));
    open((dir / "text.MP3").string());  // read by the MPEG reader, which finds no stream
    EXPECT_EQ(err(), FORMATFILE);
    open((dir / "absent.wav").string());
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(status(), 0);
}

TEST_F(AudioFileTest, OutputFormatsRefuseSilentlyAndWhileBusy) {
    LONG ba = -1;
    EXPECT_EQ(af->SetFormatPCM(44100, 2, 16, &ba), S_OK);
    EXPECT_EQ(ba, 4);
    EXPECT_EQ(prop(&IAudioFile::get_Bitrate), 1411200);
    read(1);  // leave an error behind
    ASSERT_EQ(err(), FILEACCESS);
    const size_t events = sink.codes.size();
    EXPECT_EQ(af->SetFormatPCM(999, 1, 16, &ba), S_OK);
    EXPECT_EQ(ba, 0);
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(sink.codes.size(), events);
    EXPECT_EQ(prop(&IAudioFile::get_Frequency), 44100);  // previous format in force
    EXPECT_EQ(prop(&IAudioFile::get_Bitrate), 1411200);

    const auto path = dir / "busy.wav";
    t::writeWav16(path, 8000, 1, t::testSignal(8000, 1, 800));
    open(path.string());
    ASSERT_EQ(status(), 1);
    EXPECT_EQ(af->SetFormatPCM(8000, 1, 16, &ba), S_OK);
    EXPECT_EQ(ba, 0);
    EXPECT_EQ(err(), BUSY);
    // A second OpenFile leaves the first file open and readable.
    open(path.string());
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(read(10).size(), 10u);
    EXPECT_EQ(err(), NOERRORS);
}

TEST_F(AudioFileTest, WriteReadSeekThroughTheObject) {
    LONG ba = 0;
    ASSERT_EQ(af->SetFormatPCM(16000, 2, 16, &ba), S_OK);
    ASSERT_EQ(ba, 4);
    const auto path = dir / "out.wav";
    create(path.string());
    ASSERT_EQ(status(), 2);
    EXPECT_EQ(prop(&IAudioFile::get_FormatTag), 1);
    EXPECT_EQ(prop(&IAudioFile::get_Bitrate), 512000);
    LONG pos = -1;
    EXPECT_EQ(af->SeekFile(5, BEGIN_POS, &pos), S_OK);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(err(), NOERRORS);

    // Odd element counts on a stereo file: the unpaired sample waits.
    const auto signal = t::testSignal(16000, 2, 1000);
    size_t at = 0;
    for (size_t n : {1, 2, 333, 0, 999, 665}) {
        write(signal.data() + at, n);
        at += n;
    }
    ASSERT_EQ(at, signal.size());
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 1000);
    af->CloseFile();
    EXPECT_EQ(prop(&IAudioFile::get_Bitrate), 0);

    open(path.string());
    ASSERT_EQ(status(), 1);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 1000);
    EXPECT_EQ(prop(&IAudioFile::get_Duration), 62);
    EXPECT_TRUE(read(0).empty());
    EXPECT_TRUE(read(-5).empty());
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(readAll(333), signal);
    EXPECT_TRUE(read(10).empty());
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 1000);

    EXPECT_EQ(af->SeekFile(0, END_POS, &pos), S_OK);
    EXPECT_EQ(pos, 1000);
    EXPECT_EQ(af->SeekFile(10, BEGIN_POS, &pos), S_OK);
    EXPECT_EQ(pos, 10);
    auto part = read(3);
    EXPECT_EQ(part, std::vector<int16_t>(signal.begin() + 20, signal.begin() + 26));
    EXPECT_EQ(af->SeekFile(-1, BEGIN_POS, &pos), S_OK);
    EXPECT_EQ(err(), INVALIDPARAM);

    // Half the array rate: half the sample frames.
    EXPECT_EQ(af->SetFormatArray(8000, 1), S_OK);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 500);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), 1);
    // Unknown array formats are ignored.
    EXPECT_EQ(af->SetFormatArray(22050, 3), S_OK);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), 1);
}

TEST_F(AudioFileTest, TypesChosenByExtension) {
    // ".dss": the speech-file opener, no samples.
    t::writeBytes(dir / "memo.dss", std::vector<uint8_t>(1000, 0x55));
    open((dir / "memo.dss").string());
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(status(), 1);
    EXPECT_EQ(prop(&IAudioFile::get_FormatTag), 80);
    EXPECT_TRUE(read(100).empty());
    af->CloseFile();

    // Unknown extension: raw with the raw settings in force.
    LONG ba = 0;
    ASSERT_EQ(af->SetFormatRAW(PCM, 8000, 1, 8, &ba), S_OK);
    ASSERT_EQ(ba, 1);
    const std::vector<uint8_t> bytes = {0, 64, 128, 192, 255};
    t::writeBytes(dir / "data.xyz", bytes);
    open((dir / "data.xyz").string());
    ASSERT_EQ(status(), 1);
    EXPECT_EQ(prop(&IAudioFile::get_FormatTag), 30001);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 5);
    EXPECT_EQ(read(10), (std::vector<int16_t>{-32768, -16384, 0, 16384, 32512}));
    af->CloseFile();

    // ".mp1" is no writable type: a raw file with the raw settings.
    create((dir / "out.mp1").string());
    ASSERT_EQ(status(), 2);
    const int16_t s[3] = {-32768, 0, 32767};
    write(s, 3);
    af->CloseFile();
    EXPECT_EQ(t::readBytes(dir / "out.mp1"), (std::vector<uint8_t>{0, 128, 255}));
}

TEST_F(AudioFileTest, DrivenThroughIDispatchByName) {
    ComPtr<IDispatch> disp;
    ASSERT_EQ(af.as(IID_IDispatch, disp), S_OK);
    auto idOf = [&](const char16_t* name) { return dispidOf(name); };
    EXPECT_EQ(idOf(u"openfile"), qoro::dispid::AudioFile::OpenFile);
    EXPECT_EQ(idOf(u"SetFormatPCM"), qoro::dispid::AudioFile::SetFormatPCM);

    // SetFormatPCM() with every argument missing: 8000 Hz, mono, 16 bits.
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(disp->Invoke(idOf(u"SetFormatPCM"), IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 2);
    VariantClear(&result);

    // CreateFile(name) with the type left to the extension; WriteFile; CloseFile.
    const auto path = dir / "disp.wav";
    VARIANT arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = qoro::com::bstrFromUtf8(path.string());
    DISPPARAMS one{&arg, nullptr, 1, 0};
    ASSERT_EQ(disp->Invoke(idOf(u"CreateFile"), IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(status(), 2);
    VARIANT samples;
    VariantInit(&samples);
    samples.vt = VT_ARRAY | VT_I2;
    samples.parray = SafeArrayCreateVector(VT_I2, 0, 800);
    DISPPARAMS arr{&samples, nullptr, 1, 0};
    ASSERT_EQ(disp->Invoke(idOf(u"WriteFile"), IID_NULL, 0, DISPATCH_METHOD, &arr, nullptr, nullptr, nullptr), S_OK);
    VariantClear(&samples);
    ASSERT_EQ(disp->Invoke(idOf(u"CloseFile"), IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), S_OK);

    // OpenFile(name): type and flag take their defaults; nSamples as a property.
    ASSERT_EQ(disp->Invoke(idOf(u"OpenFile"), IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr), S_OK);
    VariantClear(&arg);
    EXPECT_EQ(status(), 1);
    ASSERT_EQ(disp->Invoke(idOf(u"nSamples"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.lVal, 800);
    VariantClear(&result);

    // ReadFile(4410) returns the array in the result.
    VARIANT n;
    VariantInit(&n);
    n.vt = VT_I4;
    n.lVal = 4410;
    DISPPARAMS readArgs{&n, nullptr, 1, 0};
    ASSERT_EQ(disp->Invoke(idOf(u"ReadFile"), IID_NULL, 0, DISPATCH_METHOD, &readArgs, &result, nullptr, nullptr),
              S_OK);
    ASSERT_EQ(result.vt, VT_ARRAY | VT_I2);
    LONG ub = -1;
    SafeArrayGetUBound(result.parray, 1, &ub);
    EXPECT_EQ(ub, 799);
    VariantClear(&result);

    // The settings object comes back as a counted interface.
    ASSERT_EQ(
        disp->Invoke(idOf(u"Mp3LameEncoder"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(result.vt, VT_DISPATCH);
    EXPECT_NE(result.pdispVal, nullptr);
    VariantClear(&result);
}

TEST_F(AudioFileTest, Mp3SettingsObjectSharesTheRecord) {
    ComPtr<IAudioFileLameMp3Encoder> lame;
    ASSERT_EQ(af->get_Mp3LameEncoder(lame.put()), S_OK);
    ASSERT_TRUE(lame);
    LONG ba = 0;
    af->SetFormatMP3(44100, 0, 2, &ba);
    EXPECT_EQ(ba, 1152);
    EXPECT_EQ(prop(&IAudioFile::get_Bitrate), 128000);
    EXPECT_EQ(lame->put_Bitrate(192), S_OK);
    LONG br = 0;
    lame->get_Bitrate(&br);
    EXPECT_EQ(br, 192);
    BSTR text = nullptr;
    af->get_FormatString(&text);
    EXPECT_NE(qoro::com::utf8FromBstr(text).find("192 Kbps"), std::string::npos) << qoro::com::utf8FromBstr(text);
    SysFreeString(text);
    // The settings object outlives its AudioFile without harm.
    af.reset();
    EXPECT_EQ(lame->put_Bitrate(256), S_OK);
}

// Every SetFormat* output the codec manager confirms, written as WAV, opens
// in ffprobe and soxi with the expected rate, channels and length.
TEST_F(AudioFileTest, WrittenFormatsOpenInReferenceTools) {
    QORO_REQUIRE_TOOLS("ffprobe", "soxi");
    struct Case {
        const char* name;
        std::function<LONG(IAudioFile*)> set;
        int rate, channels;
    };
    auto call = [](auto fn) { return fn; };
    const std::vector<Case> cases = {
        {"pcm8", call([](IAudioFile* a) {
             LONG b = 0;
             a->SetFormatPCM(11025, 1, 8, &b);
             return b;
         }),
         11025, 1},
        {"pcm16", call([](IAudioFile* a) {
             LONG b = 0;
             a->SetFormatPCM(48000, 2, 16, &b);
             return b;
         }),
         48000, 2},
        {"pcm6k", call([](IAudioFile* a) {
             LONG b = 0;
             a->SetFormatPCM(6000, 2, 8, &b);
             return b;
         }),
         6000, 2},
        {"alaw", call([](IAudioFile* a) {
             LONG b = 0;
             a->SetFormatALAW(22050, 2, &b);
             return b;
         }),
         22050, 2},
        {"ulaw", call([](IAudioFile* a) {
             LONG b = 0;
             a->SetFormatULAW(8000, 1, &b);
             return b;
         }),
         8000, 1},
        {"adpcm", call([](IAudioFile* a) {
             LONG b = 0;
             a->SetFormatADPCM(11025, 2, &b);
             return b;
         }),
         11025, 2},
        {"gsm", call([](IAudioFile* a) {
             LONG b = 0;
             a->SetFormatGSM(8000, &b);
             return b;
         }),
         8000, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GT(c.set(af.get()), 0);
        const auto path = dir / (std::string(c.name) + ".wav");
        create(path.string());
        ASSERT_EQ(status(), 2);
        const auto signal = t::testSignal(c.rate, c.channels, c.rate / 2);
        const size_t block = static_cast<size_t>(c.rate / 10 * c.channels);
        for (size_t at = 0; at < signal.size(); at += block)
            write(signal.data() + at, std::min(block, signal.size() - at));
        af->CloseFile();
        ASSERT_EQ(err(), NOERRORS);
        const auto soxi = t::run("soxi " + t::shellQuote(path.string()) + " 2>&1");
        EXPECT_NE(soxi.output.find("Sample Rate    : " + std::to_string(c.rate)), std::string::npos) << soxi.output;
        EXPECT_NE(soxi.output.find("Channels       : " + std::to_string(c.channels)), std::string::npos);
        const auto probe = t::run(
            "ffprobe -v error -show_entries stream=sample_rate,channels:format=duration"
            " -of default=nw=1 " +
            t::shellQuote(path.string()));
        EXPECT_NE(probe.output.find("sample_rate=" + std::to_string(c.rate)), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("channels=" + std::to_string(c.channels)), std::string::npos);
        const auto d = probe.output.find("duration=");
        ASSERT_NE(d, std::string::npos);
        const double seconds = std::stod(probe.output.substr(d + 9));
        EXPECT_NEAR(seconds, 0.5, 0.05);  // at most one padded codec block more
    }
    // Formats the codec manager has no driver for are refused.
    LONG b = -1;
    af->SetFormatDSP(&b);
    EXPECT_EQ(b, 0);
    af->SetFormatMobileVoice(8000, &b);
    EXPECT_EQ(b, 0);
    af->SetFormatGSM(16000, &b);
    EXPECT_EQ(b, 0);
}

TEST_F(AudioFileTest, ReadWriteOverwritesAndExtendsTheDataChunk) {
    const auto path = dir / "rw.wav";
    auto signal = t::testSignal(8000, 1, 1000);
    t::writeWav16(path, 8000, 1, signal);
    open(path.string(), WAV, READWRITE);
    ASSERT_EQ(status(), 3);
    LONG pos = 0;
    af->SeekFile(100, BEGIN_POS, &pos);
    ASSERT_EQ(pos, 100);
    const std::vector<int16_t> patch(50, 1234);
    write(patch.data(), patch.size());
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 1000);  // overwritten, not grown
    af->SeekFile(0, END_POS, &pos);
    ASSERT_EQ(pos, 1000);
    const std::vector<int16_t> tail(100, -4321);
    write(tail.data(), tail.size());
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 1100);
    af->CloseFile();
    ASSERT_EQ(err(), NOERRORS);

    std::copy(patch.begin(), patch.end(), signal.begin() + 100);
    signal.insert(signal.end(), tail.begin(), tail.end());
    const auto bytes = t::readBytes(path);
    ASSERT_EQ(bytes.size(), 44u + 2200);
    EXPECT_EQ(bytes[4] | bytes[5] << 8 | bytes[6] << 16, 36 + 2200);
    EXPECT_EQ(bytes[40] | bytes[41] << 8 | bytes[42] << 16, 2200);
    open(path.string());
    EXPECT_EQ(readAll(441), signal);
}

// A stereo 8-bit 22050 Hz file read as 44100 Hz mono: widened, upsampled per
// channel, then averaged; every returned block ends on its last input sample.
TEST_F(AudioFileTest, ArrayFormatConversionOnRead) {
    const auto path = dir / "s8.wav";
    LONG ba = 0;
    ASSERT_EQ(af->SetFormatPCM(22050, 2, 8, &ba), S_OK);
    create(path.string());
    std::vector<int16_t> ramp(2 * 2205);
    for (size_t i = 0; i < ramp.size(); i += 2) {
        ramp[i] = static_cast<int16_t>((static_cast<int>(i / 2) % 200 - 100) * 256);
        ramp[i + 1] = static_cast<int16_t>(-ramp[i]);
    }
    write(ramp.data(), ramp.size());
    af->CloseFile();

    open(path.string());
    ASSERT_EQ(prop(&IAudioFile::get_BitsPerSample), 8);
    af->SetFormatArray(44100, 1);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 4410);
    const auto mono = readAll(4410);
    EXPECT_NEAR(static_cast<double>(mono.size()), 4410.0, 2.0);
    // Left and right are opposite: their average is silence (the last frames
    // of the block included).
    int worst = 0;
    for (int16_t v : mono) worst = std::max(worst, std::abs(static_cast<int>(v)));
    EXPECT_LE(worst, 1);
}

// Any array rate from 1000 to 768000 Hz is converted, never taken for the
// file's own: written at 96 kHz into a 44.1 kHz file and read back at 96 kHz,
// the length and the tone survive both conversions; a rate the array cannot
// have is refused.
TEST_F(AudioFileTest, ArrayRatesOutsideTheTableAreConverted) {
    for (auto [rate, channels] : {std::pair{500L, 2L}, {1000000L, 2L}, {96000L, 3L}}) {
        EXPECT_EQ(af->SetFormatArray(rate, channels), S_OK);
        EXPECT_EQ(err(), INVALIDPARAM) << rate << " Hz, " << channels << " channels";
        EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 44100);
    }
    EXPECT_EQ(af->SetFormatArray(96000, 2), S_OK);
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 96000);

    LONG ba = 0;
    ASSERT_EQ(af->SetFormatPCM(44100, 2, 16, &ba), S_OK);
    const auto path = dir / "from96k.wav";
    create(path.string());
    af->SetFormatArray(96000, 2);
    std::vector<int16_t> tone(2 * 9601);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] =
            static_cast<int16_t>(std::lround(12000 * std::sin(2 * std::numbers::pi * 1000.0 * double(i / 2) / 96000)));
    for (size_t at = 0; at < tone.size(); at += 2000) write(tone.data() + at, std::min<size_t>(2000, tone.size() - at));
    af->CloseFile();
    EXPECT_EQ(err(), NOERRORS);

    open(path.string());
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 4410);  // round(9601 x 44100 / 96000)
    af->SetFormatArray(96000, 2);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 9600);
    const auto back = readAll(777);
    ASSERT_EQ(back.size(), 2u * 9600);
    // aligned: away from the ends the tone comes back within a few steps
    int worst = 0;
    for (size_t i = 2000; i + 2000 < back.size(); ++i) worst = std::max(worst, std::abs(back[i] - tone[i]));
    EXPECT_LE(worst, 8);
    // a seek restarts the conversion at the new position
    LONG pos = 0;
    EXPECT_EQ(af->SeekFile(4800, BEGIN_POS, &pos), S_OK);
    EXPECT_EQ(pos, 4800);
    EXPECT_EQ(readAll(1000).size(), 2u * (9600 - 4800));
}

namespace {

// Power of `freq` in the left channel of stereo samples, Hann-windowed so
// that a strong tone leaks nothing measurable a few kHz away (Goertzel).
double leftPower(const std::vector<int16_t>& stereo, double rate, double freq) {
    const size_t n = stereo.size() / 2;
    const double coeff = 2 * std::cos(2 * std::numbers::pi * freq / rate);
    double q1 = 0, q2 = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n - 1));
        const double q0 = coeff * q1 - q2 + w * stereo[2 * i];
        q2 = q1;
        q1 = q0;
    }
    return q1 * q1 + q2 * q2 - q1 * q2 * coeff;
}

}  // namespace

// IAudioFile3's ResampleQuality (after IAudioFile2's last slot, by name
// too): 1 takes even a rate change between table rates through the very
// high quality resampler. Written 44.1 -> 48 kHz, a 10 kHz tone keeps the
// image at 13.9 kHz the block converter leaves (quality 0, the default) only
// far below the 16-bit floor, and the stream keeps its length.
TEST_F(AudioFileTest, ResampleQualityTakesTableRatesThroughTheQualityResampler) {
    EXPECT_EQ(t::vtableSlot(&IAudioFile3::get_ResampleQuality), t::vtableSlot(&IAudioFile2::SetFormatOpus) + 1);
    for (const GUID& other : {IID_IAudioFile, IID_IAudioFile2, IID_IAudioFileFormats, CLSID_AudioFile})
        EXPECT_NE(IID_IAudioFile3, other);
    ComPtr<IAudioFile3> af3;
    ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
    EXPECT_EQ(dispidOf(u"resamplequality"), qoro::dispid::AudioFile::ResampleQuality);
    LONG quality = -1;
    EXPECT_EQ(af3->put_ResampleQuality(2), S_OK);
    EXPECT_EQ(err(), INVALIDPARAM);
    af3->get_ResampleQuality(&quality);
    EXPECT_EQ(quality, 0);

    std::vector<int16_t> tone(2 * 44100);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<int16_t>(
            std::lround(16000 * std::sin(2 * std::numbers::pi * 10000.0 * double(i / 2) / 44100)));
    auto imageDb = [&](LONG q) {
        EXPECT_EQ(af3->put_ResampleQuality(q), S_OK);
        EXPECT_EQ(err(), NOERRORS);
        LONG ba = 0;
        af->SetFormatPCM(48000, 2, 16, &ba);
        const auto path = dir / ("q" + std::to_string(q) + ".wav");
        create(path.string());
        af->SetFormatArray(44100, 2);
        for (size_t at = 0; at < tone.size(); at += 4410) write(tone.data() + at, 4410);
        af->CloseFile();
        open(path.string());
        EXPECT_EQ(prop(&IAudioFile::get_nSamples), 48000);
        auto back = readAll(4800);
        EXPECT_EQ(back.size(), 2u * 48000);
        back = std::vector<int16_t>(back.begin() + 2 * 4800, back.end() - 2 * 4800);  // no edges
        af->CloseFile();
        return 10 * std::log10(leftPower(back, 48000, 13900) / leftPower(back, 48000, 10000));
    };
    EXPECT_GT(imageDb(0), -40.0);
    EXPECT_LT(imageDb(1), -110.0);
}

// IAudioFile3's SetFormatVorbis (after ResampleQuality, by name too) writes
// Ogg Vorbis at the rate and channels given, where SetFormatOggVorbis always
// writes 44100 Hz stereo; other values are refused and change nothing.
TEST_F(AudioFileTest, SetFormatVorbisKeepsItsRateAndChannels) {
    EXPECT_EQ(t::vtableSlot(&IAudioFile3::SetFormatVorbis), t::vtableSlot(&IAudioFile3::put_ResampleQuality) + 1);
    ComPtr<IAudioFile3> af3;
    ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
    EXPECT_EQ(dispidOf(u"SetFormatVorbis"), qoro::dispid::AudioFile::SetFormatVorbis);

    LONG ba = -1;
    for (const auto [rate, channels] : {std::pair<LONG, LONG>{22050, 2}, {48000, 9}, {96000, 1}}) {
        EXPECT_EQ(af3->SetFormatVorbis(rate, channels, 128, -1, -1, -1, &ba), S_OK);
        EXPECT_EQ(ba, 0);
        EXPECT_EQ(err(), INVALIDPARAM) << rate << "/" << channels;
        EXPECT_EQ(prop(&IAudioFile::get_Frequency), 44100);
    }
    EXPECT_EQ(af3->SetFormatVorbis(48000, 1, 96, -1, -1, -1, &ba), S_OK);
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(ba, 1024);
    const auto path = dir / "v.ogg";
    create(path.string(), OGG);
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayFrequency), 48000);
    EXPECT_EQ(prop(&IAudioFile::get_ArrayChannels), 1);
    const auto tone = t::testSignal(48000, 1, 48000);
    write(tone.data(), 48000);
    af->CloseFile();
    open(path.string(), OGG);
    ASSERT_EQ(err(), NOERRORS);
    EXPECT_EQ(prop(&IAudioFile::get_Frequency), 48000);
    EXPECT_EQ(prop(&IAudioFile::get_nChannels), 1);
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), 48000);
}

// IAudioFile3's Dither (0 or 1, by name too) is taken by the next OpenFile:
// a 24-bit file then reads as TPDF-dithered 16-bit samples, each within one
// step of the undithered ones and most of them off it.
TEST_F(AudioFileTest, DitherIsTakenByTheNextOpen) {
    QORO_REQUIRE_TOOLS("sox");
    ComPtr<IAudioFile3> af3;
    ASSERT_EQ(af.as(IID_IAudioFile3, af3), S_OK);
    EXPECT_EQ(dispidOf(u"Dither"), qoro::dispid::AudioFile::Dither);
    EXPECT_EQ(af3->put_Dither(2), S_OK);
    EXPECT_EQ(err(), INVALIDPARAM);
    LONG dither = -1;
    af3->get_Dither(&dither);
    EXPECT_EQ(dither, 0);

    const auto deep = dir / "deep.wav";
    ASSERT_EQ(t::run("sox -D -R -n -r 44100 -c 2 -b 24 " + t::shellQuote(deep.string()) +
                     " synth 0.5 sine 440 sine 1234 gain -6")
                  .exitCode,
              0);
    auto readWith = [&](LONG d) {
        EXPECT_EQ(af3->put_Dither(d), S_OK);
        EXPECT_EQ(err(), NOERRORS);
        open(deep.string());
        auto samples = readAll(4410);
        af->CloseFile();
        return samples;
    };
    const auto plain = readWith(0), dithered = readWith(1);
    ASSERT_EQ(plain.size(), 44100u);
    ASSERT_EQ(dithered.size(), plain.size());
    size_t off = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        EXPECT_LE(std::abs(plain[i] - dithered[i]), 1) << i;
        off += plain[i] != dithered[i];
    }
    EXPECT_GT(off, plain.size() / 4);
}

TEST_F(AudioFileTest, FormatLikeSampleAndFailedCreate) {
    LONG ba = -1;
    Bstr ogg((dir / "a.ogg").string());
    af->SetFormatLikeSample(ogg.get(), &ba);
    EXPECT_EQ(ba, 0);
    EXPECT_EQ(err(), FORMATFILE);
    Bstr bare((dir / "noextension").string());
    af->SetFormatLikeSample(bare.get(), &ba);
    EXPECT_EQ(err(), FILEACCESS);
    // The sample's own failure, with its cause.
    Bstr absent((dir / "absent.wav").string());
    af->SetFormatLikeSample(absent.get(), &ba);
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(qoro::com::takeErrorDescription(), "No such file or directory");

    const auto sample = dir / "like.wav";
    t::writeWav16(sample, 22050, 1, t::testSignal(22050, 1, 100));
    Bstr like(sample.string());
    af->SetFormatLikeSample(like.get(), &ba);
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(ba, 2);
    EXPECT_EQ(prop(&IAudioFile::get_Frequency), 22050);
    EXPECT_EQ(prop(&IAudioFile::get_nChannels), 1);
    EXPECT_EQ(prop(&IAudioFile::get_Bitrate), 352800);
    EXPECT_EQ(status(), 0);  // the sample is not left open

    // A file that cannot be created: FILEACCESS, Status 0, nothing left behind.
    create((dir / "missing" / "x.wav").string());
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(status(), 0);
    create((dir / "like-out.wav").string());  // the chosen format is still in force
    EXPECT_EQ(status(), 2);
    EXPECT_EQ(prop(&IAudioFile::get_Frequency), 22050);
}

namespace {

// The description of this thread's error information, and whether there was any.
std::pair<bool, std::string> errorInfo() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || !info) return {false, ""};
    BSTR text = nullptr;
    info->GetDescription(&text);
    std::string out = qoro::com::utf8FromBstr(text);
    SysFreeString(text);
    info->Release();
    return {true, out};
}

}  // namespace

// Every failure says why, in the error information of the calling thread:
// the system's words when a file cannot be opened, "the file is empty",
// "not an audio file of this type". The codes stay those callers know (a
// missing MPEG file is still FORMATFILE, as its reader has always said),
// the member still returns S_OK and fires the event. A call that succeeds
// leaves no error information behind.
TEST_F(AudioFileTest, FailuresCarryTheirCauseInWords) {
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(af.as(IID_ISupportErrorInfo, support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IAudioFile), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);

    t::writeBytes(dir / "empty.wav", {});
    t::writeBytes(dir / "empty.mp3", {});
    t::writeBytes(dir / "text.wav", std::vector<uint8_t>(4000, 'x'));
    t::fs::create_directory(dir / "folder.wav");
    ASSERT_EQ(::mkfifo((dir / "pipe.mp3").c_str(), 0600), 0);  // no writer: a reader waiting on it would hang
    struct Case {
        const char* name;
        LONG code;
        const char* cause;
    };
    const Case cases[] = {
        {"missing.wav", FILEACCESS, "No such file or directory"},
        {"missing.mp3", FORMATFILE, "No such file or directory"},
        {"missing.ogg", FILEACCESS, "No such file or directory"},
        {"empty.wav", FORMATFILE, "the file is empty"},
        {"empty.mp3", FORMATFILE, "the file is empty"},
        {"text.wav", FORMATFILE, "not an audio file of this type"},
        {"folder.wav", FILEACCESS, "Is a directory"},
        {"pipe.mp3", FILEACCESS, "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sink.codes.clear();
        open((dir / c.name).string());
        EXPECT_EQ(err(), c.code);
        EXPECT_EQ(sink.codes, std::vector<LONG>{c.code});
        EXPECT_EQ(errorInfo(), std::make_pair(true, std::string(c.cause)));
        EXPECT_EQ(status(), 0);
    }

    // Calls made in the wrong state say what is wrong.
    read(10);
    EXPECT_EQ(errorInfo().second, "no file is open for reading");
    create((dir / "no-such-folder" / "out.wav").string());
    EXPECT_EQ(err(), FILEACCESS);
    EXPECT_EQ(errorInfo().second, "No such file or directory");

    // Success after failure: nothing stale is left to be taken for a cause.
    t::writeWav16(dir / "good.wav", 8000, 1, t::testSignal(8000, 1, 800));
    open((dir / "missing.wav").string());
    open((dir / "good.wav").string());
    EXPECT_EQ(err(), NOERRORS);
    EXPECT_EQ(errorInfo(), std::make_pair(false, std::string()));
    af->CloseFile();
    EXPECT_EQ(errorInfo(), std::make_pair(false, std::string()));
}

// A file name that is not UTF-8 (here Latin-1, as older systems wrote them)
// reaches the file system byte for byte: the file is found, read, written.
TEST_F(AudioFileTest, FileNamesThatAreNotUtf8AreOpenedAsTheyAre) {
    const std::string latin1 = (dir / "caf\xE9 \xFF.wav").string();
    const auto signal = t::testSignal(8000, 1, 800);
    t::writeWav16(latin1, 8000, 1, signal);
    LONG ba = 0;
    ASSERT_EQ(af->SetFormatPCM(8000, 1, 16, &ba), S_OK);
    open(latin1);
    ASSERT_EQ(err(), NOERRORS) << errorInfo().second;
    EXPECT_EQ(readAll(100), signal);
    af->CloseFile();

    const std::string copy = (dir / "copie \xE9\xE8.wav").string();
    create(copy);
    ASSERT_EQ(err(), NOERRORS) << errorInfo().second;
    write(signal.data(), signal.size());
    af->CloseFile();
    ASSERT_TRUE(t::fs::exists(copy));
    open(copy);
    EXPECT_EQ(readAll(100), signal);
}

// A Microsoft ADPCM WAV whose coefficient pair and block samples are all
// -32768: the prediction's sum is 2^31, beyond 32 bits (the sanitizer build
// once stopped here; others decoded to the wrong rail). Read whole through
// the object, every block gives its samples: the header's two, then the
// rail the exact prediction clamps to, then the value after it.
TEST_F(AudioFileTest, MicrosoftAdpcmWithExtremeCoefficientsReadsWithoutOverflow) {
    const uint16_t align = 256, spb = (align - 7) * 2 + 2;  // 500 samples a block
    auto le16 = [](std::vector<uint8_t>& b, int v) {
        b.push_back(static_cast<uint8_t>(v & 0xFF));
        b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    };
    auto le32 = [&](std::vector<uint8_t>& b, uint32_t v) {
        le16(b, static_cast<int>(v & 0xFFFF));
        le16(b, static_cast<int>(v >> 16));
    };
    std::vector<uint8_t> fmt;
    le16(fmt, 2), le16(fmt, 1), le32(fmt, 8000), le32(fmt, 8000u * align / spb), le16(fmt, align), le16(fmt, 4);
    le16(fmt, 8), le16(fmt, spb), le16(fmt, 1), le16(fmt, -32768), le16(fmt, -32768);
    std::vector<uint8_t> data;
    const int blocks = 4;
    for (int b = 0; b < blocks; ++b) {
        data.push_back(0);  // the one coefficient pair
        le16(data, 16), le16(data, -32768), le16(data, -32768);
        data.insert(data.end(), align - 7, 0x88);
    }
    std::vector<uint8_t> file = {'R', 'I', 'F', 'F'};
    le32(file, static_cast<uint32_t>(4 + 8 + fmt.size() + 8 + data.size()));
    file.insert(file.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    le32(file, static_cast<uint32_t>(fmt.size()));
    file.insert(file.end(), fmt.begin(), fmt.end());
    file.insert(file.end(), {'d', 'a', 't', 'a'});
    le32(file, static_cast<uint32_t>(data.size()));
    file.insert(file.end(), data.begin(), data.end());
    t::writeBytes(dir / "extreme.wav", file);

    open((dir / "extreme.wav").string());
    ASSERT_EQ(err(), NOERRORS) << qoro::com::takeErrorDescription();
    EXPECT_EQ(prop(&IAudioFile::get_nSamples), blocks * spb);
    const auto got = readAll(333);
    ASSERT_EQ(got.size(), size_t(blocks) * spb);
    for (int b = 0; b < blocks; ++b) {
        SCOPED_TRACE(b);
        const int16_t* s = got.data() + size_t(b) * spb;
        EXPECT_EQ(s[0], -32768);
        EXPECT_EQ(s[1], -32768);
        EXPECT_EQ(s[2], 32767);  // 2^23 - 8 x 16, clamped (wrapped: -2^23 - 128, the other rail)
        EXPECT_EQ(s[3], -256);   // (32767 x -32768 - 32768 x -32768) / 256 - 8 x 48
    }
}

// A file of a kind in the signature probe's table (taken from the table, so
// kinds a later reader takes stay covered) is never read as raw samples,
// WAV, MPEG audio or any other type that does not read it: every such opener
// refuses it, with FORMATNOTSUPPORT for kinds without sound and FORMATFILE
// for kinds another type reads, a cause naming the kind, the event fired,
// and the file untouched (READWRITE too).
TEST_F(AudioFileTest, FilesOfKindsTheirTypeDoesNotReadAreRefusedByName) {
    QORO_REQUIRE_TOOLS("ffmpeg");
    for (const t::KindFile& f : t::makeKindFiles(dir.path())) {
        const qoro::probe::KindInfo& row = *qoro::probe::info(f.kind);
        SCOPED_TRACE(f.path.filename().string() + " (" + f.madeBy + ")");
        // Under its usual name: read by the type that reads the kind, or refused.
        open(f.path.string());
        const bool readable = err() == NOERRORS;
        if (readable) {
            const LONG tag = prop(&IAudioFile::get_FormatTag);  // RAW: the raw record's tag + 30000
            EXPECT_FALSE(tag > 30000 && tag < 30100) << "read as raw samples";
        }
        EXPECT_TRUE(readable || err() == FORMATNOTSUPPORT || err() == FORMATFILE) << err();
        af->CloseFile();

        const auto before = t::readBytes(f.path);
        const t::fs::path copies[] = {t::copyAs(f.path, dir.path(), "as.raw"), t::copyAs(f.path, dir.path(), "as.wav"),
                                      t::copyAs(f.path, dir.path(), "as.mp3"), t::copyAs(f.path, dir.path(), "noext")};
        struct Open {
            const t::fs::path& path;
            LONG type, flag;
        } opens[] = {{copies[0], DEFAULT, READ},
                     {copies[0], DEFAULT, READWRITE},
                     {copies[1], DEFAULT, READ},
                     {copies[2], DEFAULT, READ},
                     {copies[3], DEFAULT, READWRITE},
                     {f.path, VOX, READ},
                     {f.path, G726, READ},
                     {f.path, G721, READ},
                     {f.path, G723, READ},
                     {f.path, MPC, READ},
                     {f.path, MP2, READ}};
        for (const Open& o : opens) {
            SCOPED_TRACE(testing::Message() << o.path.filename().string() << " type " << o.type << " flag " << o.flag);
            sink.codes.clear();
            open(o.path.string(), o.type, o.flag);
            const LONG code = err();
            EXPECT_EQ(code, !row.audio ? FORMATNOTSUPPORT : readable ? FORMATFILE : code);
            EXPECT_TRUE(code == FORMATNOTSUPPORT || code == FORMATFILE) << code;
            EXPECT_EQ(sink.codes, std::vector<LONG>{code});
            EXPECT_TRUE(errorInfo().second.starts_with(row.name)) << errorInfo().second;
            EXPECT_EQ(status(), 0);
            af->CloseFile();
            EXPECT_EQ(t::readBytes(o.path), before);
        }
        // What holds no sound is refused by the readers of every type.
        if (!row.audio) {
            for (LONG type : {LONG(OGG), LONG(OPUS), LONG(FLAC), LONG(AVI)}) {
                open(f.path.string(), type);
                EXPECT_EQ(err(), FORMATNOTSUPPORT) << type;
                EXPECT_TRUE(errorInfo().second.starts_with(row.name)) << type << ": " << errorInfo().second;
            }
        }
        if (f.kind == qoro::probe::Kind::Jpeg) {
            open(copies[2].string());
            EXPECT_EQ(errorInfo().second, "a JPEG image, not an audio file");
        }
    }
}

// Headerless samples that begin with the bytes of a frame sync (AC-3, ADTS)
// are still raw samples: they open as RAW and read back sample for sample.
TEST_F(AudioFileTest, RawSamplesThatBeginWithFrameSyncsStillOpenAsRaw) {
    QORO_REQUIRE_TOOLS("sox");
    const t::fs::path raw = dir / "tone.raw";
    t::mustRun("sox -n -r 44100 -c 2 -b 16 -e signed -t raw " + t::shellQuote(raw.string()) + " synth 1 sine 440");
    for (const std::vector<uint8_t>& sync : {std::vector<uint8_t>{0x0B, 0x77}, {0xFF, 0xF1}, {0xFF, 0xF9}}) {
        auto bytes = t::readBytes(raw);
        std::copy(sync.begin(), sync.end(), bytes.begin());
        t::writeBytes(raw, bytes);
        open(raw.string());
        ASSERT_EQ(err(), NOERRORS) << errorInfo().second;
        EXPECT_EQ(prop(&IAudioFile::get_FormatTag), 30001);
        const auto samples = readAll(4410);
        ASSERT_EQ(samples.size() * 2, bytes.size());
        EXPECT_EQ(std::memcmp(samples.data(), bytes.data(), bytes.size()), 0);
        af->CloseFile();
    }
}

// The Formats object lists what the component reads and writes: every
// extension of a readable type chooses that type (no two types claim one),
// writers state their limits, kinds known but not read are listed as such,
// and a script reaches it by name.
TEST_F(AudioFileTest, FormatsObjectListsWhatOpensAndCreates) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"QoroAudioFile.Formats", &clsid), S_OK);
    ComPtr<IAudioFileFormats> formats;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFileFormats, formats.putVoid()), S_OK);
    // The text a member hands back through its last argument.
    auto text = [](auto call) {
        BSTR b = nullptr;
        EXPECT_EQ(call(&b), S_OK);
        std::string s = qoro::com::utf8FromBstr(b);
        SysFreeString(b);
        return s;
    };
    LONG count = 0;
    ASSERT_EQ(formats->get_Count(&count), S_OK);
    std::map<std::string, LONG> byName;
    bool unreadAu = false;
    for (LONG i = 0; i < count; ++i) {
        LONG type = -1, abilities = 0;
        ASSERT_EQ(formats->FormatType(i, &type), S_OK);
        ASSERT_EQ(formats->Abilities(i, &abilities), S_OK);
        const std::string name = text([&](BSTR* b) { return formats->Name(i, b); });
        byName[name] = abilities;
        const std::string opened = text([&](BSTR* b) { return formats->Extensions(i, 0, b); });
        EXPECT_FALSE(opened.empty()) << name;
        if (type == 0) {
            EXPECT_EQ(abilities, FORMAT_AUDIO) << name;
            unreadAu |= opened == "au snd";
            continue;
        }
        std::istringstream words(opened);
        for (std::string ext; words >> ext;) {
            LONG chosen = -1;
            ASSERT_EQ(formats->TypeForName(qoro::com::Bstr(std::string_view("/a.b/Song." + ext)).get(), 0, &chosen),
                      S_OK);
            if (abilities & FORMAT_READS) EXPECT_EQ(chosen, type) << ext;
        }
        if (abilities & FORMAT_WRITES) {
            LONG channels = 0;
            ASSERT_EQ(formats->WriterChannels(i, &channels), S_OK);
            EXPECT_GE(channels, 1) << name;
            EXPECT_FALSE(text([&](BSTR* b) { return formats->WriterRates(i, b); }).empty()) << name;
        }
    }
    EXPECT_TRUE(unreadAu);
    EXPECT_EQ(byName["wav"], FORMAT_AUDIO | FORMAT_READS | FORMAT_WRITES | FORMAT_READWRITE | FORMAT_WALKED);
    EXPECT_EQ(byName["avi"], FORMAT_AUDIO | FORMAT_READS);
    EXPECT_EQ(byName["aiff"] & (FORMAT_READS | FORMAT_WRITES | FORMAT_WALKED),
              FORMAT_READS | FORMAT_WRITES | FORMAT_WALKED);
    LONG type = 0;
    BSTR b = nullptr;
    EXPECT_EQ(formats->Name(count, &b), E_INVALIDARG);
    EXPECT_EQ(formats->TypeForName(qoro::com::Bstr(u"x.MP2").get(), 1, &type), S_OK);
    EXPECT_EQ(type, MP2);
    EXPECT_EQ(formats->TypeForName(qoro::com::Bstr(u"x.MP2").get(), 0, &type), S_OK);
    EXPECT_EQ(type, MP3);
    EXPECT_EQ(formats->TypeForName(qoro::com::Bstr(u"dir.wav/noext").get(), 0, &type), S_OK);
    EXPECT_EQ(type, RAW);

    ComPtr<IDispatch> disp;
    ASSERT_EQ(formats.as(IID_IDispatch, disp), S_OK);
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"writerdepths")};
    ASSERT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    VARIANT arg, result;
    VariantInit(&arg);
    VariantInit(&result);
    arg.vt = VT_I4;
    arg.lVal = 0;  // WAV comes first
    DISPPARAMS one{&arg, nullptr, 1, 0};
    ASSERT_EQ(disp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &one, &result, nullptr, nullptr), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(qoro::com::utf8FromBstr(result.bstrVal), "8 16 24 32 32f");
    VariantClear(&result);
}
