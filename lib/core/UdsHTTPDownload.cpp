#include "UdsHTTPDownload.h"

#include "UdsApplication.h"
#include "UdsHTTP.h"
#include "UdsStrUtils.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <mutex>

namespace {

const char* const kCannotConnect = "连接服务器失败，请检查您的网络连接是否正常！";
const char* const kRequestTimeout = "向服务器发送请求超时！";
const char* const kSendFailed = "向服务器发送请求失败，请检查您的网络连接是否正常！";
const char* const kConnectTimeout = "连接服务器超时，请检查您的网络连接是否正常！";
const char* const kBadServerCert = "连接服务器失败，无效的服务端证书！";
const char* const kInitError = "InitWinInet Error.";

using TSteady = std::chrono::steady_clock;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

} // namespace

struct TdsHTTPDownload::TState {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    std::string postBody;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    bool active = false; // easy is part of multi
    bool done = false;
    CURLcode result = CURLE_OK;
    bool paused = false;
    bool headersDone = false;
    bool anyStatus = false;
    long status = 0;
    std::string rawHeaders; // the final header block
    bool followRedirects = false;
    TSteady::time_point lastActivity;

    // Reading the body.
    bool reading = false;
    bool stopRequested = false;
    const std::function<bool(const char*, size_t)>* sink = nullptr;
    const std::atomic<bool>* stop = nullptr;
    const TdsHTTPDownload::TProgress* progress = nullptr;
    std::string block;
    int64_t received = 0;

    bool Deliver(const char* data, size_t size) {
        received += static_cast<int64_t>(size);
        if (!(*sink)(data, size))
            return false;
        if (progress && *progress)
            (*progress)(received);
        return !(stop && stop->load());
    }

    void Detach() {
        if (active) {
            curl_multi_remove_handle(multi, easy);
            active = false;
        }
        if (headerList) {
            curl_slist_free_all(headerList);
            headerList = nullptr;
        }
    }
};

namespace {

using TState = TdsHTTPDownload::TState;

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<TState*>(user);
    const size_t n = size * count;
    s->lastActivity = TSteady::now();
    if (!s->reading) {
        // The caller reads the headers first; curl keeps the bytes until the body is asked for.
        s->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    size_t pos = 0;
    // Fill the carried block first, then whole blocks straight from curl's buffer.
    if (!s->block.empty()) {
        size_t take = std::min(n, TdsHTTPDownload::kBlockSize - s->block.size());
        s->block.append(data, take);
        pos = take;
        if (s->block.size() == TdsHTTPDownload::kBlockSize) {
            bool go = s->Deliver(s->block.data(), s->block.size());
            s->block.clear();
            if (!go) {
                s->stopRequested = true;
                return 0;
            }
        }
    }
    while (n - pos >= TdsHTTPDownload::kBlockSize) {
        if (!s->Deliver(data + pos, TdsHTTPDownload::kBlockSize)) {
            s->stopRequested = true;
            return 0;
        }
        pos += TdsHTTPDownload::kBlockSize;
    }
    s->block.append(data + pos, n - pos);
    return n;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* s = static_cast<TState*>(user);
    const size_t n = size * count;
    std::string line(data, n);
    s->lastActivity = TSteady::now();
    if (line.compare(0, 5, "HTTP/") == 0) {
        s->rawHeaders.clear();
        size_t sp = line.find(' ');
        long status = sp == std::string::npos ? 0 : std::strtol(line.c_str() + sp + 1, nullptr, 10);
        s->status = status;
        s->anyStatus = true;
    }
    s->rawHeaders += line;
    if ((line == "\r\n" || line == "\n") && s->status >= 200 &&
        !(s->followRedirects && IsRedirect(s->status)))
        s->headersDone = true;
    return n;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

TdsHTTPDownload::TdsHTTPDownload() : state_(std::make_unique<TState>()) {
    GlobalInit();
    state_->multi = curl_multi_init();
    state_->easy = curl_easy_init();
}

TdsHTTPDownload::~TdsHTTPDownload() {
    state_->Detach();
    if (state_->easy)
        curl_easy_cleanup(state_->easy);
    if (state_->multi)
        curl_multi_cleanup(state_->multi);
}

bool TdsHTTPDownload::Connect(const std::string& address) {
    Close();
    std::string path;
    SplitURL(TdsStrUtils::Trim(address), hostPart_, path);
    if (!TdsStrUtils::StartsText("http://", hostPart_) && !TdsStrUtils::StartsText("https://", hostPart_))
        hostPart_ = "http://" + hostPart_;
    defaultPath_ = path.empty() ? "/" : path;
    return true;
}

void TdsHTTPDownload::Close() {
    state_->Detach();
    state_->reading = false;
    state_->paused = false;
}

void TdsHTTPDownload::FailWith(int code, bool connected) {
    const auto result = static_cast<CURLcode>(code);
    switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        ErrorText = kCannotConnect;
        return;
    case CURLE_OPERATION_TIMEDOUT:
        ErrorText = connected ? kRequestTimeout : kConnectTimeout;
        return;
    default:
        break;
    }
    const char* message = curl_easy_strerror(result);
    ErrorText =
        TdsStrUtils::Format("#%d %s", {std::to_string(code), message && *message ? message : kCannotConnect});
}

// Drives the transfer until its headers are complete (untilHeaders) or it ends. False on a time-out.
bool TdsHTTPDownload::Perform(bool untilHeaders) {
    TState& s = *state_;
    while (!s.done) {
        int running = 0;
        if (curl_multi_perform(s.multi, &running) != CURLM_OK) {
            s.done = true;
            s.result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* m = curl_multi_info_read(s.multi, &queued))
            if (m->msg == CURLMSG_DONE && m->easy_handle == s.easy) {
                s.done = true;
                s.result = m->data.result;
            }
        if (s.done || (untilHeaders && s.headersDone))
            break;
        if (ProcessMessages)
            TdsApplication::ProcessMessages();
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - s.lastActivity);
        if (Timeout > 0 && idle.count() > Timeout)
            return false;
        curl_multi_poll(s.multi, nullptr, 0, ProcessMessages ? 50 : 200, nullptr);
    }
    return true;
}

bool TdsHTTPDownload::SendRequest(const std::string& path, const std::string& headers, bool isPost,
                                  const std::string& body) {
    ErrorText.clear();
    StatusCode.clear();
    Close();
    TState& s = *state_;
    if (!s.multi || !s.easy) {
        ErrorText = kInitError;
        return false;
    }
    const std::string object = path.empty() ? defaultPath_ : path;
    requestURL_ = object.empty() || object[0] != '/' ? JoinPath(hostPart_, object) : hostPart_ + object;
    const bool https = TdsStrUtils::StartsText("https://", hostPart_);
    bool verify = true;

    for (;;) {
        s.Detach();
        TdsStrings lines;
        lines.SetText(headers);
        for (const auto& line : lines.Items)
            if (!TdsStrUtils::Trim(line).empty())
                s.headerList = curl_slist_append(s.headerList, line.c_str());
        s.headerList = curl_slist_append(s.headerList, "Cache-Control: no-cache");
        s.headerList = curl_slist_append(s.headerList, "Pragma: no-cache");
        s.headerList = curl_slist_append(s.headerList, "Expect:");
        s.postBody = body;

        CURL* e = s.easy;
        s.errorBuffer[0] = 0;
        curl_easy_setopt(e, CURLOPT_URL, requestURL_.c_str());
        curl_easy_setopt(e, CURLOPT_USERAGENT, AgentName.c_str());
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, s.errorBuffer);
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(Timeout > 0 ? Timeout : 0));
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.headerList);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, OnBody);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &s);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, OnHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &s);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 1L);
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, FollowRedirects ? 1L : 0L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 65536L);
        if (isPost) {
            curl_easy_setopt(e, CURLOPT_POST, 1L);
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(s.postBody.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, s.postBody.data());
        } else {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        }
        const std::string caFile =
            !Env("CURL_CA_BUNDLE").empty() ? Env("CURL_CA_BUNDLE") : Env("SSL_CERT_FILE");
        if (!caFile.empty())
            curl_easy_setopt(e, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
        curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, proxyUser_.empty() ? nullptr : proxyUser_.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, proxyUser_.empty() ? nullptr : proxyPassword_.c_str());
        curl_easy_setopt(e, CURLOPT_PROXYAUTH, proxyUser_.empty() ? CURLAUTH_BASIC : CURLAUTH_ANY);

        s.done = false;
        s.result = CURLE_OK;
        s.paused = false;
        s.headersDone = false;
        s.anyStatus = false;
        s.status = 0;
        s.rawHeaders.clear();
        s.followRedirects = FollowRedirects;
        s.reading = false;
        s.block.clear();
        s.received = 0;
        s.lastActivity = TSteady::now();
        if (curl_multi_add_handle(s.multi, e) != CURLM_OK) {
            ErrorText = kInitError;
            return false;
        }
        s.active = true;
        if (ProcessMessages)
            TdsApplication::ProcessMessages();
        const bool inTime = Perform(true);
        long connectStatus = 0;
        curl_easy_getinfo(e, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
        long status = s.anyStatus ? s.status : 0;
        StatusCode = status > 0 ? std::to_string(status) : "";

        if (status == 407 || connectStatus == 407) {
            Close();
            std::string proxy = Env(https ? "https_proxy" : "http_proxy");
            if (proxy.empty())
                proxy = Env(https ? "HTTPS_PROXY" : "all_proxy");
            std::string user = proxyUser_, password;
            if (TdsHTTPPrompts::Backend().AskProxyCredentials(OwnerWindow, proxy, user, password)) {
                proxyUser_ = user;
                proxyPassword_ = password;
                continue;
            }
            ErrorText = kCannotConnect;
            return false;
        }
        if (!inTime) {
            Close();
            // Connected and asked, but the server stayed silent.
            ErrorText = kRequestTimeout;
            return false;
        }
        if (!s.headersDone && s.done && s.result != CURLE_OK) {
            const CURLcode result = s.result;
            Close();
            if (verify && (result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_ISSUER_ERROR ||
                           result == CURLE_SSL_INVALIDCERTSTATUS)) {
                if (TdsHTTPPrompts::Backend().AcceptServerCertificate(OwnerWindow, hostPart_,
                                                                      s.errorBuffer)) {
                    verify = false;
                    continue;
                }
                ErrorText = kBadServerCert;
                return false;
            }
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(e, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            FailWith(static_cast<int>(result), pretransfer > 0);
            return false;
        }
        if (status == 200 || status == 206 || status == 301 || status == 302)
            return true;
        Close();
        if (status == 0 || status == 408)
            ErrorText = kRequestTimeout;
        else
            ErrorText = "#" + StatusCode + ": " + kSendFailed;
        return false;
    }
}

bool TdsHTTPDownload::ReadBody(const std::function<bool(const char*, size_t)>& sink,
                               const std::atomic<bool>* stop, const TProgress& progress) {
    ErrorText.clear();
    stopped_ = false;
    TState& s = *state_;
    if (!s.active) {
        ErrorText = kRequestTimeout;
        return false;
    }
    s.reading = true;
    s.stopRequested = false;
    s.sink = &sink;
    s.stop = stop;
    s.progress = &progress;
    s.lastActivity = TSteady::now();
    bool ok = true;
    if (s.paused) {
        s.paused = false;
        curl_easy_pause(s.easy, CURLPAUSE_CONT); // may hand over the kept bytes at once
    }
    if (!s.stopRequested && !(stop && stop->load())) {
        if (!Perform(false)) {
            ErrorText = kRequestTimeout;
            ok = false;
        }
    }
    if (s.stopRequested || (stop && stop->load())) {
        stopped_ = true;
        ok = false;
    } else if (ok && s.result != CURLE_OK) {
        FailWith(static_cast<int>(s.result), true);
        ok = false;
    } else if (ok && !s.block.empty()) {
        std::string last;
        last.swap(s.block);
        if (!s.Deliver(last.data(), last.size()))
            stopped_ = true;
    }
    s.sink = nullptr;
    s.stop = nullptr;
    s.progress = nullptr;
    Close();
    return ok && !stopped_;
}

bool TdsHTTPDownload::ReadBody(std::string& body, const std::atomic<bool>* stop, const TProgress& progress) {
    body.clear();
    const int64_t length = ContentLength();
    if (length > 0 && length < (int64_t(1) << 30))
        body.reserve(static_cast<size_t>(length));
    return ReadBody(
        [&body](const char* data, size_t size) {
            body.append(data, size);
            return true;
        },
        stop, progress);
}

std::string TdsHTTPDownload::HeaderValue(const std::string& name) const {
    TdsStrings lines;
    lines.SetText(state_->rawHeaders);
    for (const auto& line : lines.Items) {
        size_t colon = line.find(':');
        if (colon != std::string::npos &&
            TdsStrUtils::SameText(TdsStrUtils::Trim(line.substr(0, colon)), name))
            return TdsStrUtils::Trim(line.substr(colon + 1));
    }
    return "";
}

int64_t TdsHTTPDownload::ContentLength() const {
    long long value = -1;
    if (!TdsStrUtils::TryStrToInt(HeaderValue("Content-Length"), value) || value < 0)
        return -1;
    return value;
}
