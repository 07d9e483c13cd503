// Tests of the message catalogue and the log's line shapes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "FakeUi.h"
#include "core/Catalogue.h"
#include "platform/Ui.h"
#include "support/Track.h"

TEST(Catalogue, EveryEntryHasBothTexts)
{
    for (int id = 0; id < MSG_COUNT; id++) {
        SCOPED_TRACE(id);
        ASSERT_NE(g_catalogueUtf8[id][0], nullptr);
        ASSERT_NE(g_catalogueUtf8[id][1], nullptr);
        EXPECT_GT(strlen(g_catalogueUtf8[id][0]), 0u);
    }
}

TEST(Catalogue, OnlyJapaneseAsUsedInJapanPicksJapanese)
{
    const uint32_t locales[][2] = {{1041, 1}, {1033, 0}, {2057, 0}, {0x0811, 0}, {0, 0}, {0xFFFFFFFF, 0}};
    for (const auto& locale : locales) {
        EXPECT_EQ(LanguageForLocale(locale[0]), (int)locale[1]) << locale[0];
    }
}

TEST(Catalogue, LanguagePicksTheColumn)
{
    g_language = 0;
    EXPECT_STREQ(Msg(MSG_STARTED), "Started");
    EXPECT_STREQ(Msg(MSG_NOTHING_CONVERTED), "No file has been converted.\r\n");
    g_language = 1;
    EXPECT_STREQ(Msg(MSG_STARTED), u8"開始しました");
    EXPECT_STREQ(Msg(MSG_TOTAL), u8"合計");
    g_language = 0;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { FakeReset(); }
    void TearDown() override { g_language = 0; }
};

TEST_F(LogTest, AppendsJoinWithoutSeparator)
{
    AppendLog("ab");
    AppendLog("cd\r\n");
    EXPECT_EQ(FakeLogText(), "abcd\r\n");
}

TEST_F(LogTest, AppendLandsAtTheEndWhateverTheSelection)
{
    AppendLog("first line\r\n");
    FakeSelect(0, 5);  // the user selected something in the pane
    AppendLog("second\r\n");
    EXPECT_EQ(FakeLogText(), "first line\r\nsecond\r\n");
}

TEST_F(LogTest, GatheredTextReachesThePaneInOneAppendBeforeABox)
{
    SetLogBatching(3600 * 1000);
    AppendLog("dropped\r\n");
    ClearLog(nullptr);  // erases what was gathered
    AppendReport(MSG_NO_XMP, "/p/a.jpg");
    AppendStatus(MSG_CANCELED, ".\r\n");
    EXPECT_EQ(FakeLogText(), "");
    FakeOnBox([](const FakeBox&) { EXPECT_EQ(FakeLogText(), "No XMP: /p/a.jpg\r\nOperation canceled.\r\n"); });
    ShowError(nullptr, MSG_CANT_OPEN, "/p/a.jpg", "");
    EXPECT_EQ(FakeAppendCount(), 1);
    EXPECT_EQ(FakeBoxes().size(), 1u);
    SetLogBatching(0);
}

TEST_F(LogTest, LineShapes)
{
    AppendReport(MSG_NO_XMP, "/p/a.jpg");
    AppendReport(MSG_XMP_REMOVED, "/p/b.jpg");
    AppendByteCount(0, 1234);
    AppendStatus(MSG_COMPLETED, "\r\n");
    AppendByteCount(1, -5);
    AppendStatus(MSG_CANCELED, ".\r\n");
    EXPECT_EQ(FakeLogText(),
              "No XMP: /p/a.jpg\r\n"
              "XMP removed: /p/b.jpg\r\n"
              "1234 byte data was removed.\r\n"
              "Completed\r\n"
              "Total -5 byte data was removed.\r\n"
              "Operation canceled.\r\n");
}

TEST_F(LogTest, JapaneseByteCountLines)
{
    g_language = 1;
    AppendByteCount(0, 2147483647);
    AppendByteCount(1, 10);
    EXPECT_EQ(FakeLogText(), u8"2147483647 バイトのデータが削除されました\r\n"
                             u8"合計 10 バイトのデータが削除されました\r\n");
}

TEST_F(LogTest, MessageBoxTextIsNeverCut)
{
    std::string path = "/" + std::string(1500, 'x') + ".jpg";
    ShowError(nullptr, MSG_FILE_OUTPUT_ERROR, path.c_str(), "\r\n");
    auto boxes = FakeBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].text, "File output error: " + path + "\r\n");
}

TEST(FormatText, IsSizedFromItsParts)
{
    int before = TrackLiveCount();
    std::string long_text(5000, 'y');
    char* text = FormatText("%s|%d", long_text.c_str(), -2147483647 - 1);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), long_text + "|-2147483648");
    TrackedFree(text);
    EXPECT_EQ(TrackLiveCount(), before);
}
