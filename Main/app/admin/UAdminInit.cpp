// brindle-admin init BASE --taxpayer ID [options]: creates or completes an installation (TInstallation).
#include "admin/UAdminCommand.h"

#include "UInstallation.h"

#include <cstdlib>
#include <iostream>

namespace {

int Init(const std::vector<std::string>& args) {
    TInstallOptions options;
    bool haveBase = false, haveTaxpayer = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--debug") {
            options.Debug = true;
            continue;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (haveBase)
                return AdminUsage("init");
            options.BaseFolder = arg;
            haveBase = true;
            continue;
        }
        // "--name value" or "--name=value".
        std::string name = arg, value;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size() && args[i + 1].compare(0, 2, "--") != 0) {
            value = args[++i];
        } else {
            return AdminUsage("init");
        }
        if (name == "--taxpayer") {
            options.TaxpayerID = value;
            haveTaxpayer = true;
        } else if (name == "--enterprise") {
            options.EnterpriseName = value;
        } else if (name == "--tax-dept") {
            options.TaxDeptCode = value;
        } else if (name == "--server") {
            options.AuthenServer = value;
        } else if (name == "--region-id") {
            options.RegionID = value;
        } else {
            return AdminUsage("init");
        }
    }
    if (!haveBase || !haveTaxpayer)
        return AdminUsage("init");
    if (const char* program = std::getenv("BRINDLE_PROGRAM"); program && *program)
        options.ProgramFile = program;

    TInstallReport report;
    std::string error;
    bool ok = TInstallation::Install(options, report, error);
    for (const std::string& line : report.Lines)
        std::cout << line << "\n";
    for (const std::string& note : report.Notes)
        std::cerr << "brindle-admin: note: " << note << "\n";
    std::cout.flush();
    return ok ? aeOK : AdminFail(error);
}

TAdminRegistrar registrar("init",
                          "BASE --taxpayer ID [--enterprise NAME] [--tax-dept CODE] [--server HOST:PORT] "
                          "[--region-id PREFIX] [--debug]",
                          Init);

} // namespace
