#pragma once
// The base of the business classes: a scratch in-memory table, an SQL text and a statement list, made
// and freed with the object.
#include "UVirtualTable.h"
#include "UdsStrUtils.h"

#include <memory>
#include <string>

class TBusiness {
public:
    TBusiness();
    virtual ~TBusiness();
    TBusiness(const TBusiness&) = delete;
    TBusiness& operator=(const TBusiness&) = delete;

protected:
    std::unique_ptr<TVirtualTable> vdsTemp;
    std::string SQL;
    TdsStrings SQLList;
};
