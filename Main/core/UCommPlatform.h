#pragma once
// The platform client's transport side: the main, standby and notice servers, the path prefix, sending a
// named operation with the standby fallback, and the guard against the initial network password.
#include "UdsHTTP.h"

#include <cstddef>
#include <string>

class TCommPlatform : public TdsHTTP {
public:
    TCommPlatform() = default;

    // "host:port", or an address beginning with "https://".
    std::string MainServer;
    // Empty when there is none; a text beginning with ":" or "http://:" also counts as none.
    std::string StandbyServer;
    std::string NoticeServer;
    // Empty, or beginning with "/" and not ending with "/".
    std::string SubDomain;
    // The header block of the request being built.
    std::string RequestHeaders;

    // Trim; drop a leading "http://" and one trailing "/"; ":80" when the text holds no ":" at all.
    void SetMainServer(const std::string& address);
    // As SetMainServer; "http://:" (any case) clears it.
    void SetStandbyServer(const std::string& address);
    void SetNoticeServer(const std::string& address);
    // Trim; a non-empty prefix gets a leading "/" and loses one trailing "/".
    void SetSubDomain(const std::string& prefix);

    bool HasStandbyServer() const;

    // POST of SubDomain + name to the main server, repeated on the standby server when that fails. The
    // error shown is the last server's; the main server's is never shown once the standby is tried.
    bool SendRequest(void* ownerWindow, bool showBusy, size_t bodyLength, const char* body,
                     const std::string& headers, const std::string& name);
    bool SendHeaders(void* ownerWindow, bool showBusy, const std::string& headers, const std::string& name);
    // POST to the notice server, no fallback; its errors name the notice server and are shown only with
    // showBusy.
    bool SendToNoticeServer(void* ownerWindow, const std::string& name, bool showBusy,
                            const std::string& headers);
    // False (with the warning "请修改初始网络抄报密码！") while the network password is still the initial
    // one, outside debug mode.
    bool CheckInitialPassword();

    virtual void BuildCommonHeaders() = 0;
    virtual bool ChangePwd(void* ownerWindow, const std::string& oldPassword,
                           const std::string& newPassword) = 0;

protected:
    void StartBusy(void* ownerWindow, bool showBusy, const std::string& text);
    void StopBusy(bool showBusy);

private:
    bool SendTo(void* ownerWindow, const std::string& server, size_t bodyLength, const char* body,
                const std::string& headers, const std::string& name, std::string& errorText);
    void ReportError(const std::string& errorText, const std::string& name) const;
};
