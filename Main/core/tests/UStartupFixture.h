#pragma once
// A small installation for start-up tests: the two databases from the schema scripts (password
// "pavrid"), Config.dll and Config.qel encoded as the program reads them, the icon and a launcher file.
// Header-only, so the tests of the programs (which link no main-program code) can build one too.
#include "UdsAdoDBKit.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <filesystem>
#include <string>
#include <vector>

struct TFixtureInstallation {
    std::string TaxpayerID = "110101000000001";
    std::string AppTitle = "增值税发票数据申报系统";
    std::string Copyright = "Lumbrane 版权所有";
    std::string Version = "3.2.1";
    std::string RunMode = "DEBUG";
    // The Regions entries of Config.qel.
    std::string Regions = "<Region ID=\"3302\" Code=\"33\"><Options/></Region>"
                          "<Region ID=\"1101\" Code=\"11\"><Options><DeclarePrompt>1</DeclarePrompt>"
                          "<InformServerEnabled>1</InformServerEnabled></Options></Region>";
    // Run after the schema scripts.
    std::vector<std::string> TaxpayerSQL;
    std::vector<std::string> SystemSQL;

    // Filled by Build.
    std::string Base;
    std::string Launcher;

    std::vector<std::string> Args(const std::string& user = "admin") const {
        return {TaxpayerID, user, Launcher};
    }
    std::string TaxpayerDatabase() const { return Base + "dat/" + TaxpayerID + "/Brindle.mdb"; }
    std::string SystemDatabase() const { return Base + "dat/Master.mdb"; }

    // The encoded settings form: Base64 of three bytes and the zlib stream of the XML.
    static std::string Encode(const std::string& xml) {
        return TdsIOUtils::Base64Encode("xyz" + TdsIOUtils::ZipText(xml));
    }
    std::string ProductXml() const {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Product Version=\"" + Version + "\"><AppTitle>" +
               AppTitle + "</AppTitle><Copyright>" + Copyright + "</Copyright></Product>";
    }
    std::string RegionXml() const {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Config><General><RunMode>" + RunMode +
               "</RunMode></General><Regions>" + Regions + "</Regions></Config>";
    }

    static std::string CreateDatabase(const std::string& file, const std::string& script,
                                      const std::vector<std::string>& extra) {
        std::string error;
        if (!TdsAdoDBKit::CreateDatabase(file, "pavrid", error))
            return error;
        TdsAdoDBKit kit;
        if (!kit.Connect(file, "pavrid", false, error))
            return error;
        TdsStrings lines;
        if (!lines.LoadFromFile(script, false))
            return "cannot read " + script;
        for (const std::string& s : extra)
            lines.Add(s);
        if (!kit.ExecScriptOK(lines, error))
            return error + " in " + kit.LastErrorSQL;
        return "";
    }

    // Builds the installation in the folder (with trailing "/"); "" on success, else what went wrong.
    std::string Build(const std::string& base) {
        Base = base;
        Launcher = Base + "Launcher.sh";
        std::string source = std::string(BRINDLE_SOURCE_DIR) + "/db/";
        if (!TdsIOUtils::ForceFolders(Base + "dat/" + TaxpayerID) || !TdsIOUtils::ForceFolders(Base + "res"))
            return "cannot make the folders";
        std::vector<std::string> taxpayerSQL = {
            "UPDATE S_Config SET FValue = " + TdsStrUtils::QuotedStr(TaxpayerID) +
            " WHERE FCategory = 'System' AND FKey = 'TaxpayerID'"};
        taxpayerSQL.insert(taxpayerSQL.end(), TaxpayerSQL.begin(), TaxpayerSQL.end());
        std::string error = CreateDatabase(SystemDatabase(), source + "Master.sql", SystemSQL);
        if (error.empty())
            error = CreateDatabase(TaxpayerDatabase(), source + "Brindle.sql", taxpayerSQL);
        if (!error.empty())
            return error;
        if (!TdsIOUtils::WriteTextFile(Encode(ProductXml()), Base + "Config.dll") ||
            !TdsIOUtils::WriteTextFile(Encode(RegionXml()), Base + "Config.qel") ||
            !TdsIOUtils::WriteTextFile("icon", Base + "res/Brindle.ico") ||
            !TdsIOUtils::WriteTextFile("#!/bin/sh\n", Base + "Launcher.sh"))
            return "cannot write the installation files";
        return "";
    }

    // A copy of the built installation in another folder (the databases are copied as bytes, which is
    // much cheaper than creating them again).
    TFixtureInstallation CopyTo(const std::string& base) const {
        TFixtureInstallation copy = *this;
        std::filesystem::copy(Base, base, std::filesystem::copy_options::recursive);
        copy.Base = base;
        copy.Launcher = base + "Launcher.sh";
        return copy;
    }
};
