#pragma once
// The one exception type of the ds library. Raised only where an operation is described as raising
// (decoding failures, the raising variants of the database kit, a few argument checks); callers that
// must not fail catch it where they call.
#include <stdexcept>
#include <string>

class EdsError : public std::runtime_error {
public:
    explicit EdsError(const std::string& message) : std::runtime_error(message) {}
};
