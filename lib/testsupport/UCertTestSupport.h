#pragma once
// Certificate fixtures for tests: the certificate dialogs recording every chooser and password prompt and
// answering from a script, a private store folder, and certificates made with the openssl command.
#include "UTestSupport.h"
#include "UdsCAPICOM.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

class TScriptedCertPrompts : public TdsCertPromptsBackend {
public:
    // Installs itself as the backend for its lifetime.
    TScriptedCertPrompts() { TdsCertPrompts::SetBackend(this); }
    ~TScriptedCertPrompts() override { TdsCertPrompts::SetBackend(nullptr); }
    TScriptedCertPrompts(const TScriptedCertPrompts&) = delete;
    TScriptedCertPrompts& operator=(const TScriptedCertPrompts&) = delete;

    // The next chooser answers: a row index, or -1 for "取消". Without a script the chooser cancels.
    void ChooseNext(int index) { choices_.push_back(index); }
    // The next password prompts: the password typed and "确定", or cancelled. Without a script they cancel.
    void PasswordNext(const std::string& password) { passwords_.push_back({true, password}); }
    void CancelPasswordNext() { passwords_.push_back({false, ""}); }

    // The thumbprints each chooser listed, in order of the calls.
    std::vector<std::vector<std::string>> Choosers;
    int PasswordPrompts = 0;

    int ChooseCertificate(const std::vector<TdsCertificate>& certificates) override;
    bool AskPrivateKeyPassword(std::string& password) override;

private:
    struct TPasswordAnswer {
        bool Ok;
        std::string Password;
    };
    std::deque<int> choices_;
    std::deque<TPasswordAnswer> passwords_;
};

// Points XDG_DATA_HOME at a temporary folder for its lifetime (programs run meanwhile inherit it), so the
// user's own store is never touched; the old value comes back afterwards.
class TTempCertStore {
public:
    TTempCertStore();
    ~TTempCertStore();
    TTempCertStore(const TTempCertStore&) = delete;
    TTempCertStore& operator=(const TTempCertStore&) = delete;
    // The store folder inside it (TdsCAPICOM::StoreFolder()).
    std::string StoreFolder() const { return folder_.Path() + "Brindle/certs/"; }

private:
    TTempFolder folder_;
    std::optional<std::string> old_;
};

// A client certificate made by TTestCertificates, its files and what openssl itself says about it.
struct TTestCert {
    std::string CerDer;    // the certificate alone, DER, "NAME.cer"
    std::string CerPem;    // the certificate alone, PEM, "NAME-pem.cer"
    std::string Pfx;       // certificate and key, AES (OpenSSL 3 default), "NAME.pfx"
    std::string PfxLegacy; // certificate and key, RC2/3DES (-legacy), "NAME-legacy.pfx"
    std::string Password;
    std::string Thumbprint; // `openssl x509 -fingerprint -sha1`, colons removed
    std::string NotBefore;  // local "yyyy-mm-dd hh:nn:ss", converted by date(1)
    std::string NotAfter;
};

// A test CA in a folder, and client certificates signed by it (EC keys, quick to make).
class TTestCertificates {
public:
    // Makes the CA (subject "/CN=caName/O=Brindle Tests") in the folder; raises std::runtime_error when
    // openssl fails.
    explicit TTestCertificates(const std::string& folder, const std::string& caName = "Brindle Test CA");
    // subject: an openssl -subj text such as "/CN=张三/O=Example". days: the validity from now.
    TTestCert Make(const std::string& name, const std::string& subject, const std::string& password,
                   int days = 365);
    const std::string& Folder() const { return folder_; }

private:
    std::string folder_;
};
