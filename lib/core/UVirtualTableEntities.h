#pragma once
// The named character entities of HTML 4. Table files written by other programs use them in
// attribute values (&nbsp; &eacute; …), but they are no XML entities, so they are turned into numeric
// character references before the XML parser sees the text.
#include <string>

class TVirtualTableEntities {
public:
    // Code point of an HTML 4 entity name (case-sensitive, without & and ;), or -1.
    static int CodePoint(const std::string& name);
    // The number of names in the table (252).
    static int Count();
    // Replaces "&name;" for every HTML 4 name other than the XML ones (amp, lt, gt, quot) by "&#N;";
    // everything else stays byte for byte.
    static std::string ToCharacterReferences(const char* text, size_t size);
};
