#include "UTestSupport.h"
#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsIniFile.h"
#include "UdsXMLParser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

// Points XDG_CONFIG_HOME (and HOME) at a temporary folder for the test's lifetime.
class TConfigHome {
public:
    TConfigHome() : oldConfig_(Get("XDG_CONFIG_HOME")), oldHome_(Get("HOME")) {
        setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
        setenv("HOME", (folder_ / "home").c_str(), 1);
    }
    ~TConfigHome() {
        Restore("XDG_CONFIG_HOME", oldConfig_);
        Restore("HOME", oldHome_);
    }
    const TTempFolder& Folder() const { return folder_; }

private:
    static std::optional<std::string> Get(const char* name) {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    TTempFolder folder_;
    std::optional<std::string> oldConfig_, oldHome_;
};

// The encoded settings form, produced by Python's base64 and zlib rather than our own helpers.
// With wrap the Base64 text is cut into CR LF separated lines.
std::string PythonEncode(const TTempFolder& dir, const std::string& xmlBytes, bool wrap = false) {
    WriteFileBytes(dir / "plain.xml", xmlBytes);
    std::string out;
    std::string script = wrap ? "import base64,zlib,sys; d=open(sys.argv[1],'rb').read(); "
                                "sys.stdout.write(base64.encodebytes(b'xyz'+zlib.compress(d)).decode()"
                                ".replace('\\n','\\r\\n'))"
                              : "import base64,zlib,sys; d=open(sys.argv[1],'rb').read(); "
                                "sys.stdout.write(base64.b64encode(b'xyz'+zlib.compress(d)).decode())";
    EXPECT_EQ(RunCommand("python3 -c \"" + script + "\" '" + dir / "plain.xml" + "'", &out), 0);
    return out;
}

std::string OwnEncode(const std::string& xml) {
    return TdsIOUtils::Base64Encode("abc" + TdsIOUtils::ZipText(xml));
}

} // namespace

TEST(XMLParser, LoadFromXMLNormalisesText) {
    TdsXMLParser parser;
    std::string error;
    parser.FileName = "old.xml";

    ASSERT_TRUE(parser.LoadFromXML("  \r\n ", error)) << error;
    EXPECT_EQ(parser.Root.NodeName(), "Root");
    EXPECT_EQ(parser.Root.ChildCount(), 0);
    EXPECT_EQ(parser.Document.Encoding(), "GBK");
    EXPECT_EQ(parser.Document.Version(), "1.0");
    EXPECT_EQ(parser.FileName, "");

    // Without declaration: one with version 1.0 and encoding GBK is added, and saved.
    TTempFolder dir;
    ASSERT_TRUE(parser.LoadFromXML("<A><B>1</B></A>", error)) << error;
    EXPECT_EQ(parser.FindNode("B").Text(), "1");
    ASSERT_TRUE(parser.SaveToFile(dir / "a.xml"));
    std::string saved = ReadFileBytes(dir / "a.xml");
    EXPECT_EQ(saved.rfind("<?xml version=\"1.0\" encoding=\"GBK\"?>", 0), 0u) << saved;
    EXPECT_NE(saved.find("<A><B>1</B></A>"), std::string::npos) << saved;

    // The declared name is kept even though the text is read as UTF-8; the lower-case
    // declaration start counts as a declaration.
    ASSERT_TRUE(parser.LoadFromXML(
        "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<报文 名=\"值\">纳税人</报文>", error))
        << error;
    EXPECT_EQ(parser.Document.Encoding(), "gb2312");
    EXPECT_EQ(parser.Root.NodeName(), "报文");
    EXPECT_EQ(parser.Root.Text(), "纳税人");
    EXPECT_EQ(parser.Root.Attribute("名"), "值");

    // No encoding in the declaration: an attribute of that name in the content is not taken for it.
    ASSERT_TRUE(parser.LoadFromXML("<?xml version=\"1.0\"?><a encoding=\"bogus\"/>", error)) << error;
    EXPECT_EQ(parser.Document.Encoding(), "");
    ASSERT_TRUE(parser.SaveToFile(dir / "b.xml"));
    EXPECT_EQ(ReadFileBytes(dir / "b.xml").rfind("<?xml version=\"1.0\"?>", 0), 0u);
}

TEST(XMLParser, BadTextFailsWithTheParserMessageAndNothingOnStderr) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    const std::string cases[] = {
        "<A><B></A>",
        "<A>",
        "plain words",
        "<A/><B/>",
        "<A>\xFF\xFE</A>",
        "<?xml version=\"1.0\"?>",
        deep,
        "<!DOCTYPE a [<!ENTITY a \"&a;\">]><a>&a;</a>",
    };
    for (const std::string& text : cases) {
        TdsXMLParser parser;
        std::string error;
        ASSERT_TRUE(parser.LoadFromXML("<Old/>", error));
        testing::internal::CaptureStderr();
        bool ok = parser.LoadFromXML(text, error);
        std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ok) << text.substr(0, 60);
        EXPECT_FALSE(error.empty()) << text.substr(0, 60);
        EXPECT_TRUE(parser.Document.IsNull());
        EXPECT_TRUE(parser.Root.IsNull());
        EXPECT_EQ(printed, "");
    }
    TdsXMLParser parser;
    std::string error;
    EXPECT_FALSE(parser.LoadFromXML("<A><B></A>", error));
    EXPECT_NE(error.find("mismatch"), std::string::npos) << error;
}

TEST(XMLParser, LoadFromFileReadsDeclaredEncodingAndRefusesExternalEntities) {
    TTempFolder dir;
    TdsXMLParser parser;
    std::string error;
    WriteFileBytes(dir / "gbk.xml", "<?xml version=\"1.0\" encoding=\"GBK\"?><A><B>" +
                                        TdsEncoding::Utf8ToAnsi("增值税发票") + "</B></A>");
    ASSERT_TRUE(parser.LoadFromFile(dir / "gbk.xml", error)) << error;
    EXPECT_EQ(parser.FileName, dir / "gbk.xml");
    EXPECT_EQ(parser.FindNode("B").Text(), "增值税发票");
    EXPECT_EQ(parser.Document.Encoding(), "GBK");

    EXPECT_FALSE(parser.LoadFromFile(dir / "missing.xml", error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(parser.Root.IsNull());

    WriteFileBytes(dir / "secret.txt", "TOPSECRET");
    WriteFileBytes(dir / "xxe.xml", "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x SYSTEM \"file://" +
                                        dir / "secret.txt" + "\">]><a>[&x;]</a>");
    ASSERT_TRUE(parser.LoadFromFile(dir / "xxe.xml", error)) << error;
    EXPECT_EQ(parser.Root.Text().find("TOPSECRET"), std::string::npos) << parser.Root.Text();
    EXPECT_EQ(parser.Root.XML().find("TOPSECRET"), std::string::npos);
}

TEST(XMLParser, SaveUnderGbkIsReadBackByIconv) {
    TTempFolder dir;
    TdsXMLParser parser;
    std::string error;
    ASSERT_TRUE(parser.LoadFromXML(
        "<?xml version=\"1.0\" encoding=\"GBK\"?><报文><名称 类=\"增&amp;值\">纳税人识别号</名称></报文>",
        error))
        << error;
    ASSERT_TRUE(parser.SaveToFile(dir / "gbk.xml"));
    std::string bytes = ReadFileBytes(dir / "gbk.xml");
    EXPECT_NE(bytes.find(TdsEncoding::Utf8ToAnsi("纳税人识别号")), std::string::npos);
    std::string converted;
    ASSERT_EQ(RunCommand("iconv -f GBK -t UTF-8 '" + dir / "gbk.xml" + "'", &converted), 0);
    EXPECT_EQ(converted.rfind("<?xml version=\"1.0\" encoding=\"GBK\"?>", 0), 0u) << converted;
    EXPECT_NE(converted.find("<报文><名称 类=\"增&amp;值\">纳税人识别号</名称></报文>"), std::string::npos)
        << converted;

    TdsXMLParser again;
    ASSERT_TRUE(again.LoadFromFile(dir / "gbk.xml", error)) << error;
    EXPECT_EQ(again.FindNode("名称").Text(), "纳税人识别号");
    EXPECT_EQ(again.FindNode("名称").Attribute("类"), "增&值");

    // Another encoding for one write; the document's own comes back afterwards.
    ASSERT_TRUE(parser.SaveToFile("UTF-8", dir / "utf8.xml"));
    std::string utf8 = ReadFileBytes(dir / "utf8.xml");
    EXPECT_NE(utf8.find("encoding=\"UTF-8\""), std::string::npos);
    EXPECT_NE(utf8.find("纳税人识别号"), std::string::npos);
    EXPECT_EQ(parser.Document.Encoding(), "GBK");

    // A character GBK cannot hold is written as a character reference, not lost.
    parser.FindNode("名称").SetText("票😀");
    ASSERT_TRUE(parser.SaveToFile(dir / "emoji.xml"));
    ASSERT_TRUE(again.LoadFromFile(dir / "emoji.xml", error)) << error;
    EXPECT_EQ(again.FindNode("名称").Text(), "票😀");
    bytes = ReadFileBytes(dir / "gbk.xml");

    // An unknown encoding cannot be written: false, the old file stays, the encoding comes back.
    EXPECT_FALSE(parser.SaveToFile("NO-SUCH-CHARSET", dir / "gbk.xml"));
    EXPECT_EQ(ReadFileBytes(dir / "gbk.xml"), bytes);
    EXPECT_EQ(parser.Document.Encoding(), "GBK");
}

TEST(XMLParser, SaveReplacesTheFileAndRefusesBlankNames) {
    TTempFolder dir;
    TdsXMLParser parser;
    std::string error;
    ASSERT_TRUE(parser.NewDocument(dir / "new.xml", "Config", error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(parser.Document.Encoding(), "GBK");
    EXPECT_EQ(parser.Document.Version(), "1.0");
    EXPECT_EQ(parser.Root.NodeName(), "Config");

    WriteFileBytes(dir / "new.xml", std::string(5000, 'x'));
    ASSERT_TRUE(parser.Save());
    std::string saved = ReadFileBytes(dir / "new.xml");
    EXPECT_EQ(saved, "<?xml version=\"1.0\" encoding=\"GBK\"?>\n<Config/>\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1); // no temporary left

    for (const char* name : {"", "   "}) {
        try {
            parser.SaveToFile("UTF-8", name);
            ADD_FAILURE() << "no error for '" << name << "'";
        } catch (const EdsError& e) {
            EXPECT_STREQ(e.what(), "未指定XML的文件名！");
        }
    }
    EXPECT_EQ(parser.Document.Encoding(), "GBK");
    parser.FileName = "";
    EXPECT_THROW(parser.Save(), EdsError);

    // A folder that does not exist, or a folder in place of the file: false.
    EXPECT_FALSE(parser.SaveToFile(dir / "no/such/folder.xml"));
    std::filesystem::create_directory(dir / "sub");
    EXPECT_FALSE(parser.SaveToFile(dir / "sub"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "sub"));

    EXPECT_FALSE(parser.NewDocument(dir / "x.xml", "a b", error));
    EXPECT_FALSE(error.empty());
    TdsXMLParser empty;
    EXPECT_FALSE(empty.SaveToFile(dir / "empty.xml"));
}

TEST(XMLParser, PathLookup) {
    TdsXMLParser parser;
    std::string error;
    ASSERT_TRUE(parser.LoadFromXML("<X>\n  <RESPONSE>\n    <RESULT>ok</RESULT>\n    <DATA>"
                                   "<Item id=\"1\"><Key>k1</Key>a</Item><Other/>"
                                   "<Item id=\"2\"><Key>k2</Key>c</Item><item id=\"3\"/></DATA>"
                                   "</RESPONSE>\n</X>",
                                   error))
        << error;
    TdsXMLNode response = parser.Root.ChildNodes().at(0);
    TdsXMLNode result = response.ChildNodes().at(0);
    std::vector<TdsXMLNode> data = response.ChildNodes().at(1).ChildNodes();
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(result.Text(), "ok");

    struct Case {
        const char* path;
        bool ignoreCase;
        TdsXMLNode expected;
    } cases[] = {
        {"RESPONSE/RESULT", true, result},
        {"/RESPONSE/RESULT", true, result},
        {"response/result", true, result},
        {"response/result", false, TdsXMLNode()},
        {"X/RESPONSE", true, TdsXMLNode()}, // the document element's own name is not a step
        {"", true, parser.Root},
        {"/", true, parser.Root},
        {"RESPONSE/NONE/RESULT", true, TdsXMLNode()},
        {"RESPONSE/DATA/Item", true, data[0]},
        {"RESPONSE/DATA/item", false, data[3]},
        {"RESPONSE/DATA/Item[position()=2]", true, data[1]}, // whatever its name
        {"RESPONSE/DATA/Item[POSITION()=4]", true, data[3]},
        {"RESPONSE/DATA/Item[position()=x]", true, data[0]}, // not a number counts as 1
        {"RESPONSE/DATA/Item[position()=9]", true, TdsXMLNode()},
        {"RESPONSE/DATA/Item[@id='2']", true, data[2]},
        {"RESPONSE/DATA/Other[@id=\"3\"]", true, data[3]}, // the name is not compared
        {"RESPONSE/DATA/Item[@id=7]", true, TdsXMLNode()},
        {"RESPONSE/DATA/Item[Key=\"k2\"]", true, data[2]},
        {"RESPONSE/DATA/Item[key='k2']", true, data[2]}, // the key step follows the flag
        {"RESPONSE/DATA/Item[key='k2']", false, TdsXMLNode()},
        {"RESPONSE/DATA/ITEM[Key=k2]", true, TdsXMLNode()}, // the name of a child-key step is exact
        {"RESPONSE/DATA/Item[Key=k3]", true, TdsXMLNode()},
    };
    for (const Case& c : cases) {
        TdsXMLNode found = parser.FindNode(c.path, c.ignoreCase);
        EXPECT_TRUE(found == c.expected) << c.path << " ignoreCase=" << c.ignoreCase << " found "
                                         << found.NodeName() << " " << found.Attribute("id");
    }
    EXPECT_TRUE(parser.FindNode("response/RESULT") == result); // ignore-case is the default
    EXPECT_TRUE(FindChildNode(data[0].ParentNode(), "Item[position()=2]", false) == data[1]);
    EXPECT_TRUE(FindNodeByPath(response, "DATA/Item[@id=2]/Key", true) == data[2].ChildNodes()[0]);
    EXPECT_TRUE(FindNodeByPath(TdsXMLNode(), "A", true).IsNull());
    TdsXMLParser empty;
    EXPECT_TRUE(empty.FindNode("A").IsNull());
}

TEST(XMLParser, UpperCaseTags) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"GBK\"?><resultValue a=\"x\">ok</resultValue>",
         "<RESULTVALUE A=\"x\">ok</RESULTVALUE>"},
        // The ">" inside b's value ends the markup state, so c keeps its case.
        {"<a b=\"x>y\" c=\"z\">t</a>", "<A B=\"x>y\" c=\"z\">t</A>"},
        // Everything through the last "?>" goes.
        {"<?xml version=\"1.0\"?><?pi x?><r>v</r>", "<R>v</R>"},
        {"<r k=\"mixed Case\">中文 text</r>", "<R K=\"mixed Case\">中文 text</R>"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UpperCaseTags(c.in), c.out) << c.in;

    // The upper-cased answer parses once the GBK declaration is added.
    TdsXMLParser parser;
    std::string error;
    ASSERT_TRUE(parser.LoadFromXML(UpperCaseTags("<?xml version=\"1.0\" encoding=\"GBK\"?>"
                                                 "<response><result><resultValue a=\"x\">成功</resultValue>"
                                                 "</result></response>"),
                                   error))
        << error;
    TdsXMLNode value = parser.FindNode("RESULT/RESULTVALUE", false);
    EXPECT_EQ(value.Text(), "成功");
    EXPECT_EQ(value.Attribute("A"), "x");
    EXPECT_EQ(parser.Document.Encoding(), "GBK");
}

TEST(XMLParser, BuildingNodes) {
    TdsXMLParser parser;
    std::string error;
    ASSERT_TRUE(parser.NewDocument("", "Request", error));
    TdsXMLNode head = parser.AddChild("Head");
    TdsXMLNode code = parser.AddChild(head, "Code", std::string("<1&2>"));
    TdsXMLNode empty = parser.AddChild(head, "Empty");
    parser.AddChild(parser.Root, "Body", "正文");
    code.SetAttribute("kind", "a\"b");
    EXPECT_EQ(parser.Root.XML(),
              "<Request><Head><Code kind=\"a&quot;b\">&lt;1&amp;2&gt;</Code><Empty/></Head>"
              "<Body>正文</Body></Request>");
    EXPECT_EQ(parser.FindNode("Head/Code").Text(), "<1&2>");
    EXPECT_EQ(parser.FindNode("Head/Code").Attribute("kind"), "a\"b");
    EXPECT_FALSE(empty.HasAttribute("kind"));
    EXPECT_EQ(empty.Attribute("kind"), "");
    EXPECT_TRUE(parser.AddChild(TdsXMLNode(), "X").IsNull());
    EXPECT_TRUE(parser.AddChild(head, "bad name").IsNull());
    EXPECT_TRUE(parser.AddChild(head, "").IsNull());
    EXPECT_EQ(head.ChildCount(), 2);
    EXPECT_TRUE(code.ParentNode() == head);

    std::string document = parser.Document.XML();
    EXPECT_EQ(document.rfind("<?xml version=\"1.0\" encoding=\"GBK\"?>\n<Request>", 0), 0u) << document;
    EXPECT_NE(document.find("<Body>正文</Body>"), std::string::npos) << document;

    TdsXMLParser reread;
    ASSERT_TRUE(reread.LoadFromXML(document, error)) << error;
    EXPECT_EQ(reread.FindNode("Head/Code").Text(), "<1&2>");
}

TEST(XMLParser, NodesOutliveTheirParserAndClonesAreIndependent) {
    TdsXMLNode options, clone, child;
    {
        TdsXMLParser parser;
        std::string error;
        ASSERT_TRUE(parser.LoadFromXML(
            "<R><Region Code=\"37\"><Options><A>1</A><B>2</B></Options></Region></R>", error));
        options = parser.FindNode("Region/Options");
        child = options.ChildNodes()[0];
        clone = options.Clone();
        clone.ChildNodes()[1].SetText("changed");
        EXPECT_EQ(options.ChildNodes()[1].Text(), "2");
        // Replacing the content of a node leaves handles on its former children usable.
        options.SetText("flat");
    }
    EXPECT_EQ(options.Text(), "flat");
    EXPECT_EQ(options.ChildCount(), 0);
    EXPECT_EQ(child.NodeName(), "A");
    EXPECT_EQ(child.Text(), "1");
    EXPECT_EQ(clone.NodeName(), "Options");
    EXPECT_TRUE(clone.ParentNode().IsNull());
    EXPECT_TRUE(clone.OwnerDocument().DocumentElement() == clone);
    EXPECT_EQ(clone.OwnerDocument().Encoding(), "GBK");
    EXPECT_EQ(clone.XML(), "<Options><A>1</A><B>changed</B></Options>");
}

TEST(XMLParser, LoadEncodedXMLOfPythonProducedText) {
    TTempFolder dir;
    TRecordingDialogs dialogs;
    const std::string xml = "<?xml version=\"1.0\" encoding=\"GBK\"?><Product Version=\"2.1\"><AppTitle>" +
                            TdsEncoding::Utf8ToAnsi("增值税申报客户端") +
                            "</AppTitle><Copyright>Brindle</Copyright></Product>";
    for (bool wrap : {false, true}) {
        std::string encoded = PythonEncode(dir, xml, wrap);
        ASSERT_FALSE(encoded.empty());
        if (wrap) {
            ASSERT_NE(encoded.find("\r\n"), std::string::npos);
        }
        TdsXMLNode root = LoadEncodedXML(encoded);
        ASSERT_FALSE(root.IsNull()) << "wrap=" << wrap;
        EXPECT_EQ(root.NodeName(), "Product");
        EXPECT_EQ(root.Attribute("Version"), "2.1");
        EXPECT_EQ(FindChildNode(root, "AppTitle", true).Text(), "增值税申报客户端");
    }
    WriteFileBytes(dir / "Config.dll", PythonEncode(dir, xml));
    EXPECT_EQ(FindChildNode(LoadEncodedXMLFile(dir / "Config.dll"), "Copyright", true).Text(), "Brindle");
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST(XMLParser, LoadEncodedXMLOfDamagedTextGivesNothingSilently) {
    TRecordingDialogs dialogs;
    const std::string zipped = TdsIOUtils::ZipText("<a>1</a>");
    const std::string cases[] = {
        "",
        "not Base64 at all!",
        TdsIOUtils::Base64Encode("xy"),                                        // shorter than the 3 bytes
        TdsIOUtils::Base64Encode("xyz" + std::string("no zlib stream")),       // not zlib
        TdsIOUtils::Base64Encode("xyz" + zipped.substr(0, zipped.size() - 5)), // truncated stream
        TdsIOUtils::Base64Encode(zipped),                                      // missing the 3 bytes
        OwnEncode("<a><b></a>"),                                               // not XML
        OwnEncode(""),
    };
    testing::internal::CaptureStderr();
    for (const std::string& text : cases)
        EXPECT_TRUE(LoadEncodedXML(text).IsNull()) << text;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(LoadEncodedXMLFile("/nonexistent/Config.qel").IsNull());
    EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
    EXPECT_EQ(LoadEncodedXML(OwnEncode("<a>1</a>")).Text(), "1");
}

TEST(XMLParser, FindRegion) {
    TConfigHome home;
    TTempFolder base;
    WriteFileBytes(base / "Config.qel",
                   OwnEncode("<?xml version=\"1.0\" encoding=\"GBK\"?><Config><General><RunMode>1</RunMode>"
                             "</General><Regions><Region Code=\"NOID\"/><Region ID=\"\" Code=\"EMPTY\"/>"
                             "<Region ID=\"11\" Code=\"BJ\"><Options><Port>80</Port>"
                             "</Options></Region><Region ID=\"110\" Code=\"BJ2\"/><Region ID=\"37\" "
                             "Code=\"SD\"/></Regions></Config>"));
    ASSERT_TRUE(WriteTaxDeptCode("91370100MA3C12345X", "13701000000"));
    ASSERT_TRUE(WriteTaxDeptCode("91110000000000000Y", "1"));

    struct Case {
        const char* taxpayer;
        const char* code; // "" when no entry fits
    } cases[] = {
        {"110101000000001", "BJ"}, // 15 characters: the first matching entry wins
        {"370101000000001", "SD"},
        {"91370100MA3C12345X", "SD"}, // long: characters 2..4 of the tax-authority code, "370"
        {"91110000000000000Y", ""},   // a code too short to hold a region
        {"91440000000000000Z", ""},   // no code stored
        {"440101000000001", ""},      // entries without an ID match nobody
    };
    for (const Case& c : cases) {
        TRecordingDialogs dialogs;
        TdsXMLNode region = FindRegion(base.Path(), c.taxpayer);
        if (*c.code) {
            EXPECT_EQ(region.Attribute("Code"), c.code) << c.taxpayer;
            EXPECT_EQ(dialogs.Count(), 0u) << dialogs.Transcript();
        } else {
            EXPECT_TRUE(region.IsNull()) << c.taxpayer;
            ASSERT_EQ(dialogs.Count(), 1u) << dialogs.Transcript();
            EXPECT_EQ(dialogs.Boxes()[0].kind, "error");
            EXPECT_EQ(dialogs.Boxes()[0].text, "无法确定纳税人识别号对应的区域！");
        }
    }
    // The entry keeps its document: its Options survive as a copy.
    TdsXMLNode options = FindChildNode(FindRegion(base.Path(), "110101000000001"), "Options", false).Clone();
    EXPECT_EQ(options.XML(), "<Options><Port>80</Port></Options>");

    TTempFolder noFile;
    WriteFileBytes(noFile / "Config.qel", "damaged");
    for (const std::string& folder : {noFile.Path(), std::string("/nonexistent/")}) {
        TRecordingDialogs dialogs;
        EXPECT_TRUE(FindRegion(folder, "110101000000001").IsNull());
        ASSERT_EQ(dialogs.Count(), 1u);
        EXPECT_EQ(dialogs.Boxes()[0].kind, "error");
        EXPECT_EQ(dialogs.Boxes()[0].text, "无效的区域配置文件！");
    }
}

TEST(XMLParser, TaxDeptCodeStore) {
    TConfigHome home;
    EXPECT_EQ(TaxDeptCodeFile(), home.Folder() / "config/Brindle/TaxDeptCode.ini");
    EXPECT_EQ(ReadTaxDeptCode("91370100MA3C12345X"), ""); // no file

    ASSERT_TRUE(WriteTaxDeptCode("91370100MA3C12345X", "13701000000"));
    ASSERT_TRUE(WriteTaxDeptCode("91370100MA3C99999Y", "济南"));
    EXPECT_EQ(ReadTaxDeptCode("91370100MA3C12345X"), "13701000000");
    EXPECT_EQ(ReadTaxDeptCode("91370100MA3C99999Y"), "济南");
    EXPECT_EQ(ReadTaxDeptCode("91370100MA3C00000Z"), "");

    // The stored form: Base64 of the code's CP936 bytes under [TaxDeptCode].
    TdsIniFile ini(TaxDeptCodeFile());
    EXPECT_EQ(ini.ReadString("TaxDeptCode", "91370100MA3C12345X", ""),
              TdsIOUtils::Base64Encode("13701000000"));
    EXPECT_EQ(ini.ReadString("TaxDeptCode", "91370100MA3C99999Y", ""),
              TdsIOUtils::Base64Encode(TdsEncoding::Utf8ToAnsi("济南")));
    ini.WriteString("TaxDeptCode", "91370100MA3C12345X", "**not base64**");
    ini.WriteString("Other", "91370100MA3C00000Z", TdsIOUtils::Base64Encode("1"));
    ASSERT_TRUE(ini.UpdateFile());
    EXPECT_EQ(ReadTaxDeptCode("91370100MA3C12345X"), "");
    EXPECT_EQ(ReadTaxDeptCode("91370100MA3C00000Z"), ""); // another section does not count

    // Without XDG_CONFIG_HOME the file lives under ~/.config.
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(TaxDeptCodeFile(), home.Folder() / "home/.config/Brindle/TaxDeptCode.ini");
    ASSERT_TRUE(WriteTaxDeptCode("91370100MA3C12345X", "137"));
    EXPECT_TRUE(std::filesystem::exists(home.Folder() / "home/.config/Brindle/TaxDeptCode.ini"));
    EXPECT_EQ(ReadTaxDeptCode("91370100MA3C12345X"), "137");
}
