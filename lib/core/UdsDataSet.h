#pragma once
// The dataset contract shared by the database kit's query results and the in-memory table:
// typed field definitions, values, a record cursor and field access by name or index.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// Field data type codes, as the table file format numbers them.
enum TdsFieldType : uint16_t {
    ftUnknown = 0,
    ftString = 1,
    ftSmallint = 2,
    ftInteger = 3,
    ftWord = 4,
    ftBoolean = 5,
    ftFloat = 6,
    ftCurrency = 7,
    ftBCD = 8,
    ftDate = 9,
    ftTime = 10,
    ftDateTime = 11,
    ftBytes = 12,
    ftVarBytes = 13,
    ftAutoInc = 14,
    ftBlob = 15,
    ftMemo = 16,
    ftGraphic = 17,
    ftFmtMemo = 18,
    ftFixedChar = 23,
    ftWideString = 24,
    ftLargeint = 25,
    ftGuid = 35,
    ftTimeStamp = 36,
    ftFMTBcd = 37,
    ftFixedWideChar = 38,
    ftWideMemo = 39,
};

struct TdsFieldDef {
    std::string Name;
    uint16_t DataType = ftString;
    uint16_t Size = 0;
    uint32_t Attributes = 0;
    bool operator==(const TdsFieldDef&) const = default;
};

// One value: null, text (UTF-8), integer, float, boolean or a byte block.
class TdsValue {
public:
    struct Bytes {
        std::string data;
        bool operator==(const Bytes&) const = default;
    };

    TdsValue() = default;
    static TdsValue Null() { return TdsValue(); }
    static TdsValue Text(std::string s) { return TdsValue(Storage(std::move(s))); }
    static TdsValue Integer(int64_t v) { return TdsValue(Storage(v)); }
    static TdsValue Float(double v) { return TdsValue(Storage(v)); }
    static TdsValue Boolean(bool v) { return TdsValue(Storage(v)); }
    static TdsValue Block(std::string bytes) { return TdsValue(Storage(Bytes{std::move(bytes)})); }

    bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
    bool IsText() const { return std::holds_alternative<std::string>(v_); }
    bool IsInteger() const { return std::holds_alternative<int64_t>(v_); }
    bool IsFloat() const { return std::holds_alternative<double>(v_); }
    bool IsBoolean() const { return std::holds_alternative<bool>(v_); }
    bool IsBlock() const { return std::holds_alternative<Bytes>(v_); }

    // Conversions as a dataset field offers them: null gives "", 0, 0.0, false.
    // AsInteger/AsFloat of a text that is no number give 0.
    std::string AsString() const;
    int64_t AsInteger() const;
    double AsFloat() const;
    bool AsBoolean() const;
    // The raw bytes of a block, or the text of any other value.
    std::string AsBytes() const;
    // The stored text of a text value or the bytes of a block, without a copy; empty for other kinds.
    const std::string& StringRef() const;

    bool operator==(const TdsValue&) const = default;

private:
    using Storage = std::variant<std::monostate, std::string, int64_t, double, bool, Bytes>;
    explicit TdsValue(Storage v) : v_(std::move(v)) {}
    Storage v_;
};

class TdsDataSet;

// A handle on one field of a dataset's current record.
class TdsField {
public:
    TdsField(TdsDataSet* dataSet, int index) : dataSet_(dataSet), index_(index) {}
    int Index() const { return index_; }
    const TdsFieldDef& Def() const;
    const std::string& FieldName() const { return Def().Name; }
    const TdsValue& Value() const;
    bool IsNull() const { return Value().IsNull(); }
    std::string AsString() const { return Value().AsString(); }
    int64_t AsInteger() const { return Value().AsInteger(); }
    double AsFloat() const { return Value().AsFloat(); }
    bool AsBoolean() const { return Value().AsBoolean(); }
    // Writing needs an editable dataset in edit or insert state.
    void SetValue(const TdsValue& value);
    void SetAsString(const std::string& v) { SetValue(TdsValue::Text(v)); }
    void SetAsInteger(int64_t v) { SetValue(TdsValue::Integer(v)); }
    void SetAsFloat(double v) { SetValue(TdsValue::Float(v)); }
    void SetAsBoolean(bool v) { SetValue(TdsValue::Boolean(v)); }
    void Clear() { SetValue(TdsValue::Null()); }

private:
    TdsDataSet* dataSet_;
    int index_;
};

// Base of every dataset. Records are addressed 0-based internally; RecNo is 1-based as the platform's.
// Navigation: First/Next/Prior/Last move a cursor; Eof is true after Next past the last record (and on
// an empty dataset), Bof before the first.
class TdsDataSet {
public:
    virtual ~TdsDataSet() = default;

    // The class name the database kit checks its targets by.
    virtual std::string ClassName() const = 0;

    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual bool Active() const = 0;
    virtual std::string FilterText() const { return ""; }
    virtual void SetFilterText(const std::string&) {}

    virtual int FieldCount() const = 0;
    virtual const TdsFieldDef& FieldDef(int index) const = 0;
    // Visible records (after a filter, in sort order).
    virtual int RecordCount() const = 0;
    virtual const TdsValue& Value(int record, int field) const = 0;
    // Editable datasets override; the base raises EdsError.
    virtual void SetValue(int record, int field, const TdsValue& value);
    // Replaces the field definitions and all records with copies of the source's visible records
    // (what the database kit does with a query result). The base raises EdsError.
    virtual void AssignDataSet(const TdsDataSet& source);

    // Field lookup, case-insensitive; -1 when there is no such field.
    int FieldIndex(const std::string& name) const;
    // Raises EdsError naming the field when there is none.
    TdsField FieldByName(const std::string& name);
    TdsField Field(int index);
    std::vector<TdsFieldDef> FieldDefs() const;

    void First();
    void Next();
    void Prior();
    void Last();
    bool Eof() const { return eof_; }
    bool Bof() const { return bof_; }
    bool IsEmpty() const { return RecordCount() == 0; }
    // 1-based; 0 when there is no current record.
    int RecNo() const;
    void SetRecNo(int recNo);
    // 0-based index of the current record, -1 when none.
    int CurrentRecord() const { return current_; }

protected:
    // Called by First/Next/Prior/Last/SetRecNo before the cursor moves; an editable dataset posts
    // a pending edit here, as moving off a record does on the platform.
    virtual void BeforeScroll() {}
    // Derived classes call this when the records change under the cursor.
    void SetCursor(int record);
    void ResetCursor();

private:
    int current_ = -1;
    bool eof_ = true;
    bool bof_ = true;
};
