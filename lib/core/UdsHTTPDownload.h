#pragma once
// The downloader's HTTP client: one libcurl handle of its own per object (so every download thread has
// one), a request sent and its status and headers read first, the body read afterwards in blocks of
// 4096 bytes with a progress callback and a stop request tested between blocks. Requests never come
// from a cache, keep their connection and do not follow redirects unless asked.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TdsHTTPDownload {
public:
    TdsHTTPDownload();
    ~TdsHTTPDownload();
    TdsHTTPDownload(const TdsHTTPDownload&) = delete;
    TdsHTTPDownload& operator=(const TdsHTTPDownload&) = delete;

    static constexpr size_t kBlockSize = 4096;

    std::string AgentName = "TdsHTTPDownload";
    // Milliseconds for connecting and for each wait on the server while sending or receiving.
    int Timeout = 60000;
    bool FollowRedirects = false;
    // Set by a client on the user-interface thread: the front end's messages are processed while waiting.
    bool ProcessMessages = false;
    void* OwnerWindow = nullptr;

    // Status code of the last answer ("206", …); empty when none arrived.
    std::string StatusCode;
    // The text to show for the last failure.
    std::string ErrorText;

    // address: "http://host:port" or a whole URL (its path is the default request path). No network yet.
    bool Connect(const std::string& address);
    // Sends the request for path (empty: the path of the connected address) with the extra header lines
    // (separated by CR LF) and waits for the answer's headers. True for status 200, 206, 301 and 302; the
    // body is then waiting to be read. Any body still unread from the previous request is dropped.
    bool SendRequest(const std::string& path, const std::string& headers, bool isPost = false,
                     const std::string& body = "");

    // The running byte count after each block.
    using TProgress = std::function<void(int64_t received)>;
    // Each block goes to sink; a false from sink or a set stop flag ends the transfer (false, ErrorText
    // empty). False with ErrorText when the transfer broke off.
    bool ReadBody(const std::function<bool(const char* data, size_t size)>& sink,
                  const std::atomic<bool>* stop = nullptr, const TProgress& progress = {});
    // The whole body into memory.
    bool ReadBody(std::string& body, const std::atomic<bool>* stop = nullptr, const TProgress& progress = {});
    // True when the last read ended through the stop flag or the sink.
    bool Stopped() const { return stopped_; }
    // Drops the current answer (its connection is closed when the body was not read to the end).
    void Close();

    // A header of the last answer ("" when missing; names compared ignoring case).
    std::string HeaderValue(const std::string& name) const;
    std::string ContentType() const { return HeaderValue("Content-Type"); }
    std::string ContentRange() const { return HeaderValue("Content-Range"); }
    std::string ContentDisposition() const { return HeaderValue("Content-Disposition"); }
    std::string Location() const { return HeaderValue("Location"); }
    // -1 when the answer has no length.
    int64_t ContentLength() const;
    // The address of the connection ("http://host:port") and the URL of the last request.
    const std::string& HostPart() const { return hostPart_; }
    const std::string& RequestURL() const { return requestURL_; }

    struct TState;

private:
    bool Perform(bool untilHeaders);
    void FailWith(int code, bool connected);

    std::unique_ptr<TState> state_;
    std::string hostPart_;
    std::string defaultPath_;
    std::string requestURL_;
    std::string proxyUser_;
    std::string proxyPassword_;
    bool stopped_ = false;
};
