#pragma once
#include <string>

namespace qel {
// The folder of this library's file, with a trailing separator; empty when unknown.
std::string LibraryFolder();
} // namespace qel
