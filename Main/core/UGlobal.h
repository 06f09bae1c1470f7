#pragma once
// The global state of the main program: the taxpayer and user of this run, the folders and files of the
// installation, the two databases, the loggers, the XML wrapper, the busy indicator and the values read at
// start-up. One instance per process, reachable as Global (see CreateGlobal / FreeGlobal).
#include "UdsBusyForm.h"
#include "UdsXMLParser.h"

#include <memory>
#include <string>
#include <vector>

class TdsAdoDBKit;
class TdsAppLogger;
class TLogManager;
class TModalForms;
class TProgressFrame;
class TGlobal;
// The platform protocol client (UQelPlatform), owned; configured from the settings by CompleteOnShow.
class TQelPlatform;

// Paths of the installation, all derived from the launcher file (third command-line argument). Folders
// end in "/".
class TPathInfo {
public:
    explicit TPathInfo(const TGlobal& owner) : owner_(owner) {}

    std::string GetLauncherFile() const;
    // Empty when the launcher argument is missing: the files are then looked for in the current folder.
    std::string GetBaseFolder() const;
    std::string GetDataFolder() const;
    std::string GetResFolder() const;
    std::string GetLogFolder() const;
    std::string GetSystemDatabaseFile() const;
    std::string GetTaxpayerDatabaseFile() const;
    std::string GetTaxpayerFolder() const;
    // The next three create the folder (that level only) when it is missing.
    std::string GetTempFolder() const;
    std::string GetTaxpayerTempFolder() const;
    std::string GetUpgradeFolder() const;
    std::string GetExeFolder() const;
    std::string GetDatabasePassword() const { return "pavrid"; }

    // The settings and installation files of the base folder and beside the program.
    std::string GetProductFile() const { return GetBaseFolder() + "Config.dll"; }
    std::string GetRegionFile() const { return GetBaseFolder() + "Config.qel"; }
    std::string GetDefaultCertFile() const { return GetBaseFolder() + "DefaultCert.dat"; }
    // The program's file with its extension changed to ".ini"; a Linux program has no extension, so
    // ".ini" is appended ("brindle-cli" -> "brindle-cli.ini").
    std::string GetIniFile() const;
    std::string GetHelpFile() const { return GetExeFolder() + "Help.chm"; }

private:
    const TGlobal& owner_;
};

class TUserInfo {
public:
    std::string Code;
    // Empty and false when the code has no S_User row.
    std::string Name;
    bool Reserved = false;
};

// Screen rectangle of the main window's child area; all zero until the window first sizes itself.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
};

// What the front end hands the global state: the busy indicator (owned by the global state from then on,
// freed first on release) and the progress frame and modal forms (the front end's, not owned).
struct TGlobalFrontEnd {
    std::unique_ptr<TdsBusyForm> BusyForm;
    TProgressFrame* ProgressFrame = nullptr;
    TModalForms* ModalForms = nullptr;
};

class TGlobal {
public:
    // Builds the objects in their fixed order. params are the command-line arguments without the
    // program's name. The product description file is read by LoadProductInfo, which may fail.
    TGlobal(std::vector<std::string> params, TGlobalFrontEnd frontEnd);
    // Releases in the fixed order: BusyForm, SystemDB, TaxpayerDB, XMLParser, PathInfo, UserInfo,
    // LogManager, AppLogger, Platform.
    ~TGlobal();
    TGlobal(const TGlobal&) = delete;
    TGlobal& operator=(const TGlobal&) = delete;

    std::string AppTitle;
    std::string IconFile;
    std::string Copyright;
    std::string Version;
    std::string TaxMediaKind;
    std::string RegionCode;
    // A deep copy of the region entry's "Options"; the empty node when the entry has none.
    TdsXMLNode Options;
    std::unique_ptr<TdsBusyForm> BusyForm;
    TRect ChildArea;
    std::unique_ptr<TdsAdoDBKit> SystemDB;
    std::unique_ptr<TdsAdoDBKit> TaxpayerDB;
    std::unique_ptr<TPathInfo> PathInfo;
    std::unique_ptr<TUserInfo> UserInfo;
    std::unique_ptr<TLogManager> LogManager;
    // Null only when the command line names no launcher file: a log folder is then not made in the
    // current folder of a start that is refused anyway.
    std::unique_ptr<TdsAppLogger> AppLogger;
    std::unique_ptr<TdsXMLParser> XMLParser;
    TQelPlatform* Platform = nullptr;
    std::string RunMode;
    int DeclareTimeOut = 30;
    std::string TaxpayerID;
    std::string EnterpriseName;
    std::string TaxDeptCode;
    std::string TaxDeptName;
    std::string InitialAuthenPassword;
    std::string AuthenPassword;
    std::string CardNumber;
    std::string CardCaption;
    std::string DiskNumber;
    std::string DiskCaption;

    // Front-end ports the flows use; not owned.
    TProgressFrame* ProgressFrame = nullptr;
    TModalForms* ModalForms = nullptr;

    // The command line: ParamCount arguments, ParamStr(1) the first; "" past the end.
    int ParamCount() const { return static_cast<int>(params_.size()); }
    std::string ParamStr(int index) const;

    // Reads Config.dll into AppTitle, Copyright, Version and checks the icon file. Shows an error and
    // returns false when either is missing or the description file cannot be decoded.
    bool LoadProductInfo();
    // The three values of a product description file; shows the error and returns false when the file is
    // missing or cannot be decoded.
    static bool ReadProductInfo(const std::string& productFile, std::string& appTitle, std::string& copyright,
                                std::string& version);

    std::string GetDebugFile() const;
    // Looks at the file every time: the mode follows its presence at that moment.
    bool IsDebugMode() const;
    // "K": fourteen "0"; any other kind: "SKP" + TaxpayerID.
    std::string GetDefaultMediaNumber(const std::string& kind) const;
    bool OpenTaxpayerDatabase(const std::string& databaseFile);
    // Three tries one second apart (clock port).
    bool OpenSystemDatabase();
    std::string ReadDefaultCert() const;
    bool WriteDefaultCert(const std::string& text) const;

    // What the main window adds when it is created: RunMode from Config.qel, DeclareTimeOut from the ini
    // file.
    void CompleteOnCreate();
    // What the main window adds when it is shown: the enterprise, the network passwords and the tax
    // authority from S_Config (a long taxpayer identifier takes the externally kept authority code).
    void CompleteOnShow();

private:
    std::vector<std::string> params_;
};

// The one instance; null before CreateGlobal and after FreeGlobal.
extern TGlobal* Global;
// Creates the global state and reads the product description file; on failure (message shown) the state
// is released again and false returned.
bool CreateGlobal(std::vector<std::string> params, TGlobalFrontEnd frontEnd);
void FreeGlobal();
