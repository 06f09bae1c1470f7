#pragma once
// A started installation whose platform client talks to canned-answer test servers: each server answers
// named operations from a script and logs the requests it got, headers in wire order.
#include "UMainTestSupport.h"
#include "UQelPlatform.h"
#include "UStartupTestBase.h"

#include "../../../tools/testservers/TestServerProcess.h"

#include <map>
#include <memory>

struct TLoggedRequest {
    std::string Line; // "POST /path"
    std::vector<std::string> Headers;
    std::string Body;
    // The values of every header of that name, in wire order.
    std::vector<std::string> Values(const std::string& name) const {
        std::vector<std::string> out;
        for (const std::string& h : Headers)
            if (h.compare(0, name.size() + 2, name + ": ") == 0)
                out.push_back(h.substr(name.size() + 2));
        return out;
    }
    std::string Value(const std::string& name) const {
        auto v = Values(name);
        return v.empty() ? "<none>" : v.front();
    }
};

class TCannedServer {
public:
    // answers: request name -> bodies (status 200), taken in order, the last repeating.
    TCannedServer(const std::string& folder, const std::map<std::string, std::vector<std::string>>& answers,
                  int status = 200)
        : log_(folder + "requests.log") {
        std::string json = "{";
        for (const auto& [name, bodies] : answers) {
            json += (json.size() > 1 ? "," : "") + Quote(name) + ":[";
            for (size_t i = 0; i < bodies.size(); ++i)
                json += (i ? "," : "") + std::string("{\"status\":") + std::to_string(status) +
                        ",\"body\":" + Quote(bodies[i]) + "}";
            json += "]";
        }
        json += "}";
        TdsIOUtils::ForceFolders(folder);
        WriteFileBytes(folder + "canned.json", json);
        process_ = std::make_unique<TTestServerProcess>(
            std::vector<std::string>{"--canned", folder + "canned.json", "--log", log_, "--lifetime", "60"});
    }
    std::string Address() const { return process_->Address(); }
    std::vector<TLoggedRequest> Requests() const {
        std::vector<TLoggedRequest> out;
        std::string text;
        if (!TdsIOUtils::TryReadTextFile(log_, text))
            return out;
        std::vector<std::string> lines;
        TdsStrUtils::SplitText(text, "\n", false, lines);
        for (const std::string& l : lines) {
            if (l.compare(0, 8, "REQUEST ") == 0)
                out.push_back({l.substr(8), {}, ""});
            else if (l.compare(0, 5, "BODY ") == 0 && !out.empty())
                out.back().Body = l.substr(5);
            else if (l != "END" && !l.empty() && !out.empty())
                out.back().Headers.push_back(l);
        }
        return out;
    }

    static std::string Quote(const std::string& s) {
        std::string out = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        return out + "\"";
    }

private:
    std::string log_;
    std::unique_ptr<TTestServerProcess> process_;
};

// The platform's answer envelope under a document element of any name.
inline std::string Answer(const std::string& data, const std::string& resultValue = "0",
                          const std::string& message = "", const std::string& extraResult = "") {
    return "<?xml version=\"1.0\" encoding=\"GBK\"?><ROOT><RESPONSE><RESULT><RESULTVALUE>" + resultValue +
           "</RESULTVALUE><RESULTMESSAGE>" + message + "</RESULTMESSAGE>" + extraResult + "</RESULT><DATA>" +
           data + "</DATA></RESPONSE></ROOT>";
}

class TPlatformTest : public TStartupTest {
protected:
    TFixtureInstallation installation;
    TRecordingBusyForm* busy = nullptr;
    TScriptedModalForms forms;
    int servers_ = 0;

    // SQL run on the taxpayer database before the start (after the password and authority code).
    virtual std::vector<std::string> ExtraSQL() const { return {}; }

    void SetUp() override {
        TStartupTest::SetUp();
        installation.TaxpayerSQL = {
            "UPDATE S_Config SET FValue = 'secret-1' WHERE FCategory = 'Network' AND FKey = 'AuthenPassword'",
            "UPDATE S_Config SET FValue = '11010100' WHERE FCategory = 'Network' AND FKey = 'TaxDeptCode'"};
        for (const std::string& s : ExtraSQL())
            installation.TaxpayerSQL.push_back(s);
        Build(installation);
        ASSERT_TRUE(Start(installation)) << dialogs.Transcript();
        Global->CompleteOnShow();
        busy = new TRecordingBusyForm();
        Global->BusyForm.reset(busy);
        Global->ModalForms = &forms;
        dialogs.Clear();
    }
    TQelPlatform& Platform() { return *Global->Platform; }
    std::unique_ptr<TCannedServer> Serve(const std::map<std::string, std::vector<std::string>>& answers,
                                         int status = 200) {
        return std::make_unique<TCannedServer>(temp / ("server" + std::to_string(++servers_) + "/"), answers,
                                               status);
    }
};
