#pragma once
// The certificate manager ("数字证书管理器") without its window: the rows of its list with the default
// mark, and the actions of its buttons with their questions and messages. The window draws Rows() and
// calls the actions with its current row; it owns one of these for its lifetime, as it owns its store.
//
// The default mark lives only in DefaultCert.dat of the base folder: the thumbprint as plain text
// without line end; empty or absent means no default.
#include "UdsCAPICOM.h"

#include <memory>
#include <string>
#include <vector>

struct TCertRow {
    std::string Image; // "Cert", or "Select" for the default certificate
    std::string SubjectName;
    std::string IssuerName;
    std::string ValidFromDate; // "yyyy-mm-dd"
    std::string ValidToDate;
    std::string Thumbprint;
};

class TCertsManageBiz {
public:
    static constexpr const char* kImportFilter = "数字证书(*.cer;*.pfx)|*.cer;*.pfx";

    // baseFolder holds DefaultCert.dat ("" is the current folder). Opens the store and fills the rows;
    // raises EdsError when the store cannot be read.
    explicit TCertsManageBiz(const std::string& baseFolder);
    // The base folder of the running program (Global).
    TCertsManageBiz();

    // DefaultCert.dat of a base folder, usable without a started program (brindle-admin).
    static std::string DefaultCertFile(const std::string& baseFolder);
    // The file's whole content; empty text when it does not exist.
    static std::string ReadDefaultCert(const std::string& baseFolder);
    // Replaces the file (also a read-only one) with the text; empty text leaves an empty file.
    static bool WriteDefaultCert(const std::string& baseFolder, const std::string& text);

    // Empties the rows and makes one per certificate in collection order, marking the default. The
    // current row is the first afterwards (-1 when there are none).
    void FillList();
    const std::vector<TCertRow>& Rows() const { return rows_; }
    // 0-based; -1 for none.
    int CurrentRow() const { return current_; }
    void SetCurrentRow(int row);
    TdsCAPICOM& Store() { return *store_; }

    // "查看证书": the certificate of the current row for the display dialog; false after the warning
    // "请选择要查看的数字证书！".
    bool ViewCertificate(TdsCertificate& certificate);
    // "导入证书": the open-file dialog, then ImportFile; false when cancelled or failed.
    bool ImportCertificate();
    // A .pfx (or .p12) asks for the private-key password through the certificate prompts (cancel: empty
    // password). On success the list is refilled and "证书导入成功！" shown; a file that cannot be loaded
    // shows the reason as an error box and adds nothing.
    bool ImportFile(const std::string& file);
    // "删除证书": the warning for no current row, the question "您确定要删除当前证书吗？" (No default),
    // then removal; removing the default also clears DefaultCert.dat. "证书删除成功！" at the end.
    bool RemoveCurrent();
    // "设为默认": writes the current row's thumbprint to DefaultCert.dat and moves the mark to it, then
    // the warning box "当前数字证书已设为默认使用！".
    bool SetCurrentDefault();

private:
    bool HasCurrent(const char* warning);

    std::string baseFolder_;
    std::unique_ptr<TdsCAPICOM> store_;
    std::vector<TCertRow> rows_;
    int current_ = -1;
};
