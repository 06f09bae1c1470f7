#include "UCertsManageBiz.h"

#include "UGlobal.h"
#include "UdsDateUtils.h"
#include "UdsDialogs.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

namespace {

const char* const kCert = "Cert";
const char* const kSelect = "Select";

} // namespace

TCertsManageBiz::TCertsManageBiz(const std::string& baseFolder)
    : baseFolder_(baseFolder), store_(std::make_unique<TdsCAPICOM>()) {
    FillList();
}

TCertsManageBiz::TCertsManageBiz() : TCertsManageBiz(Global->PathInfo->GetBaseFolder()) {}

std::string TCertsManageBiz::DefaultCertFile(const std::string& baseFolder) {
    std::string folder = baseFolder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder + "DefaultCert.dat";
}

std::string TCertsManageBiz::ReadDefaultCert(const std::string& baseFolder) {
    std::string text;
    if (!TdsIOUtils::TryReadTextFile(DefaultCertFile(baseFolder), text))
        return "";
    return text;
}

bool TCertsManageBiz::WriteDefaultCert(const std::string& baseFolder, const std::string& text) {
    // The rename over the old file replaces it even when it is read-only.
    return TdsIOUtils::WriteTextFile(text, DefaultCertFile(baseFolder));
}

void TCertsManageBiz::FillList() {
    rows_.clear();
    for (int i = 1; i <= store_->Count(); ++i) {
        const TdsCertificate& c = store_->GetCertificate(i);
        rows_.push_back({kCert, c.SubjectName, c.IssuerName, TdsDateUtils::FormatDate(c.ValidFromDate),
                         TdsDateUtils::FormatDate(c.ValidToDate), c.Thumbprint});
    }
    // A hand-edited file may carry a line end or lower-case digits; they still name the same certificate.
    std::string mark = TdsCAPICOM::NormalizeThumbprint(ReadDefaultCert(baseFolder_));
    if (!mark.empty())
        for (auto& row : rows_)
            if (row.Thumbprint == mark) {
                row.Image = kSelect;
                break;
            }
    current_ = rows_.empty() ? -1 : 0;
}

void TCertsManageBiz::SetCurrentRow(int row) {
    current_ = row >= 0 && row < static_cast<int>(rows_.size()) ? row : -1;
}

bool TCertsManageBiz::HasCurrent(const char* warning) {
    if (current_ >= 0 && current_ < static_cast<int>(rows_.size()))
        return true;
    TdsDialogs::ShowWarning(warning);
    return false;
}

bool TCertsManageBiz::ViewCertificate(TdsCertificate& certificate) {
    certificate = TdsCertificate();
    if (!HasCurrent("请选择要查看的数字证书！"))
        return false;
    certificate = store_->FindByThumbprint(rows_[static_cast<size_t>(current_)].Thumbprint);
    return !certificate.IsNull();
}

bool TCertsManageBiz::ImportCertificate() {
    std::string file;
    if (!TdsDialogs::OpenFileDialog("导入证书", kImportFilter, file) || file.empty())
        return false;
    return ImportFile(file);
}

bool TCertsManageBiz::ImportFile(const std::string& file) {
    std::string password;
    if (TdsCAPICOM::IsKeyFile(file)) {
        std::string typed;
        if (TdsCertPrompts::Backend().AskPrivateKeyPassword(typed))
            password = TdsStrUtils::Trim(typed);
    }
    try {
        store_->ImportCertificate(file, password);
    } catch (const EdsError& e) {
        TdsDialogs::ShowError(e.what());
        return false;
    }
    FillList();
    TdsDialogs::ShowPrompt("证书导入成功！", mkInformation);
    return true;
}

bool TCertsManageBiz::RemoveCurrent() {
    if (!HasCurrent("请选择要删除的数字证书！"))
        return false;
    if (!TdsDialogs::Confirm("您确定要删除当前证书吗？", mkWarning))
        return false;
    const TCertRow row = rows_[static_cast<size_t>(current_)];
    try {
        if (!store_->RemoveCertificate(row.Thumbprint)) {
            // Gone since the list was filled (another program, or by hand): show the store as it is.
            FillList();
            TdsDialogs::ShowError("当前证书已不在证书存储中！");
            return false;
        }
    } catch (const EdsError& e) {
        TdsDialogs::ShowError(e.what());
        return false;
    }
    if (row.Image == kSelect && !WriteDefaultCert(baseFolder_, "")) {
        FillList();
        TdsDialogs::ShowError(
            TdsStrUtils::Format("证书已删除，但无法清除默认证书标记“%s”！", {DefaultCertFile(baseFolder_)}));
        return false;
    }
    FillList();
    TdsDialogs::ShowPrompt("证书删除成功！", mkInformation);
    return true;
}

bool TCertsManageBiz::SetCurrentDefault() {
    if (!HasCurrent("请选择要设为默认使用的数字证书！"))
        return false;
    TCertRow& current = rows_[static_cast<size_t>(current_)];
    if (!WriteDefaultCert(baseFolder_, current.Thumbprint)) {
        TdsDialogs::ShowError(TdsStrUtils::Format("无法写入文件“%s”！", {DefaultCertFile(baseFolder_)}));
        return false;
    }
    for (auto& row : rows_)
        row.Image = kCert;
    current.Image = kSelect;
    TdsDialogs::ShowWarning("当前数字证书已设为默认使用！");
    return true;
}
