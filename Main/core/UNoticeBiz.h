#pragma once
// The stored notices of the taxpayer database (KDR_Inform) as the notice dialog "通知管理" lists and
// deletes them.
#include "UBusiness.h"

#include <string>
#include <vector>

struct TNoticeRow {
    std::string ID;
    // The title as listed: a notice without one is listed by the start of its content.
    std::string Title;
    std::string PubDate;
    // The date part of the receive time.
    std::string ReceiveDate;
    std::string ReceiveTime;
    std::string Content;
};

class TNoticeBiz : public TBusiness {
public:
    // Newest publication first; false when the query failed (the kit has said why).
    static bool ListNotices(std::vector<TNoticeRow>& rows);
    // The first 20 characters of the content followed by " ..." for an empty title.
    static std::string ListedTitle(const std::string& title, const std::string& content);
    // Asks "您确定要删除当前通知吗？" (No by default); true when the notice was deleted, which is
    // confirmed with "通知删除成功！".
    static bool DeleteNotice(const std::string& id);
};
