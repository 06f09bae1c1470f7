#include "UModalForms.h"

#include "UdsStrUtils.h"

std::string MediumCaption(const std::string& number, const std::string& remark) {
    return remark.empty() ? number : TdsStrUtils::Format("%s【%s】", {number, remark});
}
