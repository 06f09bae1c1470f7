#include "UCommPlatform.h"

#include "UGlobal.h"
#include "UdsDialogs.h"
#include "UdsStrUtils.h"

namespace {

std::string NormaliseServer(const std::string& address) {
    std::string s = TdsStrUtils::Trim(address);
    if (TdsStrUtils::StartsText("http://", s))
        s.erase(0, 7);
    if (!s.empty() && s.back() == '/')
        s.pop_back();
    if (s.find(':') == std::string::npos)
        s += ":80";
    return s;
}

} // namespace

void TCommPlatform::SetMainServer(const std::string& address) {
    MainServer = NormaliseServer(address);
}

void TCommPlatform::SetStandbyServer(const std::string& address) {
    std::string s = TdsStrUtils::Trim(address);
    StandbyServer = TdsStrUtils::SameText(s, "http://:") ? "" : NormaliseServer(s);
}

void TCommPlatform::SetNoticeServer(const std::string& address) {
    NoticeServer = TdsStrUtils::Trim(address);
}

void TCommPlatform::SetSubDomain(const std::string& prefix) {
    std::string s = TdsStrUtils::Trim(prefix);
    if (!s.empty()) {
        if (s.front() != '/')
            s.insert(s.begin(), '/');
        if (s.size() > 1 && s.back() == '/')
            s.pop_back();
    }
    SubDomain = s;
}

bool TCommPlatform::HasStandbyServer() const {
    return !StandbyServer.empty() && !TdsStrUtils::StartsText("http://:", StandbyServer) &&
           StandbyServer.front() != ':';
}

void TCommPlatform::StartBusy(void* ownerWindow, bool showBusy, const std::string& text) {
    if (showBusy && Global && Global->BusyForm)
        Global->BusyForm->StartBusyText(ownerWindow, 2, 2, text);
}

void TCommPlatform::StopBusy(bool showBusy) {
    if (showBusy && Global && Global->BusyForm)
        Global->BusyForm->StopBusy();
}

bool TCommPlatform::SendTo(void* ownerWindow, const std::string& server, size_t bodyLength, const char* body,
                           const std::string& headers, const std::string& name, std::string& errorText) {
    return SendHttpRequest(ownerWindow, server, errorText, bodyLength, body, "", headers, true,
                           JoinPath(SubDomain, name));
}

void TCommPlatform::ReportError(const std::string& errorText, const std::string& name) const {
    // Servers without a status operation must not produce a message.
    if (name == "status.do" && (StatusCode == "400" || StatusCode == "404"))
        return;
    TdsDialogs::ShowError(errorText);
}

bool TCommPlatform::SendRequest(void* ownerWindow, bool showBusy, size_t bodyLength, const char* body,
                                const std::string& headers, const std::string& name) {
    std::string errorText;
    StartBusy(ownerWindow, showBusy, "正在与主服务器通讯");
    bool ok = SendTo(ownerWindow, MainServer, bodyLength, body, headers, name, errorText);
    StopBusy(showBusy);
    if (ok)
        return true;
    if (!HasStandbyServer()) {
        ReportError(errorText, name);
        return false;
    }
    StartBusy(ownerWindow, showBusy, "正在与备用服务器通讯");
    ok = SendTo(ownerWindow, StandbyServer, bodyLength, body, headers, name, errorText);
    StopBusy(showBusy);
    if (!ok)
        ReportError(errorText, name);
    return ok;
}

bool TCommPlatform::SendHeaders(void* ownerWindow, bool showBusy, const std::string& headers,
                                const std::string& name) {
    return SendRequest(ownerWindow, showBusy, 0, nullptr, headers, name);
}

bool TCommPlatform::SendToNoticeServer(void* ownerWindow, const std::string& name, bool showBusy,
                                       const std::string& headers) {
    std::string errorText;
    StartBusy(ownerWindow, showBusy, "正在与通知服务器通讯");
    bool ok = SendTo(ownerWindow, NoticeServer, 0, nullptr, headers, name, errorText);
    StopBusy(showBusy);
    if (!ok && showBusy)
        TdsDialogs::ShowError(TdsStrUtils::ReplaceAll(errorText, "服务器", "通知服务器"));
    return ok;
}

bool TCommPlatform::CheckInitialPassword() {
    if (Global->IsDebugMode() || Global->AuthenPassword != Global->InitialAuthenPassword)
        return true;
    TdsDialogs::ShowWarning("请修改初始网络抄报密码！");
    return false;
}
