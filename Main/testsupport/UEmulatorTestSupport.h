#pragma once
// The tax platform emulator (tools/platform-emulator/emulator.py) as a test fixture: a scenario made from
// tools/scenarios/default.json with the test's changes, the process on a free loopback port, its request
// log read back as JSON, and the runtime control call. The destructor stops the process.
#include "UdsJSON.h"

#include <string>
#include <sys/types.h>
#include <vector>

class TPlatformEmulator {
public:
    // folder (with trailing "/") receives the scenario, the port file and the request log. overrides is a
    // JSON object merged into the default scenario: objects member by member, everything else replaced
    // (so {"platform": {"password": "x"}} changes only the password). extraArguments go to the emulator.
    TPlatformEmulator(const std::string& folder, const std::string& overrides = "{}",
                      const std::vector<std::string>& extraArguments = {});
    ~TPlatformEmulator();
    TPlatformEmulator(const TPlatformEmulator&) = delete;
    TPlatformEmulator& operator=(const TPlatformEmulator&) = delete;

    int Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string& ScenarioFile() const { return scenario_; }
    const TdsJSONValue& Scenario() const { return scenarioValue_; }

    // The logged requests, oldest first (one JSON object per request).
    std::vector<TdsJSONValue> Requests() const;
    // The logged requests of one operation ("UploadData.do").
    std::vector<TdsJSONValue> Requests(const std::string& name) const;
    // POST /__control with a JSON object; the emulator's answer, parsed. EdsError when it fails.
    TdsJSONValue Control(const std::string& json) const;

    // Helpers over one logged request.
    static std::vector<std::pair<std::string, std::string>> Headers(const TdsJSONValue& request);
    static std::vector<std::string> Values(const TdsJSONValue& request, const std::string& name);
    // The first value of a header, "<none>" when it is missing.
    static std::string Value(const TdsJSONValue& request, const std::string& name);
    // A string member by path ("answer/body"); "" when missing or not a string.
    static std::string Text(const TdsJSONValue& value, const std::string& path);

    // Deep merge of b into a (see the constructor).
    static TdsJSONValue Merge(const TdsJSONValue& a, const TdsJSONValue& b);

private:
    void Stop();
    std::string folder_, scenario_, portFile_, log_;
    TdsJSONValue scenarioValue_;
    pid_t pid_ = -1;
    int port_ = 0;
};
