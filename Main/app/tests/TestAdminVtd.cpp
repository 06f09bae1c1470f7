// brindle-admin vtd dump / write, run as a user would.
#include "UTableStreamBytes.h"
#include "UTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

// Text columns (one with a Chinese name), integer, float, boolean and an unknown type code 0x1234.
const std::string kStream =
    U16(3) + U16(6) + Def("CMDRequest", 1, 200, 0) + Def("\xB1\xB8\xD7\xA2", 1, 100, 2) + Def("N", 3, 0, 0) +
    Def("F", 6, 0, 0) + Def("B", 5, 0, 0) + Def("X", 0x1234, 7, 0xDEADBEEF) + U16(0) + U32(2) + Val("00 84") +
    Val("\xD6\xB8\xC1\xEE\xB2\xBB\xCF\xEA") + Val("\xFE\xFF\xFF\xFF") +
    Val("\x9A\x99\x99\x99\x99\x99\xB9\x3F") + Val("\xFF\xFF") + Val(std::string("\x00\x01\xFF", 3)) +
    Val("") + Val("") + Val("") + Val("") + Val(std::string("\x00\x00", 2)) + Val("");

const std::string kJson = "{\"fields\":[{\"name\":\"CMDRequest\",\"type\":1,\"size\":200,\"attributes\":0},"
                          "{\"name\":\"备注\",\"type\":1,\"size\":100,\"attributes\":2},"
                          "{\"name\":\"N\",\"type\":3,\"size\":0,\"attributes\":0},"
                          "{\"name\":\"F\",\"type\":6,\"size\":0,\"attributes\":0},"
                          "{\"name\":\"B\",\"type\":5,\"size\":0,\"attributes\":0},"
                          "{\"name\":\"X\",\"type\":4660,\"size\":7,\"attributes\":3735928559}],\"rows\":[\n"
                          "[\"00 84\",\"指令不详\",-2,0.1,true,{\"hex\":\"0001ff\"}],\n"
                          "[\"\",\"\",null,null,false,null]\n"
                          "]}\n";

std::string Admin(const std::string& args) {
    return std::string(BRINDLE_ADMIN) + " vtd " + args;
}

} // namespace

TEST(AdminVtd, DumpAndWriteRoundTripByteForByte) {
    TTempFolder folder;
    WriteFileBytes(folder / "in.vtd", kStream);
    std::string out;
    ASSERT_EQ(RunCommand(Admin("dump " + folder / "in.vtd"), &out), 0);
    EXPECT_EQ(out, kJson);

    WriteFileBytes(folder / "t.json", out);
    ASSERT_EQ(RunCommand(Admin("write " + folder / "t.json " + folder / "out.vtd")), 0);
    EXPECT_EQ(ReadFileBytes(folder / "out.vtd"), kStream);

    // JSON written by hand: full float precision, 64-bit integers, escapes and blocks come back unchanged.
    const std::string json =
        "{\"fields\":[{\"name\":\"T\",\"type\":1},{\"name\":\"L\",\"type\":25},"
        "{\"name\":\"F\",\"type\":6},{\"name\":\"W\",\"type\":24,\"size\":9}],\"rows\":[\n"
        "[\"a\\\"b\\\\c\\n\\u4e2d\",-9223372036854775808,0.33333333333333331,\"宽\"],\n"
        "[{\"hex\":\"d6d0\"},9223372036854775807,-1e+300,null]\n"
        "]}\n";
    WriteFileBytes(folder / "hand.json", json);
    ASSERT_EQ(RunCommand(Admin("write " + folder / "hand.json " + folder / "hand.vtd")), 0);
    ASSERT_EQ(RunCommand(Admin("dump " + folder / "hand.vtd"), &out), 0);
    EXPECT_EQ(out, "{\"fields\":[{\"name\":\"T\",\"type\":1,\"size\":0,\"attributes\":0},"
                   "{\"name\":\"L\",\"type\":25,\"size\":0,\"attributes\":0},"
                   "{\"name\":\"F\",\"type\":6,\"size\":0,\"attributes\":0},"
                   "{\"name\":\"W\",\"type\":24,\"size\":9,\"attributes\":0}],\"rows\":[\n"
                   // the shortest text of the same double
                   "[\"a\\\"b\\\\c\\n中\",-9223372036854775808,0.3333333333333333,\"宽\"],\n"
                   // raw bytes in a text column are written as they are: CP936 for 中
                   "[\"中\",9223372036854775807,-1e+300,\"\"]\n"
                   "]}\n");
}

TEST(AdminVtd, XmlRowsetInput) {
    TTempFolder folder;
    const std::string xml =
        "\xEF\xBB\xBF<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' "
        "xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' "
        "xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n"
        "<s:Schema id='RowsetSchema'><s:ElementType name='row' content='eltOnly'>\n"
        "<s:AttributeType name='ExecStatusC' rs:number='1'>"
        "<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='2'/></s:AttributeType>\n"
        "<s:AttributeType name='CMDRemark' rs:number='2'>"
        "<s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='100'/></s:AttributeType>\n"
        "<s:extends type='rs:rowbase'/></s:ElementType></s:Schema>\n"
        "  <rs:data>\n    <z:row ExecStatusC='0' CMDRemark='指令&amp;不详&eacute;'/>\n"
        "    <z:row ExecStatusC='1'/>\n  </rs:data>\n</xml>\n";
    WriteFileBytes(folder / "x.vtd", xml);
    const std::string expected =
        "{\"fields\":[{\"name\":\"ExecStatusC\",\"type\":1,\"size\":2,\"attributes\":0},"
        "{\"name\":\"CMDRemark\",\"type\":1,\"size\":100,\"attributes\":0}],\"rows\":[\n"
        "[\"0\",\"指令&不详é\"],\n"
        "[\"1\",%s]\n"
        "]}\n";
    std::string out;
    ASSERT_EQ(RunCommand(Admin("dump " + folder / "x.vtd"), &out), 0);
    EXPECT_EQ(out, std::string(expected).replace(expected.find("%s"), 2, "null"));

    // write takes a table file of either form as its input too: here it converts the rowset.
    ASSERT_EQ(RunCommand(Admin("write " + folder / "x.vtd " + folder / "b.vtd")), 0);
    EXPECT_EQ(ReadFileBytes(folder / "b.vtd").substr(0, 4), std::string("\x03\x00\x02\x00", 4));
    ASSERT_EQ(RunCommand(Admin("dump " + folder / "b.vtd"), &out), 0);
    EXPECT_EQ(out, std::string(expected).replace(expected.find("%s"), 2, "\"\""));
}

TEST(AdminVtd, FailuresAndUsage) {
    TTempFolder folder;
    WriteFileBytes(folder / "bad.vtd",
                   U16(3) + U16(1) + Def("A", 1, 0, 0) + U16(0) + U32(1) + U32(0x40000000));
    struct Case {
        std::string json; // empty: dump bad.vtd instead
        const char* message;
    } cases[] = {
        {"", "not a table stream: "},
        {"{\"fields\":[{\"name\":\"A\"}],\"rows\":[[\"x\"],]}", "invalid JSON"},
        {"{\"fields\":[{\"name\":\"A\"}],\"rows\":[[\"x\",\"y\"]]}", "row 1 must be an array of 1 values"},
        {"{\"fields\":[{\"name\":\"N\",\"type\":2}],\"rows\":[[40000]]}", "out of range"},
        {"{\"fields\":[{\"name\":\"N\",\"type\":3}],\"rows\":[[1.5]]}", "row 1, field 1: an integer column"},
        {"{\"fields\":[{\"name\":\"X\",\"type\":999}],\"rows\":[[{\"hex\":\"abc\"}]]}", "even number of hex"},
        {"{\"fields\":[{\"name\":\"A\",\"type\":70000}],\"rows\":[]}", "\"type\" must be a whole number"},
        {"{\"rows\":[]}", "\"fields\" and \"rows\""},
    };
    for (const auto& c : cases) {
        std::string out;
        int rc = 0;
        if (c.json.empty()) {
            rc = RunCommand(Admin("dump " + folder / "bad.vtd") + " 2>&1", &out);
        } else {
            WriteFileBytes(folder / "in.json", c.json);
            rc = RunCommand(Admin("write " + folder / "in.json " + folder / "out.vtd") + " 2>&1", &out);
            EXPECT_FALSE(std::filesystem::exists(folder / "out.vtd")) << c.json;
        }
        EXPECT_EQ(rc, 1) << c.message << ": " << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
    }
    for (const char* args : {"", "dump", "write only-one", "frob x"}) {
        std::string out;
        EXPECT_EQ(RunCommand(Admin(args) + " 2>&1", &out), 2) << args;
        EXPECT_NE(out.find("usage: brindle-admin vtd"), std::string::npos) << out;
    }
}
