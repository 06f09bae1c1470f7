#include "UdsAdoDBKit.h"

#include "UdsDialogs.h"
#include "UdsExceptions.h"
#include "UdsJetSQL.h"

#include <sqlcipher/sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char* const kNotConnected = "数据库没有连接！";
const char* const kEmptyStatement = "SQL语句为空！";
const char* const kTextAfterStatement = "在 SQL 语句结尾之后找到字符。";
// Jet's default size of a text column without a stated size.
constexpr uint16_t kDefaultTextSize = 255;

std::string EngineText(sqlite3* db) {
    const char* text = db ? sqlite3_errmsg(db) : nullptr;
    return text ? text : "";
}

// Runs internal statements (pragmas, transaction control) that return no rows worth reading.
bool ExecPlain(sqlite3* db, const char* sql, std::string& errorText) {
    char* message = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc == SQLITE_OK)
        return true;
    errorText = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    return false;
}

size_t Utf8Length(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

bool OneOf(const std::string& word, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return word == name; });
}

// The dataset type of a declared column type (Jet and SQLite names); ftUnknown when the type must
// come from the values (expressions, untyped columns).
TdsFieldDef TypeOfDeclared(const char* declared) {
    TdsFieldDef def;
    def.DataType = ftUnknown;
    if (!declared)
        return def;
    std::string type = TdsStrUtils::UpperCase(TdsStrUtils::Trim(declared));
    long long size = 0;
    size_t open = type.find('(');
    if (open != std::string::npos) {
        size_t close = type.find_first_of(",)", open + 1);
        TdsStrUtils::TryStrToInt(TdsStrUtils::Trim(type.substr(open + 1, close - open - 1)), size);
        type = TdsStrUtils::Trim(type.substr(0, open));
    }
    if (OneOf(type, {"MEMO", "LONGTEXT", "LONGCHAR", "NOTE", "NTEXT", "CLOB"})) {
        def.DataType = ftMemo;
    } else if (OneOf(type, {"BIT", "YESNO", "BOOLEAN", "BOOL", "LOGICAL", "LOGICAL1"})) {
        def.DataType = ftBoolean;
    } else if (OneOf(type, {"INTEGER", "INT", "LONG", "SMALLINT", "SHORT", "BYTE", "TINYINT", "BIGINT",
                            "COUNTER", "AUTOINCREMENT", "INTEGER1", "INTEGER2", "INTEGER4"})) {
        def.DataType = ftInteger;
    } else if (OneOf(type, {"DOUBLE", "REAL", "FLOAT", "FLOAT4", "FLOAT8", "SINGLE", "CURRENCY", "MONEY",
                            "NUMERIC", "DECIMAL", "NUMBER", "IEEEDOUBLE", "IEEESINGLE"})) {
        def.DataType = ftFloat;
    } else if (OneOf(type, {"BLOB", "LONGBINARY", "IMAGE", "OLEOBJECT", "GENERAL", "BINARY", "VARBINARY"})) {
        def.DataType = ftBlob;
    } else if (type.find("INT") != std::string::npos) {
        def.DataType = ftInteger;
    } else if (type.find("CHAR") != std::string::npos || type.find("TEXT") != std::string::npos ||
               OneOf(type, {"STRING", "DATE", "TIME", "DATETIME", "TIMESTAMP"})) {
        // Dates are stored as text in their fixed layouts.
        def.DataType = ftString;
        def.Size = size > 0 ? static_cast<uint16_t>(std::min<long long>(size, 65535)) : kDefaultTextSize;
    } else if (type.find("REAL") != std::string::npos || type.find("FLOA") != std::string::npos ||
               type.find("DOUB") != std::string::npos) {
        def.DataType = ftFloat;
    } else if (type.find("BLOB") != std::string::npos) {
        def.DataType = ftBlob;
    }
    return def;
}

TdsValue ReadColumn(sqlite3_stmt* stmt, int column) {
    switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER:
        return TdsValue::Integer(sqlite3_column_int64(stmt, column));
    case SQLITE_FLOAT:
        return TdsValue::Float(sqlite3_column_double(stmt, column));
    case SQLITE_TEXT: {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        return TdsValue::Text(
            std::string(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt, column))));
    }
    case SQLITE_BLOB: {
        auto data = static_cast<const char*>(sqlite3_column_blob(stmt, column));
        return TdsValue::Block(
            std::string(data ? data : "", static_cast<size_t>(sqlite3_column_bytes(stmt, column))));
    }
    default:
        return TdsValue::Null();
    }
}

// Settles the type of a column that has none declared from its values, and brings the values of
// boolean and float columns to their column's type.
void SettleColumn(TdsFieldDef& def, std::vector<std::vector<TdsValue>>& rows, size_t column) {
    if (def.DataType == ftUnknown) {
        def.DataType = ftString;
        def.Size = kDefaultTextSize;
        size_t longest = 0;
        bool typed = false;
        for (const auto& row : rows) {
            const TdsValue& v = row[column];
            if (v.IsNull())
                continue;
            if (!typed) {
                typed = true;
                def.DataType = v.IsInteger() ? ftInteger
                               : v.IsFloat() ? ftFloat
                               : v.IsBlock() ? ftBlob
                                             : ftString;
                def.Size = def.DataType == ftString ? kDefaultTextSize : 0;
            }
            if (v.IsText())
                longest = std::max(longest, Utf8Length(v.AsString()));
        }
        if (def.DataType == ftString && longest > kDefaultTextSize) {
            def.DataType = ftMemo;
            def.Size = 0;
        }
    }
    for (auto& row : rows) {
        TdsValue& v = row[column];
        if (def.DataType == ftBoolean && (v.IsInteger() || v.IsFloat()))
            v = TdsValue::Boolean(v.AsFloat() != 0.0);
        else if (def.DataType == ftFloat && v.IsInteger())
            v = TdsValue::Float(static_cast<double>(v.AsInteger()));
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TdsAdoQuery

void TdsAdoQuery::Open() {
    if (active_)
        return;
    if (!Connection)
        throw EdsError(kNotConnected);
    std::string errorText;
    if (!Connection->RunQuery(SQL, *this, errorText))
        throw EdsError(errorText);
}

void TdsAdoQuery::Close() {
    active_ = false;
    fields_.clear();
    rows_.clear();
    ResetCursor();
}

const TdsFieldDef& TdsAdoQuery::FieldDef(int index) const {
    if (index < 0 || index >= FieldCount())
        throw EdsError("Field index " + std::to_string(index) + " out of range");
    return fields_[static_cast<size_t>(index)];
}

const TdsValue& TdsAdoQuery::Value(int record, int field) const {
    if (record < 0 || record >= RecordCount() || field < 0 || field >= FieldCount())
        throw EdsError("Record " + std::to_string(record) + ", field " + std::to_string(field) +
                       " out of range");
    return rows_[static_cast<size_t>(record)][static_cast<size_t>(field)];
}

// ---------------------------------------------------------------------------------------------
// TdsAdoDBKit

TdsAdoDBKit::TdsAdoDBKit() : DataSet(std::make_unique<TdsAdoQuery>()) {}

TdsAdoDBKit::~TdsAdoDBKit() {
    Disconnect();
}

void TdsAdoDBKit::SetBusyTimeout(int milliseconds) {
    BusyTimeout = milliseconds;
    if (db_)
        sqlite3_busy_timeout(db_, milliseconds);
}

bool TdsAdoDBKit::Connect(const std::string& databaseFile, const std::string& password, bool exclusive,
                          std::string& errorText) {
    errorText.clear();
    Disconnect();

    std::error_code ec;
    std::string path = databaseFile;
    fs::path absolute = fs::absolute(databaseFile, ec);
    if (!ec)
        path = absolute.string();
    if (!fs::is_regular_file(path, ec)) {
        errorText = TdsStrUtils::Format("数据库“%s”不存在！", {path});
        return false;
    }
    // The read-only attribute goes, as the engine needs to write the file.
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);

    ConnectionString = TdsStrUtils::Format("Provider=SQLCipher;Data Source=%s;Persist Security Info=False;"
                                           "Database Password=%s;",
                                           {path, password}) +
                       (exclusive ? "Mode=Share Deny Read|Share Deny Write" : "Mode=Share Deny None");

    sqlite3* db = nullptr;
    // Read-write without create: a path that vanished in between is never created empty.
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    bool ok = rc == SQLITE_OK;
    if (!ok)
        errorText = db ? EngineText(db) : sqlite3_errstr(rc);
    ok = ok && ExecPlain(db, ("PRAGMA key = " + TdsStrUtils::QuotedStr(password)).c_str(), errorText);
    if (ok)
        sqlite3_busy_timeout(db, BusyTimeout);
    ok = ok && (!exclusive || ExecPlain(db, "PRAGMA locking_mode = EXCLUSIVE", errorText));
    // Reading the schema proves the key: a wrong password or a file that is no database fails here.
    ok = ok && ExecPlain(db, "SELECT count(*) FROM sqlite_master", errorText);
    // In exclusive locking mode a lock once taken is kept; taking the write lock now keeps readers
    // and writers of other connections out from the start.
    ok = ok &&
         (!exclusive || (ExecPlain(db, "BEGIN EXCLUSIVE", errorText) && ExecPlain(db, "COMMIT", errorText)));
    if (!ok) {
        sqlite3_close_v2(db);
        return false;
    }
    db_ = db;
    ConnectInfo->Server.clear();
    ConnectInfo->Database = path;
    ConnectInfo->UserName.clear();
    ConnectInfo->Password = password;
    return true;
}

bool TdsAdoDBKit::CreateDatabase(const std::string& databaseFile, const std::string& password,
                                 std::string& errorText) {
    errorText.clear();
    std::error_code ec;
    if (fs::exists(databaseFile, ec)) {
        errorText = TdsStrUtils::Format("数据库“%s”已存在！", {databaseFile});
        return false;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(databaseFile.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    bool ok = rc == SQLITE_OK;
    if (!ok)
        errorText = db ? EngineText(db) : sqlite3_errstr(rc);
    ok = ok && ExecPlain(db, ("PRAGMA key = " + TdsStrUtils::QuotedStr(password)).c_str(), errorText);
    // A new file stays empty until something is written; this writes its first (encrypted) pages.
    ok = ok && ExecPlain(db, "CREATE TABLE brindle_new(x); DROP TABLE brindle_new;", errorText);
    sqlite3_close_v2(db);
    if (!ok)
        fs::remove(databaseFile, ec);
    return ok;
}

void TdsAdoDBKit::Disconnect() {
    TdsDBKit::Disconnect();
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool TdsAdoDBKit::Run(const std::string& sql, int& rows, TdsAdoQuery* into, std::string& errorText) {
    rows = -1;
    if (!db_) {
        errorText = kNotConnected;
        return false;
    }
    std::string text = TdsJetSQL::ToSQLite(sql);
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &stmt, &tail) != SQLITE_OK) {
        errorText = EngineText(db_);
        return false;
    }
    if (!stmt) {
        errorText = kEmptyStatement;
        return false;
    }
    // One statement per call, as the engine of the stored SQL had it: nothing may run half.
    if (tail && !TdsJetSQL::IsBlank(std::string(tail, text.c_str() + text.size() - tail))) {
        sqlite3_finalize(stmt);
        errorText = kTextAfterStatement;
        return false;
    }

    int columns = sqlite3_column_count(stmt);
    std::vector<TdsFieldDef> fields;
    std::vector<std::vector<TdsValue>> records;
    if (into) {
        for (int c = 0; c < columns; ++c) {
            TdsFieldDef def = TypeOfDeclared(sqlite3_column_decltype(stmt, c));
            const char* name = sqlite3_column_name(stmt, c);
            def.Name = name ? name : "";
            fields.push_back(def);
        }
    }
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (!into)
            continue;
        std::vector<TdsValue> record;
        record.reserve(static_cast<size_t>(columns));
        for (int c = 0; c < columns; ++c)
            record.push_back(ReadColumn(stmt, c));
        records.push_back(std::move(record));
    }
    if (rc != SQLITE_DONE) {
        errorText = EngineText(db_);
        sqlite3_finalize(stmt);
        return false;
    }
    sqlite3_finalize(stmt);
    if (TdsJetSQL::IsRowOperation(text))
        rows = sqlite3_changes(db_);
    if (into) {
        for (size_t c = 0; c < fields.size(); ++c)
            SettleColumn(fields[c], records, c);
        into->fields_ = std::move(fields);
        into->rows_ = std::move(records);
        into->active_ = true;
        into->First();
    }
    return true;
}

bool TdsAdoDBKit::RunQuery(const std::string& sql, TdsAdoQuery& into, std::string& errorText) {
    int rows = 0;
    return Run(sql, rows, &into, errorText);
}

bool TdsAdoDBKit::Begin(std::string& errorText) {
    if (!db_) {
        errorText = kNotConnected;
        return false;
    }
    // The write lock is taken up front, so a busy database waits here instead of failing half-way.
    return ExecPlain(db_, "BEGIN IMMEDIATE", errorText);
}

bool TdsAdoDBKit::Commit(std::string& errorText) {
    if (ExecPlain(db_, "COMMIT", errorText))
        return true;
    Rollback();
    return false;
}

void TdsAdoDBKit::Rollback() {
    // Some errors end the transaction on their own.
    if (db_ && !sqlite3_get_autocommit(db_)) {
        std::string ignored;
        ExecPlain(db_, "ROLLBACK", ignored);
    }
}

int TdsAdoDBKit::DoExecSQL(const std::string& sql, std::string& errorText, bool& failed) {
    errorText.clear();
    failed = true;
    if (!Begin(errorText))
        return -1;
    int rows = -1;
    if (!Run(sql, rows, nullptr, errorText)) {
        Rollback();
        return -1;
    }
    if (!Commit(errorText))
        return -1;
    failed = false;
    return rows;
}

int TdsAdoDBKit::DoExecScript(const TdsStrings& lines, std::string& errorText, bool& failed) {
    errorText.clear();
    failed = true;
    if (!Begin(errorText))
        return -1;
    int total = 0;
    for (const std::string& line : lines.Items) {
        std::string statement = TdsStrUtils::Trim(line);
        if (statement.empty() || TdsStrUtils::StartsText("//", statement))
            continue;
        int rows = -1;
        if (!Run(statement, rows, nullptr, errorText)) {
            Rollback();
            LastErrorSQL = line;
            return -1;
        }
        total += rows;
    }
    if (!Commit(errorText))
        return -1;
    failed = false;
    return total;
}

int TdsAdoDBKit::OpenQuery(TdsDataSet& dataSet, const std::string& sql, bool raiseOnError) {
    auto* direct = dynamic_cast<TdsAdoQuery*>(&dataSet);
    if (!direct && !TdsStrUtils::SameText(dataSet.ClassName(), "TVirtualTable"))
        throw EdsError(TdsStrUtils::Format("不支持的数据集类型“%s”！", {dataSet.ClassName()}));
    TdsAdoQuery& running = direct ? *direct : *DataSet;
    try {
        running.Close();
        running.Connection = this;
        running.SetFilterText("");
        running.SQL = sql;
        running.Open();
        int count = running.RecordCount();
        if (!direct && count >= 0) {
            dataSet.Close();
            dataSet.SetFilterText("");
            dataSet.AssignDataSet(running);
            dataSet.Open();
        }
        return count;
    } catch (const std::exception& e) {
        if (raiseOnError)
            throw EdsError(e.what());
        TdsDialogs::ShowPrompt(e.what(), mkError);
        return -1;
    }
}

int TdsAdoDBKit::OpenQuery(TdsDataSet& dataSet, const std::string& sql) {
    return OpenQuery(dataSet, sql, false);
}

int TdsAdoDBKit::ExecSQL(const std::string& sql, std::string& errorText) {
    bool failed = false;
    return DoExecSQL(sql, errorText, failed);
}

int TdsAdoDBKit::ExecSQL(const std::string& sql, bool raiseOnError) {
    std::string errorText;
    bool failed = false;
    int rows = DoExecSQL(sql, errorText, failed);
    // Decided by the failure, not by -1: a statement that is no row operation also gives -1.
    if (failed) {
        if (raiseOnError)
            throw EdsError(errorText);
        TdsDialogs::ShowPrompt(errorText, mkWarning);
    }
    return rows;
}

int TdsAdoDBKit::ExecSQL(const std::string& sql) {
    return ExecSQL(sql, false);
}

int TdsAdoDBKit::ExecSQLDirect(const std::string& sql) {
    int rows = -1;
    std::string errorText;
    return Run(sql, rows, nullptr, errorText) ? rows : -2;
}

int TdsAdoDBKit::ExecScript(const TdsStrings& lines, std::string& errorText) {
    bool failed = false;
    return DoExecScript(lines, errorText, failed);
}

int TdsAdoDBKit::ExecScript(const TdsStrings& lines, bool raiseOnError) {
    std::string errorText;
    bool failed = false;
    int total = DoExecScript(lines, errorText, failed);
    // A script of statements that are no row operations has a negative total without failing.
    if (failed) {
        if (raiseOnError)
            throw EdsError(errorText);
        TdsDialogs::ShowPrompt(errorText, mkError);
    }
    return total;
}

int TdsAdoDBKit::ExecScript(const TdsStrings& lines) {
    return ExecScript(lines, false);
}

bool TdsAdoDBKit::ExecScriptOK(const TdsStrings& lines) {
    std::string errorText;
    return ExecScriptOK(lines, errorText);
}

bool TdsAdoDBKit::ExecScriptOK(const TdsStrings& lines, std::string& errorText) {
    bool failed = false;
    DoExecScript(lines, errorText, failed);
    return !failed;
}
