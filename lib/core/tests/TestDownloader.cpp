#include "UNginxTestSupport.h"
#include "UTestSupport.h"
#include "UdsBusyForm.h"
#include "UdsHTTPDownload.h"
#include "UdsIOUtils.h"
#include "UdsSecurity.h"
#include "UdsXMLParser.h"
#include "dsDownloader.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace {

// ---- Piece layout ----

struct TLayoutCase {
    int64_t Size;
    int64_t Piece0;                   // size of piece 0
    int64_t Others;                   // size of each of pieces 1..9 (0: empty, StartPos/EndPos -1)
    std::vector<int64_t> Piece0Tasks; // task sizes of piece 0
    std::vector<int64_t> OtherTasks;  // task sizes of each other piece
};

TEST(DownloaderLayout, TenPiecesCutIntoTasks) {
    const TLayoutCase cases[] = {
        {1, 1, 0, {1}, {}},
        {100, 100, 0, {100}, {}},
        {65537, 65537, 0, {65537}, {}},
        {65538, 65538, 0, {65536, 2}, {}},
        {655359, 655359, 0, {65536, 65536, 65536, 65536, 65536, 65536, 65536, 65536, 65536, 65535}, {}},
        {655360, 65536, 65536, {65536}, {65536}},
        {655361, 65537, 65536, {65537}, {65536}},
        {655360 * 3 + 100, 196708, 196608, {65536, 65536, 65536, 100}, {65536, 65536, 65536}},
        {655360 * 2 + 65537 + 2, 131072 + 65539, 131072, {65536, 65536, 65536, 3}, {65536, 65536}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.Size));
        const auto pieces = TdsDownloader::PlanPieces(c.Size);
        ASSERT_EQ(pieces.size(), 10u);
        int64_t next = 0;
        for (int n = 0; n < 10; ++n) {
            const auto& p = pieces[static_cast<size_t>(n)];
            const int64_t want = n == 0 ? c.Piece0 : c.Others;
            const auto& wantTasks = n == 0 ? c.Piece0Tasks : c.OtherTasks;
            EXPECT_EQ(p.TotalSize, want) << "piece " << n;
            if (want == 0) {
                EXPECT_EQ(p.StartPos, -1);
                EXPECT_EQ(p.EndPos, -1);
                EXPECT_TRUE(p.Tasks.empty());
                continue;
            }
            EXPECT_EQ(p.StartPos, next);
            EXPECT_EQ(p.EndPos, next + want - 1);
            ASSERT_EQ(p.Tasks.size(), wantTasks.size()) << "piece " << n;
            for (size_t i = 0; i < p.Tasks.size(); ++i) {
                EXPECT_EQ(p.Tasks[i].first, next) << "piece " << n << " task " << i;
                EXPECT_EQ(p.Tasks[i].second - p.Tasks[i].first + 1, wantTasks[i]);
                next = p.Tasks[i].second + 1;
            }
        }
        EXPECT_EQ(next, c.Size);
    }
}

// ---- Against nginx ----

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

constexpr int64_t kBigSize = 2000003;   // ten pieces of three tasks, piece 0 with a remainder
constexpr int64_t kOtherSize = 1000001; // a different size for the discarded-state case

class DownloaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new TTempFolder();
        ::mkdir((*root_ / "files").c_str(), 0755);
        WriteFileBytes(*root_ / "files/pkg.bin", RandomBytes(kBigSize, 1));
        WriteFileBytes(*root_ / "files/other.bin", RandomBytes(kOtherSize, 2));
        WriteFileBytes(*root_ / "files/small.bin", RandomBytes(300000, 3));
        // nginx lets the first second's worth go at once: half a task per second makes every task of
        // /slow/ take about a second.
        nginx_ = new TNginxServer(root_->Path(), 32 * 1024);
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete root_;
        nginx_ = nullptr;
        root_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(nginx_->Running()) << nginx_->StartError();
        nginx_->ClearAccessLog();
    }

    static std::string Url(const std::string& path) { return nginx_->Address() + path; }
    static std::string SourceMD5(const std::string& name) {
        return TdsSecurity::MD5FileHex(*root_ / ("files/" + name));
    }
    // Bytes the file locations sent for task ranges (the 256-byte probe left out).
    static int64_t TaskBytesServed() {
        int64_t sum = 0;
        for (const auto& r : nginx_->Requests())
            if (r.Status == 206 && r.Range != "bytes=0-255")
                sum += r.Bytes;
        return sum;
    }
    // Sum of FinishedSize per piece in the state document.
    static std::vector<int64_t> FinishedPerPiece(const std::string& folder) {
        TdsXMLParser xml;
        std::string error;
        std::vector<int64_t> out;
        if (!xml.LoadFromFile(folder + "Download.xml", error))
            return out;
        for (int n = 0; n < 10; ++n)
            out.push_back(
                std::stoll(xml.FindNode("Pieces/Piece" + std::to_string(n)).Attribute("FinishedSize")));
        return out;
    }
    static int64_t Sum(const std::vector<int64_t>& v) {
        int64_t s = 0;
        for (auto x : v)
            s += x;
        return s;
    }

    std::unique_ptr<TdsDownloader> Make(const std::string& url, const std::string& folder) {
        auto d = std::make_unique<TdsDownloader>();
        d->URL = url;
        d->Folder = folder;
        d->BusyForm = &busy_;
        return d;
    }

    // A first run that ends part-way: cancelled once some tasks are done.
    void InterruptedRun(const std::string& folder, const std::string& name) {
        auto d = Make(Url("/slow/" + name), folder);
        d->OnDownloadProgress = [this](int percent) {
            if (percent > 0)
                busy_.Press();
        };
        EXPECT_FALSE(d->Execute());
        const int64_t done = Sum(FinishedPerPiece(folder));
        ASSERT_GT(done, 0);
        ASSERT_LT(done, TdsIOUtils::FileSize(*root_ / ("files/" + name)));
        EXPECT_FALSE(TdsIOUtils::FileExists(folder + name));
    }

    static TTempFolder* root_;
    static TNginxServer* nginx_;
    TRecordingDialogs dialogs_;
    TSilentBusyForm busy_;
    TTempFolder work_;
};

TTempFolder* DownloaderTest::root_ = nullptr;
TNginxServer* DownloaderTest::nginx_ = nullptr;

TEST_F(DownloaderTest, RangesDownloadEveryTaskOnceAndMergeTheFile) {
    auto d = Make(Url("/files/pkg.bin"), work_.Path());
    std::vector<int> reported;
    d->OnDownloadProgress = [&](int p) { reported.push_back(p); };
    ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
    EXPECT_TRUE(d->RangeSupported);
    EXPECT_EQ(d->DownloadSize, kBigSize);
    EXPECT_EQ(d->Percent, 100);
    EXPECT_EQ(d->FileName, "pkg.bin");
    EXPECT_EQ(d->TargetFile(), work_ / "pkg.bin");
    EXPECT_EQ(TdsSecurity::MD5FileHex(d->TargetFile()), SourceMD5("pkg.bin"));
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), 100);
    for (int p : reported)
        EXPECT_LE(p, 100);
    // Merged and complete: the state is gone.
    EXPECT_FALSE(TdsIOUtils::FileExists(work_ / "Download.xml"));
    for (int n = 0; n < 10; ++n)
        EXPECT_FALSE(TdsIOUtils::FileExists(work_ / (std::to_string(n) + ".vtd")));
    // The probe, then each task exactly once.
    const auto requests = nginx_->Requests();
    std::set<std::string> ranges;
    for (const auto& r : requests) {
        EXPECT_EQ(r.Status, 206) << r.URI << " " << r.Range;
        EXPECT_TRUE(ranges.insert(r.Range).second) << "twice: " << r.Range;
    }
    EXPECT_EQ(ranges.count("bytes=0-255"), 1u);
    EXPECT_EQ(TaskBytesServed(), kBigSize);
    EXPECT_EQ(dialogs_.Count(), 0u) << dialogs_.Transcript();
}

TEST_F(DownloaderTest, RedirectsWithAndWithoutQueryLeadToTheServingAddress) {
    struct {
        std::string Path, Source;
    } cases[] = {
        {"/redirect/small.bin", "/files/small.bin"},
        {"/redirectq/small.bin", "/get?name=small.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        TTempFolder folder;
        nginx_->ClearAccessLog();
        auto d = Make(Url(c.Path), folder.Path());
        ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
        EXPECT_EQ(d->SourceURL, Url(c.Source));
        EXPECT_EQ(d->FileName, "small.bin");
        EXPECT_EQ(d->Percent, 100);
        EXPECT_EQ(TdsSecurity::MD5FileHex(d->TargetFile()), SourceMD5("small.bin"));
        // The threads asked the serving address, never the redirecting one.
        int redirects = 0;
        for (const auto& r : nginx_->Requests())
            if (r.Status == 302)
                ++redirects;
            else
                EXPECT_EQ(r.URI, c.Source);
        EXPECT_EQ(redirects, 1);
    }
}

TEST_F(DownloaderTest, HtmlPageNamesTheRealAddressAndItsRefererGoesWithEveryRequest) {
    auto d = Make(Url("/page/small.bin"), work_.Path());
    ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
    const std::string real = Url("/protected/small.bin");
    EXPECT_EQ(d->Referer, real);
    EXPECT_EQ(TdsSecurity::MD5FileHex(d->TargetFile()), SourceMD5("small.bin"));
    int served = 0;
    for (const auto& r : nginx_->Requests()) {
        if (r.URI != "/protected/small.bin")
            continue;
        ++served;
        EXPECT_EQ(r.Status, 206);
        EXPECT_EQ(r.Referer, real);
    }
    EXPECT_GE(served, 2); // the probe and the tasks
}

TEST_F(DownloaderTest, ServerIgnoringRangesIsReadInOneStream) {
    auto d = Make(Url("/noranges/pkg.bin"), work_.Path());
    std::vector<int> reported;
    d->OnDownloadProgress = [&](int p) { reported.push_back(p); };
    ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
    EXPECT_FALSE(d->RangeSupported);
    EXPECT_EQ(d->DownloadSize, kBigSize);
    EXPECT_EQ(d->Percent, 100);
    EXPECT_EQ(TdsSecurity::MD5FileHex(work_ / "pkg.bin"), SourceMD5("pkg.bin"));
    EXPECT_FALSE(TdsIOUtils::FileExists(work_ / "0.vtd"));
    EXPECT_FALSE(TdsIOUtils::FileExists(work_ / "Download.xml"));
    EXPECT_GT(reported.size(), 10u);
    const auto requests = nginx_->Requests();
    ASSERT_EQ(requests.size(), 1u); // the probe's answer was the whole file
    EXPECT_EQ(requests[0].Status, 200);
}

TEST_F(DownloaderTest, CancellingTheStreamAsksTheResumptionQuestion) {
    auto d = Make(Url("/noranges/pkg.bin"), work_.Path());
    dialogs_.AnswerNext(false); // go on
    dialogs_.AnswerNext(true);  // stop
    int lastPercent = 0;
    d->OnDownloadProgress = [&](int p) {
        lastPercent = p;
        if (p == 10 || p == 50)
            busy_.Press();
    };
    EXPECT_FALSE(d->Execute());
    const auto questions = dialogs_.Texts("question");
    ASSERT_EQ(questions.size(), 2u) << dialogs_.Transcript();
    for (const auto& box : dialogs_.Boxes()) {
        EXPECT_EQ(box.text, "当前资源不支持断点续传，您确定要取消下载吗？");
        EXPECT_EQ(box.rawKind, 1); // warning icon
        EXPECT_TRUE(box.secondButtonDefault);
    }
    // No went on past 10 %, Yes stopped at 50 %.
    EXPECT_EQ(lastPercent, 50);
    EXPECT_FALSE(TdsIOUtils::FileExists(work_ / "pkg.bin"));
}

TEST_F(DownloaderTest, ResumptionFetchesOnlyTheMissingTasks) {
    InterruptedRun(work_.Path(), "pkg.bin");
    const int64_t done = Sum(FinishedPerPiece(work_.Path()));
    nginx_->ClearAccessLog();
    auto d = Make(Url("/files/pkg.bin"), work_.Path());
    ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
    EXPECT_EQ(d->Percent, 100);
    EXPECT_EQ(TdsSecurity::MD5FileHex(d->TargetFile()), SourceMD5("pkg.bin"));
    EXPECT_EQ(TaskBytesServed(), kBigSize - done);
}

TEST_F(DownloaderTest, StoppedServerEndsTheRunWithItsErrorAndTheNextRunResumes) {
    auto d = Make(Url("/slow/pkg.bin"), work_.Path());
    d->OnDownloadProgress = [](int percent) {
        if (percent > 0)
            nginx_->Stop();
    };
    EXPECT_FALSE(d->Execute());
    ASSERT_TRUE(nginx_->Start());
    EXPECT_TRUE(dialogs_.Has("error", "连接服务器失败，请检查您的网络连接是否正常！"))
        << dialogs_.Transcript();
    const int64_t done = Sum(FinishedPerPiece(work_.Path()));
    ASSERT_GT(done, 0);
    ASSERT_LT(done, kBigSize);

    nginx_->ClearAccessLog();
    auto again = Make(Url("/files/pkg.bin"), work_.Path());
    ASSERT_TRUE(again->Execute()) << dialogs_.Transcript();
    EXPECT_EQ(TdsSecurity::MD5FileHex(again->TargetFile()), SourceMD5("pkg.bin"));
    EXPECT_EQ(TaskBytesServed(), kBigSize - done);
}

TEST_F(DownloaderTest, KilledClientProcessResumesToTheSameFile) {
    const std::string folder = work_.Path();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TdsDownloader d;
        d.URL = Url("/slow/pkg.bin");
        d.Folder = folder;
        d.ThreadCount = 3;
        d.ShowProgress = false;
        d.Execute();
        ::_exit(0);
    }
    // Kill it once part of the file is stored, while its threads are at work.
    bool partial = false;
    for (int i = 0; i < 1000 && !partial; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int64_t done = Sum(FinishedPerPiece(folder));
        partial = done > 0 && done < kBigSize / 2;
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(partial);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_FALSE(TdsIOUtils::FileExists(folder + "pkg.bin"));

    nginx_->ClearAccessLog();
    auto d = Make(Url("/files/pkg.bin"), folder);
    ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
    EXPECT_EQ(d->Percent, 100);
    EXPECT_EQ(TdsSecurity::MD5FileHex(d->TargetFile()), SourceMD5("pkg.bin"));
    EXPECT_LT(TaskBytesServed(), kBigSize);
}

TEST_F(DownloaderTest, DamagedPieceFilesAreFetchedAgainAndNeverMerged) {
    InterruptedRun(work_.Path(), "pkg.bin");
    const auto finished = FinishedPerPiece(work_.Path());
    // Piece 0: every stored byte flipped; piece 1: cut short inside its header; piece 2: its header
    // overwritten. The other pieces stay as they are.
    std::string p0 = ReadFileBytes(work_ / "0.vtd");
    for (size_t i = 48 + 56 * 4; i < p0.size(); ++i)
        p0[i] = static_cast<char>(p0[i] ^ 0x5A);
    WriteFileBytes(work_ / "0.vtd", p0);
    ASSERT_EQ(::truncate((work_ / "1.vtd").c_str(), 20), 0);
    std::string p2 = ReadFileBytes(work_ / "2.vtd");
    for (size_t i = 0; i < 48; ++i)
        p2[i] = 'x';
    WriteFileBytes(work_ / "2.vtd", p2);

    nginx_->ClearAccessLog();
    auto d = Make(Url("/files/pkg.bin"), work_.Path());
    ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
    EXPECT_EQ(d->Percent, 100);
    EXPECT_EQ(TdsSecurity::MD5FileHex(d->TargetFile()), SourceMD5("pkg.bin"));
    int64_t kept = 0;
    for (int n = 3; n < 10; ++n)
        kept += finished[static_cast<size_t>(n)];
    EXPECT_EQ(TaskBytesServed(), kBigSize - kept);
}

TEST_F(DownloaderTest, ADifferentFileSizeDiscardsTheOldState) {
    InterruptedRun(work_.Path(), "pkg.bin");
    nginx_->ClearAccessLog();
    auto d = Make(Url("/files/other.bin"), work_.Path());
    ASSERT_TRUE(d->Execute()) << dialogs_.Transcript();
    EXPECT_EQ(d->DownloadSize, kOtherSize);
    EXPECT_EQ(TdsSecurity::MD5FileHex(d->TargetFile()), SourceMD5("other.bin"));
    EXPECT_EQ(TaskBytesServed(), kOtherSize);
    EXPECT_FALSE(TdsIOUtils::FileExists(work_ / "Download.xml"));
}

TEST_F(DownloaderTest, MissingFileAndRefusedServerGiveTheirErrorBoxes) {
    struct {
        std::string Url, Text;
    } cases[] = {
        {Url("/files/missing.bin"), "#404：获取下载信息失败！"},
        {"http://127.0.0.1:1/files/pkg.bin", "连接服务器失败，请检查您的网络连接是否正常！"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Url);
        dialogs_.Clear();
        auto d = Make(c.Url, work_.Path());
        EXPECT_FALSE(d->Execute());
        EXPECT_EQ(dialogs_.Texts("error"), std::vector<std::string>{c.Text}) << dialogs_.Transcript();
        EXPECT_FALSE(busy_.Showing());
    }
}

// ---- The HTTP client itself ----

TEST_F(DownloaderTest, HttpClientReadsBlocksAndStopsBetweenThem) {
    TdsHTTPDownload http;
    ASSERT_TRUE(http.Connect(Url("/files/small.bin")));
    ASSERT_TRUE(http.SendRequest("", "")) << http.ErrorText;
    EXPECT_EQ(http.StatusCode, "200");
    EXPECT_EQ(http.ContentLength(), 300000);
    std::vector<size_t> blocks;
    std::atomic<bool> stop{false};
    std::string got;
    EXPECT_FALSE(http.ReadBody(
        [&](const char* data, size_t n) {
            blocks.push_back(n);
            got.append(data, n);
            if (got.size() >= 40960)
                stop = true;
            return true;
        },
        &stop));
    EXPECT_TRUE(http.Stopped());
    EXPECT_TRUE(http.ErrorText.empty());
    ASSERT_EQ(blocks.size(), 10u);
    for (size_t n : blocks)
        EXPECT_EQ(n, 4096u);
    EXPECT_EQ(got, ReadFileBytes(*root_ / "files/small.bin").substr(0, 40960));

    // The same client goes on with the next request; a whole body ends with its short last block.
    ASSERT_TRUE(http.SendRequest("/files/small.bin", "Range: bytes=100-8291\r\n")) << http.ErrorText;
    EXPECT_EQ(http.StatusCode, "206");
    EXPECT_EQ(http.ContentRange(), "bytes 100-8291/300000");
    std::string body;
    ASSERT_TRUE(http.ReadBody(body));
    EXPECT_EQ(body, ReadFileBytes(*root_ / "files/small.bin").substr(100, 8192));
}

TEST_F(DownloaderTest, HttpClientStatusesAndRedirects) {
    TdsHTTPDownload http;
    http.Connect(nginx_->Address());
    // A redirect is an answer of its own unless following is asked for.
    ASSERT_TRUE(http.SendRequest("/redirect/small.bin", ""));
    EXPECT_EQ(http.StatusCode, "302");
    EXPECT_EQ(http.Location(), "/files/small.bin");
    http.FollowRedirects = true;
    ASSERT_TRUE(http.SendRequest("/redirect/small.bin", ""));
    EXPECT_EQ(http.StatusCode, "200");
    http.FollowRedirects = false;

    EXPECT_FALSE(http.SendRequest("/files/missing.bin", ""));
    EXPECT_EQ(http.StatusCode, "404");
    EXPECT_EQ(http.ErrorText, "#404: 向服务器发送请求失败，请检查您的网络连接是否正常！");
    EXPECT_FALSE(http.SendRequest("/protected/small.bin", ""));
    EXPECT_EQ(http.ErrorText, "#403: 向服务器发送请求失败，请检查您的网络连接是否正常！");

    TdsHTTPDownload refused;
    refused.Connect("http://127.0.0.1:1");
    EXPECT_FALSE(refused.SendRequest("/x", ""));
    EXPECT_EQ(refused.StatusCode, "");
    EXPECT_EQ(refused.ErrorText, "连接服务器失败，请检查您的网络连接是否正常！");
}

} // namespace
