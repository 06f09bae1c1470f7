// brindle-admin cert: the user's certificate store from the command line.
//
//   cert list [--base BASE]                 one line per certificate, tab-separated: thumbprint, subject,
//                                           issuer, valid from, valid to, and "*" for the default of BASE
//   cert import FILE [--password P]         prints the thumbprint and subject of the imported certificate
//   cert remove THUMBPRINT [--base BASE]    clears BASE's default mark when it named this certificate
//   cert default THUMBPRINT --base BASE     writes BASE/DefaultCert.dat
//
// BASE is an installation's base folder (the folder of DefaultCert.dat).
#include "admin/UAdminCommand.h"

#include "UCertsManageBiz.h"
#include "UdsCAPICOM.h"
#include "UdsDateUtils.h"
#include "UdsExceptions.h"
#include "UdsIOUtils.h"

#include <iostream>
#include <optional>

namespace {

struct TCertArgs {
    std::vector<std::string> Positional;
    std::optional<std::string> Base;
    std::optional<std::string> Password;
};

// False on an unknown option or an option without its value.
bool ParseArgs(const std::vector<std::string>& args, TCertArgs& out) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--base" || a == "--password") {
            if (i + 1 >= args.size())
                return false;
            (a == "--base" ? out.Base : out.Password) = args[++i];
        } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            return false;
        } else {
            out.Positional.push_back(a);
        }
    }
    return true;
}

bool CheckBase(const std::optional<std::string>& base, std::string& error) {
    if (base && !TdsIOUtils::FolderExists(*base)) {
        error = "base folder \"" + *base + "\" does not exist";
        return false;
    }
    return true;
}

std::string DefaultMark(const std::optional<std::string>& base) {
    return base ? TdsCAPICOM::NormalizeThumbprint(TCertsManageBiz::ReadDefaultCert(*base)) : "";
}

int List(const TCertArgs& a) {
    std::string error;
    if (!CheckBase(a.Base, error))
        return AdminFail(error);
    std::string mark = DefaultMark(a.Base);
    TdsCAPICOM store;
    for (int i = 1; i <= store.Count(); ++i) {
        const TdsCertificate& c = store.GetCertificate(i);
        std::cout << c.Thumbprint << "\t" << c.SubjectName << "\t" << c.IssuerName << "\t"
                  << TdsDateUtils::FormatDateTime(c.ValidFromDate) << "\t"
                  << TdsDateUtils::FormatDateTime(c.ValidToDate) << "\t" << (c.Thumbprint == mark ? "*" : "")
                  << "\n";
    }
    return aeOK;
}

int Import(const TCertArgs& a) {
    const std::string& file = a.Positional[0];
    TdsCertificate c = TdsCAPICOM::LoadCertificateFile(file, a.Password.value_or(""));
    TdsCAPICOM store;
    store.ImportCertificate(file, a.Password.value_or(""));
    std::cout << c.Thumbprint << "\t" << c.SubjectName << (c.HasPrivateKey() ? "\twith private key" : "")
              << "\n";
    return aeOK;
}

int Remove(const TCertArgs& a) {
    std::string error;
    if (!CheckBase(a.Base, error))
        return AdminFail(error);
    std::string thumbprint = TdsCAPICOM::NormalizeThumbprint(a.Positional[0]);
    TdsCAPICOM store;
    if (!store.RemoveCertificate(thumbprint))
        return AdminFail("no certificate with thumbprint " + thumbprint + " in " + TdsCAPICOM::StoreFolder());
    if (a.Base && DefaultMark(a.Base) == thumbprint && !TCertsManageBiz::WriteDefaultCert(*a.Base, ""))
        return AdminFail("removed, but cannot clear " + TCertsManageBiz::DefaultCertFile(*a.Base));
    return aeOK;
}

int Default(const TCertArgs& a) {
    std::string error;
    if (!CheckBase(a.Base, error))
        return AdminFail(error);
    std::string thumbprint = TdsCAPICOM::NormalizeThumbprint(a.Positional[0]);
    TdsCAPICOM store;
    if (store.FindByThumbprint(thumbprint).IsNull())
        return AdminFail("no certificate with thumbprint " + thumbprint + " in " + TdsCAPICOM::StoreFolder());
    if (!TCertsManageBiz::WriteDefaultCert(*a.Base, thumbprint))
        return AdminFail("cannot write " + TCertsManageBiz::DefaultCertFile(*a.Base));
    return aeOK;
}

int Cert(const std::vector<std::string>& args) {
    TCertArgs a;
    if (args.empty() || !ParseArgs(std::vector<std::string>(args.begin() + 1, args.end()), a))
        return AdminUsage("cert");
    const std::string& action = args[0];
    try {
        if (action == "list" && a.Positional.empty() && !a.Password)
            return List(a);
        if (action == "import" && a.Positional.size() == 1 && !a.Base)
            return Import(a);
        if (action == "remove" && a.Positional.size() == 1 && !a.Password)
            return Remove(a);
        if (action == "default" && a.Positional.size() == 1 && a.Base && !a.Password)
            return Default(a);
    } catch (const EdsError& e) {
        return AdminFail(e.what());
    }
    return AdminUsage("cert");
}

TAdminRegistrar cert("cert",
                     "list [--base BASE] | import FILE [--password P] | remove THUMBPRINT [--base BASE] | "
                     "default THUMBPRINT --base BASE",
                     Cert);

} // namespace
