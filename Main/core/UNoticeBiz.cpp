#include "UNoticeBiz.h"

#include "UGlobal.h"
#include "UVirtualTable.h"
#include "UdsAdoDBKit.h"
#include "UdsDialogs.h"
#include "UdsStrUtils.h"

namespace {

// The first n characters (code points) of a UTF-8 text.
std::string FirstChars(const std::string& text, size_t n) {
    size_t i = 0, chars = 0;
    while (i < text.size() && chars < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
        i += len;
        ++chars;
    }
    return text.substr(0, std::min(i, text.size()));
}

} // namespace

std::string TNoticeBiz::ListedTitle(const std::string& title, const std::string& content) {
    if (!title.empty())
        return title;
    return FirstChars(content, 20) + " ...";
}

bool TNoticeBiz::ListNotices(std::vector<TNoticeRow>& rows) {
    rows.clear();
    TVirtualTable t;
    if (Global->TaxpayerDB->OpenQuery(t, "SELECT * FROM KDR_Inform ORDER BY FPubDate DESC") < 0)
        return false;
    for (t.First(); !t.Eof(); t.Next()) {
        TNoticeRow r;
        r.ID = t.FieldByName("FID").AsString();
        r.Content = t.FieldByName("FContent").AsString();
        r.Title = ListedTitle(t.FieldByName("FTitle").AsString(), r.Content);
        r.PubDate = t.FieldByName("FPubDate").AsString();
        r.ReceiveTime = t.FieldByName("FReceiveTime").AsString();
        r.ReceiveDate = r.ReceiveTime.substr(0, 10);
        rows.push_back(r);
    }
    return true;
}

bool TNoticeBiz::DeleteNotice(const std::string& id) {
    if (!TdsDialogs::AskQuestion("您确定要删除当前通知吗？", mkWarning, true))
        return false;
    if (Global->TaxpayerDB->ExecSQL("DELETE FROM KDR_Inform WHERE FID = " + TdsStrUtils::QuotedStr(id)) <= 0)
        return false;
    TdsDialogs::ShowInfo("通知删除成功！");
    return true;
}
