#pragma once
// Readers of the two table file forms, used by TVirtualTable's load operations.
#include "UVirtualTable.h"

#include <cstddef>
#include <string>
#include <vector>

class TVirtualTableIO {
public:
    using Row = TVirtualTable::Row;
    // Both raise EdsError "not a table stream: …" and allocate nothing a claimed length asks for
    // before checking it against the bytes that are there.
    static void ReadBinary(const char* data, size_t size, std::vector<TdsFieldDef>& defs,
                           std::vector<Row>& rows);
    static void ReadXml(const char* data, size_t size, std::vector<TdsFieldDef>& defs,
                        std::vector<Row>& rows);
    // Either form, told apart by the first byte after a byte order mark and blanks.
    static void Read(const char* data, size_t size, std::vector<TdsFieldDef>& defs, std::vector<Row>& rows);
    static void Install(TVirtualTable& table, std::vector<TdsFieldDef> defs, std::vector<Row> rows) {
        table.ReplaceContents(std::move(defs), std::move(rows), true);
    }
    static void Empty(TVirtualTable& table) { table.ResetToEmpty(); }
    static const std::vector<TdsFieldDef>& Defs(const TVirtualTable& table) { return table.defs_; }
    static const std::vector<Row>& Rows(const TVirtualTable& table) { return table.rows_; }
};
