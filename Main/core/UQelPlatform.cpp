#include "UQelPlatform.h"

#include "SysLog.h"
#include "UGlobal.h"
#include "UModalForms.h"
#include "USetSystemBiz.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsClock.h"
#include "UdsDateUtils.h"
#include "UdsDialogs.h"
#include "UdsEncoding.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsIniFile.h"
#include "UdsSecurity.h"
#include "UdsStrUtils.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

const char* const kUnknownAnswer = "服务器端出现未知异常！";

std::string ReadOSVersion() {
    utsname u{};
    int major = 0, minor = 0;
    if (uname(&u) == 0)
        std::sscanf(u.release, "%d.%d", &major, &minor);
    return std::to_string(major) + "." + std::to_string(minor);
}

bool AllDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

int IntOf(const std::string& text, int fallback) {
    long long v = 0;
    if (!TdsStrUtils::TryStrToInt(TdsStrUtils::Trim(text), v) || v < INT32_MIN || v > INT32_MAX)
        return fallback;
    return static_cast<int>(v);
}

// The plain files directly in the folder, by name.
std::vector<std::string> PlainFiles(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.is_regular_file(ec) && !e.is_symlink(ec))
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TQelPlatform::TQelPlatform() : OSVersion(ReadOSVersion()) {}

void TQelPlatform::AddHeader(const std::string& name, const std::string& value) {
    RequestHeaders += name + ": " + value + "\r\n";
}

void TQelPlatform::BuildCommonHeaders() {
    RequestHeaders.clear();
    AddHeader("Content-Type", "application/x-www-form-urlencoded");
    AddHeader("DELFLAG", "1");
    AddHeader("CFLAG", "1");
    AddHeader("NSRSBH", Global->TaxpayerID);
    AddHeader("PASSWORD", Global->AuthenPassword);
    AddHeader("SWJGDM", Global->TaxDeptCode);
    AddHeader("SOFT_VER", Global->Version);
    AddHeader("VERSION", Global->Version);
    AddHeader("OS_VER", OSVersion);
    AddHeader("SWJGDM", Global->TaxDeptCode.empty() ? "NULL" : Global->TaxDeptCode);
}

std::string TQelPlatform::NoticeKey() {
    std::string key;
    if (Global && Global->PathInfo) {
        TdsIniFile ini(Global->PathInfo->GetIniFile());
        key = TdsStrUtils::Trim(ini.ReadString("Notice", "ServiceKey", ""));
    }
    bool usable = key.size() == 15 && std::all_of(key.begin(), key.end(), [](unsigned char c) {
                      return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
                  });
    return usable ? key : kDefaultNoticeKey;
}

std::string TQelPlatform::NoticePassword() {
    std::string hex = TdsSecurity::MD5Hex(NoticeKey());
    std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::toupper(c); });
    return hex;
}

void TQelPlatform::ApplyNoticeIdentity() {
    SetHeaderValue(RequestHeaders, "NSRSBH", "lumbrane");
    SetHeaderValue(RequestHeaders, "PASSWORD", NoticePassword());
}

bool TQelPlatform::ParseAnswer() {
    ResultNode = TdsXMLNode();
    DataNode = TdsXMLNode();
    std::string error;
    if (!Parser.LoadFromXML(UpperCaseTags(ResponseText()), error)) {
        StopBusy(true);
        TdsDialogs::ShowError(kUnknownAnswer);
        return false;
    }
    ResultNode = Parser.FindNode("RESPONSE/RESULT");
    DataNode = Parser.FindNode("RESPONSE/DATA");
    TdsXMLNode value = FindNodeByPath(ResultNode, "RESULTVALUE", true);
    if (ResultNode.IsNull() || value.IsNull()) {
        // Well-formed, but not the platform's envelope.
        StopBusy(true);
        TdsDialogs::ShowError(kUnknownAnswer);
        return false;
    }
    if (TdsStrUtils::Trim(value.Text()) == "0")
        return true;
    std::string message = FindNodeByPath(ResultNode, "RESULTMESSAGE", true).Text();
    StopBusy(true);
    TdsDialogs::ShowError(message);
    WriteSysLog("服务端返回错误信息：" + message);
    return false;
}

TdsXMLNode TQelPlatform::RequireData(const std::string& name) {
    TdsXMLNode node = FindNodeByPath(DataNode, name, true);
    if (node.IsNull()) {
        StopBusy(true);
        TdsDialogs::ShowError(TdsStrUtils::Format("服务器应答不完整，缺少数据项“%s”！", {"DATA/" + name}));
    }
    return node;
}

bool TQelPlatform::UploadData(void* ownerWindow, const std::string& fileName, int& upgradeFlag,
                              std::string& SLXH, const std::string& STEPID, const std::string& EXTNUM,
                              const std::string& EXTCODE, const std::string& ICCODE,
                              const std::string& fileData, long long LENGTH) {
    if (!CheckInitialPassword())
        return false;
    BuildCommonHeaders();
    AddHeader("LENGTH", std::to_string(LENGTH));
    AddHeader("FILENAME", TdsIOUtils::ExtractName(fileName));
    AddHeader("ICCODE", ICCODE);
    AddHeader("EXTCODE", EXTCODE);
    AddHeader("EXTNUM", EXTNUM);
    AddHeader("STEPID", STEPID);
    AddHeader("SLXH", SLXH);
    std::string body = "FILEDATA=" + fileData;
    if (!SendRequest(ownerWindow, false, body.size(), body.data(), RequestHeaders, "UploadData.do"))
        return false;
    if (!ParseAnswer())
        return false;
    TdsXMLNode slxh = RequireData("SLXH");
    if (slxh.IsNull())
        return false;
    std::string upgrade = TdsStrUtils::Trim(FindNodeByPath(DataNode, "UPGRADE", true).Text());
    if (upgrade.empty() || upgrade[0] < '0' || upgrade[0] > '2') {
        StopBusy(true);
        TdsDialogs::ShowError("服务器处理异常，无效的升级标识！");
        return false;
    }
    SLXH = slxh.Text();
    upgradeFlag = upgrade[0] - '0';
    TdsXMLNode inform = FindNodeByPath(DataNode, "INFORMSERVER", true);
    if (!inform.IsNull() && inform.Text() != NoticeServer) {
        SetNoticeServer(inform.Text());
        TSetSystemBiz::WriteInformServer(NoticeServer);
    }
    return true;
}

bool TQelPlatform::ProcessDownload(TDownloadKind kind, const std::string& SLXH, std::string& resultText) {
    // The texts name the serial number, except for the clear-card query which has none.
    auto text = [&](const std::string& withSerial, const std::string& plain) {
        return kind == dkClearIC ? plain : TdsStrUtils::Format(withSerial, {SLXH});
    };
    auto fail = [&](const std::string& f) {
        resultText = "ERROR;" + TdsStrUtils::Format("常规报税出错（%s）", {f});
        return true;
    };
    TdsXMLNode stateNode = RequireData("STATE");
    if (stateNode.IsNull())
        return false;
    std::string state = TdsStrUtils::Trim(stateNode.Text());
    if (state == "0") {
        resultText = "RETRY;上传的数据正在待处理状态！";
        return true;
    }
    if (state == "1") {
        resultText = "RETRY;上传的数据正在处理中！";
        return true;
    }
    if (state != "2")
        return fail("上传的受理序号错误！");
    TdsXMLNode codeNode = RequireData("ERRCODE");
    if (codeNode.IsNull())
        return false;
    long long code = 0;
    if (!TdsStrUtils::TryStrToInt(TdsStrUtils::Trim(codeNode.Text()), code)) {
        StopBusy(true);
        TdsDialogs::ShowError(kUnknownAnswer);
        return false;
    }
    if (code != 0)
        // The server's text is appended, never used as a format.
        return fail("#" + std::to_string(code) + " " + FindNodeByPath(DataNode, "ERRINFO", true).Text());

    std::string packageName = TdsStrUtils::Trim(FindNodeByPath(DataNode, "FILENAME", true).Text());
    if (packageName.empty())
        return fail(text("受理序号为“%s”的数据包为空！", "数据包为空！"));
    // The name comes from the server: only its last part is used, so it stays in the temporary folder.
    packageName = TdsIOUtils::ExtractName(TdsStrUtils::ReplaceAll(packageName, "\\", "/"));
    if (packageName.empty() || packageName == "." || packageName == "..")
        return fail(text("受理序号为“%s”的数据包为空！", "数据包为空！"));

    std::string tempFolder = Global->PathInfo->GetTempFolder();
    std::string packageFile = tempFolder + packageName;
    std::string bytes;
    try {
        bytes = TdsIOUtils::Base64Decode(FindNodeByPath(DataNode, "ATTESTRESULT", true).Text());
    } catch (const EdsError&) {
        bytes.clear();
    }
    std::error_code ec;
    std::filesystem::remove(packageFile, ec);
    if (bytes.empty() || !TdsIOUtils::WriteTextFile(bytes, packageFile))
        return fail(text("受理序号为“%s”的数据包中无数据！", "数据包中无数据！"));

    std::string zipFile = std::filesystem::path(packageFile).replace_extension(".zip").string();
    if (zipFile != packageFile) {
        std::filesystem::remove(zipFile, ec);
        std::filesystem::rename(packageFile, zipFile, ec);
        if (ec)
            return fail(text("受理序号为“%s”的数据包解压缩失败！", "数据包解压缩失败！"));
    }
    std::string taxpayerTemp = Global->PathInfo->GetTaxpayerTempFolder();
    std::string chosen;
    if (kind == dkResult) {
        bool ok = TdsIOUtils::UnzipFirst(zipFile, taxpayerTemp, chosen);
        std::filesystem::remove(zipFile, ec);
        if (!ok)
            return fail(text("受理序号为“%s”的数据包解压缩失败！", "数据包解压缩失败！"));
    } else {
        if (TdsIOUtils::UnzipTo(zipFile, taxpayerTemp, false) <= 0)
            return fail(text("受理序号为“%s”的数据包解压缩失败！", "数据包解压缩失败！"));
        const std::string part = kind == dkData ? "KDR_Card_" : "_KDR";
        for (const std::string& name : PlainFiles(taxpayerTemp))
            if (name.find(part) != std::string::npos) {
                chosen = taxpayerTemp + name;
                break;
            }
        if (chosen.empty())
            return fail(text("受理序号为“%s”的数据包中没有所需的文件！", "数据包中没有所需的文件！"));
    }
    std::string target = tempFolder + TdsIOUtils::ExtractName(chosen);
    if (!TdsIOUtils::MoveFileTo(chosen, target))
        return fail(text("受理序号为“%s”的数据包中无数据！", "数据包中无数据！"));
    resultText = target;
    return true;
}

bool TQelPlatform::DownloadData(void* ownerWindow, const std::string& SLXH, bool& requestFailed,
                                std::string& resultText, const std::string& STEPID) {
    resultText.clear();
    BuildCommonHeaders();
    AddHeader("SLXH", SLXH);
    AddHeader("STEPID", STEPID);
    requestFailed = !SendHeaders(ownerWindow, false, RequestHeaders, "DownloadData.do");
    if (requestFailed || !ParseAnswer())
        return false;
    return ProcessDownload(dkData, SLXH, resultText);
}

bool TQelPlatform::GetLastClearICInfo(void* ownerWindow, const std::string& STEPID, bool& requestFailed,
                                      std::string& resultText) {
    resultText.clear();
    BuildCommonHeaders();
    AddHeader("STEPID", STEPID);
    requestFailed = !SendHeaders(ownerWindow, false, RequestHeaders, "getLastClearICInfo.do");
    if (requestFailed || !ParseAnswer())
        return false;
    return ProcessDownload(dkClearIC, "", resultText);
}

bool TQelPlatform::DownloadBSData(void* ownerWindow, const std::string& SLXH, std::string& resultText) {
    resultText.clear();
    BuildCommonHeaders();
    AddHeader("SLXH", SLXH);
    if (!SendHeaders(ownerWindow, true, RequestHeaders, "DownloadBSData.do") || !ParseAnswer())
        return false;
    return ProcessDownload(dkResult, SLXH, resultText);
}

bool TQelPlatform::GetBDJG(void* ownerWindow, const std::string& SLXH, int& BDJG) {
    BuildCommonHeaders();
    AddHeader("SLXH", SLXH);
    if (!SendHeaders(ownerWindow, false, RequestHeaders, "GetBDJG.do") || !ParseAnswer())
        return false;
    TdsXMLNode node = RequireData("BDJG");
    if (node.IsNull())
        return false;
    BDJG = IntOf(node.Text(), 0);
    return true;
}

bool TQelPlatform::GetStatus(void* ownerWindow, bool& busy, int& waitTime) {
    BuildCommonHeaders();
    if (!SendHeaders(ownerWindow, false, RequestHeaders, "status.do") || !ParseAnswer())
        return false;
    TdsXMLNode status = RequireData("STATUS");
    if (status.IsNull())
        return false;
    TdsXMLNode wait = RequireData("WAITTIME");
    if (wait.IsNull())
        return false;
    busy = IntOf(status.Text(), 0) != 0;
    waitTime = IntOf(wait.Text(), 0);
    return true;
}

bool TQelPlatform::ChangePwd(void* ownerWindow, const std::string& oldPassword,
                             const std::string& newPassword) {
    BuildCommonHeaders();
    SetHeaderValue(RequestHeaders, "PASSWORD", oldPassword.empty() ? "NULL" : oldPassword);
    AddHeader("NEWPASSWORD", newPassword);
    return SendHeaders(ownerWindow, true, RequestHeaders, "ChangePwd.do") && ParseAnswer();
}

bool TQelPlatform::QueryInform(void* ownerWindow, int& status, bool showBusy, std::string& errorText) {
    errorText.clear();
    if (NoticeServer.empty())
        return false;
    BuildCommonHeaders();
    ApplyNoticeIdentity();
    if (!SendToNoticeServer(ownerWindow, "inform0.do", showBusy, RequestHeaders) || !ParseAnswer())
        return false;
    TdsXMLNode node = RequireData("SLSERVER/STATUS");
    if (node.IsNull())
        return false;
    status = IntOf(node.Text(), 0);
    errorText = FindNodeByPath(DataNode, "SLSERVER/ERROR", true).Text();
    return true;
}

std::string TQelPlatform::NoticeDate(const std::string& text) {
    std::string s = TdsStrUtils::Trim(text);
    std::string read = s;
    // Six digits not beginning with "20" are yymmdd of this century, whatever today's year.
    if (s.size() == 6 && AllDigits(s) && s.compare(0, 2, "20") != 0)
        read = "20" + s;
    bool separated = s.find('-') != std::string::npos || s.find('/') != std::string::npos;
    TDateTime date;
    if ((separated || (AllDigits(s) && (s.size() == 6 || s.size() == 8))) &&
        TdsDateUtils::ParseDate(read, date))
        return TdsDateUtils::FormatDate(date);
    return text;
}

bool TQelPlatform::DownloadNotice(void* ownerWindow, bool showMessages, int& softUpdFlag, int& count) {
    softUpdFlag = 0;
    count = 0;
    if (!CheckInitialPassword())
        return false;
    TVirtualTable current;
    std::string today = TdsDateUtils::FormatDate(TdsClock::Today());
    if (Global->TaxpayerDB->OpenQuery(current, "SELECT FID FROM KDR_Inform WHERE FExpireDate >= " +
                                                   TdsStrUtils::QuotedStr(today)) < 0)
        return false;
    std::string ids;
    for (int r = 0; r < current.RecordCount(); ++r)
        ids += (ids.empty() ? "" : ",") + current.Value(r, 0).AsString();
    BuildCommonHeaders();
    AddHeader("NOTICEIDS", ids);
    bool sent;
    if (!NoticeServer.empty()) {
        ApplyNoticeIdentity();
        sent = SendToNoticeServer(ownerWindow, "DownloadNotice0.do", showMessages, RequestHeaders);
    } else {
        if (!CheckInitialPassword())
            return false;
        sent = SendHeaders(ownerWindow, true, RequestHeaders, "DownloadNotice.do");
    }
    if (!sent || !ParseAnswer())
        return false;
    softUpdFlag = IntOf(FindNodeByPath(ResultNode, "SOFTUPDFLAG", true).Text(), 0);
    std::vector<TdsXMLNode> notices = DataNode.IsNull() ? std::vector<TdsXMLNode>() : DataNode.ChildNodes();
    std::string now = TdsDateUtils::FormatDateTime(TdsClock::Now(), true);
    TdsStrings script;
    for (const TdsXMLNode& n : notices) {
        std::string content;
        try {
            content = TdsEncoding::AnsiToUtf8(TdsIOUtils::Base64Decode(n.Text()));
        } catch (const EdsError&) {
            // Not Base64: kept as it came rather than losing the notice.
            content = n.Text();
        }
        script.Add(TdsStrUtils::Format(
            "INSERT INTO KDR_Inform(FID, FTitle, FContent, FPubDate, FReceiveTime, FExpireDate) "
            "VALUES(%s, %s, %s, %s, %s, %s)",
            {TdsStrUtils::QuotedStr(n.Attribute("ID")), TdsStrUtils::QuotedStr(n.Attribute("ITITLE")),
             TdsStrUtils::QuotedStr(content), TdsStrUtils::QuotedStr(NoticeDate(n.Attribute("PUBDATE"))),
             TdsStrUtils::QuotedStr(now), TdsStrUtils::QuotedStr(NoticeDate(n.Attribute("EXPIREDATE")))}));
    }
    // One transaction: a failure stores none of them, so the server offers them again.
    if (script.Count() > 0 && !Global->TaxpayerDB->ExecScriptOK(script))
        return false;
    count = static_cast<int>(notices.size());
    if (count > 0) {
        if (Global->ModalForms)
            Global->ModalForms->ShowNotices();
    } else if (showMessages) {
        TdsDialogs::ShowInfo("现在没有新的通知！");
    }
    return true;
}
