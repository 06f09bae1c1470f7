// The ".vtd" file forms: the binary table stream (byte fixtures built from the layout) and the XML rowset.
#include "UTableStreamBytes.h"
#include "UTestSupport.h"
#include "UVirtualTable.h"
#include "UVirtualTableEntities.h"
#include "UdsExceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <sstream>

// The largest single allocation while tracking is on, to show that a claimed length is checked
// before anything is reserved for it.
namespace {
std::atomic<bool> gTrack{false};
std::atomic<size_t> gLargest{0};
} // namespace

namespace {
void* TrackedAlloc(size_t n) {
    if (gTrack.load(std::memory_order_relaxed) && n > gLargest.load(std::memory_order_relaxed))
        gLargest.store(n, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
} // namespace

// Every plain form is replaced, so each allocation is freed by its own kind.
void* operator new(size_t n) {
    if (void* p = TrackedAlloc(n))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) {
    return operator new(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return TrackedAlloc(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return TrackedAlloc(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

const std::string kZeroDefinitions("\x03\x00"
                                   "\x00\x00"
                                   "\x00\x00"
                                   "\x00\x00\x00\x00",
                                   10);

// Two text columns, the second with a Chinese name and an attribute word; Chinese, empty and ASCII values.
const std::string kChinese = U16(3) + U16(2) + Def("CMDRequest", 1, 200, 0) +
                             Def("\xB1\xB8\xD7\xA2", 1, 100, 2) + U16(0) + U32(3) + Val("00 84 00 00 08") +
                             Val("\xD6\xB8\xC1\xEE\xB2\xBB\xCF\xEA") + Val("") + Val("") + Val("fc") +
                             Val("\xD6\xD0");

// Every non-text width, wide text and an unknown type code; the second record has empty values and
// an integer of the wrong width.
const std::string kTypes =
    U16(3) + U16(8) + Def("N", ftInteger, 0, 0) + Def("F", ftFloat, 0, 0) + Def("B", ftBoolean, 0, 0) +
    Def("L", ftLargeint, 0, 0) + Def("S", ftSmallint, 0, 0) + Def("W", ftWord, 0, 0) +
    Def("X", 0x1234, 7, 0xDEADBEEF) + Def("WS", ftWideString, 20, 0) + U16(0) + U32(2) +
    // record 1
    Val("\xFE\xFF\xFF\xFF") + Val(std::string("\x00\x00\x00\x00\x00\x00\xF8\x3F", 8)) + Val("\xFF\xFF") +
    Val("\x08\x07\x06\x05\x04\x03\x02\x01") + Val("\xFF\x7F") + Val("\xFF\xFF") +
    Val(std::string("\x00\x01\xFF", 3)) + Val(std::string("\x2D\x4E\x61\x00", 4)) +
    // record 2
    Val("\x01\x02\x03") + Val("") + Val(std::string("\x00\x00", 2)) + Val("") + Val("") + Val("") + Val("") +
    Val("");

std::string Save(const TVirtualTable& t) {
    std::string bytes;
    t.SaveToStream(bytes);
    return bytes;
}

} // namespace

TEST(VirtualTableStream, ZeroDefinitions) {
    TVirtualTable t;
    t.Open();
    EXPECT_EQ(Save(t), kZeroDefinitions);
    t.LoadFromStream(kZeroDefinitions);
    EXPECT_TRUE(t.Active());
    EXPECT_EQ(t.FieldCount(), 0);
    EXPECT_EQ(t.RecordCount(), 0);
}

TEST(VirtualTableStream, ChineseAndEmptyTextValues) {
    TVirtualTable t;
    t.LoadFromStream(kChinese);
    ASSERT_EQ(t.FieldCount(), 2);
    EXPECT_EQ(t.FieldDef(1), (TdsFieldDef{"备注", 1, 100, 2}));
    ASSERT_EQ(t.RecordCount(), 3);
    EXPECT_EQ(t.Value(0, 0), TdsValue::Text("00 84 00 00 08"));
    EXPECT_EQ(t.Value(0, 1), TdsValue::Text("指令不详"));
    EXPECT_EQ(t.Value(1, 0), TdsValue::Text("")); // empty reads as empty text
    EXPECT_EQ(t.Value(2, 1), TdsValue::Text("中"));
    EXPECT_EQ(Save(t), kChinese);

    // The same table built in code writes the same bytes; a null text is written like an empty one.
    TVirtualTable built;
    built.AddField("CMDRequest", ftString, 200);
    built.AddField("备注", ftString, 100, 2);
    built.Open();
    built.AppendRecord({TdsValue::Text("00 84 00 00 08"), TdsValue::Text("指令不详")});
    built.AppendRecord({TdsValue::Null(), TdsValue::Text("")});
    built.AppendRecord({TdsValue::Text("fc"), TdsValue::Text("中")});
    EXPECT_EQ(Save(built), kChinese);

    std::stringstream stream;
    built.SaveToStream(stream);
    EXPECT_EQ(stream.str(), kChinese);
    TVirtualTable fromStream;
    fromStream.LoadFromStream(stream);
    EXPECT_EQ(fromStream.Value(0, 1), TdsValue::Text("指令不详"));
}

TEST(VirtualTableStream, BytesThatAreNoCp936AreKeptOnRewrite) {
    // A lone lead byte, a byte CP936 never uses, and a lead byte without its trail byte at the end.
    const std::string odd = "\xFF\x80\xA1"
                            "abc\x81";
    const std::string stream =
        U16(3) + U16(1) + Def("CMDResponse", 1, 200, 0) + U16(0) + U32(2) + Val(odd) + Val("\xD6\xD0");
    TVirtualTable t;
    t.LoadFromStream(stream);
    EXPECT_EQ(t.Value(0, 0).AsBytes(), odd);
    EXPECT_EQ(t.Value(1, 0), TdsValue::Text("中"));
    EXPECT_EQ(Save(t), stream);
}

TEST(VirtualTableStream, NonTextTypesAndUnknownCodesAreKeptOnRewrite) {
    TVirtualTable t;
    t.LoadFromStream(kTypes);
    ASSERT_EQ(t.FieldCount(), 8);
    EXPECT_EQ(t.FieldDef(6), (TdsFieldDef{"X", 0x1234, 7, 0xDEADBEEF}));
    EXPECT_EQ(t.Value(0, 0), TdsValue::Integer(-2));
    EXPECT_EQ(t.Value(0, 1), TdsValue::Float(1.5));
    EXPECT_EQ(t.Value(0, 2), TdsValue::Boolean(true));
    EXPECT_EQ(t.Value(0, 3), TdsValue::Integer(0x0102030405060708));
    EXPECT_EQ(t.Value(0, 4), TdsValue::Integer(32767));
    EXPECT_EQ(t.Value(0, 5), TdsValue::Integer(65535));
    EXPECT_EQ(t.Value(0, 6), TdsValue::Block(std::string("\x00\x01\xFF", 3)));
    EXPECT_EQ(t.Value(0, 7), TdsValue::Text("中a"));
    // Zero-length non-text values read as null; a value of the wrong width is kept as its bytes.
    EXPECT_EQ(t.Value(1, 0), TdsValue::Block("\x01\x02\x03"));
    EXPECT_TRUE(t.Value(1, 1).IsNull());
    EXPECT_EQ(t.Value(1, 2), TdsValue::Boolean(false));
    EXPECT_TRUE(t.Value(1, 6).IsNull());
    EXPECT_EQ(t.Value(1, 7), TdsValue::Text(""));
    EXPECT_EQ(Save(t), kTypes);

    // Editing one value leaves the other columns' bytes as they were.
    t.First();
    t.Edit();
    t.FieldByName("N").SetAsInteger(7);
    t.Post();
    std::string expected = kTypes;
    size_t at = expected.find("\xFE\xFF\xFF\xFF");
    expected.replace(at, 4, std::string("\x07\x00\x00\x00", 4));
    EXPECT_EQ(Save(t), expected);
}

TEST(VirtualTableStream, BadStreamsAreRefusedAndLeaveTheTableEmpty) {
    const std::string head1 = U16(3) + U16(1) + Def("A", 1, 10, 0) + U16(0);
    struct Case {
        const char* name;
        std::string bytes;
        const char* detail;
    } cases[] = {
        {"empty", "", "too short"},
        {"one byte", "\x03", "too short"},
        {"version 2", U16(2) + kZeroDefinitions.substr(2), "unknown version 2"},
        {"text file", "hello, world", "unknown version"},
        {"truncated definition", U16(3) + U16(1) + U16(1) + "A" + U16(1) + U16(10) + std::string(3, '\0'),
         "ends inside the attribute word of column definition 1"},
        {"definition count too large", U16(3) + U16(1) + U16(1) + "A" + U16(1),
         "1 column definitions cannot fit"},
        {"name past the end", U16(3) + U16(1) + U16(0xFFFF) + "ABCDEFGHIJKL",
         "name of column definition 1 of 65535 bytes"},
        {"definitions cannot fit", U16(3) + U16(0xFFFF) + std::string(20, '\0'),
         "65535 column definitions cannot fit"},
        {"field list", U16(3) + U16(1) + Def("A", 1, 10, 0) + U16(2) + U32(0), "field list of 2 entries"},
        {"record count cannot fit", head1 + U32(0xFFFFFFFF) + Val("x"), "record count 4294967295 cannot fit"},
        {"records without columns", kZeroDefinitions.substr(0, 6) + U32(5), "record count 5 without column"},
        {"missing record count", head1.substr(0, head1.size() - 1), "ends inside the field list count"},
        {"value past the end", head1 + U32(2) + Val("abc") + U32(10) + "abc",
         "record 2, column 1 (A) of 10 bytes runs past"},
        {"value length cut", head1 + U32(2) + Val("abcd"),
         "ends inside the value length of record 2, column 1 (A)"},
        {"trailing bytes", kZeroDefinitions + "x", "1 unexpected bytes after the end"},
        {"trailing after records", kChinese + "zz", "2 unexpected bytes"},
    };
    TTempFolder folder;
    const std::string file = folder / "bad.vtd";
    for (const auto& c : cases) {
        // From memory and from a file (which is read in pieces): the same refusal.
        WriteFileBytes(file, c.bytes);
        for (bool fromFile : {false, true}) {
            TVirtualTable t;
            t.LoadFromStream(kChinese);
            try {
                if (fromFile)
                    t.LoadFromFile(file);
                else
                    t.LoadFromStream(c.bytes);
                ADD_FAILURE() << c.name << ": accepted";
            } catch (const EdsError& e) {
                std::string what = e.what();
                EXPECT_EQ(what.rfind("not a table stream: ", 0), 0u) << c.name << ": " << what;
                EXPECT_NE(what.find(c.detail), std::string::npos) << c.name << ": " << what;
            }
            EXPECT_FALSE(t.Active()) << c.name;
            EXPECT_EQ(t.FieldCount(), 0) << c.name;
            EXPECT_EQ(t.StoredRecordCount(), 0) << c.name;
        }
    }
}

TEST(VirtualTableStream, AHugeClaimedLengthIsRefusedWithoutAllocatingIt) {
    // A 1 GB value length in a file of about 100 bytes.
    std::string bytes =
        U16(3) + U16(1) + Def("A", ftBlob, 0, 0) + U16(0) + U32(1) + U32(0x40000000) + std::string(70, 'x');
    ASSERT_LT(bytes.size(), 100u);
    TTempFolder folder;
    WriteFileBytes(folder / "huge.vtd", bytes);
    for (bool fromFile : {false, true}) {
        TVirtualTable t;
        gLargest = 0;
        gTrack = true;
        EXPECT_THROW(fromFile ? t.LoadFromFile(folder / "huge.vtd") : t.LoadFromStream(bytes), EdsError);
        gTrack = false;
        EXPECT_LT(gLargest.load(), 4096u) << fromFile;
        EXPECT_EQ(t.FieldCount(), 0);
    }
}

TEST(VirtualTableStream, FilesAreReplacedWhole) {
    TTempFolder folder;
    const std::string file = folder / "KDR_Card.vtd";
    WriteFileBytes(file, "old contents");
    TVirtualTable t;
    t.LoadFromStream(kChinese);
    t.SaveToFile(file);
    EXPECT_EQ(ReadFileBytes(file), kChinese);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder.Path()))
        ++entries;
    EXPECT_EQ(entries, 1); // no temporary file is left beside it

    TVirtualTable loaded;
    loaded.LoadFromFile(file);
    EXPECT_EQ(loaded.Value(0, 1).AsString(), "指令不详");

    // A target that cannot be replaced (a folder) fails and leaves nothing behind.
    std::filesystem::create_directory(folder / "dir.vtd");
    EXPECT_THROW(t.SaveToFile(folder / "dir.vtd"), EdsError);
    entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder.Path()))
        ++entries;
    EXPECT_EQ(entries, 2);
    EXPECT_THROW(t.SaveToFile(folder / "no-such-folder/x.vtd"), EdsError);

    // Values larger than the read buffer, and many records, come back whole from a file.
    TVirtualTable big;
    big.AddField("B", ftBlob);
    big.AddField("T", ftString);
    big.Open();
    std::string blob(3 << 20, '\0');
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<char>(i * 7 + i / 4096);
    big.AppendRecord({TdsValue::Block(blob), TdsValue::Text("中")});
    for (int r = 0; r < 2000; ++r)
        big.AppendRecord({TdsValue::Block(std::string(r % 1500, 'x')), TdsValue::Text(std::to_string(r))});
    big.SaveToFile(folder / "big.vtd");
    TVirtualTable bigLoaded;
    bigLoaded.LoadFromFile(folder / "big.vtd");
    ASSERT_EQ(bigLoaded.RecordCount(), 2001);
    EXPECT_TRUE(bigLoaded.Value(0, 0) == TdsValue::Block(blob));
    EXPECT_EQ(bigLoaded.Value(2000, 1).AsString(), "1999");
    EXPECT_EQ(bigLoaded.Value(2000, 0).StringRef().size(), 1999u % 1500);
    EXPECT_EQ(Save(bigLoaded), ReadFileBytes(folder / "big.vtd"));

    // A missing file is an error and empties the table.
    EXPECT_THROW(loaded.LoadFromFile(folder / "missing.vtd"), EdsError);
    EXPECT_EQ(loaded.FieldCount(), 0);
}

namespace {

std::string RowsetHeader(const std::string& prolog) {
    return prolog +
           "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882'\n"
           "\txmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882'\n"
           "\txmlns:rs='urn:schemas-microsoft-com:rowset'\n"
           "\txmlns:z='#RowsetSchema'>\n"
           "<s:Schema id='RowsetSchema'>\n"
           "  <s:ElementType name='row' content='eltOnly' rs:updatable='true'>\n"
           "    <s:AttributeType name='ExecStatusC' rs:number='1' rs:nullable='true' "
           "rs:writeunknown='true'>\n"
           "      <s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='2'/>\n"
           "    </s:AttributeType>\n"
           "    <s:AttributeType name='CMDRequest' rs:number='2' rs:nullable='true' rs:writeunknown='true'>\n"
           "      <s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='200'/>\n"
           "    </s:AttributeType>\n"
           "    <s:AttributeType name='CMDRemark' rs:number='3' rs:nullable='true' rs:writeunknown='true'>\n"
           "      <s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='100'/>\n"
           "    </s:AttributeType>\n"
           "    <s:AttributeType name='CMDResponse' rs:number='4' rs:nullable='true' "
           "rs:writeunknown='true'>\n"
           "      <s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='8000'/>\n"
           "    </s:AttributeType>\n"
           "    <s:extends type='rs:rowbase'/>\n"
           "  </s:ElementType>\n"
           "</s:Schema>\n";
}

} // namespace

TEST(VirtualTableXml, RowsetWithEntitiesAndByteOrderMark) {
    std::string xml =
        RowsetHeader("\xEF\xBB\xBF") +
        "  <rs:data>\n"
        "    <z:row ExecStatusC='1' CMDRequest='fc ff cc bc 53 e1 09' CMDRemark='指令不详' "
        "CMDResponse='a&amp;b &#x4E2D;&#20013;&nbsp;caf&eacute; &lt;&gt;&quot;&apos; &amp;nbsp;' "
        "Extra='ignored' />\n"
        "    <z:row ExecStatusC='0' CMDRequest='{ClearCard}' CMDRemark='&copy;&euro;&thetasym;'/>\n"
        "  </rs:data>\n</xml>\n";
    TVirtualTable t;
    testing::internal::CaptureStderr();
    t.LoadFromStream(xml);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(t.FieldCount(), 4);
    EXPECT_EQ(t.FieldDef(0), (TdsFieldDef{"ExecStatusC", ftString, 2, 0}));
    EXPECT_EQ(t.FieldDef(3), (TdsFieldDef{"CMDResponse", ftString, 8000, 0}));
    ASSERT_EQ(t.RecordCount(), 2);
    EXPECT_EQ(t.Value(0, 2).AsString(), "指令不详");
    EXPECT_EQ(t.Value(0, 3).AsString(), "a&b 中中\u00A0caf\u00E9 <>\"' &nbsp;");
    EXPECT_EQ(t.Value(1, 1).AsString(), "{ClearCard}");
    EXPECT_EQ(t.Value(1, 2).AsString(), "\u00A9\u20AC\u03D1");
    EXPECT_TRUE(t.Value(1, 3).IsNull()); // a missing attribute

    // Rewritten, it is a binary stream of text columns with the schema's lengths.
    std::string bytes = Save(t);
    EXPECT_EQ(bytes.substr(0, 4), U16(3) + U16(4));
    TVirtualTable again;
    again.LoadFromStream(bytes);
    EXPECT_EQ(again.FieldDefs(), t.FieldDefs());
    EXPECT_EQ(again.Value(0, 2).AsString(), "指令不详");
    // The stream holds CP936: a no-break space has no place there and becomes "?", as the platform's
    // ANSI conversion does.
    EXPECT_EQ(again.Value(0, 3).AsString(), "a&b 中中?caf\u00E9 <>\"' &nbsp;");
    EXPECT_EQ(again.Value(1, 3), TdsValue::Text(""));
}

TEST(VirtualTableXml, DeclaredEncodingWithoutByteOrderMark) {
    std::string xml =
        RowsetHeader("<?xml version=\"1.0\" encoding=\"GBK\"?>\n") +
        "<rs:data><z:row ExecStatusC='1' CMDRemark='\xD6\xB8\xC1\xEE\xB2\xBB\xCF\xEA'/></rs:data></xml>";
    TTempFolder folder;
    WriteFileBytes(folder / "gbk.vtd", xml);
    TVirtualTable t;
    t.LoadFromFile(folder / "gbk.vtd");
    ASSERT_EQ(t.RecordCount(), 1);
    EXPECT_EQ(t.Value(0, 2).AsString(), "指令不详");
}

TEST(VirtualTableXml, BadXmlIsRefusedQuietly) {
    struct Case {
        const char* name;
        std::string xml;
    } cases[] = {
        {"not well-formed", RowsetHeader("") + "<rs:data><z:row ExecStatusC='1'></rs:data></xml>"},
        {"no schema", "<xml><rs:data/></xml>"},
        {"external entity", "<?xml version='1.0'?><!DOCTYPE xml [<!ENTITY e SYSTEM 'file:///etc/passwd'>]>" +
                                RowsetHeader("").substr(0) +
                                "<rs:data><z:row CMDRequest='&e;'/></rs:data></xml>"},
    };
    for (const auto& c : cases) {
        TVirtualTable t;
        testing::internal::CaptureStderr();
        try {
            t.LoadFromStream(c.xml);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const EdsError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("not a table stream: ", 0), 0u)
                << c.name << ": " << e.what();
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.name;
        EXPECT_EQ(t.FieldCount(), 0);
    }
}

TEST(VirtualTableXml, Html4EntityTable) {
    EXPECT_EQ(TVirtualTableEntities::Count(), 252);
    struct Case {
        const char* name;
        int code;
    } cases[] = {{"nbsp", 160},  {"yuml", 255},  {"fnof", 402},   {"Omega", 937}, {"thetasym", 977},
                 {"hArr", 8660}, {"sdot", 8901}, {"diams", 9830}, {"euro", 8364}, {"amp", 38},
                 {"NBSP", -1},   {"apos", -1},   {"nbs", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(TVirtualTableEntities::CodePoint(c.name), c.code) << c.name;
    const std::string text = "&nbsp;&amp;&lt;&unknown;&eacute&copy;&;&#169;";
    EXPECT_EQ(TVirtualTableEntities::ToCharacterReferences(text.data(), text.size()),
              "&#160;&amp;&lt;&unknown;&eacute&#169;&;&#169;");
}
