// Why the RIFF file layer could not open or write a file, kept as the
// system gave it, and in words.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "riff/riff.h"
#include "test_support.h"

namespace riff = qoro::riff;
using namespace qoro::test;
using riff::Status;

// Why a file cannot be opened is kept in words the caller can show: the
// system's reason, a directory, something that is no regular file (a pipe
// without a writer is refused at once, not waited on), an empty file.
TEST(RiffFile, OpenFailuresKeepTheirReason) {
    TempDir dir;
    riff::File f;
    EXPECT_EQ(f.open((dir / "missing.wav").string(), riff::Mode::Read), Status::CannotOpen);
    EXPECT_EQ(f.error(), ENOENT);
    EXPECT_EQ(riff::errorText(f.error()), "No such file or directory");
    EXPECT_EQ(f.open(dir.path().string(), riff::Mode::Read), Status::CannotOpen);
    EXPECT_EQ(f.error(), EISDIR);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(f.open((dir / "pipe").string(), riff::Mode::Read), Status::CannotOpen);
    EXPECT_EQ(f.error(), riff::kNotRegularFile);
    EXPECT_EQ(f.open((dir / "no-folder" / "new.wav").string(), riff::Mode::Create), Status::CannotOpen);
    EXPECT_EQ(f.error(), ENOENT);

    writeBytes(dir / "empty.wav", std::vector<uint8_t>());
    writeBytes(dir / "one.wav", std::vector<uint8_t>(1, 1));
    EXPECT_EQ(riff::unreadableReason((dir / "missing.wav").string()), "No such file or directory");
    EXPECT_EQ(riff::unreadableReason(dir.path().string()), "Is a directory");
    EXPECT_EQ(riff::unreadableReason((dir / "pipe").string()), "not a regular file");
    EXPECT_EQ(riff::unreadableReason((dir / "empty.wav").string()), "the file is empty");
    EXPECT_EQ(riff::unreadableReason((dir / "one.wav").string()), "");
    EXPECT_EQ(riff::errorText(ENOSPC), "No space left on device");
    EXPECT_EQ(riff::errorText(0), "");

    // A success leaves the reason of the failure before it behind only
    // until the next open.
    ASSERT_EQ(f.open((dir / "one.wav").string(), riff::Mode::Read), Status::Ok);
    EXPECT_EQ(f.error(), 0);
}
