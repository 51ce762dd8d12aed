// Names and what the one name rule says of each, as relative paths (the
// updater's manifest names are these with one leading separator). Shared by
// the rule's own test and by the engine's test that holds the engine's and
// the updater's checks to the same answers.
#pragma once

#include <string>
#include <vector>

#include "names/safename.h"

struct NameCase {
    std::string strPath;
    names::NameFault fault;
};

inline const std::vector<NameCase>& NameCases() {
    using F = names::NameFault;
    static const std::vector<NameCase> cases = {
        {"a.dll", F::kNone},
        {"sub\\deeper\\x.dll", F::kNone},
        {"sub/deeper/x.dll", F::kNone},
        {"游戏\\规则.txt", F::kNone},
        {"a..b.dll", F::kNone},
        {"a b(1)%&^.dll", F::kNone},
        {".hidden", F::kNone},
        // A trail byte 0x5C or 0x7C is part of its character, not a separator or bar.
        {"\x95\x5C.txt", F::kNone},
        {"a\x95\x7C"
         "b.dat",
         F::kNone},
        // The ends of the lead and trail byte ranges. Each is followed by a
        // backslash: a bound moved by one byte either swallows that separator
        // into a character or leaves a bare byte.
        {"\x81\x5C\\x", F::kNone},
        {"\xFE\x5C\\x", F::kNone},
        {"\x80\\x", F::kBadCp936},
        {"\xFF\\x", F::kBadCp936},
        {"\x81\x3F\\x", F::kBadCp936},
        {"\x81\x40\\x", F::kNone},
        {"\x81\x7E\\x", F::kNone},
        {"\x81\x7F\\x", F::kBadCp936},
        {"\x81\x80\\x", F::kNone},
        {"\x81\xFE\\x", F::kNone},
        {"\x81\xFF\\x", F::kBadCp936},
        // A lead byte before a byte the checks look for hides it from them.
        {"\x81\"b", F::kBadCp936},
        {"\x81%b", F::kBadCp936},
        {"\x81&b", F::kBadCp936},
        {"\x81:b", F::kBadCp936},
        {"\x81/b", F::kBadCp936},
        {"\x81\rb", F::kBadCp936},
        {"\x81\nb", F::kBadCp936},
        {"cut\x95", F::kBadCp936},
        {"", F::kEmpty},
        {"\\x.dll", F::kEmpty},
        {"/x.dll", F::kEmpty},
        {"sub\\\\x", F::kEmpty},
        {"sub\\", F::kEmpty},
        {".\\x", F::kDotOrBlankEnd},
        {"..\\Talvex.exe", F::kDotOrBlankEnd},
        {"sub\\..\\..\\x", F::kDotOrBlankEnd},
        {"sub\\..", F::kDotOrBlankEnd},
        {"... \\x", F::kDotOrBlankEnd},
        {"a.dll.", F::kDotOrBlankEnd},
        {"b.dll ", F::kDotOrBlankEnd},
        {"sub.\\x", F::kDotOrBlankEnd},
        {"sub \\x", F::kDotOrBlankEnd},
        {"C:\\x.dll", F::kForbidden},
        {"x.dll:stream", F::kForbidden},
        {"x.dll::$DATA", F::kForbidden},
        {"a*b", F::kForbidden},
        {"a?b", F::kForbidden},
        {"a\"b", F::kForbidden},
        {"a<b", F::kForbidden},
        {"a>b", F::kForbidden},
        {"a|b", F::kForbidden},
        {"tab\there", F::kForbidden},
        {"a\x7F", F::kForbidden},
        {"CON.dll", F::kDevice},
        {"sub\\com1.txt", F::kDevice},
        {"nul", F::kDevice},
        {"NUL", F::kDevice},
        {"Lpt1", F::kDevice},
        {"LPT9.x.y", F::kDevice},
        {"COM0", F::kDevice},
        {"AUX.ini", F::kDevice},
        {"PRN", F::kDevice},
        {"CONIN$", F::kDevice},
        {"conout$.log", F::kDevice},
        {"nul .txt", F::kDevice},
        {"sub\\aux\\x.dll", F::kDevice},
        {"CONSOLE.dll", F::kNone},
        {"COM10", F::kNone},
        {"LPT", F::kNone},
        {"con_x.txt", F::kNone},
        {"a.con", F::kNone},
        {"xnul", F::kNone},
        // The updater's own folder and batch file, as Windows compares names.
        {"SpecialCpy.bat", F::kReserved},
        {"specialcpy.BAT", F::kReserved},
        {"DownLoad\\LastUpdateFiles.xml", F::kReserved},
        {"download/Special/Quorle.dll", F::kReserved},
        {"DOWNLOAD", F::kReserved},
        {"sub\\SpecialCpy.bat", F::kNone},
        {"DownLoads\\x", F::kNone},
        {"sub\\DownLoad\\x", F::kNone},
    };
    return cases;
}
