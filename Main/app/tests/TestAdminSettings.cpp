#include "UdsEncoding.h"

#include "UTestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

std::string Admin(const std::string& args) {
    return std::string(BRINDLE_ADMIN) + " " + args;
}

std::string Quote(const std::string& path) {
    return "'" + path + "'";
}

// A settings document as an installation holds it: GBK bytes, CR LF line ends.
std::string SampleXml() {
    return TdsEncoding::Utf8ToAnsi("<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<Config>\r\n"
                                   "  <Title>增值税发票数据申报</Title>\r\n  <Version>3.1</Version>\r\n"
                                   "</Config>\r\n");
}

} // namespace

TEST(AdminSettings, DecodesWhatPythonEncoded) {
    TTempFolder temp;
    WriteFileBytes(temp / "in.xml", SampleXml());
    std::string script = "import base64,zlib,sys; x=open(sys.argv[1],'rb').read(); "
                         "e=base64.b64encode(b'xyz'+zlib.compress(x)).decode(); "
                         "open(sys.argv[2],'w',newline='').write(e); "
                         "open(sys.argv[3],'w',newline='').write('\\r\\n'.join(e[i:i+76] for i in "
                         "range(0,len(e),76)))";
    ASSERT_EQ(RunCommand("python3 -c \"" + script + "\" " + Quote(temp / "in.xml") + " " +
                         Quote(temp / "Config.dll") + " " + Quote(temp / "wrapped.dll")),
              0);
    for (const char* name : {"Config.dll", "wrapped.dll"}) {
        std::string out;
        EXPECT_EQ(RunCommand(Admin("decode-settings " + Quote(temp / name)), &out), 0) << name;
        EXPECT_EQ(out, SampleXml()) << name;
    }
}

TEST(AdminSettings, EncodedFileDecodesInPython) {
    TTempFolder temp;
    WriteFileBytes(temp / "in.xml", SampleXml());
    ASSERT_EQ(
        RunCommand(Admin("encode-settings " + Quote(temp / "in.xml") + " " + Quote(temp / "Config.qel"))), 0);
    std::string encoded = ReadFileBytes(temp / "Config.qel");
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos) << "no line breaks";

    std::string out;
    ASSERT_EQ(
        RunCommand("python3 -c \"import base64,zlib,sys; d=base64.b64decode(open(sys.argv[1],'rb').read(), "
                   "validate=True); sys.stdout.buffer.write(d[:3]+zlib.decompress(d[3:]))\" " +
                       Quote(temp / "Config.qel"),
                   &out),
        0);
    EXPECT_EQ(out, "xyz" + SampleXml());

    // And our own decoder gives the bytes back unchanged.
    ASSERT_EQ(RunCommand(Admin("decode-settings " + Quote(temp / "Config.qel")), &out), 0);
    EXPECT_EQ(out, SampleXml());

    // Encoding again over an existing file replaces it.
    WriteFileBytes(temp / "in.xml", "<Config/>");
    ASSERT_EQ(
        RunCommand(Admin("encode-settings " + Quote(temp / "in.xml") + " " + Quote(temp / "Config.qel"))), 0);
    ASSERT_EQ(RunCommand(Admin("decode-settings " + Quote(temp / "Config.qel")), &out), 0);
    EXPECT_EQ(out, "<Config/>");
}

TEST(AdminSettings, Md5MatchesMd5sum) {
    TTempFolder temp;
    WriteFileBytes(temp / "package.zip", SampleXml() + std::string("\0\xff\x01", 3));
    std::string ours, peer;
    ASSERT_EQ(RunCommand(Admin("md5 " + Quote(temp / "package.zip")), &ours), 0);
    ASSERT_EQ(RunCommand("md5sum " + Quote(temp / "package.zip") + " | cut -c1-32 | tr a-f A-F", &peer), 0);
    EXPECT_EQ(ours, peer);
    EXPECT_EQ(ours.size(), 33u);
}

TEST(AdminSettings, UsageErrorsExitTwo) {
    for (const char* args : {"encode-settings", "encode-settings a.xml", "encode-settings a b c",
                             "decode-settings", "decode-settings a b", "md5", "md5 a b"}) {
        std::string out;
        EXPECT_EQ(RunCommand(Admin(args) + " 2>&1", &out), 2) << args;
        EXPECT_NE(
            out.find("usage: brindle-admin " + std::string(args).substr(0, std::string(args).find(' '))),
            std::string::npos)
            << out;
    }
}

TEST(AdminSettings, FailuresExitOneWithAMessage) {
    TTempFolder temp;
    WriteFileBytes(temp / "in.xml", SampleXml());
    WriteFileBytes(temp / "notbase64.dll", "this is not base64!");
    WriteFileBytes(temp / "notzlib.dll", "eHl6bm90IHpsaWI="); // "xyznot zlib"
    WriteFileBytes(temp / "short.dll", "eHk=");               // "xy"
    // A stream cut in the middle.
    ASSERT_EQ(RunCommand(Admin("encode-settings " + Quote(temp / "in.xml") + " " + Quote(temp / "full.dll"))),
              0);
    std::string full = ReadFileBytes(temp / "full.dll");
    WriteFileBytes(temp / "cut.dll", full.substr(0, full.size() / 8 * 4));
    struct Case {
        std::string args;
        std::string message;
    } cases[] = {
        {"decode-settings " + Quote(temp / "missing.dll"), "cannot read"},
        {"decode-settings " + Quote(temp.Path()), "cannot read"},
        {"decode-settings " + Quote(temp / "notbase64.dll"), "is not Base64"},
        {"decode-settings " + Quote(temp / "notzlib.dll"), "zlib"},
        {"decode-settings " + Quote(temp / "short.dll"), "too short"},
        {"decode-settings " + Quote(temp / "cut.dll"), "zlib"},
        {"encode-settings " + Quote(temp / "missing.xml") + " " + Quote(temp / "out.dll"), "cannot read"},
        {"encode-settings " + Quote(temp / "in.xml") + " " + Quote(temp / "no/such/out.dll"), "cannot write"},
        {"md5 " + Quote(temp / "missing.zip"), "cannot read"},
        {"md5 " + Quote(temp.Path()), "cannot read"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(RunCommand(Admin(c.args) + " 2>&1", &out), 1) << c.args;
        EXPECT_NE(out.find("brindle-admin: "), std::string::npos) << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << ": " << out;
    }
    EXPECT_FALSE(std::filesystem::exists(temp / "out.dll"));
    // Nothing but the inputs is left behind: no partial or temporary files.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(temp.Path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 6);
}
