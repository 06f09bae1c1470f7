#include "UTestSupport.h"
#include "UdsDialogs.h"
#include "UdsEncoding.h"

#include <gtest/gtest.h>

TEST(Encoding, Cp936RoundTrip) {
    const std::string text = "纳税人识别号：ABC-123，€";
    std::string ansi = TdsEncoding::Utf8ToAnsi(text);
    // 纳 is D4 C9 in CP936.
    EXPECT_EQ(ansi.substr(0, 2), "\xC4\xC9");
    EXPECT_EQ(TdsEncoding::AnsiToUtf8(ansi), text);
    EXPECT_EQ(TdsEncoding::Utf8ToAnsi("plain"), "plain");
}

TEST(Encoding, UnconvertibleAndInvalidInputIsReplacedNotDropped) {
    // A character outside CP936 and a stray byte become "?".
    EXPECT_EQ(TdsEncoding::Utf8ToAnsi("a\xF0\x9F\x98\x80z"), "a?z");
    EXPECT_EQ(TdsEncoding::Utf8ToAnsi("a\xFFz"), "a?z");
    // A lead byte without its trail byte becomes U+FFFD.
    EXPECT_EQ(TdsEncoding::AnsiToUtf8("a\xC4"), "a\xEF\xBF\xBD");
    EXPECT_TRUE(TdsEncoding::IsValidUtf8("纳税"));
    EXPECT_FALSE(TdsEncoding::IsValidUtf8("\xC4\xC9"));
}

TEST(Dialogs, FacadeFormsAndRecording) {
    TRecordingDialogs dialogs;
    TdsDialogs::ShowPrompt("保存失败", mkError);
    TdsDialogs::ShowWarning("请输入");
    dialogs.AnswerNext(true);
    EXPECT_TRUE(TdsDialogs::Confirm("确定吗？"));
    EXPECT_FALSE(TdsDialogs::Confirm("再确定吗？"));
    ASSERT_EQ(dialogs.Count(), 4u);
    EXPECT_EQ(dialogs.Boxes()[0].kind, "error");
    EXPECT_EQ(dialogs.Boxes()[0].caption, "提示");
    EXPECT_EQ(dialogs.Boxes()[1].kind, "warning");
    EXPECT_EQ(dialogs.Boxes()[2].kind, "question");
    EXPECT_TRUE(dialogs.Boxes()[2].secondButtonDefault);
    EXPECT_EQ(
        dialogs.Transcript(),
        "[error] 保存失败\n[warning] 请输入\n[question] 确定吗？ -> yes\n[question] 再确定吗？ -> no\n");
}

TEST(Dialogs, BrowseForFolderKeepsPathWhenCancelled) {
    TRecordingDialogs dialogs;
    TTempFolder temp;
    std::string folder = temp.Path();
    EXPECT_FALSE(TdsDialogs::BrowseForFolder("选择", "", folder));
    EXPECT_EQ(folder, temp.Path());
    dialogs.ChooseNext(temp.Path() + "sub");
    EXPECT_TRUE(TdsDialogs::BrowseForFolder("选择", "", folder));
    EXPECT_EQ(folder, temp.Path() + "sub/");
}

TEST(Dialogs, ConsoleLineForm) {
    EXPECT_EQ(TdsConsoleDialogs::OneLine("a\r\nb\nc\rd"), "a\\nb\\nc\\nd");
    testing::internal::CaptureStderr();
    TdsConsoleDialogs console(true);
    console.ShowMessageBox("第一行\r\n第二行", "提示", mkWarning);
    EXPECT_TRUE(console.AskQuestionBox("继续？", "提示", true, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[warning] 第一行\\n第二行\n[question] 继续？ -> yes\n");
}
