// Looks values up in the text of an INI file the way the Windows profile
// reader (GetPrivateProfileStringA) answers them, for the native build. Pure:
// the caller reads the file.
#pragma once

#include <string>
#include <string_view>

// Finds the value of strKey in section strSection of strText. Returns false
// when the section or the key is missing; then *pstrValue is untouched.
//
// The rules the rank library relies on, as Windows applies them:
// - lines end at "\n"; a "\r" before it and blanks (space, tab) at both ends
//   of a line do not count;
// - "[name]" starts a section (blanks inside the brackets do not count; text
//   after the "]" is ignored); lines before the first section belong to none;
// - "key=value" splits at the first "="; blanks around the key and the value
//   do not count; a line without "=" is a key with an empty value;
// - section and key names match without regard to ASCII case, byte for byte
//   otherwise; the first matching section is the only one searched, and in
//   it the first matching key wins;
// - a value of two bytes or more that starts and ends with the same quote
//   character (' or ") loses the two quotes.
// Comments need no rule of their own: ";LevelItem1=x" is a key that no
// lookup of "LevelItem1" matches.
bool FindProfileValue(std::string_view strText, std::string_view strSection,
                      std::string_view strKey, std::string* pstrValue);
