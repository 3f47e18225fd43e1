// The Options dialog's quality lists, driven from the keyboard through QTest
// under the offscreen platform: each output lists only what its writer
// takes, the MP3 bitrates follow the chosen rate, and stored values that are
// no longer offered show as the nearest entry.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QTest>

#include <fstream>
#include <string>
#include <vector>

#include "main_window.h"
#include "test_support.h"
#include "window_test_support.h"

extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using namespace quillet;
using namespace quillet::qt;
namespace fs = std::filesystem;
using namespace quillet::qt::test;

QStringList entries(const QComboBox* combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); ++i) texts << combo->itemText(i);
    return texts;
}

class OptionsDialogTest : public ::testing::Test {
protected:
    void SetUp() override { ensureApp("options_dialog_test"); }
    void ini(const std::string& text) { std::ofstream(home / "OPTION.INI", std::ios::binary) << text; }
    std::unique_ptr<MainWindow> makeWindow() { return makeTestWindow(home.path().string(), dialogs, shell); }
    // The dialog on screen, with its three lists of WAV to MP3 and the rate
    // list of MP3 to WAV.
    struct Shown {
        std::unique_ptr<QDialog> dialog;
        QComboBox *bitrate, *rate, *wavRate;
    };
    Shown open(MainWindow& window) {
        Shown s{window.makeOptionsDialog(), nullptr, nullptr, nullptr};
        s.bitrate = s.dialog->findChild<QComboBox*>(controlName(1061));
        s.rate = s.dialog->findChild<QComboBox*>(controlName(1067));
        s.wavRate = s.dialog->findChild<QComboBox*>(controlName(1065));
        s.dialog->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(s.dialog.get()));
        return s;
    }
    // Moves a list's selection with the arrow keys until it shows 'text'.
    static void choose(QComboBox* combo, const QString& text) {
        combo->setFocus();
        const int target = combo->findText(text);
        ASSERT_GE(target, 0) << text.toStdString();
        for (int guard = 0; combo->currentIndex() != target && guard < 64; ++guard)
            QTest::keyClick(combo, combo->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
        ASSERT_EQ(combo->currentText(), text);
    }

    qoro::test::TempDir home;
    ScriptedDialogs dialogs;
    RecordingShell shell;
};

const QStringList kMpeg1 = {"320 Kbps", "256 Kbps", "224 Kbps", "192 Kbps", "160 Kbps", "128 Kbps", "112 Kbps",
                            "96 Kbps",  "80 Kbps",  "64 Kbps",  "56 Kbps",  "48 Kbps",  "40 Kbps",  "32 Kbps"};
const QStringList kMpeg2 = {"160 Kbps", "128 Kbps", "112 Kbps", "96 Kbps", "80 Kbps", "64 Kbps", "56 Kbps",
                            "48 Kbps",  "40 Kbps",  "32 Kbps",  "24 Kbps", "16 Kbps", "8 Kbps"};
const QStringList kMpeg25 = {"64 Kbps", "56 Kbps", "48 Kbps", "40 Kbps", "32 Kbps", "24 Kbps", "16 Kbps", "8 Kbps"};

TEST_F(OptionsDialogTest, BitrateListFollowsTheRateKeepingTheNearestBitrate) {
    auto window = makeWindow();
    Shown s = open(*window);
    ASSERT_TRUE(s.bitrate && s.rate && s.wavRate);
    EXPECT_EQ(entries(s.rate), (QStringList{"48 KHz", "44.1 KHz", "32 KHz", "24 KHz", "22.05 KHz", "16 KHz", "12 KHz",
                                            "11.025 KHz", "8 KHz"}));
    EXPECT_EQ(entries(s.wavRate), (QStringList{"48 KHz", "44.1 KHz", "32 KHz", "24 KHz", "22.05 KHz", "16 KHz",
                                               "12 KHz", "11.025 KHz", "8 KHz", "6 KHz"}));
    EXPECT_EQ(s.rate->currentText(), "44.1 KHz");
    EXPECT_EQ(entries(s.bitrate), kMpeg1);
    EXPECT_EQ(s.bitrate->currentText(), "128 Kbps");

    choose(s.bitrate, "320 Kbps");
    choose(s.rate, "22.05 KHz");  // MPEG-2: 320 is gone, 160 is nearest
    EXPECT_EQ(entries(s.bitrate), kMpeg2);
    EXPECT_EQ(s.bitrate->currentText(), "160 Kbps");
    choose(s.rate, "8 KHz");  // MPEG-2.5
    EXPECT_EQ(entries(s.bitrate), kMpeg25);
    EXPECT_EQ(s.bitrate->currentText(), "64 Kbps");
    choose(s.bitrate, "8 Kbps");
    choose(s.rate, "48 KHz");  // back to MPEG-1: 8 is gone, 32 is nearest
    EXPECT_EQ(entries(s.bitrate), kMpeg1);
    EXPECT_EQ(s.bitrate->currentText(), "32 Kbps");
    choose(s.rate, "32 KHz");  // the same version: the choice stays
    EXPECT_EQ(s.bitrate->currentText(), "32 Kbps");

    // OK stores the pair on screen.
    choose(s.rate, "24 KHz");
    choose(s.bitrate, "96 Kbps");
    choose(s.wavRate, "6 KHz");
    QTest::keyClick(s.dialog.get(), Qt::Key_Return);  // OK is the default button
    EXPECT_EQ(s.dialog->result(), QDialog::Accepted);
    const AppSettings& stored = window->controller().settings();
    EXPECT_EQ(stored.Frequency1, 24000);
    EXPECT_EQ(stored.BitRate1, 96);
    EXPECT_EQ(stored.Frequency2, 6000);
    EXPECT_TRUE(dialogs.shown.empty());

    // The next opening shows them, with the bitrates of 24 kHz.
    Shown again = open(*window);
    EXPECT_EQ(again.rate->currentText(), "24 KHz");
    EXPECT_EQ(entries(again.bitrate), kMpeg2);
    EXPECT_EQ(again.bitrate->currentText(), "96 Kbps");
    EXPECT_EQ(again.wavRate->currentText(), "6 KHz");
}

TEST_F(OptionsDialogTest, StoredChoicesNoLongerOfferedShowAsTheNearest) {
    ini("[Settings]\nFrequency1=96000\nBitRate1=320\nFrequency2=88200\n");
    auto window = makeWindow();
    Shown s = open(*window);
    EXPECT_EQ(s.rate->currentText(), "48 KHz");
    EXPECT_EQ(s.bitrate->currentText(), "320 Kbps");
    EXPECT_EQ(s.wavRate->currentText(), "48 KHz");
    s.dialog->reject();

    ini("[Settings]\nFrequency1=6000\nBitRate1=128\n");
    auto other = makeWindow();
    Shown t = open(*other);
    EXPECT_EQ(t.rate->currentText(), "8 KHz");
    EXPECT_EQ(entries(t.bitrate), kMpeg25);
    EXPECT_EQ(t.bitrate->currentText(), "64 Kbps");
    EXPECT_TRUE(dialogs.shown.empty());
}

}  // namespace
