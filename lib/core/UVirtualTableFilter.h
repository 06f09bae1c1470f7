#pragma once
// The filter expression of TVirtualTable: parsed once, evaluated per record.
#include "UdsDataSet.h"

#include <memory>
#include <string>
#include <vector>

class TVirtualTableFilter {
public:
    // Parses the text against the columns; raises EdsError naming the text, the position and what was
    // expected, or the unknown field.
    static std::unique_ptr<TVirtualTableFilter> Parse(const std::string& text,
                                                      const std::vector<TdsFieldDef>& defs);
    ~TVirtualTableFilter();
    bool Matches(const std::vector<TdsValue>& row) const;

    struct Node;

private:
    TVirtualTableFilter() = default;
    std::unique_ptr<Node> root_;
    std::vector<TdsFieldDef> defs_;
};

// Ordering of two values of one column as sorting sees it: null first, numbers numerically, texts
// and blocks by their bytes. Negative, zero or positive.
int CompareColumnValues(uint16_t dataType, const TdsValue& a, const TdsValue& b);
