#pragma once
// Builders of table-stream byte fixtures, written from the file layout (little-endian integers).
#include <cstdint>
#include <string>

inline std::string U16(unsigned v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

inline std::string U32(uint32_t v) {
    return U16(v & 0xFFFF) + U16(v >> 16);
}

// One column definition: name length (bytes of the ANSI name), name, type, size, attribute word.
inline std::string Def(const std::string& ansiName, unsigned type, unsigned size, uint32_t attributes) {
    return U16(static_cast<unsigned>(ansiName.size())) + ansiName + U16(type) + U16(size) + U32(attributes);
}

// One value: its length, then its bytes.
inline std::string Val(const std::string& bytes) {
    return U32(static_cast<uint32_t>(bytes.size())) + bytes;
}
