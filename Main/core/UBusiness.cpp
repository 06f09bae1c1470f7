#include "UBusiness.h"

TBusiness::TBusiness() : vdsTemp(std::make_unique<TVirtualTable>()) {}

TBusiness::~TBusiness() = default;
