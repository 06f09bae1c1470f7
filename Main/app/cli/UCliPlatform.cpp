// brindle-cli … status | download-notices | query-inform | notices | change-password OLD NEW: the
// platform client's operations as the main window and its dialogs call them, results on standard output.
#include "cli/UCliCommand.h"

#include "UGlobal.h"
#include "ULogManager.h"
#include "UNoticeBiz.h"
#include "UQelPlatform.h"
#include "USetSystemBiz.h"
#include "UdsDialogs.h"

#include <iostream>

namespace {

std::string Line(const std::string& value) {
    return TdsConsoleDialogs::OneLine(value);
}

int Done(bool ok) {
    std::cout.flush();
    return ok && std::cout ? ceOK : ceFailed;
}

int Status(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("status");
    bool busy = false;
    int waitTime = 0;
    if (!Global->Platform->GetStatus(nullptr, busy, waitTime))
        return ceFailed;
    std::cout << "busy=" << (busy ? 1 : 0) << "\nwaittime=" << waitTime << "\n";
    return Done(true);
}

// The menu's "下载通知": with messages; new notices open the notice list.
int DownloadNotices(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("download-notices");
    int flag = 0, count = 0;
    if (!Global->Platform->DownloadNotice(nullptr, true, flag, count))
        return ceFailed;
    std::cout << "count=" << count << "\nsoftupdflag=" << flag << "\n";
    return Done(true);
}

// The announcement check after start-up; a status other than 0 shows the server's text as an error.
int QueryInform(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("query-inform");
    if (Global->Platform->NoticeServer.empty()) {
        std::cerr << "brindle-cli: no notice server is configured\n";
        return ceFailed;
    }
    int status = 0;
    std::string errorText;
    if (!Global->Platform->QueryInform(nullptr, status, true, errorText))
        return ceFailed;
    if (status != 0)
        TdsDialogs::ShowError(errorText);
    std::cout << "status=" << status << "\nerror=" << Line(errorText) << "\n";
    return Done(true);
}

int Notices(const std::vector<std::string>& args) {
    if (!args.empty())
        return CliUsage("notices");
    std::vector<TNoticeRow> rows;
    if (!TNoticeBiz::ListNotices(rows))
        return ceFailed;
    for (const TNoticeRow& r : rows)
        std::cout << Line(r.ID) << "\t" << Line(r.PubDate) << "\t" << Line(r.ReceiveDate) << "\t"
                  << Line(r.Title) << "\n";
    return Done(true);
}

// The password dialog's "确定": the server first; only an accepted change is stored and logged.
int ChangePassword(const std::vector<std::string>& args) {
    if (args.size() != 2)
        return CliUsage("change-password");
    const std::string& oldPassword = args[0];
    const std::string& newPassword = args[1];
    if (newPassword.size() < 6) {
        TdsDialogs::ShowWarning("新密码必须大于等于6位！");
        return ceFailed;
    }
    if (!Global->Platform->ChangePwd(nullptr, oldPassword, newPassword))
        return ceFailed;
    TSetSystemBiz::WriteConfigValue("Network", "AuthenPassword", newPassword);
    Global->AuthenPassword = newPassword;
    Global->LogManager->AddLog("修改网络抄报密码");
    TdsDialogs::ShowInfo("密码修改成功！");
    return ceOK;
}

TCliRegistrar status("status", "", Status);
TCliRegistrar downloadNotices("download-notices", "", DownloadNotices);
TCliRegistrar queryInform("query-inform", "", QueryInform);
TCliRegistrar notices("notices", "", Notices);
TCliRegistrar changePassword("change-password", "OLD NEW", ChangePassword);

} // namespace
