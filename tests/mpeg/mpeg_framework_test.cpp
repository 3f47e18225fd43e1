// The decoder module framework: property lists and listeners, module
// registration rules, input selection and error codes.
#include "mpeg_decoder_context.h"
#include "mpeg_test_streams.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace qoro::mpeg;
namespace t = qoro::test;

namespace {

struct Seen {
    std::vector<std::string> events;
};

void listener(void* user, const std::string& name, const MpegPropertyList::Value* v)
{
    auto* seen = static_cast<Seen*>(user);
    seen->events.push_back(name + "=" + (v ? (v->isInteger ? std::to_string(v->integer) : v->text) : "<removed>"));
}

TEST(MpegProperties, KindsErrorsAndListeners)
{
    MpegPropertyList list;
    Seen seen;
    list.addListener("mpeg/layer", listener, &seen);
    list.setInt("mpeg/layer", 3);
    list.setString("id3/title", "x");
    int i = 0;
    std::string s;
    EXPECT_EQ(list.getInt("mpeg/layer", i), 0);
    EXPECT_EQ(i, 3);
    EXPECT_EQ(list.getString("mpeg/layer", s), kMpegErrPropertyWrongKind);
    EXPECT_EQ(list.getInt("id3/title", i), kMpegErrPropertyWrongKind);
    EXPECT_EQ(list.getInt("nothing", i), kMpegErrPropertyNotFound);
    list.setInt("mpeg/layer", 2);
    EXPECT_EQ(list.remove("mpeg/layer"), 0);
    EXPECT_EQ(list.remove("mpeg/layer"), kMpegErrPropertyNotFound);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"mpeg/layer=3", "mpeg/layer=2", "mpeg/layer=<removed>"}));
    list.removeListener("mpeg/layer", listener, &seen);
    list.setInt("mpeg/layer", 1);
    EXPECT_EQ(seen.events.size(), 3u);
}

TEST(MpegFramework, ModuleRegistrationRules)
{
    std::unique_ptr<MpegDecoderContext> ctx;
    ASSERT_EQ(MpegDecoderContext::create(ctx), 0);
    std::vector<std::string> reports;
    ctx->setErrorHook([&](const char* c, const char* d) { reports.push_back(std::string(c) + ": " + d); });

    MpegInputModule bad = mpegFileInputModule();
    bad.interfaceVersion = 0x00050400;
    EXPECT_EQ(ctx->registerInputModule(bad), kMpegErrVersionMismatch);
    bad = mpegFileInputModule();
    bad.read = nullptr;
    EXPECT_EQ(ctx->registerInputModule(bad), kMpegErrInternal);
    MpegCodecModule badCodec = mpegAudioCodecModule();
    badCodec.decode = nullptr;
    EXPECT_EQ(ctx->registerCodecModule(badCodec), kMpegErrInternal);
    EXPECT_EQ(reports, (std::vector<std::string>{"internal error: null 'read' method in module",
                                                 "internal error: null 'decode' method in module"}));

    EXPECT_EQ(ctx->registerCodecModule(mpegAudioCodecModule()), 0);
    EXPECT_EQ(ctx->registerInputModule(mpegFileInputModule()), 0);
    MpegInputModule other = mpegFileInputModule();
    other.interfaceVersion = 0x12040499;  // only bits 8..23 matter
    EXPECT_EQ(ctx->registerInputModule(other), 1);
    EXPECT_EQ(ctx->openInput(7, "x"), kMpegErrNoSuchModule);
    EXPECT_EQ(ctx->decodeFrame(), kMpegErrInternal);  // nothing open
}

TEST(MpegFramework, OpenErrorsAndDecoding)
{
    t::TempDir dir;
    std::unique_ptr<MpegDecoderContext> ctx;
    ASSERT_EQ(MpegDecoderContext::create(ctx), 0);
    ctx->registerCodecModule(mpegAudioCodecModule());
    ctx->registerInputModule(mpegFileInputModule());
    ASSERT_EQ(ctx->openInput(-1, (dir / "missing.mp3").string()), 0);
    EXPECT_EQ(ctx->open(), kMpegErrFileNotFound);

    const auto path = dir / "s.mp2";
    t::writeBytes(path, qoro::mpeg::testing::frames(qoro::mpeg::testing::kL3Stereo64, 3));
    ASSERT_EQ(ctx->openInput(-1, path.string()), 0);
    ASSERT_EQ(ctx->open(), 0);
    EXPECT_TRUE(ctx->canSeek());
    EXPECT_EQ(ctx->inputSize(), 3 * 208);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(ctx->decodeFrame(), 0);
    EXPECT_EQ(ctx->output().samples, 1152);
    EXPECT_EQ(ctx->output().channels, 2);
    EXPECT_FLOAT_EQ(ctx->status().playFraction, 1.0f);
    // 3 * 1152 samples at 44.1 kHz = 78.36 ms.
    EXPECT_EQ(ctx->status().seconds, 0);
    EXPECT_EQ(ctx->status().hundredths, 7);
    EXPECT_EQ(ctx->decodeFrame(), kMpegErrEndOfInput);
    EXPECT_EQ(ctx->seekSeconds(0.0f), 0);
    EXPECT_EQ(ctx->decodeFrame(), 0);
}

}  // namespace
