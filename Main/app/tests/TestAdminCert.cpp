#include "UCertTestSupport.h"
#include "UTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

std::string Q(const std::string& text) {
    return "'" + text + "'";
}

int Admin(const std::string& args, std::string* out = nullptr) {
    return RunCommand(std::string(BRINDLE_ADMIN) + " cert " + args + " 2>&1", out);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

} // namespace

TEST(AdminCert, ImportListDefaultRemove) {
    TTempCertStore home;
    TTempFolder files;
    TTempFolder base;
    TTestCertificates ca(files.Path());
    TTestCert a = ca.Make("a", "/CN=张三", "");
    TTestCert b = ca.Make("b", "/CN=B", "pw");

    std::string out;
    ASSERT_EQ(Admin("import " + Q(a.CerDer), &out), 0) << out;
    EXPECT_EQ(out, a.Thumbprint + "\t张三\n");
    ASSERT_EQ(Admin("import " + Q(b.PfxLegacy) + " --password pw", &out), 0) << out;
    EXPECT_EQ(out, b.Thumbprint + "\tB\twith private key\n");

    EXPECT_EQ(Admin("import " + Q(b.Pfx) + " --password wrong", &out), 1);
    EXPECT_NE(out.find("私钥密码不正确"), std::string::npos) << out;

    ASSERT_EQ(Admin("list --base " + Q(base.Path()), &out), 0) << out;
    EXPECT_EQ(Lines(out),
              (std::vector<std::string>{
                  a.Thumbprint + "\t张三\tBrindle Test CA\t" + a.NotBefore + "\t" + a.NotAfter + "\t",
                  b.Thumbprint + "\tB\tBrindle Test CA\t" + b.NotBefore + "\t" + b.NotAfter + "\t"}));

    // The default is written as the manager writes it and listed with "*".
    std::string lower = b.Thumbprint;
    for (auto& ch : lower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    ASSERT_EQ(Admin("default " + lower + " --base " + Q(base.Path()), &out), 0) << out;
    EXPECT_EQ(ReadFileBytes(base / "DefaultCert.dat"), b.Thumbprint);
    ASSERT_EQ(Admin("list --base " + Q(base.Path()), &out), 0);
    ASSERT_EQ(Lines(out).size(), 2u);
    EXPECT_EQ(Lines(out)[0].back(), '\t');
    EXPECT_EQ(Lines(out)[1].substr(Lines(out)[1].size() - 2), "\t*");

    // Removing another certificate keeps the default; removing the default empties the file.
    ASSERT_EQ(Admin("remove " + a.Thumbprint + " --base " + Q(base.Path()), &out), 0) << out;
    EXPECT_EQ(ReadFileBytes(base / "DefaultCert.dat"), b.Thumbprint);
    ASSERT_EQ(Admin("remove " + b.Thumbprint + " --base " + Q(base.Path()), &out), 0) << out;
    EXPECT_TRUE(std::filesystem::exists(base / "DefaultCert.dat"));
    EXPECT_EQ(ReadFileBytes(base / "DefaultCert.dat"), "");
    ASSERT_EQ(Admin("list", &out), 0);
    EXPECT_EQ(out, "");

    // Failures: exit 1 with a reason, nothing changed.
    EXPECT_EQ(Admin("remove " + b.Thumbprint, &out), 1);
    EXPECT_NE(out.find("no certificate"), std::string::npos) << out;
    EXPECT_EQ(Admin("default " + a.Thumbprint + " --base " + Q(base.Path()), &out), 1);
    EXPECT_EQ(ReadFileBytes(base / "DefaultCert.dat"), "");
    EXPECT_EQ(Admin("list --base " + Q(base / "missing"), &out), 1);
}

TEST(AdminCert, UsageErrorsExitTwo) {
    TTempCertStore home;
    for (const char* args : {"", "nothing", "list extra", "import", "import a.cer --base x", "remove",
                             "default ABCD", "list --base", "list --colour red", "remove A B"}) {
        std::string out;
        EXPECT_EQ(Admin(args, &out), 2) << args;
        EXPECT_NE(out.find("usage: brindle-admin cert"), std::string::npos) << out;
    }
}
