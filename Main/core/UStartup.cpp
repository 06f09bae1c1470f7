#include "UStartup.h"

#include "ULogManager.h"
#include "UUserManageBiz.h"
#include "UdsApplication.h"
#include "UdsDialogs.h"
#include "UdsIOUtils.h"
#include "UdsStrUtils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- TInstanceLock ----

TInstanceLock::~TInstanceLock() {
    Release();
}

std::string TInstanceLock::LockFile(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder;
    if (runtime && runtime[0] == '/')
        folder = TdsIOUtils::IncludeSlash(runtime); // empty when the folder does not exist
    if (folder.empty()) {
        folder = "/tmp/brindle-" + std::to_string(getuid()) + "/";
        mkdir(folder.c_str(), 0700);
        // Only a folder of our own: a folder someone else prepared could hand the lock to anyone.
        struct stat st {};
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid())
            return "";
    }
    return folder + name + ".lock";
}

bool TInstanceLock::Acquire(std::string& error) {
    error.clear();
    if (fd_ >= 0)
        return true;
    std::string file = LockFile(name_);
    if (file.empty()) {
        error = "no private folder for the lock file";
        return false;
    }
    // Close-on-exec: a program started through the shell (the launcher at re-login) must not inherit
    // the lock and so keep the next instance out.
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = file + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        error = file + ": not a lock file of this user";
        close(fd);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "" : file + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void TInstanceLock::Release() {
    if (fd_ < 0)
        return;
    close(fd_);
    fd_ = -1;
}

TInstanceLock& ProcessInstanceLock() {
    static TInstanceLock lock(kInstanceMutexName);
    return lock;
}

// ---- Start-up ----

bool StartupCheck() {
    if (Global->ParamCount() != 3 || !TdsIOUtils::FileExists(Global->ParamStr(3))) {
        TdsDialogs::ShowError("无效的启动参数！");
        TdsApplication::Terminate();
        return false;
    }
    Global->TaxpayerID = Global->ParamStr(1);
    Global->UserInfo->Code = Global->ParamStr(2);
    Global->TaxMediaKind = Global->ParamStr(4);

    if (!Global->OpenTaxpayerDatabase(Global->PathInfo->GetTaxpayerDatabaseFile()))
        return false;
    if (!Global->OpenSystemDatabase())
        return false;

    TUserManageBiz users;
    std::string password;
    users.FindUser(Global->UserInfo->Code, Global->UserInfo->Name, Global->UserInfo->Reserved, password);

    Global->LogManager->AddLog("登录系统");

    TdsXMLNode region = FindRegion(Global->PathInfo->GetBaseFolder(), Global->TaxpayerID);
    if (region.IsNull())
        return false;
    Global->RegionCode = region.Attribute("Code");
    Global->Options = FindChildNode(region, "Options", false).Clone();
    return true;
}

bool BrindleStartup(std::vector<std::string> params, TGlobalFrontEnd frontEnd) {
    // The lock is tried before the global state is built, so a refused second instance writes nothing,
    // not even the header of the application log; its message needs only the title.
    std::string error;
    if (!ProcessInstanceLock().Acquire(error)) {
        std::string launcher = params.size() >= 3 ? params[2] : std::string();
        std::string title, copyright, version;
        if (!TGlobal::ReadProductInfo(TdsIOUtils::ExtractFolder(launcher) + "Config.dll", title, copyright,
                                      version))
            return false;
        if (error.empty())
            TdsDialogs::ShowError(TdsStrUtils::Format("“%s”已经运行！", {title}));
        else
            TdsDialogs::ShowError("无法建立单实例锁：" + error);
        return false;
    }
    if (!CreateGlobal(std::move(params), std::move(frontEnd)))
        return false;
    // The front end takes the title (AppTitle) and the icon (IconFile) from the global state.
    if (!StartupCheck()) {
        FreeGlobal();
        return false;
    }
    return true;
}
