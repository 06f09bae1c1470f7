#include "UdsDataSet.h"

#include "UdsExceptions.h"
#include "UdsStrUtils.h"

#include <cmath>
#include <cstdio>

std::string TdsValue::AsString() const {
    struct Visitor {
        std::string operator()(std::monostate) const { return ""; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(int64_t v) const { return std::to_string(v); }
        std::string operator()(double v) const {
            // Shortest form that reads back to the same value, like the platform's float text.
            char buf[64];
            for (int precision = 15; precision <= 17; ++precision) {
                std::snprintf(buf, sizeof(buf), "%.*g", precision, v);
                if (std::strtod(buf, nullptr) == v)
                    break;
            }
            return buf;
        }
        std::string operator()(bool v) const { return v ? "True" : "False"; }
        std::string operator()(const Bytes& b) const { return b.data; }
    };
    return std::visit(Visitor{}, v_);
}

int64_t TdsValue::AsInteger() const {
    if (auto p = std::get_if<int64_t>(&v_))
        return *p;
    if (auto p = std::get_if<double>(&v_))
        return static_cast<int64_t>(std::llround(*p));
    if (auto p = std::get_if<bool>(&v_))
        return *p ? 1 : 0;
    if (auto p = std::get_if<std::string>(&v_)) {
        long long v = 0;
        if (TdsStrUtils::TryStrToInt(*p, v))
            return v;
        double d = 0;
        if (TdsStrUtils::TryStrToFloat(*p, d))
            return static_cast<int64_t>(std::llround(d));
    }
    return 0;
}

double TdsValue::AsFloat() const {
    if (auto p = std::get_if<double>(&v_))
        return *p;
    if (auto p = std::get_if<int64_t>(&v_))
        return static_cast<double>(*p);
    if (auto p = std::get_if<bool>(&v_))
        return *p ? 1.0 : 0.0;
    if (auto p = std::get_if<std::string>(&v_)) {
        double d = 0;
        if (TdsStrUtils::TryStrToFloat(*p, d))
            return d;
    }
    return 0.0;
}

bool TdsValue::AsBoolean() const {
    if (auto p = std::get_if<bool>(&v_))
        return *p;
    if (auto p = std::get_if<int64_t>(&v_))
        return *p != 0;
    if (auto p = std::get_if<double>(&v_))
        return *p != 0.0;
    if (auto p = std::get_if<std::string>(&v_)) {
        std::string t = TdsStrUtils::Trim(*p);
        if (TdsStrUtils::SameText(t, "True") || TdsStrUtils::SameText(t, "Yes"))
            return true;
        long long v = 0;
        return TdsStrUtils::TryStrToInt(t, v) && v != 0;
    }
    return false;
}

std::string TdsValue::AsBytes() const {
    if (auto p = std::get_if<Bytes>(&v_))
        return p->data;
    return AsString();
}

const TdsFieldDef& TdsField::Def() const {
    return dataSet_->FieldDef(index_);
}

const std::string& TdsValue::StringRef() const {
    static const std::string kEmpty;
    if (auto p = std::get_if<std::string>(&v_))
        return *p;
    if (auto p = std::get_if<Bytes>(&v_))
        return p->data;
    return kEmpty;
}

const TdsValue& TdsField::Value() const {
    static const TdsValue kNull;
    int record = dataSet_->CurrentRecord();
    if (record < 0)
        return kNull;
    return dataSet_->Value(record, index_);
}

void TdsField::SetValue(const TdsValue& value) {
    dataSet_->SetValue(dataSet_->CurrentRecord(), index_, value);
}

void TdsDataSet::SetValue(int, int, const TdsValue&) {
    throw EdsError("数据集“" + ClassName() + "”不能修改！");
}

void TdsDataSet::AssignDataSet(const TdsDataSet&) {
    throw EdsError("数据集“" + ClassName() + "”不能复制数据！");
}

int TdsDataSet::FieldIndex(const std::string& name) const {
    for (int i = 0; i < FieldCount(); ++i)
        if (TdsStrUtils::SameText(FieldDef(i).Name, name))
            return i;
    return -1;
}

TdsField TdsDataSet::FieldByName(const std::string& name) {
    int index = FieldIndex(name);
    if (index < 0)
        throw EdsError("Field '" + name + "' not found");
    return TdsField(this, index);
}

TdsField TdsDataSet::Field(int index) {
    if (index < 0 || index >= FieldCount())
        throw EdsError("Field index " + std::to_string(index) + " out of range");
    return TdsField(this, index);
}

std::vector<TdsFieldDef> TdsDataSet::FieldDefs() const {
    std::vector<TdsFieldDef> defs;
    for (int i = 0; i < FieldCount(); ++i)
        defs.push_back(FieldDef(i));
    return defs;
}

void TdsDataSet::First() {
    BeforeScroll();
    SetCursor(0);
}

void TdsDataSet::Last() {
    BeforeScroll();
    SetCursor(RecordCount() - 1);
}

void TdsDataSet::Next() {
    BeforeScroll();
    int count = RecordCount();
    if (count == 0) {
        ResetCursor();
        return;
    }
    bof_ = false;
    if (current_ + 1 >= count) {
        current_ = count - 1;
        eof_ = true;
        return;
    }
    ++current_;
    eof_ = false;
}

void TdsDataSet::Prior() {
    BeforeScroll();
    int count = RecordCount();
    if (count == 0) {
        ResetCursor();
        return;
    }
    eof_ = false;
    if (current_ <= 0) {
        current_ = 0;
        bof_ = true;
        return;
    }
    --current_;
    bof_ = false;
}

int TdsDataSet::RecNo() const {
    return current_ < 0 ? 0 : current_ + 1;
}

void TdsDataSet::SetRecNo(int recNo) {
    BeforeScroll();
    SetCursor(recNo - 1);
}

void TdsDataSet::SetCursor(int record) {
    int count = RecordCount();
    if (count == 0) {
        ResetCursor();
        return;
    }
    if (record < 0)
        record = 0;
    if (record >= count)
        record = count - 1;
    current_ = record;
    eof_ = false;
    bof_ = record == 0;
}

void TdsDataSet::ResetCursor() {
    current_ = -1;
    eof_ = true;
    bof_ = true;
}
