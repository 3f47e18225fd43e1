// The conversion routine: the calls it makes and in which order, progress
// and cancel, the temporary and its rename, and a failure at every step
// (fake AudioFile objects that fail on request); then the real component on
// files that cannot be converted.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "client/conversion.h"
#include "client/errors.h"
#include "fake_audio_file.h"
#include "replace/replace.h"
#include "test_support.h"

namespace qoro::client {
namespace {

namespace fs = std::filesystem;
using quillet::test::FakeAudioFile;
using quillet::test::fakeFrames;
using quillet::test::FakeSource;
using quillet::test::FakeWorld;

std::string slurp(const fs::path& file) {
    const auto bytes = qoro::test::readBytes(file);
    return std::string(bytes.begin(), bytes.end());
}

struct ConversionTest : ::testing::Test {
    qoro::test::TempDir dir;
    FakeWorld world;
    FakeAudioFile source{world, "src"};
    FakeAudioFile target{world, "dst"};
    std::string in = (dir / "in.mp3").string();
    std::string out = (dir / "out.wav").string();
    std::vector<Progress> progress;

    void SetUp() override {
        CoInitialize(nullptr);
        world.sources[in] = FakeSource{8000, 1, 8003, -1};
        qoro::test::writeBytes(in, {'s'});
    }
    void TearDown() override { CoUninitialize(); }

    Conversion job() {
        Conversion c;
        c.source = &source;
        c.target = &target;
        c.sourcePath = in;
        c.targetPath = out;
        c.targetType = WAV;
        c.chooseFormat = [](IAudioFile* t, const SourceFormat& s) {
            FormatChoice choice;
            choice.hr = t->SetFormatPCM(s.arrayFrequency, 2, 16, &choice.blockAlign);
            choice.what = "WAV";
            return choice;
        };
        c.progress = [this](const Progress& p) { progress.push_back(p); };
        return c;
    }
    // Files of the folder other than the source.
    std::vector<std::string> others() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().string() != in) names.push_back(e.path().filename().string());
        return names;
    }
};

TEST_F(ConversionTest, CopiesEveryBlockAndPublishesOnlyWhenClosed) {
    Conversion c = job();
    bool targetSeenEarly = false;
    c.progress = [&](const Progress& p) {
        progress.push_back(p);
        targetSeenEarly = targetSeenEarly || fs::exists(out);
    };
    std::string finished;
    c.finish = [&](const std::string& temporary, std::string&) {
        finished = slurp(temporary);  // closed: the whole file is there
        return true;
    };
    const ConversionResult r = convert(c);
    EXPECT_EQ(r.outcome, ConversionResult::Converted) << r.message;
    EXPECT_EQ(r.step, Step::None);
    EXPECT_EQ(r.frames, 8003);
    EXPECT_DOUBLE_EQ(r.seconds(), 8003.0 / 8000);
    EXPECT_FALSE(targetSeenEarly);
    EXPECT_EQ(finished, "fake 8003");
    EXPECT_EQ(fakeFrames(out), 8003);
    EXPECT_EQ(others(), std::vector<std::string>{"out.wav"});

    // A tenth of a second per block: ten full blocks and the rest.
    ASSERT_EQ(progress.size(), 11u);
    EXPECT_EQ(progress[0].framesDone, 800);
    EXPECT_EQ(progress.back().framesDone, 8003);
    EXPECT_EQ(progress.back().framesTotal, 8003);
    EXPECT_EQ(progress.back().frequency, 8000);

    ASSERT_EQ(world.calls.size(), 6u);
    EXPECT_EQ(world.calls[0], "src.OpenFile " + in + " 0 1");
    EXPECT_EQ(world.calls[1], "dst.SetFormatPCM 8000 2 16");
    // Created under a temporary's name beside the target, with its extension.
    const std::string created = "dst.CreateFile " + (dir.path() / "").string();
    const std::string& call = world.calls[2];
    ASSERT_EQ(call.rfind(created, 0), 0u) << call;
    EXPECT_TRUE(call.ends_with(".tmp.wav 1")) << call;
    EXPECT_TRUE(replace::isTemporaryName(call.substr(created.size(), call.size() - created.size() - 2))) << call;
    EXPECT_EQ(world.calls[3], "dst.SetFormatArray 8000 1");
    EXPECT_EQ(world.calls[4], "src.CloseFile");
    EXPECT_EQ(world.calls[5], "dst.CloseFile");
}

// One failure per step: the conversion stops there, says why in words,
// publishes nothing, leaves no temporary and keeps what the target's name
// held before.
TEST_F(ConversionTest, EveryStepsFailureDropsTheTemporaryAndSaysWhy) {
    struct Case {
        const char* what;
        std::function<void(ConversionTest&, Conversion&)> arrange;
        Step step;
        LONG code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"missing source", [](ConversionTest& t, Conversion&) { t.world.sources.clear(), fs::remove(t.in); },
         Step::Open, FILEACCESS, "cannot open the source: No such file or directory"},
        {"empty source",
         [](ConversionTest& t, Conversion&) { t.world.sources.clear(), qoro::test::writeBytes(t.in, {}); }, Step::Open,
         FILEACCESS, "cannot open the source: the file is empty"},
        {"unknown source", [](ConversionTest& t, Conversion&) { t.world.sources.clear(); }, Step::Open, FILEACCESS,
         "cannot open the source: the file cannot be read"},
        {"refused format", [](ConversionTest& t, Conversion&) { t.world.refuseFormat = true; }, Step::Format, NOERRORS,
         "output format refused (WAV): the component does not write it"},
        {"create", [](ConversionTest& t, Conversion&) { t.world.createError = FORMATNOTSUPPORT; }, Step::Create,
         FORMATNOTSUPPORT, "cannot create out.wav: the output format is not supported"},
        {"no folder", [](ConversionTest& t, Conversion& c) { c.targetPath = (t.dir / "missing" / "out.wav").string(); },
         Step::Create, NOERRORS, "cannot create out.wav: No such file or directory"},
        {"source preparation",
         [](ConversionTest&, Conversion& c) { c.prepareSource = [](IAudioFile*) { return E_INVALIDARG; }; }, Step::Open,
         NOERRORS, "cannot open the source: the call failed (0x80070057)"},
        {"create with a cause",
         [](ConversionTest& t, Conversion&) {
             t.world.createError = FILEACCESS;
             t.world.createCause = "Read-only file system";
         },
         Step::Create, FILEACCESS, "cannot create out.wav: Read-only file system"},
        {"read", [](ConversionTest& t, Conversion&) { t.world.sources[t.in].readErrorAt = 1600; }, Step::Read,
         FORMATFILE, "reading the source failed: not an audio file of this type"},
        {"write", [](ConversionTest& t, Conversion&) { t.world.writeErrorAt = 4000; }, Step::Write, FILEACCESS,
         "writing out.wav failed: the file cannot be written"},
        {"write with a cause",
         [](ConversionTest& t, Conversion&) {
             t.world.writeErrorAt = 0;
             t.world.writeCause = "No space left on device";
         },
         Step::Write, FILEACCESS, "writing out.wav failed: No space left on device"},
        {"close",
         [](ConversionTest& t, Conversion&) {
             t.world.closeError = FILEACCESS;
             t.world.closeCause = "No space left on device";
         },
         Step::Close, FILEACCESS, "writing out.wav failed at its end: No space left on device"},
        {"close by HRESULT only", [](ConversionTest& t, Conversion&) { t.world.closeResult = HRESULT_DISK_FULL; },
         Step::Close, NOERRORS, "writing out.wav failed at its end: No space left on device"},
        {"finish",
         [](ConversionTest&, Conversion& c) {
             c.finish = [](const std::string&, std::string& cause) {
                 cause = "tags: Permission denied";
                 return false;
             };
         },
         Step::Finish, NOERRORS, "tags: Permission denied"},
        {"rename onto a folder", [](ConversionTest& t, Conversion& c) { c.targetPath = (t.dir / "folder").string(); },
         Step::Publish, NOERRORS, ""},
        {"no objects", [](ConversionTest&, Conversion& c) { c.target = nullptr; }, Step::Open, NOERRORS,
         "the audio file component is not available"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        ConversionTest& t = *this;
        world = FakeWorld{};
        world.sources[in] = FakeSource{8000, 1, 8003, -1};
        qoro::test::writeBytes(in, {'s'});
        qoro::test::writeBytes(out, {'o', 'l', 'd'});
        fs::create_directories(dir / "folder");
        qoro::test::writeBytes(dir / "folder" / "keep", {'k'});
        Conversion c = job();
        c.replace = true;
        k.arrange(t, c);
        const ConversionResult r = convert(c);
        EXPECT_EQ(r.outcome, ConversionResult::Failed);
        EXPECT_FALSE(r.published());
        EXPECT_EQ(r.step, k.step);
        EXPECT_EQ(r.code, k.code);
        EXPECT_FALSE(r.cause.empty());
        if (!k.message.empty()) {
            EXPECT_EQ(r.message, k.message);
        }
        EXPECT_EQ(slurp(out), "old") << "the old target is kept";
        auto left = others();
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"folder", "out.wav"})) << "no temporary remains";
        // Whatever was opened is closed again.
        const auto opened = std::count_if(world.calls.begin(), world.calls.end(),
                                          [](const std::string& s) { return s.rfind("src.OpenFile", 0) == 0; });
        if (k.step != Step::Open) {
            EXPECT_EQ(opened, 1);
            EXPECT_NE(std::find(world.calls.begin(), world.calls.end(), "src.CloseFile"), world.calls.end());
        }
        const bool created = std::any_of(world.calls.begin(), world.calls.end(),
                                         [](const std::string& s) { return s.rfind("dst.CreateFile", 0) == 0; });
        if (created) {
            EXPECT_EQ(world.calls.back().rfind("CloseFile"), world.calls.back().size() - 9);
        }
        fs::remove_all(dir / "folder");
        fs::remove(out);
    }
}

TEST_F(ConversionTest, ASourceThatFailsPartWayMayKeepWhatWasRead) {
    world.sources[in].readErrorAt = 1600;
    Conversion c = job();
    c.keepWhatWasRead = true;
    ConversionResult r = convert(c);
    EXPECT_EQ(r.outcome, ConversionResult::Partial);
    EXPECT_TRUE(r.published());
    EXPECT_EQ(r.step, Step::Read);
    EXPECT_EQ(r.code, FORMATFILE);
    EXPECT_EQ(r.message, "reading the source stopped part-way: not an audio file of this type");
    EXPECT_EQ(r.frames, 1600);
    EXPECT_EQ(fakeFrames(out), 1600);

    // Nothing read: nothing to keep.
    fs::remove(out);
    world.sources[in].readErrorAt = 0;
    r = convert(c);
    EXPECT_EQ(r.outcome, ConversionResult::Failed);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(others(), std::vector<std::string>{});
}

TEST_F(ConversionTest, CancelStopsBetweenBlocksAndPublishesNothing) {
    std::atomic<bool> cancel{false};
    Conversion c = job();
    c.cancel = &cancel;
    c.progress = [&](const Progress& p) {
        progress.push_back(p);
        if (progress.size() == 3) cancel = true;
    };
    const ConversionResult r = convert(c);
    EXPECT_EQ(r.outcome, ConversionResult::Cancelled);
    EXPECT_EQ(r.step, Step::Cancel);
    EXPECT_EQ(r.message, "interrupted");
    EXPECT_EQ(progress.size(), 3u);
    EXPECT_EQ(others(), std::vector<std::string>{});
    const std::vector<std::string> last(world.calls.end() - 2, world.calls.end());
    EXPECT_EQ(last, (std::vector<std::string>{"dst.CloseFile", "src.CloseFile"})) << "both closed";

    // Raised after the last block: still nothing published.
    cancel = false;
    progress.clear();
    c.progress = [&](const Progress& p) {
        progress.push_back(p);
        if (p.framesDone == 8003) cancel = true;
    };
    EXPECT_EQ(convert(c).outcome, ConversionResult::Cancelled);
    EXPECT_EQ(others(), std::vector<std::string>{});
}

TEST_F(ConversionTest, AnExistingTargetIsReplacedOnlyWhenAsked) {
    qoro::test::writeBytes(out, {'o', 'l', 'd'});
    Conversion c = job();
    ConversionResult r = convert(c);
    EXPECT_EQ(r.outcome, ConversionResult::Failed);
    EXPECT_EQ(r.step, Step::Publish);
    EXPECT_EQ(r.message, out + ": it appeared during the conversion and was left as it was");
    EXPECT_EQ(slurp(out), "old");
    EXPECT_EQ(others(), std::vector<std::string>{"out.wav"});
    c.replace = true;
    r = convert(c);
    EXPECT_EQ(r.outcome, ConversionResult::Converted);
    EXPECT_EQ(fakeFrames(out), 8003);
}

// Error information left by an earlier call is never blamed on a later one.
TEST_F(ConversionTest, StaleErrorInformationIsNotTheCause) {
    qoro::com::reportError(E_FAIL, IID_IAudioFile, "Earlier", "an earlier call's trouble");
    world.writeErrorAt = 800;
    const ConversionResult r = convert(job());
    EXPECT_EQ(r.outcome, ConversionResult::Failed);
    EXPECT_EQ(r.cause, "the file cannot be written");
    EXPECT_EQ(qoro::com::takeErrorDescription(), "") << "the routine leaves no error information behind";
}

// The source is prepared, then opened with the type the caller gives.
TEST_F(ConversionTest, TheSourceIsPreparedAndOpenedWithItsType) {
    Conversion c = job();
    c.sourceType = RAW;
    c.prepareSource = [this](IAudioFile* s) {
        world.calls.push_back(s == &source ? "prepared src" : "prepared another");
        return S_OK;
    };
    const ConversionResult r = convert(c);
    EXPECT_EQ(r.outcome, ConversionResult::Converted) << r.message;
    ASSERT_GE(world.calls.size(), 2u);
    EXPECT_EQ(world.calls[0], "prepared src");
    EXPECT_EQ(world.calls[1], "src.OpenFile " + in + " " + std::to_string(RAW) + " 1");
}

// The real component through the routine: a file converts; missing, empty
// and random files fail at the source with their causes in words.
struct RealConversion : ::testing::Test {
    qoro::test::TempDir dir;
    com::ComPtr<IAudioFile> source, target;
    void SetUp() override {
        ASSERT_TRUE(fs::exists(qoro::test::binPath("libQoroAudioFile.so"))) << "libQoroAudioFile.so is not built";
        CoInitialize(nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, source.putVoid()),
                  S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_AudioFile, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioFile, target.putVoid()),
                  S_OK);
    }
    void TearDown() override {
        source.reset();
        target.reset();
        CoUninitialize();
    }
    ConversionResult run(const fs::path& from, const fs::path& to, bool replace = false) {
        Conversion c;
        c.replace = replace;
        c.source = source.get();
        c.target = target.get();
        c.sourcePath = from.string();
        c.targetPath = to.string();
        c.targetType = WAV;
        c.chooseFormat = [](IAudioFile* t, const SourceFormat&) {
            FormatChoice choice;
            choice.hr = t->SetFormatPCM(22050, 1, 16, &choice.blockAlign);
            return choice;
        };
        return convert(c);
    }
};

TEST_F(RealConversion, ConvertsAndNamesTheCausesOfUnreadableSources) {
    const fs::path wav = dir / "tone.wav";
    qoro::test::writeWav16(wav, 44100, 2, qoro::test::testSignal(44100, 2, 44100));
    ConversionResult r = run(wav, dir / "out.wav");
    ASSERT_EQ(r.outcome, ConversionResult::Converted) << r.message;
    EXPECT_EQ(r.frames, 44100);
    // The new file as the component reads it back.
    ASSERT_EQ(source->OpenFile(com::Bstr((dir / "out.wav").string()).get(), DEFAULT, READ), S_OK);
    LONG error = 0, frames = 0, rate = 0, channels = 0;
    source->get_LastErrorNum(&error);
    source->get_nSamples(&frames);
    source->get_Frequency(&rate);
    source->get_nChannels(&channels);
    source->CloseFile();
    EXPECT_EQ(error, NOERRORS);
    EXPECT_EQ(frames, 22050);
    EXPECT_EQ(rate, 22050);
    EXPECT_EQ(channels, 1);

    qoro::test::writeBytes(dir / "empty.wav", {});
    std::vector<uint8_t> noise(20000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    qoro::test::writeBytes(dir / "random.mp3", noise);
    struct Case {
        const char* name;
        std::string cause;  // empty: any words but a code's name
    } cases[] = {{"missing.wav", "No such file or directory"}, {"empty.wav", "the file is empty"}, {"random.mp3", ""}};
    for (const auto& c : cases) {
        r = run(dir / c.name, dir / "never.wav");
        EXPECT_EQ(r.outcome, ConversionResult::Failed) << c.name;
        EXPECT_EQ(r.step, Step::Open) << c.name;
        EXPECT_LT(r.code, 0) << c.name;
        if (!c.cause.empty()) {
            EXPECT_EQ(r.cause, c.cause) << c.name;
        }
        EXPECT_FALSE(r.cause.empty()) << c.name;
        EXPECT_EQ(r.cause.find(errorName(r.code)), std::string::npos) << c.name << ": " << r.cause;
        EXPECT_EQ(r.cause.find("error -"), std::string::npos) << c.name << ": " << r.cause;
        EXPECT_FALSE(fs::exists(dir / "never.wav")) << c.name;
    }
}

// A target name of 250 bytes (what ffmpeg writes) converts; a new target has
// the mode a new file gets, a replaced one keeps the old file's mode.
TEST_F(RealConversion, LongNamesConvertAndModesAreKept) {
    const fs::path wav = dir / "tone.wav";
    qoro::test::writeWav16(wav, 44100, 2, qoro::test::testSignal(44100, 2, 4410));
    const fs::path out = dir / (std::string(246, 'x') + ".wav");
    const mode_t saved = ::umask(027);
    ConversionResult r = run(wav, out);
    ::umask(saved);
    ASSERT_EQ(r.outcome, ConversionResult::Converted) << r.message;
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ::chmod(out.c_str(), 0604);
    const auto first = qoro::test::readBytes(out);
    r = run(wav, out, true);
    ASSERT_EQ(r.outcome, ConversionResult::Converted) << r.message;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_TRUE(qoro::test::readBytes(out) == first);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"tone.wav", out.filename().string()}));
}

}  // namespace
}  // namespace qoro::client
