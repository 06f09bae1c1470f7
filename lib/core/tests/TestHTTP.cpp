// TdsHTTP against real loopback servers: plain HTTP, HTTPS with a trusted test CA, an untrusted
// self-signed server, servers demanding a client certificate, and an authenticating proxy.
#include "UCertTestSupport.h"
#include "UTestSupport.h"
#include "UdsCAPICOM.h"
#include "UdsHTTP.h"
#include "UdsJSON.h"

#include "../../../tools/testservers/TestServerProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>

namespace {

const std::string kSendFailed = "向服务器发送请求失败，请检查您的网络连接是否正常！";
const std::string kCannotConnect = "连接服务器失败，请检查您的网络连接是否正常！";

class TScriptedHTTPPrompts : public TdsHTTPPromptsBackend {
public:
    struct TLogin {
        bool ok;
        std::string user, password;
    };
    TScriptedHTTPPrompts() { TdsHTTPPrompts::SetBackend(this); }
    ~TScriptedHTTPPrompts() override { TdsHTTPPrompts::SetBackend(nullptr); }

    bool AcceptServerCertificate(void*, const std::string& host, const std::string& problem) override {
        CertificateQuestions.push_back(host + "|" + problem);
        bool answer = !CertificateAnswers.empty() && CertificateAnswers.front();
        if (!CertificateAnswers.empty())
            CertificateAnswers.pop_front();
        return answer;
    }
    bool AskProxyCredentials(void*, const std::string& proxy, std::string& user,
                             std::string& password) override {
        ProxyQuestions.push_back(proxy + "|" + user);
        if (Logins.empty())
            return false;
        TLogin login = Logins.front();
        Logins.pop_front();
        user = login.user;
        password = login.password;
        return login.ok;
    }

    std::deque<bool> CertificateAnswers;
    std::deque<TLogin> Logins;
    std::vector<std::string> CertificateQuestions;
    std::vector<std::string> ProxyQuestions;
};

// Sets (or with nullptr removes) environment variables for a test and restores them afterwards.
class TEnvironment {
public:
    ~TEnvironment() {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    void Set(const std::string& name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name.c_str(), value, 1);
        else
            unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// Certificates for this test process, made by openssl on first use.
const std::string& Certs() {
    static TTempFolder folder;
    static bool made = RunCommand("sh " + std::string(BRINDLE_SOURCE_DIR) +
                                  "/tools/testservers/make-test-certs.sh " + folder.Path()) == 0;
    EXPECT_TRUE(made);
    return folder.Path();
}

TdsCertificate CertificateFromFiles(const std::string& name) {
    TdsCertificate c;
    c.Thumbprint = name;
    c.SubjectName = name;
    c.CertificateDER = ReadFileBytes(Certs() + name + ".der");
    c.PrivateKeyDER = ReadFileBytes(Certs() + name + ".key.der");
    return c;
}

struct TEcho {
    std::string method, path, body, clientSubject;
    std::vector<std::pair<std::string, std::string>> headers;
    int64_t port = 0;

    std::vector<std::string> Values(const std::string& name) const {
        std::vector<std::string> out;
        for (const auto& [k, v] : headers)
            if (k == name)
                out.push_back(v);
        return out;
    }
    std::string Header(const std::string& name) const {
        auto v = Values(name);
        return v.empty() ? "<none>" : v.front();
    }
};

TEcho ParseEcho(const std::string& json) {
    TdsJSONValue doc = TdsJSONValue::Parse(json);
    TEcho e;
    e.method = doc.Find("method")->Text();
    e.path = doc.Find("path")->Text();
    e.body = doc.Find("body")->Text();
    doc.Find("port")->TryGetInteger(e.port);
    if (const auto* s = doc.Find("client")->Find("subject"))
        e.clientSubject = s->Text();
    for (const auto& h : doc.Find("headers")->Items())
        e.headers.emplace_back(h.Items()[0].Text(), h.Items()[1].Text());
    return e;
}

class HTTPTest : public ::testing::Test {
protected:
    HTTPTest() {
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                                 "no_proxy", "NO_PROXY", "SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_CA_BUNDLE"})
            env.Set(name, nullptr);
    }

    bool Send(const std::string& address, const std::string& path, const std::string& headers = "",
              const std::string& body = "", bool post = false, const std::string& cookie = "") {
        return http.SendHttpRequest(nullptr, address, error, body, cookie, headers, post, path);
    }

    // A server answering with the CA-signed certificate; clientCa demands a client certificate.
    std::unique_ptr<TTestServerProcess> TlsServer(const std::string& cert, const std::string& clientCa = "",
                                                  const std::string& allowedIssuer = "") {
        std::vector<std::string> args = {"--cert", Certs() + cert + ".pem", "--key", Certs() + cert + ".key"};
        if (!clientCa.empty())
            args.insert(args.end(), {"--client-ca", Certs() + clientCa});
        if (!allowedIssuer.empty())
            args.insert(args.end(), {"--allowed-issuer", allowedIssuer});
        return std::make_unique<TTestServerProcess>(args);
    }

    TEnvironment env;
    TRecordingApplication app;
    TRecordingDialogs dialogs;
    TScriptedHTTPPrompts prompts;
    TdsHTTP http;
    std::string error;
};

class PlainHTTPTest : public HTTPTest {
protected:
    TTestServerProcess server{{}};
};

} // namespace

TEST_F(HTTPTest, InvalidAddressesFailBeforeAnyNetworkActivity) {
    for (const char* address :
         {"http://www.Example.com", "http://server:8080", "192.168.1.10:80800", "", "   "}) {
        EXPECT_FALSE(Send(address, "x")) << address;
        EXPECT_EQ(error, "无效的服务器地址！") << address;
        EXPECT_EQ(http.StatusCode, "") << address;
    }
    EXPECT_EQ(app.Processed, 0);
    EXPECT_TRUE(prompts.CertificateQuestions.empty());
}

TEST_F(PlainHTTPTest, GetSendsNormalisedHeadersInOrderAndKeepsTheAnswer) {
    ASSERT_TRUE(Send("http://" + server.Address() + "/", "/sbfw/echo/", "NSRSBH=110101\r\nSWJGDM=\r\nZ=last"))
        << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(http.StatusCode, "200");
    EXPECT_FALSE(http.IsHTTPS);
    EXPECT_EQ(http.Path, "/sbfw/echo/");
    EXPECT_GT(app.Processed, 0);

    TEcho e = ParseEcho(http.ResponseText());
    EXPECT_EQ(e.method, "GET");
    EXPECT_EQ(e.path, "/sbfw/echo");
    EXPECT_EQ(e.Header("User-Agent"), "TdsHTTP");
    EXPECT_EQ(e.Header("Host"), server.Address());
    EXPECT_EQ(e.Header("Accept"), "*/*");
    EXPECT_EQ(e.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(e.Header("Pragma"), "no-cache");
    std::vector<std::string> names;
    for (const auto& [k, v] : e.headers)
        if (k == "NSRSBH" || k == "SWJGDM" || k == "Z")
            names.push_back(k + ": " + v);
    EXPECT_EQ(names, (std::vector<std::string>{"NSRSBH: 110101", "SWJGDM: NULL", "Z: last"}));

    EXPECT_EQ(http.ResponseHeaders.Values("Content-Type"), "application/json");
    EXPECT_EQ(http.ResponseHeaders.Values("Content-Length"), std::to_string(http.ResponseBody.size()));
    EXPECT_EQ(http.ResponseHeaders[0], "HTTP/1.1 200 OK");
    EXPECT_EQ(http.LastCookie, "");
}

TEST_F(PlainHTTPTest, ColonBlockKeepsEqualsAndPostBodyGoesAsItIs) {
    http.AgentName = "Brindle/1.0";
    const std::string body("<a>\x00\xD6\xD0\xFF</a>", 11);
    ASSERT_TRUE(Send(server.Address(), "upload", "Query: a=b&c=d\r\nEmpty:", body, true)) << error;
    TEcho e = ParseEcho(http.ResponseText());
    EXPECT_EQ(e.method, "POST");
    EXPECT_EQ(e.Header("Query"), "a=b&c=d");
    EXPECT_EQ(e.Header("Empty"), "NULL");
    EXPECT_EQ(e.Header("User-Agent"), "Brindle/1.0");
    EXPECT_EQ(e.Header("Content-Length"), "11");
    EXPECT_EQ(e.Header("Expect"), "<none>");
    EXPECT_EQ(e.Header("Content-Type"), "<none>");
    EXPECT_EQ(e.body, "3c613e00d6d0ff3c2f613e");

    // An empty POST still says it carries nothing.
    ASSERT_TRUE(Send(server.Address(), "upload", "", "", true)) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).Header("Content-Length"), "0");
}

TEST_F(PlainHTTPTest, StatusAnswersBecomeTheirTexts) {
    struct {
        const char* status;
        std::string text;
    } cases[] = {
        {"404", "#404: " + kSendFailed},
        {"500", "#500: " + kSendFailed},
        {"403", "#403: " + kSendFailed}, // no client certificate involved
        {"408", "向服务器发送请求超时！"},
    };
    ASSERT_TRUE(Send(server.Address(), "echo")) << error;
    for (const auto& c : cases) {
        EXPECT_FALSE(Send(server.Address(), std::string("status/") + c.status)) << c.status;
        EXPECT_EQ(error, c.text);
        EXPECT_EQ(http.StatusCode, c.status);
        // The earlier answer is gone.
        EXPECT_EQ(http.ResponseBody, "");
        EXPECT_EQ(http.ResponseHeaders.Count(), 0);
    }
}

TEST_F(PlainHTTPTest, ConnectionIsKeptAliveBetweenRequests) {
    ASSERT_TRUE(Send(server.Address(), "a")) << error;
    int64_t first = ParseEcho(http.ResponseText()).port;
    ASSERT_TRUE(Send(server.Address(), "b", "", "x", true)) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).port, first);
}

TEST_F(PlainHTTPTest, CookieIsSentAndTheAnswersCookieKeptOnlyThen) {
    ASSERT_TRUE(Send(server.Address(), "cookie", "", "", false, "token=xyz")) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).Header("Cookie"), "token=xyz");
    EXPECT_EQ(http.LastCookie, "sid=abc123; Path=/");
    // The server's cookie goes back to it with the client's next requests, as a browser does.
    ASSERT_TRUE(Send(server.Address(), "echo")) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).Header("Cookie"), "sid=abc123");
    EXPECT_EQ(http.LastCookie, "");

    TdsHTTP other;
    ASSERT_TRUE(other.SendHttpRequest(nullptr, server.Address(), error, "", "", "", false, "cookie"))
        << error;
    EXPECT_EQ(ParseEcho(other.ResponseText()).Header("Cookie"), "<none>");
    EXPECT_EQ(other.LastCookie, "");
}

TEST_F(HTTPTest, RedirectsAreFollowedButNeverFromHttpsToHttp) {
    TTestServerProcess plain{{}};
    ASSERT_TRUE(Send(plain.Address(), "redirect?to=/moved/here")) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).path, "/moved/here");

    auto secure = TlsServer("server");
    env.Set("SSL_CERT_FILE", (Certs() + "ca.pem").c_str());
    EXPECT_FALSE(Send("https://" + secure->Address(), "redirect?to=http://" + plain.Address() + "/echo"));
    EXPECT_EQ(error, "连接服务器失败，无效的客户端证书！");
}

TEST_F(PlainHTTPTest, ResponseTextIsTheAnsiBodyInUtf8) {
    ASSERT_TRUE(Send(server.Address(), "gbk")) << error;
    EXPECT_EQ(http.ResponseBody, "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(http.ResponseText(), "中文");
}

TEST_F(PlainHTTPTest, TimeLimitAppliesPerRequest) {
    using namespace std::chrono;
    http.Timeout = 400;
    auto start = steady_clock::now();
    EXPECT_FALSE(Send(server.Address(), "slow?ms=3000"));
    EXPECT_EQ(error, "向服务器发送请求超时！");
    EXPECT_EQ(http.StatusCode, "");
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 2000);
    EXPECT_GT(app.Processed, 3); // messages were processed while waiting

    // A body that stops halfway is no answer, not a short one.
    EXPECT_FALSE(Send(server.Address(), "stall"));
    EXPECT_EQ(error, "向服务器发送请求超时！");
    EXPECT_EQ(http.ResponseBody, "");

    http.Timeout = 5000;
    EXPECT_TRUE(Send(server.Address(), "slow?ms=600")) << error;
}

TEST_F(HTTPTest, RefusedAndSilentServers) {
    EXPECT_FALSE(Send("127.0.0.1:" + std::to_string(UnusedLoopbackPort()), "x"));
    EXPECT_EQ(error, kCannotConnect);
    EXPECT_EQ(http.StatusCode, "");

    // Connected, but the TLS handshake never gets an answer: the connection itself timed out.
    TSilentListener silent;
    http.Timeout = 300;
    EXPECT_FALSE(Send("https://127.0.0.1:" + std::to_string(silent.Port()), "x"));
    EXPECT_EQ(error, "连接服务器超时，请检查您的网络连接是否正常！");
}

TEST_F(HTTPTest, HttpsWithTheTrustedTestCA) {
    auto server = TlsServer("server");
    env.Set("SSL_CERT_FILE", (Certs() + "ca.pem").c_str());
    ASSERT_TRUE(Send("https://" + server->Address(), "echo")) << error;
    EXPECT_TRUE(http.IsHTTPS);
    EXPECT_EQ(ParseEcho(http.ResponseText()).path, "/echo");
    EXPECT_TRUE(prompts.CertificateQuestions.empty());

    // Without the test CA in the trust store the same server is doubtful.
    env.Set("SSL_CERT_FILE", nullptr);
    TdsHTTP fresh;
    EXPECT_FALSE(
        fresh.SendHttpRequest(nullptr, "https://" + server->Address(), error, "", "", "", false, "echo"));
    EXPECT_EQ(error, "连接服务器失败，无效的服务端证书！");
    EXPECT_EQ(prompts.CertificateQuestions.size(), 1u);
}

TEST_F(HTTPTest, DoubtfulServerCertificateAsksEveryRequest) {
    auto server = TlsServer("selfsigned");
    env.Set("SSL_CERT_FILE", (Certs() + "ca.pem").c_str());
    const std::string address = "https://" + server->Address();

    EXPECT_FALSE(Send(address, "echo"));
    EXPECT_EQ(error, "连接服务器失败，无效的服务端证书！");
    ASSERT_EQ(prompts.CertificateQuestions.size(), 1u);
    EXPECT_EQ(prompts.CertificateQuestions[0].rfind("127.0.0.1|", 0), 0u) << prompts.CertificateQuestions[0];
    EXPECT_GT(prompts.CertificateQuestions[0].size(), 12u); // with the problem described

    prompts.CertificateAnswers = {true};
    ASSERT_TRUE(Send(address, "echo")) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).path, "/echo");
    EXPECT_EQ(prompts.CertificateQuestions.size(), 2u);

    // Accepting holds for that request only.
    EXPECT_FALSE(Send(address, "echo"));
    EXPECT_EQ(error, "连接服务器失败，无效的服务端证书！");
    EXPECT_EQ(prompts.CertificateQuestions.size(), 3u);
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(HTTPTest, ClientCertificateDemand) {
    // The server trusts both CAs at the TLS level but lets only the test CA's clients in.
    auto server = TlsServer("server", "both-ca.pem", "Brindle Test CA");
    env.Set("SSL_CERT_FILE", (Certs() + "ca.pem").c_str());
    const std::string address = "https://" + server->Address();

    int asked = 0;
    struct {
        std::optional<std::string> certificate; // nullopt: the store holds none; "": cancelled
        bool ok;
        std::string text;
    } cases[] = {
        {std::nullopt, false, "连接服务器失败，未发现有效的客户端证书！"},
        {"", false, "连接服务器失败，未选择有效的客户端证书！"},
        {"foreign-client", false, "连接服务器失败，无效的客户端证书！"}, // answered 403
        {"client", true, ""},
    };
    for (const auto& c : cases) {
        TdsHTTP client;
        client.ClientCertificateSource = [&](const TCertsFilter& filter, TdsCertificate& chosen) {
            ++asked;
            EXPECT_FALSE(filter.Enabled);
            chosen = c.certificate && !c.certificate->empty() ? CertificateFromFiles(*c.certificate)
                                                              : TdsCertificate();
            return c.certificate.has_value();
        };
        asked = 0;
        std::string text;
        EXPECT_EQ(client.SendHttpRequest(nullptr, address, text, "", "", "", false, "echo"), c.ok)
            << c.certificate.value_or("<none>");
        EXPECT_EQ(text, c.text) << c.certificate.value_or("<none>");
        EXPECT_EQ(asked, 1);
        if (c.ok) {
            EXPECT_EQ(ParseEcho(client.ResponseText()).clientSubject, "Test Client");
        }
    }
    EXPECT_TRUE(prompts.CertificateQuestions.empty());
    EXPECT_EQ(dialogs.Count(), 0u);
}

TEST_F(HTTPTest, AcceptedServerDoubtThenClientCertificateChosenOnce) {
    auto server = TlsServer("selfsigned", "ca.pem");
    int asked = 0;
    http.ClientCertificateSource = [&](const TCertsFilter&, TdsCertificate& chosen) {
        ++asked;
        chosen = CertificateFromFiles("client");
        return true;
    };
    prompts.CertificateAnswers = {true};
    ASSERT_TRUE(Send("https://" + server->Address(), "echo")) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).clientSubject, "Test Client");
    EXPECT_EQ(prompts.CertificateQuestions.size(), 1u);
    EXPECT_EQ(asked, 1);
}

TEST_F(HTTPTest, ClientCertificateRefusedInTheHandshake) {
    // Only the test CA's clients get through the handshake at all.
    auto server = TlsServer("server", "ca.pem");
    env.Set("SSL_CERT_FILE", (Certs() + "ca.pem").c_str());
    http.ClientCertificateSource = [](const TCertsFilter&, TdsCertificate& chosen) {
        chosen = CertificateFromFiles("foreign-client");
        return true;
    };
    EXPECT_FALSE(Send("https://" + server->Address(), "echo"));
    EXPECT_EQ(error, "连接服务器失败，无效的客户端证书！");

    // A certificate without its key cannot be presented.
    TdsHTTP keyless;
    keyless.ClientCertificateSource = [](const TCertsFilter&, TdsCertificate& chosen) {
        chosen = CertificateFromFiles("client");
        chosen.PrivateKeyDER.clear();
        return true;
    };
    EXPECT_FALSE(
        keyless.SendHttpRequest(nullptr, "https://" + server->Address(), error, "", "", "", false, "x"));
    EXPECT_EQ(error, "连接服务器失败，无效的客户端证书！");
}

TEST_F(HTTPTest, ProxyAuthentication) {
    TTestServerProcess target{{}};
    TTestServerProcess proxy{{"--proxy", "agent:s3cret"}};
    const std::string proxyUrl = "http://" + proxy.Address();
    env.Set("http_proxy", proxyUrl.c_str());

    EXPECT_FALSE(Send(target.Address(), "echo"));
    EXPECT_EQ(error, kCannotConnect);
    EXPECT_EQ(prompts.ProxyQuestions, (std::vector<std::string>{proxyUrl + "|"}));

    // A wrong password first: the proxy asks again, the second login gets through.
    prompts.Logins = {{true, "agent", "wrong"}, {true, "agent", "s3cret"}};
    ASSERT_TRUE(Send(target.Address(), "echo", "", "payload", true)) << error;
    TEcho e = ParseEcho(http.ResponseText());
    EXPECT_EQ(e.Header("Via"), "1.1 brindle-test-proxy");
    EXPECT_EQ(e.body, "7061796c6f6164");
    EXPECT_EQ(prompts.ProxyQuestions.size(), 3u);
    EXPECT_EQ(prompts.ProxyQuestions[2], proxyUrl + "|agent");

    // The login holds for the client's next requests.
    ASSERT_TRUE(Send(target.Address(), "echo")) << error;
    EXPECT_EQ(prompts.ProxyQuestions.size(), 3u);
}

TEST_F(HTTPTest, ProxyAuthenticationForHttpsTunnel) {
    auto server = TlsServer("server");
    TTestServerProcess proxy{{"--proxy", "agent:s3cret"}};
    env.Set("SSL_CERT_FILE", (Certs() + "ca.pem").c_str());
    env.Set("https_proxy", ("http://" + proxy.Address()).c_str());
    prompts.Logins = {{true, "agent", "s3cret"}};
    ASSERT_TRUE(Send("https://" + server->Address(), "echo")) << error;
    EXPECT_EQ(ParseEcho(http.ResponseText()).path, "/echo");
    EXPECT_EQ(prompts.ProxyQuestions.size(), 1u);
}

// The same demand answered by the user's certificate store: one certificate goes without a dialog,
// several open the chooser.
TEST_F(HTTPTest, ClientCertificateFromTheStore) {
    auto server = TlsServer("server", "both-ca.pem", "Brindle Test CA");
    env.Set("SSL_CERT_FILE", (Certs() + "ca.pem").c_str());
    const std::string address = "https://" + server->Address();
    TTempCertStore store;
    TScriptedCertPrompts certPrompts;
    auto pfx = [](const std::string& name) {
        std::string file = Certs() + name + ".pfx";
        EXPECT_EQ(RunCommand("openssl pkcs12 -export -in " + Certs() + name + ".pem -inkey " + Certs() +
                             name + ".key -passout pass:pw -out " + file),
                  0);
        return file;
    };

    // Empty store: the request fails at once, no chooser.
    EXPECT_FALSE(Send(address, "echo"));
    EXPECT_EQ(error, "连接服务器失败，未发现有效的客户端证书！");
    EXPECT_TRUE(certPrompts.Choosers.empty());

    TdsCAPICOM capicom;
    ASSERT_TRUE(capicom.ImportCertificate(pfx("client"), "pw"));
    TdsHTTP one;
    ASSERT_TRUE(one.SendHttpRequest(nullptr, address, error, "", "", "", false, "echo")) << error;
    EXPECT_EQ(ParseEcho(one.ResponseText()).clientSubject, "Test Client");
    EXPECT_TRUE(certPrompts.Choosers.empty());

    ASSERT_TRUE(capicom.ImportCertificate(pfx("foreign-client"), "pw"));
    ASSERT_TRUE(capicom.ImportCertificate(Certs() + "server.der", ""));
    TdsHTTP three;
    EXPECT_FALSE(three.SendHttpRequest(nullptr, address, error, "", "", "", false, "echo"));
    EXPECT_EQ(error, "连接服务器失败，未选择有效的客户端证书！");
    ASSERT_EQ(certPrompts.Choosers.size(), 1u);
    EXPECT_EQ(certPrompts.Choosers[0].size(), 3u);

    // Chosen from the three: the first row, the test CA's client.
    certPrompts.ChooseNext(0);
    TdsHTTP chosen;
    EXPECT_TRUE(chosen.SendHttpRequest(nullptr, address, error, "", "", "", false, "echo")) << error;
    EXPECT_EQ(certPrompts.Choosers.size(), 2u);
    EXPECT_TRUE(prompts.CertificateQuestions.empty());
}
