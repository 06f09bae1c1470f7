#include "Simulator.h"
#include "UInstallation.h"
#include "UTestSupport.h"
#include "UdsIOUtils.h"

#include <gtest/gtest.h>

namespace {

const char* kXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<Request_Response>
  <Card>
    <Item Request="00A40000023F00" Response="9000"/>
    <Item Request="00a4000002ef05" Response="6A82"/>
    <Item Request="00A4000002EF05" Response="9000"/>
    <Item Request="fc ff cc bc  53 e1 7a*" Response="12 34"/>
  </Card>
  <Disk>
    <Item Request="fc ff cc bc  53 e1 7d" Param="" Response="D3 D4"/>
    <Item Request="fc ff cc bc  53 e1 7a" Param="01" Response="AA BB"/>
  </Disk>
  <DownloadFileName>
    <BS201>/answers/KDR_Card_BS201.vtd</BS201>
  </DownloadFileName>
</Request_Response>
)";

} // namespace

TEST(Simulator, LooksUpTheThreeTables) {
    TTempFolder folder;
    WriteFileBytes(folder / "Request_Response.xml", kXml);
    TSimulator sim;
    sim.LoadTables(folder.Path());
    EXPECT_EQ(sim.GetCardResponse("00A40000023F00"), "9000");
    // Case-insensitive, first match wins.
    EXPECT_EQ(sim.GetCardResponse("00A4000002EF05"), "6A82");
    EXPECT_EQ(sim.GetCardResponse("0084000008"), "90 00");
    EXPECT_EQ(sim.GetDiskResponse("fc ff cc bc  53 e1 7d", ""), "D3 D4");
    EXPECT_EQ(sim.GetDiskResponse("FC FF CC BC  53 E1 7D", ""), "D3 D4");
    EXPECT_EQ(sim.GetDiskResponse("fc ff cc bc  53 e1 7a", "01"), "AA BB");
    // No Disk entry of its own: the Card entry with "*".
    EXPECT_EQ(sim.GetDiskResponse("fc ff cc bc  53 e1 7a", "02"), "12 34");
    EXPECT_EQ(sim.GetDiskResponse("fc ff cc bc  53 e1 79", "02"), "00 00");
    EXPECT_EQ(sim.GetDownloadFileName("bs201"), "/answers/KDR_Card_BS201.vtd");
    EXPECT_EQ(sim.GetDownloadFileName("BS202"), "");
}

TEST(Simulator, DefaultsWithoutFileOrSections) {
    TTempFolder folder;
    TSimulator sim;
    sim.LoadTables(folder.Path());
    EXPECT_EQ(sim.GetCardResponse("00A40000023F00"), "90 00");
    EXPECT_EQ(sim.GetDiskResponse("fc ff cc bc  53 e1 7d", ""), "00 00");
    EXPECT_EQ(sim.GetDownloadFileName("BS201"), "");
    WriteFileBytes(folder / "Request_Response.xml",
                   "<Request_Response><Card><X Request=\"AB\" Response=\"6A82\"/></Card></Request_Response>");
    sim.LoadTables(folder.Path());
    EXPECT_EQ(sim.GetCardResponse("AB"), "6A82");
    EXPECT_EQ(sim.GetDiskResponse("fc", ""), "00 00");
}

TEST(Simulator, GetSimulatorLoadsOnceFromItsFolder) {
    TTempFolder folder;
    WriteFileBytes(folder / "Request_Response.xml", kXml);
    TSimulator::SetFolder(folder.Path());
    FreeSimulator();
    TSimulator* sim = GetSimulator();
    EXPECT_EQ(sim->GetCardResponse("00A4000002EF05"), "6A82");
    std::remove((folder / "Request_Response.xml").c_str());
    EXPECT_EQ(GetSimulator(), sim);
    EXPECT_EQ(GetSimulator()->GetCardResponse("00A4000002EF05"), "6A82");
    FreeSimulator();
    TSimulator::SetFolder("");
}

TEST(Simulator, ReadsWhatTheInstallationWrites) {
    TTempFolder folder;
    WriteFileBytes(folder / "Request_Response.xml", TInstallation::SimulatorXML("370101000000001", "/a/"));
    TSimulator sim;
    sim.LoadTables(folder.Path());
    EXPECT_EQ(sim.GetCardResponse("00B000001A"), "0000370101000000001"
                                                 "9000");
    EXPECT_EQ(sim.GetCardResponse("00b0008402"), "08009000");
    EXPECT_EQ(sim.GetDiskResponse("fc ff cc bc  53 e1 7d", ""), "D3 D4");
    EXPECT_EQ(sim.GetDiskResponse("fc ff cc bc  53 e1 7a", "0102"), "");
    EXPECT_EQ(sim.GetDownloadFileName("BS202"), "/a/KDR_Card_BS202.vtd");
}
