#pragma once
// The in-memory table: typed columns, records, editing, a filter text, a sort order, and the ".vtd"
// file forms (the binary table stream, written and read; the XML rowset form, read).
#include "UdsDataSet.h"

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

enum TVirtualTableState { vtsInactive, vtsBrowse, vtsEdit, vtsInsert };

class TVirtualTableFilter;

// Records are kept in stored order (the order a file holds them); RecordCount/Value address the
// visible records: those that pass the filter (when Filtered), in sort order (when an order is set).
// Edits through the view always reach the stored record they show.
//
// Editing follows the platform: Edit/Append/Insert enter an edit state, field writes go to that
// record, Post keeps them, Cancel undoes them, moving the cursor posts. Writing a field in browse
// state raises EdsError. Values are stored in the kind their column holds: text columns keep text,
// integer columns integers (range-checked), float columns floats, boolean columns booleans, block and
// unknown columns byte blocks.
class TVirtualTable : public TdsDataSet {
public:
    TVirtualTable();
    ~TVirtualTable() override;
    TVirtualTable(const TVirtualTable&) = delete;
    TVirtualTable& operator=(const TVirtualTable&) = delete;

    std::string ClassName() const override { return "TVirtualTable"; }

    // A new table is inactive. Close keeps definitions and records (cancelling a pending edit); an
    // inactive table shows no records. Loading a file or AssignDataSet leaves the table open.
    void Open() override;
    void Close() override;
    bool Active() const override { return state_ != vtsInactive; }
    TVirtualTableState State() const { return state_; }

    // Column definitions. AddField gives existing records a null in the new column; a name that is
    // empty or already used raises EdsError.
    void AddField(const std::string& name, uint16_t dataType = ftString, uint16_t size = 0,
                  uint32_t attributes = 0);
    // Removes all columns and records.
    void ClearFields();
    // Replaces all columns (and drops the records) with definitions as a file gives them: names are
    // taken as they are, even empty or repeated ones.
    void AssignFieldDefs(std::vector<TdsFieldDef> defs);
    int FieldCount() const override { return static_cast<int>(defs_.size()); }
    const TdsFieldDef& FieldDef(int index) const override;

    int RecordCount() const override;
    const TdsValue& Value(int record, int field) const override;
    // Only the record in edit or insert state can be written (EdsError otherwise).
    void SetValue(int record, int field, const TdsValue& value) override;
    // Copies the source's definitions and visible records; filter text and sort order stay.
    void AssignDataSet(const TdsDataSet& source) override;

    void Edit();
    // New record after the last one / before the current one, all values null, made current.
    void Append();
    void Insert();
    void Post();
    void Cancel();
    // Removes the current record; the cursor stays at the same position (the next record).
    void Delete();
    // Removes all records; the columns stay.
    void Clear();
    // Appends a whole record in one step (values converted as SetValue does); for building tables in
    // code and for readers. Missing trailing values are null.
    void AppendRecord(const std::vector<TdsValue>& values);

    // Filter text: comparisons of a field with a quoted text, a number or another field by
    // = <> < > <= >=, joined by AND, OR, NOT and parentheses, e.g. "FKind <> '0' AND FTaxKind = '1'".
    // A text that does not parse, or names an unknown field, raises EdsError and the old filter stays.
    std::string FilterText() const override { return filterText_; }
    void SetFilterText(const std::string& text) override;
    bool Filtered() const { return filtered_; }
    void SetFiltered(bool filtered);

    // Sort order: "F1 ASC; F2 DESC" (ASC when omitted); stable; empty for stored order. An unknown
    // field raises EdsError and the old order stays.
    std::string IndexFieldNames() const { return indexFieldNames_; }
    void SetIndexFieldNames(const std::string& order);

    // The binary table stream. Saving writes all stored records (not just the visible ones).
    // Reading accepts the binary stream and the XML rowset form; a bad stream raises EdsError
    // "not a table stream: <what was wrong>" and leaves the table empty and closed.
    void SaveToStream(std::string& bytes) const;
    void SaveToStream(std::ostream& stream) const;
    void LoadFromStream(const std::string& bytes);
    void LoadFromStream(std::istream& stream);
    // Writes a temporary file in the target's folder and renames it over the target, so a crash
    // leaves the old or the new file, never a part of one.
    void SaveToFile(const std::string& fileName) const;
    void LoadFromFile(const std::string& fileName);

    // Records in stored order, independent of filter, sort and active state.
    int StoredRecordCount() const { return static_cast<int>(rows_.size()); }
    const TdsValue& StoredValue(int record, int field) const;

protected:
    void BeforeScroll() override;

private:
    using Row = std::vector<TdsValue>;
    friend class TVirtualTableIO;

    TdsValue Coerce(int field, const TdsValue& value) const;
    size_t StoredIndex(int record) const;
    // Rebuilds the visible list; the cursor goes to the given stored record when it is visible,
    // otherwise to the first record (firstIfGone) or stays at its position.
    void RebuildView(long keepStored, bool firstIfGone = false);
    long CurrentStored() const;
    void RequireActive(const char* what) const;
    void ReplaceContents(std::vector<TdsFieldDef> defs, std::vector<Row> rows, bool open);
    void ResetToEmpty();
    void InsertRowAt(size_t stored, size_t viewPos);

    std::vector<TdsFieldDef> defs_;
    std::vector<Row> rows_;
    std::vector<size_t> view_; // visible records: stored indices
    TVirtualTableState state_ = vtsInactive;
    // Edit state: the stored record being edited and its values before the edit.
    size_t editStored_ = 0;
    Row editBackup_;

    std::string filterText_;
    bool filtered_ = false;
    std::unique_ptr<TVirtualTableFilter> filter_;

    std::string indexFieldNames_;
    struct SortKey {
        int field;
        bool descending;
    };
    std::vector<SortKey> sortKeys_;
    std::vector<SortKey> ParseOrder(const std::string& order) const;
    void ResolveFilterAndOrder();
};

// Which data type codes the table treats as what.
class TVirtualTableTypes {
public:
    enum TKind { vkAnsiText, vkWideText, vkInteger, vkFloat, vkBoolean, vkBlock };
    static TKind KindOf(uint16_t dataType);
    // Byte width of a fixed-size value (0 for variable-size kinds).
    static int WidthOf(uint16_t dataType);
    // Signed range of an integer column.
    static void RangeOf(uint16_t dataType, int64_t& low, int64_t& high);
};
