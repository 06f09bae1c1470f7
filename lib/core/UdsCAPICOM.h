#pragma once
// The user's personal certificate store: one folder per user ($XDG_DATA_HOME/Brindle/certs), holding the
// certificates imported from .cer (DER or PEM) and .pfx files; a .pfx keeps its private key for client
// authentication. A certificate is identified by its thumbprint: the SHA-1 of its DER form, upper-case hex.
//
// Store layout: one file "<THUMBPRINT>.pem" per certificate holding the certificate (PEM) and, when it came
// from a .pfx, its private key as unencrypted PKCS#8 PEM. As with ~/.ssh, the folder is kept at mode 0700
// and the files at 0600: the file system guards the keys, not a password. "Order.txt" lists the
// thumbprints in import order; that is the collection order (files missing from it follow, by
// thumbprint). Every file is replaced through a temporary file and a rename. Files of the folder that
// cannot be read as a certificate are left out of the collection, so one damaged file does not lock the
// user out of the others.
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

    // The store folder of the current user, ending in "/": $XDG_DATA_HOME/Brindle/certs/ ($XDG_DATA_HOME
    // when absolute, else ~/.local/share).
    static std::string StoreFolder();
    // Reads a certificate file without storing it: ".pfx"/".p12" (any letter case) as PKCS#12 with the
    // password (modern and legacy RC2/3DES encryption), the key kept; any other file as a certificate in
    // DER or PEM. Raises EdsError "无法导入证书“FILE”：REASON" when the file cannot be loaded.
    static TdsCertificate LoadCertificateFile(const std::string& file, const std::string& password);
    // True for the files that carry a private key and so need its password (".pfx", ".p12").
    static bool IsKeyFile(const std::string& file);
    // The thumbprint in its stored form: blanks and ":" removed, upper case ("ab:cd" gives "ABCD").
    static std::string NormalizeThumbprint(const std::string& thumbprint);

    // Reads the store into the collection (narrowed by the filter when it is enabled: subject name,
    // then issuer name, each when not empty; a criterion matches when it is contained, ignoring ASCII
    // letter case, in the name's values joined with ", " as in "张三, Finance, Example Co"). A store
    // folder that does not exist yet is an empty store. Raises EdsError when the store cannot be read.
    void Open();
    void Close();
    void Refresh();
    int Count() const { return static_cast<int>(certificates_.size()); }
    // Position from 1; raises EdsError outside 1..Count.
    const TdsCertificate& GetCertificate(int position) const;
    // An empty certificate when none of the collection has that thumbprint (NormalizeThumbprint applied).
    TdsCertificate FindByThumbprint(const std::string& thumbprint) const;
    // Adds the certificate of a .cer or .pfx file (with the password for .pfx), then refreshes. Raises
    // EdsError with a clear message when the file cannot be loaded or the store cannot be written;
    // nothing is added then. A certificate already in the store keeps its place and its key; a .pfx
    // brings the key to a certificate imported before without one.
    bool ImportCertificate(const std::string& file, const std::string& password);
    // Deletes the certificate from the store and refreshes. False when the store holds none with that
    // thumbprint; raises EdsError when its file cannot be deleted.
    bool RemoveCertificate(const std::string& thumbprint);
    // False: the store holds none. True with a certificate: the chosen one (one alone is chosen
    // without asking). True with an empty certificate: the user cancelled the chooser.
    bool SelectCertificate(TdsCertificate& certificate);

private:
    TCertsFilter filter_;
    std::vector<TdsCertificate> certificates_;
    bool open_ = false;
};
