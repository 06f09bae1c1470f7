#pragma once
// Creating or completing an installation under a base folder: the two databases, the encoded settings
// files, the templates and icon of res/, the working folders, the launcher, and in debug mode the
// simulator's answer file. What holds data is never replaced: an existing database keeps its rows, an
// existing region file keeps its entries.
#include <optional>
#include <string>
#include <vector>

class TVirtualTable;

struct TInstallOptions {
    std::string BaseFolder;
    // Required; names the taxpayer's folder under dat/.
    std::string TaxpayerID;
    // Values stored into the taxpayer database (System/EnterpriseName, Network/TaxDeptCode,
    // Network/AuthenServer) when given; an existing database is changed only for the values given.
    std::optional<std::string> EnterpriseName;
    std::optional<std::string> TaxDeptCode;
    std::optional<std::string> AuthenServer;
    // The ID of the region entry to add when no entry of Config.qel matches the taxpayer; empty:
    // DefaultRegionID.
    std::string RegionID;
    // Writes Request_Response.xml (debug mode) and the answer scripts it names.
    bool Debug = false;
    // Config.dll, written only when it is missing.
    std::string AppTitle = "Brindle 增值税发票数据远程抄报系统";
    std::string Version = "1.0.0";
    std::string Copyright = "Copyright (C) 2026 Brindle";
    // The program the launcher starts unless $BRINDLE_PROGRAM names another; empty: "Brindle" in the
    // folder of the running program. In debug mode a copy of Request_Response.xml goes beside it, since
    // the simulator reads its tables from the program's folder.
    std::string ProgramFile;
};

// One line per item: what happened to it ("created", "kept", "updated", "written", "copied") and its path
// relative to the base folder (absolute for files outside it).
struct TInstallReport {
    std::vector<std::string> Lines;
    // Things the user has to know (for example a simulator copy that could not be written).
    std::vector<std::string> Notes;
};

class TInstallation {
public:
    static constexpr const char* kDatabasePassword = "pavrid";
    static constexpr const char* kLauncherName = "Brindle.sh";
    // The five templates of res/, without extension.
    static const std::vector<std::string>& TemplateNames();

    // Creates what is missing and rewrites the installation files; false with a message when the
    // options are unusable or a step fails (steps done before stay done; nothing holding data is lost).
    static bool Install(const TInstallOptions& options, TInstallReport& report, std::string& error);

    // False with the reason for identifiers that cannot be a folder name under dat/ (empty, "." or "..",
    // a path separator, control characters, surrounding blanks, longer than 100 bytes).
    static bool CheckTaxpayerID(const std::string& taxpayerID, std::string& error);
    // The default region prefix: the first two characters of the identifier (the province part of the
    // administrative code it begins with); for an identifier longer than 15 characters the region is
    // found from the tax authority's code, so its characters 2 and 3.
    static std::string DefaultRegionID(const std::string& taxpayerID, const std::string& taxDeptCode);

    // The encoded settings form: Base64 (no line breaks) of "xyz" followed by the zlib stream of the bytes.
    static std::string EncodeSettings(const std::string& xml);
    // The statements of db/Master.sql and db/Brindle.sql, one per line.
    static std::vector<std::string> SystemDatabaseScript();
    static std::vector<std::string> TaxpayerDatabaseScript();
    // A table shipped as data (a template name, or "Debug_BS201"/"Debug_BS202"); EdsError when unknown.
    static void LoadShippedTable(const std::string& name, TVirtualTable& table);
    // The bytes of res/Brindle.ico (one 32 x 32 image, 32 bits per pixel).
    static std::string IconBytes();
    // The simulator's tables for a debug installation of this taxpayer; the answer scripts of the steps
    // BS201 and BS202 are named by their paths in answerFolder.
    static std::string SimulatorXML(const std::string& taxpayerID, const std::string& answerFolder);
};
