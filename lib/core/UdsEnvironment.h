#pragma once
// Well-known folders and the system version.
#include <string>

class TdsEnvironment {
public:
    // The folder of a kind, with a trailing "/"; empty text for any other kind. On Linux:
    //   0 system folder           "/etc/"
    //   1 root of the system drive the user's home ($HOME, else the password database); so the default
    //                             backup root is ~/Lumbrane/
    //   2 system library folder   "/usr/lib/"
    //   3 program files folder    "/opt/"
    //   4 temporary folder        $TMPDIR, else "/tmp/"
    //   5 user's desktop          XDG_DESKTOP_DIR (environment, then $XDG_CONFIG_HOME/user-dirs.dirs),
    //                             else ~/Desktop/
    //   6 common desktop          as 5 (there is no common desktop)
    //   7 user's program menu     $XDG_DATA_HOME/applications/, default ~/.local/share/applications/
    //   8 common program menu     "/usr/share/applications/"
    // The folders are named, not created.
    static std::string SpecialFolder(int kind);
    // The kernel's major version compared with 5 and 6.
    static bool IsVersion5OrLater();
    static bool IsVersion6OrLater();
    // "major.minor" of the kernel.
    static std::string VersionText();
};
