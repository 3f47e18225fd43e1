// A tag written through the component touches the tagged file only: the
// user's "song.flac~" beside it (an editor's backup) stays as it was.
#include <gtest/gtest.h>

#include <algorithm>

#include "qoro/AudioInformation.h"
#include "qoro/com.h"
#include "test_support.h"

namespace {

using namespace qoro::test;
using qoro::com::Bstr;
using qoro::com::ComPtr;

TEST(FlacBackup, ATitleWrittenBesideTheUsersBackupLeavesItAlone) {
    QORO_REQUIRE_TOOLS("flac", "metaflac");
    ASSERT_TRUE(fs::exists(binPath("libQoroAudioInformation.so"))) << "libQoroAudioInformation.so is not built";
    TempDir dir;
    writeWav16(dir / "tone.wav", 44100, 2, testSignal(44100, 2, 44100));
    const fs::path song = dir / "song.flac", backup = dir / "song.flac~";
    const CommandResult made =
        run("flac -s --tag=TITLE=Old -o " + shellQuote(song.string()) + " " + shellQuote((dir / "tone.wav").string()));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    fs::copy_file(song, backup);
    const auto before = readBytes(backup);

    CoInitialize(nullptr);
    {
        ComPtr<IAudioInformation> info;
        ASSERT_EQ(CoCreateInstance(CLSID_AudioInformation, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioInformation,
                                   info.putVoid()),
                  S_OK);
        ASSERT_EQ(info->GetAudioInformation(Bstr(song.string()).get()), S_OK);
        ASSERT_EQ(info->put_infoTitle(Bstr("New title").get()), S_OK);
        ASSERT_EQ(info->SetAudioInformation(Bstr(song.string()).get()), S_OK);
    }
    CoUninitialize();

    const CommandResult tag = run("metaflac --show-tag=TITLE " + shellQuote(song.string()));
    // Field names compare without regard to case ("TITLE", "Title").
    ASSERT_NE(tag.output.find('='), std::string::npos) << tag.output;
    EXPECT_EQ(tag.output.substr(tag.output.find('=')), "=New title\n");
    EXPECT_TRUE(readBytes(backup) == before) << "the backup changed";
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"song.flac", "song.flac~", "tone.wav"}));
}

}  // namespace
