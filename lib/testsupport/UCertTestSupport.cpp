#include "UCertTestSupport.h"

#include <cstdlib>
#include <stdexcept>

int TScriptedCertPrompts::ChooseCertificate(const std::vector<TdsCertificate>& certificates) {
    std::vector<std::string> listed;
    for (const auto& c : certificates)
        listed.push_back(c.Thumbprint);
    Choosers.push_back(listed);
    if (choices_.empty())
        return -1;
    int index = choices_.front();
    choices_.pop_front();
    return index;
}

bool TScriptedCertPrompts::AskPrivateKeyPassword(std::string& password) {
    ++PasswordPrompts;
    if (passwords_.empty())
        return false;
    TPasswordAnswer answer = passwords_.front();
    passwords_.pop_front();
    if (answer.Ok)
        password = answer.Password;
    return answer.Ok;
}

TTempCertStore::TTempCertStore() {
    if (const char* old = std::getenv("XDG_DATA_HOME"))
        old_ = old;
    ::setenv("XDG_DATA_HOME", folder_.Path().c_str(), 1);
}

TTempCertStore::~TTempCertStore() {
    if (old_)
        ::setenv("XDG_DATA_HOME", old_->c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
}

namespace {

std::string Q(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Run(const std::string& command) {
    std::string out;
    if (RunCommand(command + " 2>&1", &out) != 0)
        throw std::runtime_error("failed: " + command + "\n" + out);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// "notBefore=Dec 11 09:00:00 2026 GMT" -> the local time as date(1) gives it.
std::string LocalDate(const std::string& line) {
    return Run("date -d " + Q(line.substr(line.find('=') + 1)) + " '+%Y-%m-%d %H:%M:%S'");
}

} // namespace

TTestCertificates::TTestCertificates(const std::string& folder, const std::string& caName) : folder_(folder) {
    Run("cd " + Q(folder_) +
        " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ca.key" +
        " && openssl req -x509 -new -key ca.key -subj " + Q("/CN=" + caName + "/O=Brindle Tests") +
        " -days 3650 -out ca.pem");
}

TTestCert TTestCertificates::Make(const std::string& name, const std::string& subject,
                                  const std::string& password, int days) {
    const std::string n = Q(name);
    Run("cd " + Q(folder_) + " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + n +
        ".key && openssl req -new -utf8 -key " + n + ".key -subj " + Q(subject) + " -out " + n +
        ".csr && openssl x509 -req -in " + n + ".csr -CA ca.pem -CAkey ca.key -set_serial " +
        std::to_string(std::rand() % 1000000 + 1) + " -days " + std::to_string(days) + " -out " + n +
        "-pem.cer && openssl x509 -in " + n + "-pem.cer -outform DER -out " + n +
        ".cer && openssl pkcs12 -export -inkey " + n + ".key -in " + n + "-pem.cer -passout pass:" +
        Q(password) + " -out " + n + ".pfx && openssl pkcs12 -export -legacy -inkey " + n + ".key -in " + n +
        "-pem.cer -passout pass:" + Q(password) + " -out " + n + "-legacy.pfx");
    TTestCert c;
    c.CerDer = folder_ + name + ".cer";
    c.CerPem = folder_ + name + "-pem.cer";
    c.Pfx = folder_ + name + ".pfx";
    c.PfxLegacy = folder_ + name + "-legacy.pfx";
    c.Password = password;
    std::string fingerprint = Run("openssl x509 -in " + Q(c.CerPem) + " -noout -fingerprint -sha1");
    for (char ch : fingerprint.substr(fingerprint.find('=') + 1))
        if (ch != ':')
            c.Thumbprint += ch;
    c.NotBefore = LocalDate(Run("openssl x509 -in " + Q(c.CerPem) + " -noout -startdate"));
    c.NotAfter = LocalDate(Run("openssl x509 -in " + Q(c.CerPem) + " -noout -enddate"));
    return c;
}
