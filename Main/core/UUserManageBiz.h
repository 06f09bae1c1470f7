#pragma once
// Users of the system database (S_User) and their menu rights.
#include "UBusiness.h"

#include <string>

class TUserManageBiz : public TBusiness {
public:
    // The S_User row of the code: true with its name, preset flag and password; false with empty
    // outputs when there is no row (or the query failed; the kit has said why).
    bool FindUser(const std::string& code, std::string& name, bool& reserved, std::string& password);
};
