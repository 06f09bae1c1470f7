// Notices: what is asked for, what is stored, how the list shows them and deleting one.
#include "UNoticeBiz.h"
#include "UPlatformTestBase.h"
#include "UdsEncoding.h"

// Today is 2026-12-11 (the test clock).
class Notices : public TPlatformTest {
protected:
    std::vector<std::string> ExtraSQL() const override {
        return {
            "INSERT INTO KDR_Inform(FID, FTitle, FContent, FPubDate, FReceiveTime, FExpireDate) VALUES('A', "
            "'旧', 'x', '2026-01-01', '2026-01-01 08:00:00.000', '2026-12-10')",
            "INSERT INTO KDR_Inform(FID, FTitle, FContent, FPubDate, FReceiveTime, FExpireDate) VALUES('B', "
            "'今天到期', 'y', '2026-02-01', '2026-02-01 08:00:00.000', '2026-12-11')",
            "INSERT INTO KDR_Inform(FID, FTitle, FContent, FPubDate, FReceiveTime, FExpireDate) VALUES('C', "
            "'', '一二三四五六七八九十一二三四五六七八九十多余的字', '2026-03-01', '2026-03-01 "
            "08:00:00.000', "
            "'2027-01-01')"};
    }
    static std::string Notice(const std::string& id, const std::string& title, const std::string& pub,
                              const std::string& expire, const std::string& text) {
        return "<NOTICE ID=\"" + id + "\" ITITLE=\"" + title + "\" PUBDATE=\"" + pub + "\" EXPIREDATE=\"" +
               expire + "\">" + TdsIOUtils::Base64Encode(TdsEncoding::Utf8ToAnsi(text)) + "</NOTICE>";
    }
    std::vector<std::string> Stored(const std::string& where) {
        TVirtualTable t;
        Global->TaxpayerDB->OpenQuery(
            t, "SELECT FID, FTitle, FContent, FPubDate, FReceiveTime, FExpireDate FROM "
               "KDR_Inform WHERE " +
                   where + " ORDER BY FID");
        std::vector<std::string> rows;
        for (int r = 0; r < t.RecordCount(); ++r) {
            std::string row;
            for (int f = 0; f < 6; ++f) {
                std::string v = t.Value(r, f).AsString();
                // The receive time is the clock's now, to the millisecond.
                if (f == 4 && v.size() == 23 && v.compare(0, 11, "2026-12-11 ") == 0)
                    v = "today";
                row += (f ? "|" : "") + v;
            }
            rows.push_back(row);
        }
        return rows;
    }
};

TEST(NoticeDates, AcceptedFormsAndTheRest) {
    for (auto [given, expected] :
         std::vector<std::pair<std::string, std::string>>{{"2026-3-5", "2026-03-05"},
                                                          {"2026/03/05", "2026-03-05"},
                                                          {"20260305", "2026-03-05"},
                                                          {"202603", "2026-03-01"},
                                                          {"990305", "2099-03-05"},
                                                          {"260305", "2026-03-05"},
                                                          {"下周一", "下周一"},
                                                          {"", ""},
                                                          {"2026-13-01", "2026-13-01"}}) {
        EXPECT_EQ(TQelPlatform::NoticeDate(given), expected) << given;
    }
}

TEST_F(Notices, DownloadStoresTheNewNoticesAndOpensTheList) {
    auto server = Serve({{"DownloadNotice.do",
                          {Answer(Notice("N1", "放假通知", "20261201", "202701", "春节放假安排，100% 确定") +
                                      Notice("N2", "", "2026/12/2", "明年", "无标题的通知"),
                                  "0", "", "<SOFTUPDFLAG>2</SOFTUPDFLAG>"),
                           Answer("")}}});
    Platform().SetMainServer(server->Address());
    int flag = -1, count = -1;
    ASSERT_TRUE(Platform().DownloadNotice(nullptr, true, flag, count)) << dialogs.Transcript();
    EXPECT_EQ(flag, 2);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(forms.Opened, (std::vector<std::string>{"notices"}));
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    // Only the notices still current are reported, expired ones left out.
    auto r = server->Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Line, "POST /DownloadNotice.do");
    EXPECT_EQ(r[0].Value("NOTICEIDS"), "B,C");
    EXPECT_EQ(r[0].Value("NSRSBH"), "110101000000001");
    // A date in no accepted form is stored as received.
    EXPECT_EQ(Stored("FID LIKE 'N%'"),
              (std::vector<std::string>{"N1|放假通知|春节放假安排，100% 确定|2026-12-01|today|2027-01-01",
                                        "N2||无标题的通知|2026-12-02|today|明年"}));

    // Nothing new: the manual download says so, the automatic one stays quiet.
    forms.Opened.clear();
    ASSERT_TRUE(Platform().DownloadNotice(nullptr, true, flag, count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(dialogs.Transcript(), "[info] 现在没有新的通知！\n");
    dialogs.Clear();
    ASSERT_TRUE(Platform().DownloadNotice(nullptr, false, flag, count));
    EXPECT_EQ(dialogs.Count(), 0u);
    EXPECT_TRUE(forms.Opened.empty());
    // "明年" compares above any date, so N2 stays current.
    EXPECT_EQ(server->Requests()[1].Value("NOTICEIDS"), "B,C,N1,N2");
}

TEST_F(Notices, NoticeServerAndNoCurrentNotices) {
    ASSERT_GE(Global->TaxpayerDB->ExecSQL("DELETE FROM KDR_Inform WHERE FID <> 'A'"), 0);
    auto server = Serve({{"DownloadNotice0.do", {Answer("")}}});
    Platform().SetNoticeServer(server->Address());
    Platform().SetMainServer("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
    int flag = -1, count = -1;
    ASSERT_TRUE(Platform().DownloadNotice(nullptr, false, flag, count)) << dialogs.Transcript();
    auto r = server->Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Value("NOTICEIDS"), "NULL");
    EXPECT_EQ(r[0].Value("NSRSBH"), "lumbrane");
    EXPECT_EQ(r[0].Value("PASSWORD"), TQelPlatform::NoticePassword());

    // The initial password stops the download before anything is sent.
    Global->AuthenPassword = Global->InitialAuthenPassword;
    EXPECT_FALSE(Platform().DownloadNotice(nullptr, true, flag, count));
    EXPECT_EQ(dialogs.Transcript(), "[warning] 请修改初始网络抄报密码！\n");
    EXPECT_EQ(server->Requests().size(), 1u);
}

TEST_F(Notices, ListAndDelete) {
    std::vector<TNoticeRow> rows;
    ASSERT_TRUE(TNoticeBiz::ListNotices(rows));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].ID, "C");
    EXPECT_EQ(rows[0].Title, "一二三四五六七八九十一二三四五六七八九十 ...");
    EXPECT_EQ(rows[0].ReceiveDate, "2026-03-01");
    EXPECT_EQ(rows[2].Title, "旧");

    dialogs.AnswerNext(false);
    EXPECT_FALSE(TNoticeBiz::DeleteNotice("C"));
    dialogs.AnswerNext(true);
    EXPECT_TRUE(TNoticeBiz::DeleteNotice("C"));
    EXPECT_EQ(dialogs.Transcript(),
              "[question] 您确定要删除当前通知吗？ -> no\n[question] 您确定要删除当前通知吗？ -> yes\n"
              "[info] 通知删除成功！\n");
    ASSERT_TRUE(TNoticeBiz::ListNotices(rows));
    EXPECT_EQ(rows.size(), 2u);
}
