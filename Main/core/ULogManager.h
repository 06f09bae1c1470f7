#pragma once
// The operation log: one S_OpLog row of the taxpayer database per user operation.
#include "UBusiness.h"

#include <string>

class TdsDataSet;

class TLogManager : public TBusiness {
public:
    // One row with the current time ("yyyy-mm-dd hh:nn:ss.zzz"), an empty medium kind and the signed-in
    // user; true when a row was inserted. A failure is reported by the database kit.
    bool AddLog(const std::string& text);
    // All rows, newest first.
    bool LoadLog(TdsDataSet& dataSet);
    // Deletes every row; an empty log counts as success.
    bool ClearLog();
};
