#include "ULogManager.h"
#include "UStartupTestBase.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct TStartupCase {
    std::string Name;
    // Prepares the copy of the installation and gives the command line; may keep a database open.
    std::function<std::vector<std::string>(TFixtureInstallation&, std::unique_ptr<TdsAdoDBKit>&)> Prepare;
    // The text of the one error box expected.
    std::function<std::string(const TFixtureInstallation&)> Error;
    int SignInRows = 0;
    int64_t SleptMs = 0;
    bool Terminate = false;
};

class TCurrentFolder {
public:
    explicit TCurrentFolder(const std::string& folder) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~TCurrentFolder() { std::filesystem::current_path(saved_); }

private:
    std::filesystem::path saved_;
};

} // namespace

class Startup : public TStartupTest {};

// Every refused start shows exactly its message, releases the global state, and writes nothing but the
// sign-in row (which comes after both databases opened and before the region choice).
TEST_F(Startup, FailuresShowTheirMessageAndWriteNothingElse) {
    TFixtureInstallation original;
    Build(original, "template");
    using TInstall = const TFixtureInstallation&;
    auto text = [](std::string t) { return [t](TInstall) { return t; }; };
    auto invalid = text("无效的启动参数！");
    auto product = [](TInstall i) { return "无效的产品描述文件“" + i.Base + "Config.dll”！"; };
    std::vector<TStartupCase> cases = {
        {"two arguments (product file in the current folder)",
         [](TFixtureInstallation& i, auto&) {
             return std::vector<std::string>{i.TaxpayerID, "admin"};
         },
         invalid, 0, 0, true},
        {"four arguments",
         [](TFixtureInstallation& i, auto&) {
             return std::vector<std::string>{i.TaxpayerID, "admin", i.Launcher, "K"};
         },
         invalid, 0, 0, true},
        {"a folder as launcher",
         [](TFixtureInstallation& i, auto&) {
             return std::vector<std::string>{i.TaxpayerID, "admin", i.Base + "dat"};
         },
         invalid, 0, 0, true},
        {"missing taxpayer database",
         [](TFixtureInstallation& i, auto&) {
             return std::vector<std::string>{"110101999999999", "admin", i.Launcher};
         },
         [](TInstall i) { return "数据库“" + i.Base + "dat/110101999999999/Brindle.mdb”不存在！"; }, 0, 0,
         false},
        {"system database locked",
         [](TFixtureInstallation& i, std::unique_ptr<TdsAdoDBKit>& holder) {
             holder = std::make_unique<TdsAdoDBKit>();
             std::string error;
             EXPECT_TRUE(holder->Connect(i.SystemDatabase(), "pavrid", true, error)) << error;
             return i.Args();
         },
         text("打开系统数据库失败！\r\n\r\ndatabase is locked"), 0, 3000, false},
        {"system database missing",
         [](TFixtureInstallation& i, auto&) {
             std::filesystem::remove(i.SystemDatabase());
             return i.Args();
         },
         [](TInstall i) { return "打开系统数据库失败！\r\n\r\n数据库“" + i.SystemDatabase() + "”不存在！"; },
         0, 3000, false},
        {"region file missing",
         [](TFixtureInstallation& i, auto&) {
             std::filesystem::remove(i.Base + "Config.qel");
             return i.Args();
         },
         text("无效的区域配置文件！"), 1, 0, false},
        {"region file not Base64",
         [](TFixtureInstallation& i, auto&) {
             WriteFileBytes(i.Base + "Config.qel", "<Config/>");
             return i.Args();
         },
         text("无效的区域配置文件！"), 1, 0, false},
        {"no matching region",
         [](TFixtureInstallation& i, auto&) {
             i.Regions =
                 "<Region ID=\"4401\" Code=\"44\"><Options/></Region><Region ID=\"110102\" Code=\"11\"/>";
             WriteFileBytes(i.Base + "Config.qel", TFixtureInstallation::Encode(i.RegionXml()));
             return i.Args();
         },
         text("无法确定纳税人识别号对应的区域！"), 1, 0, false},
        {"product file missing",
         [](TFixtureInstallation& i, auto&) {
             std::filesystem::remove(i.Base + "Config.dll");
             return i.Args();
         },
         product, 0, 0, false},
        {"product file not zlib",
         [](TFixtureInstallation& i, auto&) {
             WriteFileBytes(i.Base + "Config.dll", TdsIOUtils::Base64Encode("xyz<Product/>"));
             return i.Args();
         },
         product, 0, 0, false},
        {"product file not XML",
         [](TFixtureInstallation& i, auto&) {
             WriteFileBytes(i.Base + "Config.dll", TFixtureInstallation::Encode("<Product Version="));
             return i.Args();
         },
         product, 0, 0, false},
        {"icon missing",
         [](TFixtureInstallation& i, auto&) {
             std::filesystem::remove(i.Base + "res/Brindle.ico");
             return i.Args();
         },
         [](TInstall i) { return "应用程序图标文件“" + i.Base + "res/Brindle.ico”不存在！"; }, 0, 0, false},
    };
    int n = 0;
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TFixtureInstallation installation = original.CopyTo(temp / ("case" + std::to_string(++n) + "/"));
        std::unique_ptr<TdsAdoDBKit> holder;
        std::vector<std::string> args = c.Prepare(installation, holder);
        dialogs.Clear();
        application.Terminations = 0;
        int64_t sleptBefore = clock.SleptMilliseconds();
        bool started;
        if (args.size() < 3) {
            TCurrentFolder inBase(installation.Base);
            started = BrindleStartup(args, TGlobalFrontEnd());
        } else {
            started = BrindleStartup(args, TGlobalFrontEnd());
        }
        holder.reset();

        EXPECT_FALSE(started);
        EXPECT_EQ(Global, nullptr);
        ASSERT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
        EXPECT_EQ(dialogs.Boxes()[0].kind, "error");
        EXPECT_EQ(dialogs.Boxes()[0].text, c.Error(installation));
        EXPECT_EQ(clock.SleptMilliseconds() - sleptBefore, c.SleptMs);
        EXPECT_EQ(application.Terminations > 0, c.Terminate);
        // A start refused for its command line leaves no log folder behind where it looked.
        if (c.Name == "two arguments (product file in the current folder)" ||
            c.Name == "a folder as launcher") {
            EXPECT_FALSE(TdsIOUtils::FolderExists(installation.Base + "Log"));
        }

        TVirtualTable rows;
        Query(installation.TaxpayerDatabase(), "SELECT FOpContent FROM S_OpLog", rows);
        EXPECT_EQ(rows.RecordCount(), c.SignInRows);
    }
}

// A user code without an S_User row starts with an empty name; the sign-in row carries the user, and
// the region and its options are taken over.
TEST_F(Startup, SignsInKnownAndUnknownUsers) {
    TFixtureInstallation installation;
    installation.TaxpayerSQL = {"DELETE FROM S_OpLog"};
    Build(installation);

    ASSERT_TRUE(Start(installation, "nobody")) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_EQ(Global->UserInfo->Code, "nobody");
    EXPECT_EQ(Global->UserInfo->Name, "");
    EXPECT_FALSE(Global->UserInfo->Reserved);
    EXPECT_EQ(Global->TaxMediaKind, "");
    EXPECT_EQ(Global->TaxpayerID, installation.TaxpayerID);
    EXPECT_EQ(Global->RegionCode, "11");
    EXPECT_EQ(FindChildNode(Global->Options, "DeclarePrompt", false).Text(), "1");
    EXPECT_EQ(Global->AppTitle, installation.AppTitle);
    EXPECT_EQ(Global->Version, "3.2.1");
    EXPECT_EQ(Global->Copyright, installation.Copyright);
    EXPECT_EQ(Global->IconFile, installation.Base + "res/Brindle.ico");
    // The quick tries of the start-up leave the engine's normal busy wait for the rest of the run.
    EXPECT_EQ(Global->SystemDB->BusyTimeout, TdsAdoDBKit::kDefaultBusyTimeout);
    FreeGlobal();

    clock.Advance(1000);
    ASSERT_TRUE(Start(installation, "admin")) << dialogs.Transcript();
    EXPECT_EQ(Global->UserInfo->Name, "系统管理员");
    EXPECT_TRUE(Global->UserInfo->Reserved);
    FreeGlobal();

    TVirtualTable rows;
    Query(installation.TaxpayerDatabase(),
          "SELECT FOpTime, FTaxMedia, FUserCode, FUserName, FOpContent FROM S_OpLog ORDER BY FOpTime", rows);
    ASSERT_EQ(rows.RecordCount(), 2);
    std::vector<std::vector<std::string>> expected = {
        {"2026-12-11 09:30:15.250", "", "nobody", "", "登录系统"},
        {"2026-12-11 09:30:16.250", "", "admin", "系统管理员", "登录系统"},
    };
    for (int r = 0; r < 2; ++r)
        for (int f = 0; f < 5; ++f)
            EXPECT_EQ(rows.Value(r, f).AsString(), expected[static_cast<size_t>(r)][static_cast<size_t>(f)])
                << r << "," << f;
}

// The instance that started keeps the lock; another process cannot take it meanwhile.
TEST_F(Startup, HoldsTheInstanceLock) {
    TFixtureInstallation installation;
    Build(installation);
    ASSERT_TRUE(Start(installation)) << dialogs.Transcript();
    std::string lockFile = temp / "run/Mutex_QEL_Brindle.lock";
    ASSERT_TRUE(TdsIOUtils::FileExists(lockFile));
    // flock(1) in another process: -n fails at once (exit 1) when the lock is taken.
    EXPECT_EQ(RunCommand("flock -n -E 7 '" + lockFile + "' true"), 7);
    // A second lock object in the same process is another holder and is refused too.
    TInstanceLock other(kInstanceMutexName);
    std::string error;
    EXPECT_FALSE(other.Acquire(error));
    EXPECT_EQ(error, "");
}

// Without a usable runtime folder the lock lives in a private folder of the user under /tmp.
TEST(InstanceLock, FallsBackToAPrivateTmpFolder) {
    const std::string fallback = "/tmp/brindle-" + std::to_string(getuid()) + "/";
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    std::string savedValue = saved ? saved : "";
    for (const char* runtime :
         {static_cast<const char*>(nullptr), "relative/run", "/no/such/runtime/folder"}) {
        SCOPED_TRACE(runtime ? runtime : "unset");
        if (runtime)
            setenv("XDG_RUNTIME_DIR", runtime, 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        EXPECT_EQ(TInstanceLock::LockFile("Test_Lock"), fallback + "Test_Lock.lock");
        struct stat st {};
        ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    if (saved)
        setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}
