#include "UdsHTTP.h"
#include "UdsHexUtils.h"

#include "UdsApplication.h"
#include "UdsEncoding.h"
#include "UdsRegExp.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>

namespace {

const char* const kInvalidAddress = "无效的服务器地址！";
const char* const kInitError = "InitWinInet Error.";
const char* const kBadServerCert = "连接服务器失败，无效的服务端证书！";
const char* const kNoClientCert = "连接服务器失败，未发现有效的客户端证书！";
const char* const kNoChosenCert = "连接服务器失败，未选择有效的客户端证书！";
const char* const kBadClientCert = "连接服务器失败，无效的客户端证书！";
const char* const kCannotConnect = "连接服务器失败，请检查您的网络连接是否正常！";
const char* const kRequestTimeout = "向服务器发送请求超时！";
const char* const kSendFailed = "向服务器发送请求失败，请检查您的网络连接是否正常！";
const char* const kConnectTimeout = "连接服务器超时，请检查您的网络连接是否正常！";

using TSteady = std::chrono::steady_clock;

class TConsoleHTTPPrompts : public TdsHTTPPromptsBackend {};

TConsoleHTTPPrompts consolePrompts;
TdsHTTPPromptsBackend* promptsBackend = nullptr;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

int CtxIndex() {
    static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The curl error's own text, or the connection failure text when curl has none.
std::string SystemErrorText(CURLcode code) {
    if (code == CURLE_OK)
        return "";
    if (code == CURLE_OPERATION_TIMEDOUT)
        return kConnectTimeout;
    const char* message = curl_easy_strerror(code);
    return TdsStrUtils::Format(
        "#%d %s", {std::to_string(static_cast<int>(code)), message && *message ? message : kCannotConnect});
}

bool IsServerCertificateDoubt(CURLcode code) {
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_ISSUER_ERROR ||
           code == CURLE_SSL_INVALIDCERTSTATUS;
}

// Spaces, control characters and bytes beyond ASCII cannot stand in a URL as they are.
std::string EscapeObject(const std::string& object) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : object) {
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string StripSlashes(const std::string& text) {
    size_t b = text.find_first_not_of('/');
    if (b == std::string::npos)
        return "";
    size_t e = text.find_last_not_of('/');
    return text.substr(b, e - b + 1);
}

const char* nullOr(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

bool HasHeader(const std::string& normalised, const std::string& name) {
    TdsStrings lines;
    lines.SetText(normalised);
    for (const auto& line : lines.Items) {
        size_t colon = line.find(':');
        if (colon != std::string::npos &&
            TdsStrUtils::SameText(TdsStrUtils::Trim(line.substr(0, colon)), name))
            return true;
    }
    return false;
}

} // namespace

// What the transfer callbacks share with SendHttpRequest. One per client, so a connection that outlives
// a request never points at freed memory.
struct TdsHTTP::TRequestState {
    enum TDemand { dmNotAsked, dmNoneFound, dmCancelled, dmPresented, dmUnusable };

    const TdsCertificateSource* source = nullptr;
    const TCertsFilter* filter = nullptr;
    TDemand demand = dmNotAsked;
    TdsCertificate certificate;
    std::exception_ptr sourceError;

    std::string rawHeaders; // the last header block (interim answers and proxy replies are dropped)
    std::string body;
    TSteady::time_point lastActivity;
    curl_off_t uploaded = 0;
    curl_off_t downloaded = 0;
    bool statusSeen = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    void NewRequest() {
        demand = dmNotAsked;
        certificate = TdsCertificate();
        sourceError = nullptr;
    }
    void NewAttempt() {
        rawHeaders.clear();
        body.clear();
        lastActivity = TSteady::now();
        uploaded = downloaded = 0;
        statusSeen = false;
    }
};

namespace {

using TState = TdsHTTP::TRequestState;

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<TState*>(user);
    s->body.append(data, size * count);
    s->lastActivity = TSteady::now();
    return size * count;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<TState*>(user);
    std::string line(data, size * count);
    if (line.compare(0, 5, "HTTP/") == 0) {
        s->rawHeaders.clear();
        s->statusSeen = true;
    }
    s->rawHeaders += line;
    s->lastActivity = TSteady::now();
    return size * count;
}

int OnProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto* s = static_cast<TState*>(user);
    if (dlnow != s->downloaded || ulnow != s->uploaded) {
        s->downloaded = dlnow;
        s->uploaded = ulnow;
        s->lastActivity = TSteady::now();
    }
    return 0;
}

// OpenSSL asks for a client certificate: the server sent a certificate request in the handshake.
int OnClientCertificate(SSL* ssl, X509** x509, EVP_PKEY** pkey) {
    auto* s = static_cast<TState*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), CtxIndex()));
    if (!s || !s->source)
        return 0;
    if (s->demand == TState::dmNotAsked) {
        // The same answer serves every handshake of this request (a resend after a certificate
        // doubt or a proxy login), so the user chooses once.
        try {
            TdsCertificate chosen;
            bool found = *s->source ? (*s->source)(*s->filter, chosen) : false;
            if (!found)
                s->demand = TState::dmNoneFound;
            else if (chosen.IsNull())
                s->demand = TState::dmCancelled;
            else {
                s->certificate = chosen;
                s->demand = TState::dmPresented;
            }
        } catch (...) {
            s->sourceError = std::current_exception();
            s->demand = TState::dmNoneFound;
        }
    }
    if (s->demand != TState::dmPresented && s->demand != TState::dmUnusable)
        return 0;
    const auto* der = reinterpret_cast<const unsigned char*>(s->certificate.CertificateDER.data());
    X509* cert = d2i_X509(nullptr, &der, static_cast<long>(s->certificate.CertificateDER.size()));
    const auto* keyDer = reinterpret_cast<const unsigned char*>(s->certificate.PrivateKeyDER.data());
    EVP_PKEY* key =
        s->certificate.PrivateKeyDER.empty()
            ? nullptr
            : d2i_AutoPrivateKey(nullptr, &keyDer, static_cast<long>(s->certificate.PrivateKeyDER.size()));
    if (!cert || !key || X509_check_private_key(cert, key) != 1) {
        X509_free(cert);
        EVP_PKEY_free(key);
        s->demand = TState::dmUnusable;
        return 0;
    }
    *x509 = cert; // OpenSSL takes both
    *pkey = key;
    return 1;
}

CURLcode OnSslContext(CURL*, void* sslContext, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_ex_data(ctx, CtxIndex(), user);
    SSL_CTX_set_client_cert_cb(ctx, OnClientCertificate);
    return CURLE_OK;
}

// Drives the transfer to its end while the front end keeps handling its messages. Waiting longer than
// the time limit for anything to move ends it as a time-out (no limit when it is not positive).
CURLcode RunTransfer(CURLM* multi, CURL* easy, TState& state, int timeout) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_OK;
    bool done = false;
    while (!done) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
            if (m->msg == CURLMSG_DONE && m->easy_handle == easy) {
                result = m->data.result;
                done = true;
            }
        }
        if (done)
            break;
        if (running == 0) {
            result = CURLE_RECV_ERROR;
            break;
        }
        TdsApplication::ProcessMessages();
        auto idle =
            std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - state.lastActivity);
        if (timeout > 0 && idle.count() > timeout) {
            result = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, 50, nullptr);
    }
    curl_multi_remove_handle(multi, easy);
    return result;
}

} // namespace

bool TdsHTTPPromptsBackend::AcceptServerCertificate(void*, const std::string&, const std::string&) {
    return false;
}

bool TdsHTTPPromptsBackend::AskProxyCredentials(void*, const std::string&, std::string&, std::string&) {
    return false;
}

void TdsHTTPPrompts::SetBackend(TdsHTTPPromptsBackend* backend) {
    promptsBackend = backend;
}

TdsHTTPPromptsBackend& TdsHTTPPrompts::Backend() {
    return promptsBackend ? *promptsBackend : consolePrompts;
}

TdsHTTP::TdsHTTP()
    : ClientCertificateSource(&TdsHTTP::StoreCertificate), state_(std::make_unique<TRequestState>()) {}

TdsHTTP::~TdsHTTP() {
    if (easy_)
        curl_easy_cleanup(easy_);
    if (InternetHandle)
        curl_multi_cleanup(InternetHandle);
}

bool TdsHTTP::StoreCertificate(const TCertsFilter& filter, TdsCertificate& certificate) {
#ifdef BRINDLE_HAVE_CERT_STORE
    TdsCAPICOM store(filter);
    return store.SelectCertificate(certificate);
#else
    // A build without the certificate store: there is nothing to present.
    (void)filter;
    certificate = TdsCertificate();
    return false;
#endif
}

bool TdsHTTP::ParseServerAddress(const std::string& serverAddress, std::string& host, int& port, bool& https,
                                 std::string& addressPath) {
    std::string address = TdsStrUtils::Trim(serverAddress);
    https = false;
    if (TdsStrUtils::StartsText("http://", address)) {
        address.erase(0, 7);
    } else if (TdsStrUtils::StartsText("https://", address)) {
        address.erase(0, 8);
        https = true;
    }
    if (!address.empty() && address.back() == '/')
        address.pop_back();
    addressPath.clear();
    size_t slash = address.find('/');
    if (slash != std::string::npos) {
        addressPath = StripSlashes(address.substr(slash));
        address.erase(slash);
    }
    port = https ? 443 : 80;
    size_t colon = address.find(':');
    host = address.substr(0, colon);
    // The address check lets an empty text through; there is no server to reach then.
    if (host.empty())
        return false;
    if (colon == std::string::npos)
        return true;
    long long value = 0;
    if (!TdsStrUtils::TryStrToInt(address.substr(colon + 1), value) || value <= 0 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

std::string TdsHTTP::NormaliseHeaders(const std::string& headers) {
    std::string block = headers;
    if (block.find(':') == std::string::npos)
        block = TdsStrUtils::ReplaceAll(block, "=", ": ");
    TdsStrings lines;
    lines.SetText(block);
    std::string out;
    for (auto& line : lines.Items) {
        size_t colon = line.find(':');
        if (colon != std::string::npos && TdsStrUtils::Trim(line.substr(colon + 1)).empty())
            line = line.substr(0, colon + 1) + " NULL";
        if (!out.empty())
            out += "\r\n";
        out += line;
    }
    return out;
}

std::string TdsHTTP::ResponseText() const {
    return TdsEncoding::AnsiToUtf8(ResponseBody);
}

bool TdsHTTP::SendHttpRequest(void* ownerWindow, const std::string& serverAddress, std::string& errorText,
                              size_t bodyLength, const char* body, const std::string& cookie,
                              const std::string& headers, bool isPost, const std::string& path) {
    errorText.clear();
    StatusCode.clear();
    if (!IsValidURL(serverAddress)) {
        errorText = kInvalidAddress;
        return false;
    }
    GlobalInit();
    if (!InternetHandle)
        InternetHandle = curl_multi_init();
    if (InternetHandle && !easy_) {
        easy_ = curl_easy_init();
        // The cookie engine, so the server's cookies go back to it as a browser would send them. Set once:
        // the handle keeps it (and its cookies) across resets.
        if (easy_) {
            curl_easy_setopt(easy_, CURLOPT_COOKIEFILE, "");
            // The built-in trust store, for the requests that the environment does not redirect.
            char* text = nullptr;
            if (curl_easy_getinfo(easy_, CURLINFO_CAINFO, &text) == CURLE_OK && text)
                defaultCaFile_ = text;
            text = nullptr;
            if (curl_easy_getinfo(easy_, CURLINFO_CAPATH, &text) == CURLE_OK && text)
                defaultCaFolder_ = text;
        }
    }
    if (!InternetHandle || !easy_) {
        errorText = kInitError;
        return false;
    }

    ResponseHeaders.Clear();
    ResponseBody.clear();
    Path = path;
    std::string host, addressPath;
    int port = 80;
    if (!ParseServerAddress(serverAddress, host, port, IsHTTPS, addressPath)) {
        errorText = kInvalidAddress;
        return false;
    }
    std::string object = StripSlashes(path);
    if (!addressPath.empty())
        object = object.empty() ? addressPath : addressPath + "/" + object;
    const std::string url = std::string(IsHTTPS ? "https://" : "http://") + host + ":" +
                            std::to_string(port) + "/" + EscapeObject(object);

    const std::string wireHeaders = NormaliseHeaders(headers);
    const bool sendsBody = isPost || bodyLength > 0;
    TdsStrings headerLines;
    headerLines.SetText(wireHeaders);

    const std::string agent = AgentName.empty() ? "TdsHTTP" : AgentName;
    const std::string ansiCookie = TdsEncoding::Utf8ToAnsi(cookie);
    const std::string caFile = !Env("CURL_CA_BUNDLE").empty() ? Env("CURL_CA_BUNDLE") : Env("SSL_CERT_FILE");
    const std::string caFolder = Env("SSL_CERT_DIR");

    TRequestState& state = *state_;
    state.NewRequest();
    state.source = &ClientCertificateSource;
    state.filter = &CertFilter;

    bool verify = true;
    char* errorBuffer = state.errorBuffer;
    for (;;) {
        // Every option that varies is set again for each send, so nothing of an earlier request (or
        // attempt) is left over. No curl_easy_reset: it would switch off the cookie engine.
        curl_slist* list = nullptr;
        for (const auto& line : headerLines.Items)
            if (!TdsStrUtils::Trim(line).empty())
                list = curl_slist_append(list, TdsEncoding::Utf8ToAnsi(line).c_str());
        // Always fetched from the server, never from a cache on the way.
        if (!HasHeader(wireHeaders, "Cache-Control"))
            list = curl_slist_append(list, "Cache-Control: no-cache");
        if (!HasHeader(wireHeaders, "Pragma"))
            list = curl_slist_append(list, "Pragma: no-cache");
        // The body goes as it is: no "Expect: 100-continue" round trip, no invented content type.
        list = curl_slist_append(list, "Expect:");
        if (sendsBody && !HasHeader(wireHeaders, "Content-Type"))
            list = curl_slist_append(list, "Content-Type:");

        errorBuffer[0] = 0;
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy_, CURLOPT_USERAGENT, agent.c_str());
        curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Timeout > 0 ? Timeout : 0));
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &state);
        curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(easy_, CURLOPT_HEADERDATA, &state);
        curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, &state);
        curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 10L);
        // A redirect may not leave TLS once the request started with it.
        curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, IsHTTPS ? "https" : "http,https");
        curl_easy_setopt(easy_, CURLOPT_COOKIE, ansiCookie.empty() ? nullptr : ansiCookie.c_str());
        if (sendsBody) {
            curl_easy_setopt(easy_, CURLOPT_POST, 1L);
            curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodyLength));
            curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, bodyLength > 0 ? body : "");
        } else {
            curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
        }
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, !isPost && bodyLength > 0 ? "GET" : nullptr);
        curl_easy_setopt(easy_, CURLOPT_CAINFO, !caFile.empty() ? caFile.c_str() : nullOr(defaultCaFile_));
        curl_easy_setopt(easy_, CURLOPT_CAPATH,
                         !caFolder.empty() ? caFolder.c_str() : nullOr(defaultCaFolder_));
        curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
        curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
        curl_easy_setopt(easy_, CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
        curl_easy_setopt(easy_, CURLOPT_SSL_CTX_DATA, &state);
        curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, proxyUser_.empty() ? nullptr : proxyUser_.c_str());
        curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, proxyUser_.empty() ? nullptr : proxyPassword_.c_str());
        curl_easy_setopt(easy_, CURLOPT_PROXYAUTH, proxyUser_.empty() ? CURLAUTH_BASIC : CURLAUTH_ANY);

        TdsApplication::ProcessMessages();
        state.NewAttempt();
        CURLcode result = RunTransfer(InternetHandle, easy_, state, Timeout);
        curl_slist_free_all(list);
        if (state.sourceError)
            std::rethrow_exception(state.sourceError);

        long status = 0, connectStatus = 0;
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
        curl_easy_getinfo(easy_, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        if (result != CURLE_OK && !state.statusSeen)
            status = 0;
        StatusCode = status > 0 ? std::to_string(status) : "";

        // The server asked for a client certificate and got none: that is the reason, whatever
        // the server or the handshake made of it.
        if (state.demand == TRequestState::dmNoneFound) {
            errorText = kNoClientCert;
            return false;
        }
        if (state.demand == TRequestState::dmCancelled) {
            errorText = kNoChosenCert;
            return false;
        }
        const bool presented =
            state.demand == TRequestState::dmPresented || state.demand == TRequestState::dmUnusable;

        if (status == 407 || connectStatus == 407) {
            std::string proxy = Env(IsHTTPS ? "https_proxy" : "http_proxy");
            if (proxy.empty())
                proxy = Env(IsHTTPS ? "HTTPS_PROXY" : "all_proxy");
            std::string user = proxyUser_, password;
            if (TdsHTTPPrompts::Backend().AskProxyCredentials(ownerWindow, proxy, user, password)) {
                proxyUser_ = user;
                proxyPassword_ = password;
                continue;
            }
            errorText = kCannotConnect;
            return false;
        }

        if (result != CURLE_OK) {
            if (verify && IsServerCertificateDoubt(result)) {
                std::string problem = errorBuffer[0] ? errorBuffer : curl_easy_strerror(result);
                if (TdsHTTPPrompts::Backend().AcceptServerCertificate(ownerWindow, host, problem)) {
                    verify = false;
                    continue;
                }
                errorText = kBadServerCert;
                return false;
            }
            if (status == 403 || state.demand == TRequestState::dmUnusable) {
                errorText = kBadClientCert;
                return false;
            }
            switch (result) {
            case CURLE_SSL_CONNECT_ERROR:
            case CURLE_SSL_CERTPROBLEM:
            case CURLE_SSL_CIPHER:
            case CURLE_USE_SSL_FAILED:
                errorText = kBadClientCert;
                return false;
            case CURLE_UNSUPPORTED_PROTOCOL: // a redirect from HTTPS to HTTP
                errorText = IsHTTPS ? kBadClientCert : SystemErrorText(result);
                return false;
            case CURLE_SEND_ERROR:
            case CURLE_RECV_ERROR:
                // The server refused the certificate we presented with an alert.
                if (presented) {
                    errorText = kBadClientCert;
                    return false;
                }
                break;
            case CURLE_COULDNT_CONNECT:
            case CURLE_COULDNT_RESOLVE_PROXY:
                errorText = kCannotConnect;
                return false;
            case CURLE_OPERATION_TIMEDOUT:
                // Connected and the request under way, but the server did not answer in time: the
                // send had no answer. Not even connected in time: the stack's time-out text.
                errorText = pretransfer > 0 ? kRequestTimeout : kConnectTimeout;
                return false;
            default:
                break;
            }
            errorText = SystemErrorText(result);
            return false;
        }

        if (status == 200) {
            TdsStrings lines;
            lines.SetText(TdsEncoding::AnsiToUtf8(state.rawHeaders));
            for (const auto& line : lines.Items) {
                if (TdsStrUtils::Trim(line).empty())
                    continue;
                size_t colon = line.find(':');
                if (colon == std::string::npos)
                    ResponseHeaders.Add(line);
                else
                    ResponseHeaders.Add(TdsStrUtils::Trim(line.substr(0, colon)) + "=" +
                                        TdsStrUtils::Trim(line.substr(colon + 1)));
            }
            ResponseBody.swap(state.body);
            LastCookie = cookie.empty() ? "" : ResponseHeaders.Values("Set-Cookie");
            return true;
        }
        if (status == 403 && presented) {
            errorText = kBadClientCert;
            return false;
        }
        if (status == 0 || status == 408) {
            errorText = kRequestTimeout;
            return false;
        }
        errorText = "#" + StatusCode + ": " + kSendFailed;
        return false;
    }
}

void SplitURL(const std::string& url, std::string& hostPart, std::string& path) {
    size_t scheme = url.find("://");
    size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    size_t slash = url.find('/', from);
    if (slash == std::string::npos) {
        hostPart = url;
        path.clear();
        return;
    }
    hostPart = url.substr(0, slash);
    path = url.substr(slash);
}

std::string JoinPath(const std::string& base, const std::string& tail) {
    std::string out = base;
    if (out.empty() || out.back() != '/')
        out += '/';
    size_t start = tail.find_first_not_of('/');
    if (start != std::string::npos)
        out += tail.substr(start);
    return out;
}

void SetHeaderValue(std::string& headers, const std::string& name, const std::string& value) {
    if (name.empty())
        return;
    size_t at = headers.find(name);
    if (at == std::string::npos)
        return;
    size_t end = headers.find("\r\n", at);
    if (end == std::string::npos)
        end = headers.size();
    headers.replace(at, end - at, name + ": " + value);
}

std::string URLEncodeUTF8(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == ':' || c == '/' || c == '?' || c == '=' ||
                     c == '&';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string URLDecodeUTF8(const std::string& text) {
    auto nibble = TdsHexUtils::HexDigitValue;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && nibble(text[i + 1]) >= 0 && nibble(text[i + 2]) >= 0) {
            out += static_cast<char>(nibble(text[i + 1]) * 16 + nibble(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}
