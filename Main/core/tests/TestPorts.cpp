#include "UMainTestSupport.h"
#include "UModalForms.h"
#include "UProgressFrame.h"
#include "UTestSupport.h"

#include <gtest/gtest.h>

TEST(ProgressFrame, ClockCountsThroughTheClockPort) {
    TManualClock clock;
    TRecordingProgressFrame frame;
    frame.ShowProgressFrame("正在进行清卡解锁，请不要拔卡、盘！", 7);
    EXPECT_TRUE(frame.Visible());
    EXPECT_EQ(frame.StepCount(), 7);
    EXPECT_EQ(frame.Step(), 1);
    EXPECT_FALSE(frame.ClockRunning());

    frame.SetStep(2, true);
    frame.WaitSeconds(65);
    EXPECT_EQ(frame.ElapsedSeconds(), 65);
    EXPECT_EQ(frame.ClockText(), "00:01:05");
    // Restarting the clock starts again from zero.
    frame.SetStep(3, true);
    EXPECT_EQ(frame.ClockText(), "00:00:00");
    clock.Advance(90061000); // one day and 1:01:01
    EXPECT_EQ(frame.ClockText(), "01:01:01");
    // Switched off, the count stands still.
    frame.SetStep(4, false);
    clock.Advance(5000);
    EXPECT_EQ(frame.ElapsedSeconds(), 90061);
    frame.HideProgressFrame();
    EXPECT_FALSE(frame.Visible());
    EXPECT_EQ(frame.Shown, std::vector<std::string>{"正在进行清卡解锁，请不要拔卡、盘！"});
}

TEST(ProgressFrame, StepsOutsideTheRangeAreStepOne) {
    TManualClock clock;
    TRecordingProgressFrame frame;
    frame.ShowProgressFrame("x", 7);
    frame.SetStepProgress(3, 50);
    EXPECT_EQ(frame.Step(), 3);
    EXPECT_EQ(frame.Percent(), 50);
    frame.SetStepProgress(9, 50);
    EXPECT_EQ(frame.Step(), 1);
    EXPECT_EQ(frame.Percent(), 50);
    frame.SetStepProgress(2, 101);
    EXPECT_EQ(frame.Percent(), 0);
    frame.ShowProgressFrame("y", 0);
    EXPECT_EQ(frame.StepCount(), 0);
}

TEST(BusyForm, TextStylesAndCancel) {
    TManualClock clock;
    TRecordingBusyForm busy;
    busy.StartBusy(nullptr, 5, true, 2, "正在下载");
    EXPECT_EQ(busy.Text(), "正在下载, 请稍候...");
    EXPECT_EQ(clock.SleptMilliseconds(), 200);
    busy.StopBusy();
    EXPECT_FALSE(busy.Showing());
    busy.CancelAtProgress = 2;
    busy.StartProgress(nullptr, 5, true, 1, "正在下载");
    EXPECT_EQ(busy.Text(), "正在下载 ...");
    busy.SetProgress(10);
    EXPECT_FALSE(busy.CancelPressed());
    busy.SetProgress(20);
    EXPECT_TRUE(busy.CancelPressed());
    busy.StopBusy();
    // A new start clears the cancelled flag.
    busy.StartBusyText(nullptr, 0, 0, "a");
    EXPECT_FALSE(busy.CancelPressed());
    EXPECT_EQ(busy.Texts, (std::vector<std::string>{"正在下载, 请稍候...", "正在下载 ...", "a"}));
}

TEST(ModalForms, CaptionsCarryTheRemark) {
    EXPECT_EQ(MediumCaption("12345678901234", "总机"), "12345678901234【总机】");
    EXPECT_EQ(MediumCaption("12345678901234", ""), "12345678901234");
    TScriptedModalForms forms;
    TCardAndDisk choice;
    EXPECT_FALSE(forms.SelectCardAndDisk(choice));
    forms.Choices.push_back({"1", "1", "2", "2"});
    EXPECT_TRUE(forms.SelectCardAndDisk(choice));
    EXPECT_EQ(choice.DiskNumber, "2");
    EXPECT_EQ(forms.ShowDeclarePrompt(), mrNo);
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"chooser", "chooser", "prompt"}));
}
