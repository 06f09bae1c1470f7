#pragma once
// One HTTP or HTTPS request to a server, its answer kept: status code, response headers and body.
// Transport is libcurl (OpenSSL) driven through a multi handle, so the front end keeps processing its
// pending messages while a request runs. The proxy is the environment's (http_proxy, https_proxy,
// no_proxy). The servers' certificates are checked against the system's trust store, or the file named by
// CURL_CA_BUNDLE or SSL_CERT_FILE (and the folder named by SSL_CERT_DIR) when those are set.
// Every failure ends in one of a fixed set of texts that the callers show unchanged.
#include "UdsCAPICOM.h"
#include "UdsStrUtils.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// The front end's dialogs for a request: the doubtful server certificate and the proxy credentials.
class TdsHTTPPromptsBackend {
public:
    virtual ~TdsHTTPPromptsBackend() = default;
    // The certificate warning for this request; true: go on without checking the certificate.
    virtual bool AcceptServerCertificate(void* ownerWindow, const std::string& host,
                                         const std::string& problem);
    // The proxy's authentication dialog; user comes filled with the last name used. True: send again
    // with these credentials.
    virtual bool AskProxyCredentials(void* ownerWindow, const std::string& proxy, std::string& user,
                                     std::string& password);
};

class TdsHTTPPrompts {
public:
    // Installs the backend (not owned); nullptr restores the console one, which declines both dialogs
    // (a console program has no one to ask, so the request fails with the matching text).
    static void SetBackend(TdsHTTPPromptsBackend* backend);
    static TdsHTTPPromptsBackend& Backend();
};

// Where a client certificate comes from when a server demands one; the same answers as
// TdsCAPICOM::SelectCertificate: false = the store holds none, true with an empty certificate = the user
// cancelled the choice, otherwise the certificate to present (with its private key).
using TdsCertificateSource = std::function<bool(const TCertsFilter& filter, TdsCertificate& certificate)>;

class TdsHTTP {
public:
    TdsHTTP();
    virtual ~TdsHTTP();
    TdsHTTP(const TdsHTTP&) = delete;
    TdsHTTP& operator=(const TdsHTTP&) = delete;

    bool IsHTTPS = false;
    // The multi handle; opened by the first request, closed by the destructor. Connections are kept
    // alive in it between requests.
    void* InternetHandle = nullptr; // a CURLM*
    std::string AgentName;
    // Milliseconds: connecting, and each wait for the server while sending or receiving; 0 or less: no
    // limit of our own (the transport's connect limit still holds).
    int Timeout = 60000;
    TCertsFilter CertFilter;
    std::string Path;
    std::string StatusCode;
    TdsStrings ResponseHeaders; // of the last successful answer, "name=value"
    std::string ResponseBody;   // bytes of the last successful answer
    std::string LastCookie;
    // Asked at most once per request, when the server demands a client certificate during the TLS
    // handshake. Defaults to StoreCertificate.
    TdsCertificateSource ClientCertificateSource;

    // Sends one request; true only for status 200, otherwise errorText holds the text to show.
    // headers: lines separated by CR LF ("name=value" lines when the block has no ":" at all).
    // cookie: "name=value" sent with the request; body: bodyLength bytes sent as they are.
    bool SendHttpRequest(void* ownerWindow, const std::string& serverAddress, std::string& errorText,
                         size_t bodyLength, const char* body, const std::string& cookie,
                         const std::string& headers, bool isPost, const std::string& path);
    bool SendHttpRequest(void* ownerWindow, const std::string& serverAddress, std::string& errorText,
                         const std::string& body, const std::string& cookie, const std::string& headers,
                         bool isPost, const std::string& path) {
        return SendHttpRequest(ownerWindow, serverAddress, errorText, body.size(), body.data(), cookie,
                               headers, isPost, path);
    }

    // The body as text: its CP936 bytes in UTF-8.
    std::string ResponseText() const;

    // The personal certificate store's choice (TdsCAPICOM::SelectCertificate with the filter). Built
    // against the store when its unit is part of the library (lib/core/CMakeLists.txt), else it finds none.
    static bool StoreCertificate(const TCertsFilter& filter, TdsCertificate& certificate);

    // The address without scheme split into host and port (80, or 443 for "https://"); anything after
    // the port (a path in the address) comes back without its slashes. False when there is no host or the
    // port is not a number.
    static bool ParseServerAddress(const std::string& serverAddress, std::string& host, int& port,
                                   bool& https, std::string& addressPath);
    // The header block as it goes on the wire: "=" becomes ": " when the block has no ":" at all; empty
    // values become "NULL".
    static std::string NormaliseHeaders(const std::string& headers);

    struct TRequestState;

private:
    void* easy_ = nullptr; // a CURL*, reused so connections stay alive
    std::unique_ptr<TRequestState> state_;
    std::string defaultCaFile_;
    std::string defaultCaFolder_;
    std::string proxyUser_;
    std::string proxyPassword_;
};

// "scheme://host/rest" → "scheme://host" and "/rest"; without "/" after the host the path is empty.
void SplitURL(const std::string& url, std::string& hostPart, std::string& path);
// base + exactly one "/" + tail without its leading "/".
std::string JoinPath(const std::string& base, const std::string& tail);
// Replaces the line of the header block from name's occurrence up to the next CR LF by "name: value";
// leaves the block as it is when name does not occur.
void SetHeaderValue(std::string& headers, const std::string& name, const std::string& value);
// Percent-encodes the UTF-8 text, keeping ":", "/", "?", "=" and "&" so a whole URL stays a URL.
std::string URLEncodeUTF8(const std::string& text);
// Percent-decodes the text; a "%" not followed by two hex digits stays as it is.
std::string URLDecodeUTF8(const std::string& text);
