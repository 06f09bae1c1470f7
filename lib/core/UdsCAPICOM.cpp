#include "UdsCAPICOM.h"

#include "UdsEnvironment.h"
#include "UdsExceptions.h"
#include "UdsHexUtils.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kOrderFile = "Order.txt";

template <typename T, void (*Free)(T*)> struct TOpenSSLFree {
    void operator()(T* p) const { Free(p); }
};
using TX509 = std::unique_ptr<X509, TOpenSSLFree<X509, X509_free>>;
using TPKey = std::unique_ptr<EVP_PKEY, TOpenSSLFree<EVP_PKEY, EVP_PKEY_free>>;
using TBio = std::unique_ptr<BIO, TOpenSSLFree<BIO, BIO_free_all>>;
using TPKCS12 = std::unique_ptr<PKCS12, TOpenSSLFree<PKCS12, PKCS12_free>>;
using TP8 = std::unique_ptr<PKCS8_PRIV_KEY_INFO, TOpenSSLFree<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;

void FreeCertStack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}
using TCertStack = std::unique_ptr<STACK_OF(X509), TOpenSSLFree<STACK_OF(X509), FreeCertStack>>;

// The reason OpenSSL gives for the last failure, in parentheses; empty when it gave none.
std::string OpenSSLReason() {
    unsigned long code = ERR_peek_last_error();
    std::string text;
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text = std::string("（") + buffer + "）";
    }
    ERR_clear_error();
    return text;
}

[[noreturn]] void Refuse(const std::string& file, const std::string& reason) {
    throw EdsError(TdsStrUtils::Format("无法导入证书“%s”：%s", {file, reason}));
}

// Legacy .pfx files (RC2-40, 3DES as `openssl pkcs12 -export -legacy` and older Windows write them) need
// the legacy provider; loading it by hand means loading the default provider by hand too. Done once; a
// missing legacy module only leaves those files unreadable.
void LoadLegacyProvider() {
    // Unloaded at exit, before OpenSSL's own clean-up (registered earlier, so it runs later).
    struct TProviders {
        OSSL_PROVIDER* Default = OSSL_PROVIDER_load(nullptr, "default");
        OSSL_PROVIDER* Legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        ~TProviders() {
            if (Legacy)
                OSSL_PROVIDER_unload(Legacy);
            if (Default)
                OSSL_PROVIDER_unload(Default);
        }
    };
    static TProviders providers;
    ERR_clear_error();
}

std::string Der(X509* cert) {
    unsigned char* out = nullptr;
    int size = i2d_X509(cert, &out);
    if (size <= 0)
        return "";
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(size));
    OPENSSL_free(out);
    return der;
}

std::string KeyDer(EVP_PKEY* key) {
    TP8 p8(EVP_PKEY2PKCS8(key));
    if (!p8)
        return "";
    unsigned char* out = nullptr;
    int size = i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &out);
    if (size <= 0)
        return "";
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(size));
    OPENSSL_free(out);
    return der;
}

std::string Utf8(const ASN1_STRING* value) {
    unsigned char* out = nullptr;
    int size = ASN1_STRING_to_UTF8(&out, value);
    if (size < 0)
        return "";
    std::string text(reinterpret_cast<char*>(out), static_cast<size_t>(size));
    OPENSSL_free(out);
    return text;
}

// The common name, else the value of the first entry.
std::string SimpleName(const X509_NAME* name) {
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0)
        index = X509_NAME_entry_count(name) > 0 ? 0 : -1;
    if (index < 0)
        return "";
    return Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

// Every value of the name, most specific first, joined with ", " (the text the filter searches).
std::string NameValues(const X509_NAME* name) {
    std::string text;
    for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
        if (!text.empty())
            text += ", ";
        text += Utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
    }
    return text;
}

TDateTime LocalTime(const ASN1_TIME* time) {
    struct tm utc {};
    if (!time || ASN1_TIME_to_tm(time, &utc) != 1)
        return TDateTime();
    time_t seconds = timegm(&utc);
    struct tm local {};
    localtime_r(&seconds, &local);
    return TDateTime::Encode(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                             local.tm_min, local.tm_sec);
}

std::string Sha1Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha1(), nullptr) != 1)
        throw EdsError("SHA-1 is not available");
    return TdsHexUtils::BytesToHex(std::string(reinterpret_cast<char*>(digest), size));
}

TdsCertificate Describe(X509* cert, const std::string& keyDer) {
    TdsCertificate c;
    c.CertificateDER = Der(cert);
    c.Thumbprint = Sha1Hex(c.CertificateDER);
    c.SubjectName = SimpleName(X509_get_subject_name(cert));
    c.IssuerName = SimpleName(X509_get_issuer_name(cert));
    c.ValidFromDate = LocalTime(X509_get0_notBefore(cert));
    c.ValidToDate = LocalTime(X509_get0_notAfter(cert));
    c.PrivateKeyDER = keyDer;
    return c;
}

TX509 ParseDer(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    TX509 cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    // Bytes after the certificate mean the file is something else or damaged.
    if (cert && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size())
        cert.reset();
    return cert;
}

// One PEM block of a text: its label and its decoded bytes.
struct TPemBlock {
    std::string Name;
    std::string Data;
};

std::vector<TPemBlock> ReadPemBlocks(const std::string& text) {
    std::vector<TPemBlock> blocks;
    TBio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio)
        return blocks;
    for (;;) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long size = 0;
        if (PEM_read_bio(bio.get(), &name, &header, &data, &size) != 1)
            break;
        blocks.push_back({name, std::string(reinterpret_cast<char*>(data), static_cast<size_t>(size))});
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
    ERR_clear_error(); // the end of the text reads as "no start line"
    return blocks;
}

std::string PemBlock(const char* name, const std::string& der) {
    TBio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio(bio.get(), name, "", reinterpret_cast<const unsigned char*>(der.data()),
                              static_cast<long>(der.size())) <= 0)
        throw EdsError("cannot encode PEM");
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

TdsCertificate LoadCer(const std::string& file, const std::string& bytes) {
    TX509 cert;
    if (bytes.find("-----BEGIN") != std::string::npos) {
        for (const auto& block : ReadPemBlocks(bytes))
            if (block.Name == "CERTIFICATE" || block.Name == "X509 CERTIFICATE") {
                cert = ParseDer(block.Data);
                break;
            }
    } else {
        cert = ParseDer(bytes);
    }
    if (!cert)
        Refuse(file, "文件已损坏或不是有效的证书文件。" + OpenSSLReason());
    return Describe(cert.get(), "");
}

TdsCertificate LoadPfx(const std::string& file, const std::string& bytes, const std::string& password) {
    LoadLegacyProvider();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    TPKCS12 p12(d2i_PKCS12(nullptr, &p, static_cast<long>(bytes.size())));
    if (!p12)
        Refuse(file, "文件已损坏或不是有效的PKCS#12证书文件。" + OpenSSLReason());
    // An empty password may have been written as no password or as the empty one; PKCS12_parse tries
    // both, so the check here does too.
    if (PKCS12_mac_present(p12.get())) {
        bool good =
            password.empty()
                ? PKCS12_verify_mac(p12.get(), nullptr, 0) == 1 || PKCS12_verify_mac(p12.get(), "", 0) == 1
                : PKCS12_verify_mac(p12.get(), password.c_str(), static_cast<int>(password.size())) == 1;
        if (!good) {
            ERR_clear_error();
            Refuse(file, "私钥密码不正确。");
        }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    int parsed = PKCS12_parse(p12.get(), password.c_str(), &rawKey, &rawCert, &rawCa);
    TPKey key(rawKey);
    TX509 cert(rawCert);
    TCertStack ca(rawCa);
    if (parsed != 1)
        Refuse(file, "无法读取文件中的证书和私钥。" + OpenSSLReason());
    // A file without a key carries its certificates in the other list.
    if (!cert && ca && sk_X509_num(ca.get()) > 0)
        cert.reset(sk_X509_shift(ca.get()));
    if (!cert)
        Refuse(file, "文件中没有证书。");
    std::string keyDer;
    if (key) {
        keyDer = KeyDer(key.get());
        if (keyDer.empty())
            Refuse(file, "无法读取证书的私钥。" + OpenSSLReason());
    }
    return Describe(cert.get(), keyDer);
}

bool IsThumbprintFileName(const std::string& name) {
    return name.size() == 44 && name.compare(40, 4, ".pem") == 0 &&
           TdsHexUtils::IsHexText(name.substr(0, 40));
}

// A stored certificate file; false when it holds no readable certificate.
bool ReadStoredFile(const std::string& file, TdsCertificate& certificate) {
    std::string text;
    if (!TdsIOUtils::TryReadTextFile(file, text))
        return false;
    TX509 cert;
    std::string keyDer;
    for (const auto& block : ReadPemBlocks(text)) {
        if (block.Name == "CERTIFICATE" && !cert)
            cert = ParseDer(block.Data);
        else if (block.Name == "PRIVATE KEY" && keyDer.empty())
            keyDer = block.Data;
    }
    ERR_clear_error();
    if (!cert)
        return false;
    certificate = Describe(cert.get(), keyDer);
    return true;
}

std::vector<std::string> ReadOrder(const std::string& folder) {
    std::vector<std::string> order;
    TdsStrUtils::SplitText(TdsIOUtils::ReadTextFile(folder + kOrderFile), "\n", true, order);
    for (auto& t : order)
        t = TdsCAPICOM::NormalizeThumbprint(t);
    return order;
}

void WriteStoreFile(const std::string& text, const std::string& file) {
    if (!TdsIOUtils::WriteTextFile(text, file) || ::chmod(file.c_str(), 0600) != 0)
        throw EdsError(TdsStrUtils::Format("无法写入证书存储文件“%s”：%s", {file, std::strerror(errno)}));
}

std::string PrepareStoreFolder() {
    std::string folder = TdsCAPICOM::StoreFolder();
    if (!TdsIOUtils::ForceFolders(folder) || ::chmod(folder.c_str(), 0700) != 0)
        throw EdsError(TdsStrUtils::Format("无法创建证书存储目录“%s”：%s", {folder, std::strerror(errno)}));
    return folder;
}

// Subject criterion, then issuer criterion; an empty criterion does not narrow.
bool MatchesFilter(const TCertsFilter& filter, const TdsCertificate& certificate) {
    TX509 cert = ParseDer(certificate.CertificateDER);
    if (!cert)
        return false;
    if (!filter.SubjectName.empty() &&
        !TdsStrUtils::ContainsText(NameValues(X509_get_subject_name(cert.get())), filter.SubjectName))
        return false;
    return filter.IssuerName.empty() ||
           TdsStrUtils::ContainsText(NameValues(X509_get_issuer_name(cert.get())), filter.IssuerName);
}

class TConsoleCertPrompts : public TdsCertPromptsBackend {
public:
    int ChooseCertificate(const std::vector<TdsCertificate>&) override { return -1; }
    bool AskPrivateKeyPassword(std::string&) override { return false; }
};

TConsoleCertPrompts consolePrompts;
TdsCertPromptsBackend* currentPrompts = &consolePrompts;

} // namespace

void TdsCertPrompts::SetBackend(TdsCertPromptsBackend* backend) {
    currentPrompts = backend ? backend : &consolePrompts;
}

TdsCertPromptsBackend& TdsCertPrompts::Backend() {
    return *currentPrompts;
}

TdsCAPICOM::TdsCAPICOM(const TCertsFilter& filter) : filter_(filter) {
    Open();
}

TdsCAPICOM::~TdsCAPICOM() {
    Close();
}

std::string TdsCAPICOM::StoreFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string data =
        xdg && xdg[0] == '/' ? std::string(xdg) : TdsEnvironment::SpecialFolder(1) + ".local/share";
    if (data.back() != '/')
        data += '/';
    return data + "Brindle/certs/";
}

bool TdsCAPICOM::IsKeyFile(const std::string& file) {
    return TdsStrUtils::EndsText(".pfx", file) || TdsStrUtils::EndsText(".p12", file);
}

std::string TdsCAPICOM::NormalizeThumbprint(const std::string& thumbprint) {
    std::string out;
    for (char c : thumbprint)
        if (c != ' ' && c != ':' && c != '\t' && c != '\r' && c != '\n')
            out += c;
    return TdsStrUtils::UpperCase(out);
}

TdsCertificate TdsCAPICOM::LoadCertificateFile(const std::string& file, const std::string& password) {
    std::string bytes;
    if (!TdsIOUtils::FileExists(file) || !TdsIOUtils::TryReadTextFile(file, bytes))
        Refuse(file, "文件不存在或无法读取。");
    ERR_clear_error();
    return IsKeyFile(file) ? LoadPfx(file, bytes, password) : LoadCer(file, bytes);
}

void TdsCAPICOM::Open() {
    certificates_.clear();
    std::string folder = StoreFolder();
    if (!TdsIOUtils::FolderExists(folder)) {
        open_ = true;
        return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        throw EdsError(TdsStrUtils::Format("无法打开证书存储“%s”：%s", {folder, std::strerror(errno)}));
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir))
        if (IsThumbprintFileName(entry->d_name))
            names.push_back(entry->d_name);
    ::closedir(dir);

    // Import order from the order file, then what it does not know, by thumbprint.
    std::vector<std::string> order = ReadOrder(folder);
    auto rank = [&](const std::string& name) {
        auto it = std::find(order.begin(), order.end(), TdsStrUtils::UpperCase(name.substr(0, 40)));
        return it == order.end() ? order.size() : static_cast<size_t>(it - order.begin());
    };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        size_t ra = rank(a), rb = rank(b);
        return ra != rb ? ra < rb : TdsStrUtils::UpperCase(a) < TdsStrUtils::UpperCase(b);
    });

    for (const auto& name : names) {
        TdsCertificate c;
        // The name is only a hint: a file whose content does not have that thumbprint is not ours.
        if (!ReadStoredFile(folder + name, c) || c.Thumbprint != TdsStrUtils::UpperCase(name.substr(0, 40)))
            continue;
        if (filter_.Enabled && !MatchesFilter(filter_, c))
            continue;
        certificates_.push_back(std::move(c));
    }
    open_ = true;
}

void TdsCAPICOM::Close() {
    certificates_.clear();
    open_ = false;
}

void TdsCAPICOM::Refresh() {
    Close();
    Open();
}

const TdsCertificate& TdsCAPICOM::GetCertificate(int position) const {
    if (position < 1 || position > Count())
        throw EdsError(TdsStrUtils::Format("证书序号%d超出范围（共%d个证书）。",
                                           {std::to_string(position), std::to_string(Count())}));
    return certificates_[static_cast<size_t>(position - 1)];
}

TdsCertificate TdsCAPICOM::FindByThumbprint(const std::string& thumbprint) const {
    std::string wanted = NormalizeThumbprint(thumbprint);
    for (const auto& c : certificates_)
        if (!wanted.empty() && c.Thumbprint == wanted)
            return c;
    return TdsCertificate();
}

bool TdsCAPICOM::ImportCertificate(const std::string& file, const std::string& password) {
    TdsCertificate c = LoadCertificateFile(file, password);
    std::string folder = PrepareStoreFolder();
    std::string target = folder + c.Thumbprint + ".pem";

    // The same certificate imported before keeps the key it came with.
    TdsCertificate stored;
    if (!c.HasPrivateKey() && ReadStoredFile(target, stored) && stored.Thumbprint == c.Thumbprint)
        c.PrivateKeyDER = stored.PrivateKeyDER;

    std::string text = PemBlock("CERTIFICATE", c.CertificateDER);
    if (c.HasPrivateKey())
        text += PemBlock("PRIVATE KEY", c.PrivateKeyDER);
    WriteStoreFile(text, target);

    std::vector<std::string> order = ReadOrder(folder);
    if (std::find(order.begin(), order.end(), c.Thumbprint) == order.end()) {
        order.push_back(c.Thumbprint);
        std::string list;
        for (const auto& t : order)
            list += t + "\n";
        WriteStoreFile(list, folder + kOrderFile);
    }
    Refresh();
    return true;
}

bool TdsCAPICOM::RemoveCertificate(const std::string& thumbprint) {
    std::string wanted = NormalizeThumbprint(thumbprint);
    std::string folder = StoreFolder();
    std::string file = folder + wanted + ".pem";
    if (wanted.size() != 40 || !TdsHexUtils::IsHexText(wanted) || !TdsIOUtils::FileExists(file))
        return false;
    if (::unlink(file.c_str()) != 0)
        throw EdsError(TdsStrUtils::Format("无法删除证书“%s”：%s", {wanted, std::strerror(errno)}));
    std::vector<std::string> order = ReadOrder(folder);
    auto it = std::find(order.begin(), order.end(), wanted);
    if (it != order.end()) {
        order.erase(it);
        std::string list;
        for (const auto& t : order)
            list += t + "\n";
        // The certificate is gone already; a stale order entry is harmless, so this may fail quietly.
        if (TdsIOUtils::WriteTextFile(list, folder + kOrderFile))
            ::chmod((folder + kOrderFile).c_str(), 0600);
    }
    Refresh();
    return true;
}

bool TdsCAPICOM::SelectCertificate(TdsCertificate& certificate) {
    certificate = TdsCertificate();
    if (certificates_.empty())
        return false;
    if (certificates_.size() == 1) {
        certificate = certificates_.front();
        return true;
    }
    int index = TdsCertPrompts::Backend().ChooseCertificate(certificates_);
    if (index >= 0 && index < Count())
        certificate = FindByThumbprint(certificates_[static_cast<size_t>(index)].Thumbprint);
    return true;
}
