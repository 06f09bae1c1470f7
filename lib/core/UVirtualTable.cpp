#include "UVirtualTable.h"

#include "UVirtualTableFilter.h"
#include "UdsExceptions.h"
#include "UdsStrUtils.h"

#include <algorithm>
#include <limits>

TVirtualTableTypes::TKind TVirtualTableTypes::KindOf(uint16_t dataType) {
    switch (dataType) {
    case ftString:
    case ftMemo:
    case ftFmtMemo:
    case ftFixedChar:
    case ftGuid:
        return vkAnsiText;
    case ftWideString:
    case ftFixedWideChar:
    case ftWideMemo:
        return vkWideText;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
        return vkInteger;
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
        return vkFloat;
    case ftBoolean:
        return vkBoolean;
    default:
        // Blobs, byte columns and every code we do not interpret: raw bytes, written back unchanged.
        return vkBlock;
    }
}

int TVirtualTableTypes::WidthOf(uint16_t dataType) {
    switch (dataType) {
    case ftSmallint:
    case ftWord:
    case ftBoolean:
        return 2;
    case ftInteger:
    case ftAutoInc:
        return 4;
    case ftLargeint:
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
        return 8;
    default:
        return 0;
    }
}

void TVirtualTableTypes::RangeOf(uint16_t dataType, int64_t& low, int64_t& high) {
    switch (dataType) {
    case ftSmallint:
        low = std::numeric_limits<int16_t>::min();
        high = std::numeric_limits<int16_t>::max();
        break;
    case ftWord:
        low = 0;
        high = std::numeric_limits<uint16_t>::max();
        break;
    case ftInteger:
    case ftAutoInc:
        low = std::numeric_limits<int32_t>::min();
        high = std::numeric_limits<int32_t>::max();
        break;
    default:
        low = std::numeric_limits<int64_t>::min();
        high = std::numeric_limits<int64_t>::max();
        break;
    }
}

TVirtualTable::TVirtualTable() = default;
TVirtualTable::~TVirtualTable() = default;

void TVirtualTable::RequireActive(const char* what) const {
    if (!Active())
        throw EdsError(std::string("cannot ") + what + ": the table is not open");
}

void TVirtualTable::Open() {
    if (Active())
        return;
    state_ = vtsBrowse;
    RebuildView(-1);
    SetCursor(0);
}

void TVirtualTable::Close() {
    if (!Active())
        return;
    Cancel();
    state_ = vtsInactive;
    ResetCursor();
}

void TVirtualTable::AddField(const std::string& name, uint16_t dataType, uint16_t size, uint32_t attributes) {
    if (TdsStrUtils::Trim(name).empty())
        throw EdsError("a field needs a name");
    if (FieldIndex(name) >= 0)
        throw EdsError("Field '" + name + "' already exists");
    defs_.push_back({name, dataType, size, attributes});
    for (auto& row : rows_)
        row.emplace_back();
    if (state_ == vtsEdit)
        editBackup_.emplace_back();
    // A filter or order naming this field may resolve now.
    if (!filter_ || sortKeys_.empty()) {
        ResolveFilterAndOrder();
        if (state_ == vtsBrowse)
            RebuildView(CurrentStored());
    }
}

void TVirtualTable::ClearFields() {
    ReplaceContents({}, {}, false);
}

void TVirtualTable::AssignFieldDefs(std::vector<TdsFieldDef> defs) {
    ReplaceContents(std::move(defs), {}, false);
}

const TdsFieldDef& TVirtualTable::FieldDef(int index) const {
    if (index < 0 || index >= FieldCount())
        throw EdsError("Field index " + std::to_string(index) + " out of range");
    return defs_[static_cast<size_t>(index)];
}

int TVirtualTable::RecordCount() const {
    return Active() ? static_cast<int>(view_.size()) : 0;
}

size_t TVirtualTable::StoredIndex(int record) const {
    if (record < 0 || record >= RecordCount())
        throw EdsError("Record " + std::to_string(record) + " out of range");
    return view_[static_cast<size_t>(record)];
}

const TdsValue& TVirtualTable::Value(int record, int field) const {
    size_t stored = StoredIndex(record);
    FieldDef(field);
    return rows_[stored][static_cast<size_t>(field)];
}

const TdsValue& TVirtualTable::StoredValue(int record, int field) const {
    if (record < 0 || record >= StoredRecordCount())
        throw EdsError("Record " + std::to_string(record) + " out of range");
    FieldDef(field);
    return rows_[static_cast<size_t>(record)][static_cast<size_t>(field)];
}

TdsValue TVirtualTable::Coerce(int field, const TdsValue& value) const {
    const TdsFieldDef& def = FieldDef(field);
    if (value.IsNull() || value.IsBlock())
        return value; // a block is written as its raw bytes whatever the column holds
    switch (TVirtualTableTypes::KindOf(def.DataType)) {
    case TVirtualTableTypes::vkAnsiText:
    case TVirtualTableTypes::vkWideText:
        return value.IsText() ? value : TdsValue::Text(value.AsString());
    case TVirtualTableTypes::vkInteger: {
        int64_t v = 0;
        if (value.IsText()) {
            long long parsed = 0;
            if (!TdsStrUtils::TryStrToInt(TdsStrUtils::Trim(value.AsString()), parsed))
                throw EdsError("'" + value.AsString() + "' is not a valid integer value for field '" +
                               def.Name + "'");
            v = parsed;
        } else {
            v = value.AsInteger();
        }
        int64_t low = 0, high = 0;
        TVirtualTableTypes::RangeOf(def.DataType, low, high);
        if (v < low || v > high)
            throw EdsError(std::to_string(v) + " is out of range for field '" + def.Name + "'");
        return TdsValue::Integer(v);
    }
    case TVirtualTableTypes::vkFloat: {
        if (value.IsText()) {
            double d = 0;
            if (!TdsStrUtils::TryStrToFloat(value.AsString(), d))
                throw EdsError("'" + value.AsString() + "' is not a valid number for field '" + def.Name +
                               "'");
            return TdsValue::Float(d);
        }
        return TdsValue::Float(value.AsFloat());
    }
    case TVirtualTableTypes::vkBoolean:
        return TdsValue::Boolean(value.AsBoolean());
    case TVirtualTableTypes::vkBlock:
        return TdsValue::Block(value.AsBytes());
    }
    return value;
}

void TVirtualTable::SetValue(int record, int field, const TdsValue& value) {
    RequireActive("write a field");
    if (state_ != vtsEdit && state_ != vtsInsert)
        throw EdsError("cannot write a field: the table is not in edit or insert state");
    if (record < 0 || record >= RecordCount() || view_[static_cast<size_t>(record)] != editStored_)
        throw EdsError("cannot write a field: the record is not the one being edited");
    rows_[editStored_][static_cast<size_t>(field)] = Coerce(field, value);
}

void TVirtualTable::AssignDataSet(const TdsDataSet& source) {
    if (&source == this)
        return;
    std::vector<TdsFieldDef> defs = source.FieldDefs();
    std::vector<Row> rows;
    int count = source.RecordCount();
    rows.reserve(static_cast<size_t>(std::max(count, 0)));
    for (int r = 0; r < count; ++r) {
        Row row;
        row.reserve(defs.size());
        for (int f = 0; f < static_cast<int>(defs.size()); ++f)
            row.push_back(source.Value(r, f));
        rows.push_back(std::move(row));
    }
    ReplaceContents(std::move(defs), std::move(rows), true);
}

void TVirtualTable::ReplaceContents(std::vector<TdsFieldDef> defs, std::vector<Row> rows, bool open) {
    if (state_ == vtsEdit || state_ == vtsInsert)
        Cancel();
    defs_ = std::move(defs);
    rows_ = std::move(rows);
    ResolveFilterAndOrder();
    if (open)
        state_ = vtsBrowse;
    if (Active()) {
        RebuildView(-1);
        SetCursor(0);
    } else {
        view_.clear();
        ResetCursor();
    }
}

void TVirtualTable::ResolveFilterAndOrder() {
    // The filter and the order name columns; they apply again when the columns fit, else lapse
    // (a lapsed filter shows no records, a lapsed order the stored order).
    filter_.reset();
    if (!filterText_.empty()) {
        try {
            filter_ = TVirtualTableFilter::Parse(filterText_, defs_);
        } catch (const EdsError&) {
        }
    }
    sortKeys_.clear();
    if (!indexFieldNames_.empty()) {
        try {
            sortKeys_ = ParseOrder(indexFieldNames_);
        } catch (const EdsError&) {
        }
    }
}

long TVirtualTable::CurrentStored() const {
    int pos = CurrentRecord();
    return pos >= 0 && pos < RecordCount() ? static_cast<long>(view_[static_cast<size_t>(pos)]) : -1;
}

void TVirtualTable::ResetToEmpty() {
    ReplaceContents({}, {}, false);
    state_ = vtsInactive;
    ResetCursor();
}

void TVirtualTable::RebuildView(long keepStored, bool firstIfGone) {
    int oldPos = CurrentRecord();
    view_.clear();
    view_.reserve(rows_.size());
    bool filtering = filtered_ && !filterText_.empty();
    for (size_t i = 0; i < rows_.size(); ++i) {
        // A filter whose fields are gone shows nothing rather than everything.
        if (filtering && (!filter_ || !filter_->Matches(rows_[i])))
            continue;
        view_.push_back(i);
    }
    if (!sortKeys_.empty()) {
        std::stable_sort(view_.begin(), view_.end(), [this](size_t a, size_t b) {
            for (const SortKey& key : sortKeys_) {
                auto f = static_cast<size_t>(key.field);
                int order = CompareColumnValues(defs_[f].DataType, rows_[a][f], rows_[b][f]);
                if (order != 0)
                    return key.descending ? order > 0 : order < 0;
            }
            return false;
        });
    }
    if (keepStored >= 0) {
        auto it = std::find(view_.begin(), view_.end(), static_cast<size_t>(keepStored));
        if (it != view_.end()) {
            SetCursor(static_cast<int>(it - view_.begin()));
            return;
        }
    }
    SetCursor(firstIfGone ? 0 : oldPos);
}

void TVirtualTable::BeforeScroll() {
    if (state_ == vtsEdit || state_ == vtsInsert)
        Post();
}

void TVirtualTable::Edit() {
    RequireActive("edit");
    if (state_ == vtsEdit || state_ == vtsInsert)
        return;
    if (RecordCount() == 0) {
        // As on the platform: editing an empty table starts a new record.
        Append();
        return;
    }
    editStored_ = StoredIndex(CurrentRecord());
    editBackup_ = rows_[editStored_];
    state_ = vtsEdit;
}

void TVirtualTable::InsertRowAt(size_t stored, size_t viewPos) {
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(stored), Row(defs_.size()));
    for (size_t& v : view_)
        if (v >= stored)
            ++v;
    view_.insert(view_.begin() + static_cast<std::ptrdiff_t>(viewPos), stored);
    editStored_ = stored;
    editBackup_.clear();
    state_ = vtsInsert;
    SetCursor(static_cast<int>(viewPos));
}

void TVirtualTable::Append() {
    RequireActive("append");
    if (state_ == vtsEdit || state_ == vtsInsert)
        Post();
    InsertRowAt(rows_.size(), view_.size());
}

void TVirtualTable::Insert() {
    RequireActive("insert");
    if (state_ == vtsEdit || state_ == vtsInsert)
        Post();
    if (view_.empty()) {
        InsertRowAt(rows_.size(), 0);
        return;
    }
    int pos = std::max(CurrentRecord(), 0);
    InsertRowAt(view_[static_cast<size_t>(pos)], static_cast<size_t>(pos));
}

void TVirtualTable::Post() {
    if (state_ != vtsEdit && state_ != vtsInsert)
        return;
    state_ = vtsBrowse;
    editBackup_.clear();
    // The posted record takes its place in the view: it may leave a filter or move in the order.
    if ((filtered_ && !filterText_.empty()) || !sortKeys_.empty())
        RebuildView(static_cast<long>(editStored_));
}

void TVirtualTable::Cancel() {
    if (state_ == vtsEdit) {
        rows_[editStored_] = std::move(editBackup_);
        editBackup_.clear();
        state_ = vtsBrowse;
    } else if (state_ == vtsInsert) {
        state_ = vtsBrowse;
        auto it = std::find(view_.begin(), view_.end(), editStored_);
        if (it != view_.end())
            SetCursor(static_cast<int>(it - view_.begin()));
        Delete();
    }
}

void TVirtualTable::Delete() {
    RequireActive("delete");
    if (state_ == vtsInsert) {
        Cancel();
        return;
    }
    if (state_ == vtsEdit)
        Cancel();
    int pos = CurrentRecord();
    if (pos < 0 || pos >= RecordCount())
        throw EdsError("cannot delete: there is no current record");
    size_t stored = view_[static_cast<size_t>(pos)];
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(stored));
    view_.erase(view_.begin() + pos);
    for (size_t& v : view_)
        if (v > stored)
            --v;
    SetCursor(pos);
}

void TVirtualTable::Clear() {
    if (state_ == vtsEdit || state_ == vtsInsert)
        Cancel();
    rows_.clear();
    view_.clear();
    ResetCursor();
}

void TVirtualTable::AppendRecord(const std::vector<TdsValue>& values) {
    RequireActive("append");
    if (state_ == vtsEdit || state_ == vtsInsert)
        Post();
    if (values.size() > defs_.size())
        throw EdsError("record has " + std::to_string(values.size()) + " values for " +
                       std::to_string(defs_.size()) + " fields");
    Row row(defs_.size());
    for (size_t i = 0; i < values.size(); ++i)
        row[i] = Coerce(static_cast<int>(i), values[i]);
    rows_.push_back(std::move(row));
    size_t stored = rows_.size() - 1;
    if (filtered_ && !filterText_.empty() && (!filter_ || !filter_->Matches(rows_[stored])))
        return;
    if (sortKeys_.empty()) {
        view_.push_back(stored);
    } else {
        // After all equal keys, so the order stays stable.
        auto it = std::upper_bound(view_.begin(), view_.end(), stored, [this](size_t a, size_t b) {
            for (const SortKey& key : sortKeys_) {
                auto f = static_cast<size_t>(key.field);
                int order = CompareColumnValues(defs_[f].DataType, rows_[a][f], rows_[b][f]);
                if (order != 0)
                    return key.descending ? order > 0 : order < 0;
            }
            return false;
        });
        view_.insert(it, stored);
    }
    if (CurrentRecord() < 0)
        SetCursor(0);
}

void TVirtualTable::SetFilterText(const std::string& text) {
    std::unique_ptr<TVirtualTableFilter> parsed;
    if (!TdsStrUtils::Trim(text).empty())
        parsed = TVirtualTableFilter::Parse(text, defs_);
    if (state_ == vtsEdit || state_ == vtsInsert)
        Post();
    filterText_ = TdsStrUtils::Trim(text).empty() ? "" : text;
    filter_ = std::move(parsed);
    if (filtered_ && Active())
        RebuildView(CurrentStored(), true);
}

void TVirtualTable::SetFiltered(bool filtered) {
    if (filtered == filtered_)
        return;
    if (state_ == vtsEdit || state_ == vtsInsert)
        Post();
    filtered_ = filtered;
    if (Active())
        RebuildView(CurrentStored(), true);
}

std::vector<TVirtualTable::SortKey> TVirtualTable::ParseOrder(const std::string& order) const {
    std::vector<SortKey> keys;
    std::vector<std::string> parts;
    TdsStrUtils::SplitText(order, ";", false, parts);
    for (const std::string& rawPart : parts) {
        std::string part = TdsStrUtils::Trim(rawPart);
        if (part.empty())
            continue;
        bool descending = false;
        std::string name = part;
        size_t space = part.find_last_of(" \t");
        if (space != std::string::npos) {
            std::string word = part.substr(space + 1);
            if (TdsStrUtils::SameText(word, "DESC") || TdsStrUtils::SameText(word, "ASC")) {
                descending = TdsStrUtils::SameText(word, "DESC");
                name = TdsStrUtils::Trim(part.substr(0, space));
            }
        }
        if (name.size() > 2 && name.front() == '[' && name.back() == ']')
            name = name.substr(1, name.size() - 2);
        int field = FieldIndex(name);
        if (field < 0)
            throw EdsError("invalid sort order \"" + order + "\": unknown field \"" + name + "\"");
        keys.push_back({field, descending});
    }
    return keys;
}

void TVirtualTable::SetIndexFieldNames(const std::string& order) {
    std::vector<SortKey> keys = ParseOrder(order);
    if (state_ == vtsEdit || state_ == vtsInsert)
        Post();
    indexFieldNames_ = keys.empty() ? "" : order;
    sortKeys_ = std::move(keys);
    if (Active())
        RebuildView(CurrentStored());
}
