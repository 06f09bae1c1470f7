// brindle-cli … info: the global state after start-up as Name=value lines. Flags print as 1 or 0;
// line breaks inside a value print as the two characters \n.
#include "cli/UCliCommand.h"

#include "UGlobal.h"
#include "UdsDialogs.h"

#include <iostream>

namespace {

// Values come from settings files and the command line; a line break must not split a line.
std::string Line(const std::string& value) {
    return TdsConsoleDialogs::OneLine(value);
}

int Info(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("info");
    const TGlobal& g = *Global;
    std::cout << "AppTitle=" << Line(g.AppTitle) << "\n"
              << "Version=" << Line(g.Version) << "\n"
              << "Copyright=" << Line(g.Copyright) << "\n"
              << "RegionCode=" << Line(g.RegionCode) << "\n"
              << "TaxpayerID=" << Line(g.TaxpayerID) << "\n"
              << "UserCode=" << Line(g.UserInfo->Code) << "\n"
              << "UserName=" << Line(g.UserInfo->Name) << "\n"
              << "UserReserved=" << (g.UserInfo->Reserved ? 1 : 0) << "\n"
              << "BaseFolder=" << Line(g.PathInfo->GetBaseFolder()) << "\n"
              << "DebugMode=" << (g.IsDebugMode() ? 1 : 0) << "\n"
              << "DeclareTimeOut=" << g.DeclareTimeOut << "\n"
              << "RunMode=" << Line(g.RunMode) << "\n";
    std::cout.flush();
    return std::cout ? ceOK : ceFailed;
}

TCliRegistrar info("info", "", Info);

} // namespace
