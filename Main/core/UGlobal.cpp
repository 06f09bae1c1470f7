#include "UGlobal.h"

#include "UCertsManageBiz.h"
#include "ULogManager.h"
#include "UQelPlatform.h"
#include "USetSystemBiz.h"
#include "UdsAdoDBKit.h"
#include "UdsAppLogger.h"
#include "UdsBusyForm.h"
#include "UdsClock.h"
#include "UdsDialogs.h"
#include "UdsIOUtils.h"
#include "UdsIniFile.h"
#include "UdsStrUtils.h"
#include "UdsSysUtils.h"

#include <exception>
#include <filesystem>
#include <system_error>

TGlobal* Global = nullptr;

namespace {

// One level only, as the described folders are: a missing parent is not made up.
std::string WithFolder(const std::string& folder) {
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
        std::filesystem::create_directory(folder, ec);
    return folder;
}

} // namespace

// ---- TPathInfo ----

std::string TPathInfo::GetLauncherFile() const {
    return owner_.ParamStr(3);
}

std::string TPathInfo::GetBaseFolder() const {
    return TdsIOUtils::ExtractFolder(GetLauncherFile());
}

std::string TPathInfo::GetDataFolder() const {
    return GetBaseFolder() + "dat/";
}

std::string TPathInfo::GetResFolder() const {
    return GetBaseFolder() + "res/";
}

std::string TPathInfo::GetLogFolder() const {
    return GetBaseFolder() + "Log/";
}

std::string TPathInfo::GetSystemDatabaseFile() const {
    return GetDataFolder() + "Master.mdb";
}

std::string TPathInfo::GetTaxpayerDatabaseFile() const {
    return GetDataFolder() + owner_.TaxpayerID + "/Brindle.mdb";
}

std::string TPathInfo::GetTaxpayerFolder() const {
    return GetDataFolder() + owner_.TaxpayerID + "/";
}

std::string TPathInfo::GetTempFolder() const {
    return WithFolder(GetBaseFolder() + "Temp/");
}

std::string TPathInfo::GetTaxpayerTempFolder() const {
    return WithFolder(GetTaxpayerFolder() + "Temp/");
}

std::string TPathInfo::GetUpgradeFolder() const {
    return WithFolder(GetBaseFolder() + "Upgrade/");
}

std::string TPathInfo::GetExeFolder() const {
    return TdsSysUtils::ModuleFolder();
}

std::string TPathInfo::GetIniFile() const {
    std::string file = TdsSysUtils::ModuleFile();
    std::string name = TdsIOUtils::ExtractName(file);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        file.resize(file.size() - (name.size() - dot));
    return file + ".ini";
}

// ---- TGlobal ----

TGlobal::TGlobal(std::vector<std::string> params, TGlobalFrontEnd frontEnd) : params_(std::move(params)) {
    // Dates are formatted and parsed by TdsDateUtils in "yyyy-mm-dd" everywhere; there is no
    // process-wide separator to set.
    BusyForm = frontEnd.BusyForm ? std::move(frontEnd.BusyForm) : std::make_unique<TdsConsoleBusyForm>();
    ProgressFrame = frontEnd.ProgressFrame;
    ModalForms = frontEnd.ModalForms;
    SystemDB = std::make_unique<TdsAdoDBKit>();
    TaxpayerDB = std::make_unique<TdsAdoDBKit>();
    XMLParser = std::make_unique<TdsXMLParser>();
    PathInfo = std::make_unique<TPathInfo>(*this);
    UserInfo = std::make_unique<TUserInfo>();
    LogManager = std::make_unique<TLogManager>();
    if (TdsIOUtils::FileExists(PathInfo->GetLauncherFile()))
        AppLogger = std::make_unique<TdsAppLogger>(1, false, nullptr, PathInfo->GetLogFolder());
    Platform = new TQelPlatform();
}

TGlobal::~TGlobal() {
    BusyForm.reset();
    SystemDB.reset();
    TaxpayerDB.reset();
    XMLParser.reset();
    PathInfo.reset();
    UserInfo.reset();
    LogManager.reset();
    AppLogger.reset();
    delete Platform;
    Platform = nullptr;
}

std::string TGlobal::ParamStr(int index) const {
    if (index < 1 || index > ParamCount())
        return "";
    return params_[static_cast<size_t>(index - 1)];
}

bool TGlobal::ReadProductInfo(const std::string& productFile, std::string& appTitle, std::string& copyright,
                              std::string& version) {
    TdsXMLNode root = LoadEncodedXMLFile(productFile);
    if (root.IsNull()) {
        TdsDialogs::ShowError(TdsStrUtils::Format("无效的产品描述文件“%s”！", {productFile}));
        return false;
    }
    appTitle = FindChildNode(root, "AppTitle", false).Text();
    copyright = FindChildNode(root, "Copyright", false).Text();
    version = root.Attribute("Version");
    return true;
}

bool TGlobal::LoadProductInfo() {
    if (!ReadProductInfo(PathInfo->GetProductFile(), AppTitle, Copyright, Version))
        return false;
    IconFile = PathInfo->GetResFolder() + "Brindle.ico";
    if (!TdsIOUtils::FileExists(IconFile)) {
        TdsDialogs::ShowError(TdsStrUtils::Format("应用程序图标文件“%s”不存在！", {IconFile}));
        return false;
    }
    return true;
}

std::string TGlobal::GetDebugFile() const {
    return PathInfo->GetBaseFolder() + "Request_Response.xml";
}

bool TGlobal::IsDebugMode() const {
    return TdsIOUtils::FileExists(GetDebugFile());
}

std::string TGlobal::GetDefaultMediaNumber(const std::string& kind) const {
    if (kind == "K")
        return std::string(14, '0');
    return "SKP" + TaxpayerID;
}

bool TGlobal::OpenTaxpayerDatabase(const std::string& databaseFile) {
    std::string error;
    if (TaxpayerDB->Connect(databaseFile, PathInfo->GetDatabasePassword(), false, error))
        return true;
    TdsDialogs::ShowError(error);
    return false;
}

bool TGlobal::OpenSystemDatabase() {
    std::string error;
    // The three tries are the wait for a locked system database; the engine's own busy wait would
    // stretch each try beyond the clock port, so it is off while connecting and back on afterwards.
    SystemDB->SetBusyTimeout(0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (SystemDB->Connect(PathInfo->GetSystemDatabaseFile(), PathInfo->GetDatabasePassword(), false,
                              error)) {
            SystemDB->SetBusyTimeout(TdsAdoDBKit::kDefaultBusyTimeout);
            return true;
        }
        TdsClock::Sleep(1000);
    }
    TdsDialogs::ShowError("打开系统数据库失败！\r\n\r\n" + error);
    return false;
}

std::string TGlobal::ReadDefaultCert() const {
    return TCertsManageBiz::ReadDefaultCert(PathInfo->GetBaseFolder());
}

bool TGlobal::WriteDefaultCert(const std::string& text) const {
    return TCertsManageBiz::WriteDefaultCert(PathInfo->GetBaseFolder(), text);
}

void TGlobal::CompleteOnCreate() {
    TdsXMLNode root = LoadEncodedXMLFile(PathInfo->GetRegionFile());
    RunMode = FindNodeByPath(root, "General/RunMode", false).Text();
    TdsIniFile ini(PathInfo->GetIniFile());
    DeclareTimeOut = static_cast<int>(ini.ReadInteger("Declare", "TimeOut", 30));
}

void TGlobal::CompleteOnShow() {
    EnterpriseName = TSetSystemBiz::ReadConfigValue("System", "EnterpriseName");
    TSetSystemBiz biz;
    InitialAuthenPassword = biz.ReadInitialAuthenPassword();
    AuthenPassword = TSetSystemBiz::ReadConfigValue("Network", "AuthenPassword");
    TaxDeptCode = TSetSystemBiz::ReadConfigValue("Network", "TaxDeptCode");
    // Long identifiers (social credit codes) carry no authority code; it is kept outside the database.
    if (TaxpayerID.size() > 15) {
        std::string code = ReadTaxDeptCode(TaxpayerID);
        if (code != TaxDeptCode) {
            TaxDeptCode = code;
            TSetSystemBiz::WriteConfigValue("Network", "TaxDeptCode", code);
        }
    }
    TaxDeptName = TSetSystemBiz::ReadConfigValue("Network", "TaxDeptName");
    Platform->SetMainServer(TSetSystemBiz::ReadConfigValue("Network", "AuthenServer"));
    Platform->SetStandbyServer(TSetSystemBiz::ReadConfigValue("Network", "StandbyServer"));
    Platform->SetNoticeServer(TSetSystemBiz::ReadInformServer());
    Platform->SetSubDomain(TdsStrUtils::Trim(TSetSystemBiz::ReadConfigValue("Network", "SubDomain")));
    Platform->Timeout = TSetSystemBiz::TimeOutValue(TSetSystemBiz::ReadConfigValue("Network", "TimeOut"));
}

bool CreateGlobal(std::vector<std::string> params, TGlobalFrontEnd frontEnd) {
    FreeGlobal();
    try {
        Global = new TGlobal(std::move(params), std::move(frontEnd));
    } catch (const std::exception& e) {
        // The application log could not start (its folder or file cannot be written).
        TdsDialogs::ShowError(e.what());
        return false;
    }
    if (Global->LoadProductInfo())
        return true;
    FreeGlobal();
    return false;
}

void FreeGlobal() {
    delete Global;
    Global = nullptr;
}
