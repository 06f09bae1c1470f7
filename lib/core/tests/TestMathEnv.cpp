#include "UdsApplication.h"
#include "UdsEnvironment.h"
#include "UdsExceptions.h"
#include "UdsMath.h"
#include "UdsSysUtils.h"

#include "UTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <sys/utsname.h>

TEST(Math, RoundToAndFormatFixed) {
    struct Case {
        double value;
        int decimals;
        double rounded;
        const char* text;
    } cases[] = {
        // Halves in the decimal form round away from zero, although the binary values lie below them.
        {2.675, 2, 2.68, "2.68"},
        {1.005, 2, 1.01, "1.01"},
        {-1.005, 2, -1.01, "-1.01"},
        {0.125, 2, 0.13, "0.13"},
        {-0.125, 2, -0.13, "-0.13"},
        {2.5, 0, 3, "3"},
        {-2.5, 0, -3, "-3"},
        {1.0049999, 2, 1.0, "1.00"},
        {0.1 + 0.2, 1, 0.3, "0.3"},
        {9.995, 2, 10.0, "10.00"},
        {999999.995, 2, 1000000.0, "1000000.00"},
        {-0.004, 2, 0.0, "0.00"},
        {0.0, 3, 0.0, "0.000"},
        {0.05, 1, 0.1, "0.1"},
        {0.0049, 2, 0.0, "0.00"},
        {0.5, 0, 1, "1"},
        {0.45, 0, 0, "0"},
        {12345.6789, 6, 12345.6789, "12345.678900"},
        {123456789012.345, 2, 123456789012.35, "123456789012.35"},
        {1e20, 2, 1e20, "100000000000000000000.00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TdsMath::RoundTo(c.value, c.decimals), c.rounded) << c.value << " " << c.decimals;
        EXPECT_EQ(TdsMath::FormatFixed(c.value, c.decimals), c.text) << c.value << " " << c.decimals;
    }
    for (int decimals : {-1, -5}) {
        try {
            TdsMath::RoundTo(1.5, decimals);
            ADD_FAILURE() << "no error for " << decimals;
        } catch (const EdsError& e) {
            EXPECT_STREQ(e.what(), "小数点后的位数必须大于等于零！");
        }
        EXPECT_THROW(TdsMath::FormatFixed(1.5, decimals), EdsError);
    }
}

namespace {

// Sets an environment variable for the lifetime of the object.
class TEnvVar {
public:
    TEnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~TEnvVar() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(Environment, SpecialFolders) {
    {
        TEnvVar home("HOME", "/home/tester");
        TEnvVar tmp("TMPDIR", "/var/tmp/brindle");
        EXPECT_EQ(TdsEnvironment::SpecialFolder(1), "/home/tester/");
        EXPECT_EQ(TdsEnvironment::SpecialFolder(4), "/var/tmp/brindle/");
        TEnvVar data("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(TdsEnvironment::SpecialFolder(7), "/home/tester/.local/share/applications/");
    }
    {
        TEnvVar home("HOME", nullptr); // falls back to the password database
        TEnvVar tmp("TMPDIR", nullptr);
        std::string folder = TdsEnvironment::SpecialFolder(1);
        ASSERT_FALSE(folder.empty());
        EXPECT_EQ(folder.back(), '/');
        EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
        EXPECT_EQ(TdsEnvironment::SpecialFolder(4), "/tmp/");
    }
    for (int kind : {-1, 9, 100})
        EXPECT_EQ(TdsEnvironment::SpecialFolder(kind), "") << kind;
}

TEST(Environment, DesktopFromUserDirs) {
    TTempFolder temp;
    TEnvVar home("HOME", temp.Path().c_str());
    TEnvVar config("XDG_CONFIG_HOME", nullptr);
    TEnvVar desktop("XDG_DESKTOP_DIR", nullptr);
    EXPECT_EQ(TdsEnvironment::SpecialFolder(5), temp.Path() + "Desktop/");
    std::filesystem::create_directories(temp / ".config");
    WriteFileBytes(temp / ".config/user-dirs.dirs", "# comment\nXDG_DESKTOP_DIR=\"$HOME/桌面\"\n");
    EXPECT_EQ(TdsEnvironment::SpecialFolder(5), temp.Path() + "桌面/");
    EXPECT_EQ(TdsEnvironment::SpecialFolder(6), temp.Path() + "桌面/");
}

TEST(Environment, KernelVersion) {
    utsname name{};
    ASSERT_EQ(uname(&name), 0);
    std::string release = name.release;
    std::string text = TdsEnvironment::VersionText();
    EXPECT_EQ(release.compare(0, text.size() + 1, text + "."), 0) << release << " vs " << text;
    int major = std::atoi(release.c_str());
    EXPECT_EQ(TdsEnvironment::IsVersion5OrLater(), major >= 5);
    EXPECT_EQ(TdsEnvironment::IsVersion6OrLater(), major >= 6);
}

TEST(SysUtils, OpenFile) {
    TTempFolder temp;
    TRecordingDialogs dialogs;
    TRecordingApplication app;
    WriteFileBytes(temp / "帮助.chm", "x");
    EXPECT_TRUE(TdsSysUtils::OpenFile(temp / "帮助.chm", true));
    EXPECT_FALSE(TdsSysUtils::OpenFile(temp / "missing.chm", false));
    EXPECT_EQ(app.Opened, std::vector<std::string>{temp / "帮助.chm||" + "|max"});
    EXPECT_TRUE(dialogs.Has("error", "帮助文件“" + (temp / "missing.chm") + "”不存在！"))
        << dialogs.Transcript();
    EXPECT_EQ(dialogs.Count(), 1u);
}

TEST(SysUtils, PathsOfTheProgram) {
    TTempFolder temp;
    std::filesystem::create_directories(temp / "a/b");
    std::filesystem::create_symlink(temp / "a", temp / "link");
    std::string real = TdsSysUtils::LongPathName(temp.Path());
    EXPECT_EQ(TdsSysUtils::LongPathName(temp / "link/b/../b/"), real + "a/b/");
    EXPECT_EQ(TdsSysUtils::LongPathName(temp / "link/b"), real + "a/b");
    EXPECT_EQ(TdsSysUtils::LongPathName(temp / "nothing/here"), temp / "nothing/here");

    std::string module = TdsSysUtils::ModuleFile();
    EXPECT_TRUE(std::filesystem::is_regular_file(module)) << module;
    EXPECT_EQ(std::filesystem::path(module).filename(), "dscore_tests");
    EXPECT_EQ(TdsSysUtils::ModuleFolder() + "dscore_tests", module);
}
