#pragma once
// The database kit: the only road from the program to its local databases. TdsDBKit fixes the set
// of operations; TdsAdoDBKit (UdsAdoDBKit.h) implements them over SQLCipher.
#include "UdsDataSet.h"
#include "UdsStrUtils.h"

#include <memory>
#include <string>
#include <vector>

// What the open connection is: Connect fills Database and Password, Server and UserName stay empty.
class TConnectInfo {
public:
    std::string Server;
    std::string Database;
    std::string UserName;
    std::string Password;

    void Assign(const TConnectInfo& source);
    void Clear();
    bool IsEmpty() const {
        return Server.empty() && Database.empty() && UserName.empty() && Password.empty();
    }
};

class TdsDBKit {
public:
    // The engine connection string last built by Connect (informational).
    std::string ConnectionString;
    // Owned; cleared by Disconnect.
    std::unique_ptr<TConnectInfo> ConnectInfo;
    // The script line whose execution failed last, exactly as it stood in the list; never cleared.
    std::string LastErrorSQL;

    TdsDBKit();
    virtual ~TdsDBKit();
    TdsDBKit(const TdsDBKit&) = delete;
    TdsDBKit& operator=(const TdsDBKit&) = delete;

    // The operations in their fixed order. Counts: OpenQuery gives the record count or -1; ExecSQL
    // and ExecScript give the rows affected (-1 for a statement that is no row operation) or -1 on an
    // error; ExecSQLDirect gives -2 on an error.
    virtual void Disconnect();
    virtual int OpenQuery(TdsDataSet& dataSet, const std::string& sql, bool raiseOnError) = 0;
    virtual int OpenQuery(TdsDataSet& dataSet, const std::string& sql) = 0;
    virtual int ExecSQL(const std::string& sql, std::string& errorText) = 0;
    virtual int ExecSQL(const std::string& sql, bool raiseOnError) = 0;
    virtual int ExecSQL(const std::string& sql) = 0;
    virtual int ExecSQLDirect(const std::string& sql) = 0;
    virtual int ExecScript(const TdsStrings& lines, std::string& errorText) = 0;
    virtual int ExecScript(const TdsStrings& lines, bool raiseOnError) = 0;
    virtual int ExecScript(const TdsStrings& lines) = 0;
    virtual bool ExecScriptOK(const TdsStrings& lines) = 0;
    virtual bool ExecScriptOK(const TdsStrings& lines, std::string& errorText) = 0;

    // The same scripts given as a plain list of lines.
    int ExecScript(const std::vector<std::string>& lines, std::string& errorText);
    int ExecScript(const std::vector<std::string>& lines, bool raiseOnError);
    int ExecScript(const std::vector<std::string>& lines);
    bool ExecScriptOK(const std::vector<std::string>& lines);
    bool ExecScriptOK(const std::vector<std::string>& lines, std::string& errorText);
};
