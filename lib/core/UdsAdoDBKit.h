#pragma once
// The database kit over SQLCipher: encrypted SQLite files opened with the database password, Jet SQL
// made acceptable to SQLite in one place (UdsJetSQL), every statement in its own transaction.
#include "UdsDBKit.h"

#include <memory>
#include <string>
#include <vector>

struct sqlite3;
class TdsAdoDBKit;

// The kit's query dataset: the field definitions and rows of its last query, read in full when it
// opens. A target of this class is run into directly by OpenQuery.
class TdsAdoQuery : public TdsDataSet {
public:
    // Where Open runs SQL; not owned.
    TdsAdoDBKit* Connection = nullptr;
    std::string SQL;

    std::string ClassName() const override { return "TADOQuery"; }
    // Runs SQL on Connection; raises EdsError with the engine's text, leaving the dataset closed.
    void Open() override;
    // Drops the result.
    void Close() override;
    bool Active() const override { return active_; }

    int FieldCount() const override { return static_cast<int>(fields_.size()); }
    const TdsFieldDef& FieldDef(int index) const override;
    int RecordCount() const override { return static_cast<int>(rows_.size()); }
    const TdsValue& Value(int record, int field) const override;

private:
    friend class TdsAdoDBKit;
    std::vector<TdsFieldDef> fields_;
    std::vector<std::vector<TdsValue>> rows_;
    bool active_ = false;
};

class TdsAdoDBKit : public TdsDBKit {
public:
    static constexpr int kDefaultBusyTimeout = 5000;

    // Runs queries whose target is an in-memory table; holds the last such result.
    std::unique_ptr<TdsAdoQuery> DataSet;
    // How long (ms) a statement waits for another connection's lock before it fails; applied by Connect.
    int BusyTimeout = kDefaultBusyTimeout;

    TdsAdoDBKit();
    ~TdsAdoDBKit() override;

    // Opens an existing database file with its password; the key is proven here, so a wrong password
    // or a file that is no database fails with the engine's text. Exclusive keeps every other
    // connection out until Disconnect.
    bool Connect(const std::string& databaseFile, const std::string& password, bool exclusive,
                 std::string& errorText);
    bool Connected() const { return db_ != nullptr; }
    // Changes BusyTimeout, also for the open connection.
    void SetBusyTimeout(int milliseconds);
    // Creates a new, empty database file encrypted with the password; refuses an existing file.
    static bool CreateDatabase(const std::string& databaseFile, const std::string& password,
                               std::string& errorText);

    void Disconnect() override;
    int OpenQuery(TdsDataSet& dataSet, const std::string& sql, bool raiseOnError) override;
    int OpenQuery(TdsDataSet& dataSet, const std::string& sql) override;
    int ExecSQL(const std::string& sql, std::string& errorText) override;
    int ExecSQL(const std::string& sql, bool raiseOnError) override;
    int ExecSQL(const std::string& sql) override;
    int ExecSQLDirect(const std::string& sql) override;
    int ExecScript(const TdsStrings& lines, std::string& errorText) override;
    int ExecScript(const TdsStrings& lines, bool raiseOnError) override;
    int ExecScript(const TdsStrings& lines) override;
    bool ExecScriptOK(const TdsStrings& lines) override;
    bool ExecScriptOK(const TdsStrings& lines, std::string& errorText) override;
    using TdsDBKit::ExecScript;
    using TdsDBKit::ExecScriptOK;

private:
    friend class TdsAdoQuery;
    // One statement: rows affected (-1 for no row operation), optionally its result into a query.
    bool Run(const std::string& sql, int& rows, TdsAdoQuery* into, std::string& errorText);
    bool RunQuery(const std::string& sql, TdsAdoQuery& into, std::string& errorText);
    bool Begin(std::string& errorText);
    bool Commit(std::string& errorText);
    void Rollback();
    int DoExecSQL(const std::string& sql, std::string& errorText, bool& failed);
    int DoExecScript(const TdsStrings& lines, std::string& errorText, bool& failed);

    sqlite3* db_ = nullptr;
};
