#include "UCertsManageBiz.h"

#include "UdsDateUtils.h"

#include "UCertTestSupport.h"
#include "UTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

std::vector<std::string> Images(const TCertsManageBiz& biz) {
    std::vector<std::string> images;
    for (const auto& row : biz.Rows())
        images.push_back(row.Image);
    return images;
}

class CertsManageTest : public ::testing::Test {
protected:
    TTempCertStore home;
    TTempFolder files;
    TTempFolder base;
    TTestCertificates ca{files.Path()};
    TRecordingDialogs dialogs;
    TScriptedCertPrompts prompts;
};

} // namespace

TEST_F(CertsManageTest, ImportAsksForThePasswordOnlyForPfx) {
    TTestCert a = ca.Make("a", "/CN=甲公司", "");
    TTestCert b = ca.Make("b", "/CN=B", "pw");
    std::string upper = files / "B.PFX";
    std::filesystem::copy_file(b.Pfx, upper);

    TCertsManageBiz biz(base.Path());
    EXPECT_TRUE(biz.Rows().empty());
    EXPECT_EQ(biz.CurrentRow(), -1);

    dialogs.ChooseNext(a.CerDer);
    EXPECT_TRUE(biz.ImportCertificate());
    EXPECT_EQ(prompts.PasswordPrompts, 0);
    EXPECT_TRUE(dialogs.Has("info", "证书导入成功！")) << dialogs.Transcript();
    ASSERT_EQ(biz.Rows().size(), 1u);
    const TCertRow& row = biz.Rows()[0];
    EXPECT_EQ(row.Image, "Cert");
    EXPECT_EQ(row.SubjectName, "甲公司");
    EXPECT_EQ(row.IssuerName, "Brindle Test CA");
    EXPECT_EQ(row.ValidFromDate, a.NotBefore.substr(0, 10));
    EXPECT_EQ(row.ValidToDate, a.NotAfter.substr(0, 10));
    EXPECT_EQ(row.Thumbprint, a.Thumbprint);

    // The password dialog cancelled: the import goes on with an empty password and fails cleanly.
    dialogs.Clear();
    prompts.CancelPasswordNext();
    EXPECT_FALSE(biz.ImportFile(upper));
    EXPECT_EQ(prompts.PasswordPrompts, 1);
    ASSERT_EQ(dialogs.Texts("error").size(), 1u) << dialogs.Transcript();
    EXPECT_EQ(dialogs.Texts("error")[0].rfind("无法导入证书“" + upper + "”：", 0), 0u);
    EXPECT_FALSE(dialogs.Has("info", "证书导入成功！"));
    EXPECT_EQ(biz.Rows().size(), 1u);

    // The typed password is trimmed.
    dialogs.Clear();
    prompts.PasswordNext("  pw ");
    EXPECT_TRUE(biz.ImportFile(upper));
    EXPECT_EQ(prompts.PasswordPrompts, 2);
    EXPECT_TRUE(dialogs.Has("info", "证书导入成功！")) << dialogs.Transcript();
    ASSERT_EQ(biz.Rows().size(), 2u);
    EXPECT_EQ(biz.Rows()[1].Thumbprint, b.Thumbprint);
    EXPECT_TRUE(biz.Store().FindByThumbprint(b.Thumbprint).HasPrivateKey());

    // The open-file dialog cancelled: nothing happens.
    dialogs.Clear();
    EXPECT_FALSE(biz.ImportCertificate());
    ASSERT_EQ(dialogs.Count(), 1u);
    EXPECT_EQ(dialogs.Boxes()[0].kind, "open");
}

TEST_F(CertsManageTest, DefaultMarkSurvivesReopeningAndRemovingItEmptiesTheFile) {
    std::vector<TTestCert> certs = {ca.Make("a", "/CN=A", ""), ca.Make("b", "/CN=B", ""),
                                    ca.Make("c", "/CN=C", "")};
    const std::string defaultFile = base / "DefaultCert.dat";
    {
        TCertsManageBiz biz(base.Path());
        EXPECT_FALSE(biz.SetCurrentDefault());
        EXPECT_TRUE(dialogs.Has("warning", "请选择要设为默认使用的数字证书！"));
        for (const auto& c : certs)
            biz.Store().ImportCertificate(c.CerDer, "");
        biz.FillList();
        EXPECT_EQ(Images(biz), (std::vector<std::string>{"Cert", "Cert", "Cert"}));
        EXPECT_EQ(biz.CurrentRow(), 0);

        dialogs.Clear();
        biz.SetCurrentRow(1);
        EXPECT_TRUE(biz.SetCurrentDefault());
        EXPECT_EQ(ReadFileBytes(defaultFile), certs[1].Thumbprint);
        EXPECT_EQ(Images(biz), (std::vector<std::string>{"Cert", "Select", "Cert"}));
        EXPECT_TRUE(dialogs.Has("warning", "当前数字证书已设为默认使用！")) << dialogs.Transcript();

        biz.SetCurrentRow(2);
        EXPECT_TRUE(biz.SetCurrentDefault());
        EXPECT_EQ(Images(biz), (std::vector<std::string>{"Cert", "Cert", "Select"}));
    }
    {
        TCertsManageBiz reopened(base.Path());
        EXPECT_EQ(Images(reopened), (std::vector<std::string>{"Cert", "Cert", "Select"}));

        // Removing another row leaves the mark; No to the question removes nothing.
        dialogs.Clear();
        reopened.SetCurrentRow(0);
        EXPECT_FALSE(reopened.RemoveCurrent());
        ASSERT_EQ(dialogs.Texts("question"), std::vector<std::string>{"您确定要删除当前证书吗？"});
        EXPECT_EQ(dialogs.Boxes()[0].rawKind, mkWarning);
        EXPECT_TRUE(dialogs.Boxes()[0].secondButtonDefault);
        EXPECT_EQ(reopened.Rows().size(), 3u);

        dialogs.AnswerNext(true);
        EXPECT_TRUE(reopened.RemoveCurrent());
        EXPECT_TRUE(dialogs.Has("info", "证书删除成功！"));
        EXPECT_EQ(ReadFileBytes(defaultFile), certs[2].Thumbprint);
        EXPECT_EQ(Images(reopened), (std::vector<std::string>{"Cert", "Select"}));

        dialogs.AnswerNext(true);
        reopened.SetCurrentRow(1);
        EXPECT_TRUE(reopened.RemoveCurrent());
        EXPECT_TRUE(std::filesystem::exists(defaultFile));
        EXPECT_EQ(ReadFileBytes(defaultFile), "");
        ASSERT_EQ(reopened.Rows().size(), 1u);
        EXPECT_EQ(reopened.Rows()[0].Thumbprint, certs[1].Thumbprint);
        EXPECT_EQ(Images(reopened), std::vector<std::string>{"Cert"});
    }
    // A mark naming no certificate of the store marks no row.
    WriteFileBytes(defaultFile, certs[0].Thumbprint);
    TCertsManageBiz stale(base.Path());
    EXPECT_EQ(Images(stale), std::vector<std::string>{"Cert"});
}

TEST_F(CertsManageTest, ActionsWithoutCurrentRowWarn) {
    TTestCert a = ca.Make("a", "/CN=A", "");
    TCertsManageBiz biz(base.Path());
    TdsCertificate shown;
    EXPECT_FALSE(biz.ViewCertificate(shown));
    EXPECT_FALSE(biz.RemoveCurrent());
    EXPECT_EQ(dialogs.Texts("warning"),
              (std::vector<std::string>{"请选择要查看的数字证书！", "请选择要删除的数字证书！"}));
    EXPECT_TRUE(dialogs.Texts("question").empty());

    biz.Store().ImportCertificate(a.CerPem, "");
    biz.FillList();
    EXPECT_TRUE(biz.ViewCertificate(shown));
    EXPECT_EQ(shown.Thumbprint, a.Thumbprint);
    biz.SetCurrentRow(5);
    EXPECT_EQ(biz.CurrentRow(), -1);
    EXPECT_FALSE(biz.ViewCertificate(shown));
    EXPECT_TRUE(shown.IsNull());
}
