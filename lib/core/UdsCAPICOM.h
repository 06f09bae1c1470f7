#pragma once
// The user's personal certificate store: one folder per user ($XDG_DATA_HOME/Brindle/certs), holding the
// certificates imported from .cer (DER or PEM) and .pfx files; a .pfx keeps its private key for client
// authentication. A certificate is identified by its thumbprint: the SHA-1 of its DER form, upper-case hex.
#include "UdsDateTime.h"

#include <string>
#include <vector>

struct TCertsFilter {
    bool Enabled = false;
    std::string SubjectName;
    std::string IssuerName;
};

struct TdsCertificate {
    std::string Thumbprint;
    std::string SubjectName; // simple names (the common name, else the first name entry)
    std::string IssuerName;
    TDateTime ValidFromDate;
    TDateTime ValidToDate;
    std::string CertificateDER;
    std::string PrivateKeyDER; // PKCS#8; empty when the store holds no key for it
    bool IsNull() const { return Thumbprint.empty(); }
    bool HasPrivateKey() const { return !PrivateKeyDER.empty(); }
};

// The front end's dialogs for the store: the certificate chooser and the private-key password prompt.
class TdsCertPromptsBackend {
public:
    virtual ~TdsCertPromptsBackend() = default;
    // Shows the chooser over the certificates with the first row selected; the chosen index, or -1 for
    // "取消".
    virtual int ChooseCertificate(const std::vector<TdsCertificate>& certificates) = 0;
    // The "私钥密码" dialog; false when cancelled.
    virtual bool AskPrivateKeyPassword(std::string& password) = 0;
};

class TdsCertPrompts {
public:
    // Installs the backend (not owned); nullptr restores the console one, which cancels both dialogs.
    static void SetBackend(TdsCertPromptsBackend* backend);
    static TdsCertPromptsBackend& Backend();
};

class TdsCAPICOM {
public:
    explicit TdsCAPICOM(const TCertsFilter& filter = TCertsFilter());
    ~TdsCAPICOM();
    TdsCAPICOM(const TdsCAPICOM&) = delete;
    TdsCAPICOM& operator=(const TdsCAPICOM&) = delete;

    // The store folder of the current user, ending in "/".
    static std::string StoreFolder();

    // Reads the store into the collection (narrowed by the filter when it is enabled: subject name,
    // then issuer name). Raises EdsError when the store cannot be read.
    void Open();
    void Close();
    void Refresh();
    int Count() const { return static_cast<int>(certificates_.size()); }
    // Position from 1.
    const TdsCertificate& GetCertificate(int position) const;
    // An empty certificate when none has that thumbprint.
    TdsCertificate FindByThumbprint(const std::string& thumbprint) const;
    // Adds the certificate of a .cer or .pfx file (with the password for .pfx). Raises EdsError with a
    // clear message when the file cannot be loaded; nothing is added then.
    bool ImportCertificate(const std::string& file, const std::string& password);
    bool RemoveCertificate(const std::string& thumbprint);
    // False: the store holds none. True with a certificate: the chosen one (one alone is chosen
    // without asking). True with an empty certificate: the user cancelled the chooser.
    bool SelectCertificate(TdsCertificate& certificate);

private:
    TCertsFilter filter_;
    std::vector<TdsCertificate> certificates_;
    bool open_ = false;
};
