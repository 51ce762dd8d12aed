#include "tools/manifestgen/options.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "tools/manifestgen/textcodec.h"

const char kManifestGenHelp[] =
    "usage: manifestgen --release DIR --out DIR [options]\n"
    "       manifestgen keygen --out NAME\n"
    "       manifestgen verify --server URL --xml-path PATH --client-path PATH [--key NAME.pub]\n"
    "\n"
    "Scans the release folder DIR (the files exactly as they must stand in a plaza\n"
    "installation) and writes the manifests the updater reads into the output folder:\n"
    "  LastUpdateFiles.xml         every file that belongs to no game, then the games\n"
    "  <game>_UpdateFiles.xml      each game's own files\n"
    "Each file is listed with its name (\\sub\\x.dll), MD5 digest and size, and in a\n"
    "signed release its SHA-256. Manifests are written in code page 936 and replaced\n"
    "in one step.\n"
    "\n"
    "options:\n"
    "  --special PATTERN   files matching PATTERN are special: the plaza holds them\n"
    "                      open, so they are replaced after it has ended (repeatable)\n"
    "  --game NAME[:PATTERN,...]\n"
    "                      a game; its files are those matching the patterns, by\n"
    "                      default NAME.exe and NAME/** (repeatable)\n"
    "  --config FILE       read options from FILE: lines 'special = PATTERN' and\n"
    "                      'game = NAME[:PATTERN,...]'; '#' starts a comment\n"
    "  --sign-key KEY.pem  sign every manifest: its root carries its own name,\n"
    "                      sequence and expires, and <manifest>.sig beside it\n"
    "                      holds the ECDSA P-256 signature of its exact bytes\n"
    "  --sequence N        the release's sequence (default: one more than the highest\n"
    "                      already published in the output folder)\n"
    "  --expires WHEN      30d, 12h or 2027-01-31T08:00:00Z (default 30d; at most\n"
    "                      90 days ahead, since the updater refuses more)\n"
    "  --chunk-index DIR   write a chunk index for every file of at least 1 MiB into\n"
    "                      DIR, the folder served as the clients' files, at the\n"
    "                      file's name plus .<md5>.cix: the engine then fetches only\n"
    "                      the parts of a large file that changed, from any older\n"
    "                      release. Indexes are named by content: cache them for ever.\n"
    "                      A release file named like an index is refused\n"
    "  --progress          show progress even when stderr is not a terminal\n"
    "  --quiet             no progress and no summary\n"
    "  --help              this text\n"
    "\n"
    "Patterns are relative to the release folder with '/' between folders; '*' and '?'\n"
    "stay within a folder, '**' spans folders; letter case is ignored.\n"
    "\n"
    "The release is refused, and nothing is written, when the updater would refuse a\n"
    "name: longer than 127 bytes, a '..' step, a reserved character, anything in\n"
    "DownLoad\\ or SpecialCpy.bat (the updater's own), or a special file whose name\n"
    "holds \" % ^ & | < or >.\n"
    "\n"
    "keygen writes NAME.pem (the private key, keep it off the server) and NAME.pub (the\n"
    "line for updatePublicKey in the plaza information file). Make a second pair, keep\n"
    "it offline, and put its .pub line in updatePublicKey2: the updater accepts a\n"
    "manifest signed by either key and keeps each key's sequences apart, so a key\n"
    "that is stolen and signs far ahead cannot lock the other out.\n"
    "To change keys (rotation): make the new pair, then publish a release whose\n"
    "GamePlazaInfo.ziv names the new key, signed with the old key (or with the offline\n"
    "one, if the old key was stolen), which the installations still trust; once they\n"
    "have taken it, publish with the new key. A GamePlazaInfo.ziv that names no key\n"
    "is refused by an updater that has one.\n"
    "\n"
    "verify fetches the published manifests and every file they list, as the updater\n"
    "names them (URL holds one %s, as updateGameUrl does), and reports every file that\n"
    "is missing or differs, and any manifest whose signature or expiry fails.\n"
    "\n"
    "exit codes: 0 published (verify: everything matches), 1 release refused (verify:\n"
    "a difference found), 2 usage error, 3 read or write error\n";

namespace {

bool ParseGame(const std::string& strSpec, GameRule& game, std::string& strError) {
    std::string::size_type colon = strSpec.find(':');
    std::string strName = strSpec.substr(0, colon);
    if (!ArgumentToCp936(strName, game.strName)) {
        strError = "game name has no code page 936 form: " + strName;
        return false;
    }
    game.patterns.clear();
    if (colon == std::string::npos) {
        game.patterns.push_back(strName + ".exe");
        game.patterns.push_back(strName + "/**");
        return true;
    }
    std::string strList = strSpec.substr(colon + 1);
    std::string::size_type start = 0;
    while (start <= strList.size()) {
        std::string::size_type comma = strList.find(',', start);
        std::string pattern = strList.substr(start, comma - start);
        if (!pattern.empty())
            game.patterns.push_back(pattern);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (game.patterns.empty()) {
        strError = "game without patterns: " + strSpec;
        return false;
    }
    return true;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

struct Parse {
    ToolOptions& options;
    const ConfigReader& readConfig;
    std::string strExpires;
};

typedef bool (*Apply)(Parse& parse, const std::string& strValue, std::string& strError);
typedef std::string& (*Value)(Parse& parse);
typedef bool& (*Flag)(Parse& parse);

// An option sets a flag, stores its value, or applies its value: one of the three.
struct Option {
    const char* pszName;
    const char* pszAlias;      // a second spelling, or nullptr
    const char* pszConfigKey;  // the key of a --config line that means the same, or nullptr
    Flag flag;
    Value value;
    Apply apply;
};

bool& Help(Parse& parse) {
    return parse.options.bHelp;
}

bool AddGame(Parse& parse, const std::string& strValue, std::string& strError) {
    GameRule game;
    if (!ParseGame(strValue, game, strError))
        return false;
    parse.options.publish.games.push_back(game);
    return true;
}

bool AddSpecial(Parse& parse, const std::string& strValue, std::string&) {
    parse.options.publish.specialPatterns.push_back(strValue);
    return true;
}

bool SetSequence(Parse& parse, const std::string& strValue, std::string& strError) {
    if (strValue.empty() || strValue.size() > 18 ||
        strValue.find_first_not_of("0123456789") != std::string::npos) {
        strError = "--sequence takes a decimal number";
        return false;
    }
    parse.options.signing.bSequenceGiven = true;
    parse.options.signing.qwSequence = std::stoull(strValue);
    return true;
}

bool ReadConfig(Parse& parse, const std::string& strPath, std::string& strError);

const Option kPublishOptions[] = {
    {"--help", "-h", nullptr, Help, nullptr, nullptr},
    {"--release", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.strRelease; }, nullptr},
    {"--out", nullptr, nullptr, nullptr, [](Parse& p) -> std::string& { return p.options.strOut; },
     nullptr},
    {"--special", nullptr, "special", nullptr, nullptr, AddSpecial},
    {"--game", nullptr, "game", nullptr, nullptr, AddGame},
    {"--config", nullptr, nullptr, nullptr, nullptr, ReadConfig},
    {"--sign-key", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.signing.strKeyPath; }, nullptr},
    {"--sequence", nullptr, nullptr, nullptr, nullptr, SetSequence},
    {"--expires", nullptr, nullptr, nullptr, [](Parse& p) -> std::string& { return p.strExpires; },
     nullptr},
    {"--chunk-index", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.strChunkDir; }, nullptr},
    {"--quiet", "-q", nullptr, [](Parse& p) -> bool& { return p.options.bQuiet; }, nullptr,
     nullptr},
    {"--progress", nullptr, nullptr, [](Parse& p) -> bool& { return p.options.bForceProgress; },
     nullptr, nullptr},
};

const Option kKeygenOptions[] = {
    {"--out", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.strKeyName; }, nullptr},
    {"--help", nullptr, nullptr, Help, nullptr, nullptr},
};

const Option kVerifyOptions[] = {
    {"--server", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.verify.strServer; }, nullptr},
    {"--xml-path", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.verify.strXmlPath; }, nullptr},
    {"--client-path", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.verify.strClientPath; }, nullptr},
    {"--key", nullptr, nullptr, nullptr,
     [](Parse& p) -> std::string& { return p.options.verify.strKeyPath; }, nullptr},
    {"--progress", nullptr, nullptr,
     [](Parse& p) -> bool& { return p.options.verify.bForceProgress; }, nullptr, nullptr},
};

bool ApplyValue(const Option& option, Parse& parse, const std::string& strValue,
                std::string& strError) {
    if (option.value == nullptr)
        return option.apply(parse, strValue, strError);
    option.value(parse) = strValue;
    return true;
}

// How each command reads its arguments, and what it says about wrong ones.
struct Grammar {
    const Option* pBegin;
    const Option* pEnd;
    std::string (*missingValue)(const std::string& strArg);
    std::string (*unknown)(const std::string& strArg);
    bool (*finish)(Parse& parse, std::int64_t llNow, std::string& strError);
};

bool FinishPublish(Parse& parse, std::int64_t llNow, std::string& strError) {
    if (parse.options.strRelease.empty() || parse.options.strOut.empty()) {
        strError = "--release and --out are required (see --help)";
        return false;
    }
    if (!ParseExpiry(parse.strExpires, llNow, parse.options.signing.llExpires)) {
        strError =
            "--expires takes 30d, 12h or 2027-01-31T08:00:00Z, at most 90 days ahead (the "
            "updater refuses more)";
        return false;
    }
    return true;
}

std::string KeygenMisuse(const std::string&) {
    return "keygen takes --out NAME only (see --help)";
}

std::string VerifyMisuse(const std::string& strArg) {
    return "verify: unknown or incomplete " + strArg + " (see --help)";
}

const Grammar kPublish = {
    std::begin(kPublishOptions), std::end(kPublishOptions),
    [](const std::string& strArg) { return strArg + " needs a value (see --help)"; },
    [](const std::string& strArg) { return "unknown argument " + strArg + " (see --help)"; },
    FinishPublish};

const Grammar kKeygen = {std::begin(kKeygenOptions), std::end(kKeygenOptions), KeygenMisuse,
                         KeygenMisuse, [](Parse& parse, std::int64_t, std::string& strError) {
                             if (!parse.options.strKeyName.empty())
                                 return true;
                             strError = "keygen needs --out NAME (see --help)";
                             return false;
                         }};

const Grammar kVerify = {std::begin(kVerifyOptions), std::end(kVerifyOptions), VerifyMisuse,
                         VerifyMisuse, [](Parse& parse, std::int64_t, std::string& strError) {
                             const VerifyOptions& verify = parse.options.verify;
                             if (!verify.strServer.empty() && !verify.strXmlPath.empty() &&
                                 !verify.strClientPath.empty())
                                 return true;
                             strError = "verify needs --server, --xml-path and --client-path";
                             return false;
                         }};

const Option* Find(const Grammar& grammar, const std::string& strArg) {
    for (const Option* pOption = grammar.pBegin; pOption != grammar.pEnd; ++pOption) {
        if (strArg == pOption->pszName ||
            (pOption->pszAlias != nullptr && strArg == pOption->pszAlias))
            return pOption;
    }
    return nullptr;
}

const Option* FindConfigKey(const std::string& strKey) {
    for (const Option& option : kPublishOptions) {
        if (option.pszConfigKey != nullptr && strKey == option.pszConfigKey)
            return &option;
    }
    return nullptr;
}

// Lines "key = value"; '#' starts a comment.
bool ReadConfig(Parse& parse, const std::string& strPath, std::string& strError) {
    std::string strText;
    if (!parse.readConfig(strPath, strText)) {
        strError = strPath + ": cannot be read";
        return false;
    }
    std::istringstream in(strText);
    std::string line;
    int nLine = 0;
    while (std::getline(in, line)) {
        ++nLine;
        std::string::size_type hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = Trim(line);
        if (line.empty())
            continue;
        std::string::size_type eq = line.find('=');
        std::string key = eq == std::string::npos ? line : Trim(line.substr(0, eq));
        std::string value = eq == std::string::npos ? std::string() : Trim(line.substr(eq + 1));
        const Option* pOption = FindConfigKey(key);
        if (pOption == nullptr || value.empty()) {
            strError = strPath + ":" + std::to_string(nLine) +
                       ": expected 'special = PATTERN' or 'game = NAME[:PATTERNS]'";
            return false;
        }
        if (!ApplyValue(*pOption, parse, value, strError))
            return false;
    }
    return true;
}

}  // namespace

bool ReadConfigFile(const std::string& strPath, std::string& strText) {
    std::ifstream in(PathFromArgument(strPath));
    if (!in)
        return false;
    strText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool ParseToolOptions(const std::vector<std::string>& args, std::int64_t llNow,
                      const ConfigReader& readConfig, ToolOptions& options, std::string& strError) {
    options = ToolOptions();
    Parse parse{options, readConfig, "30d"};
    const Grammar* pGrammar = &kPublish;
    std::size_t i = 0;
    if (!args.empty() && args[0] == "keygen") {
        options.command = ToolCommand::kKeygen;
        pGrammar = &kKeygen;
        i = 1;
    } else if (!args.empty() && args[0] == "verify") {
        options.command = ToolCommand::kVerify;
        pGrammar = &kVerify;
        i = 1;
    }
    for (; i < args.size(); ++i) {
        const std::string& strArg = args[i];
        const Option* pOption = Find(*pGrammar, strArg);
        if (pOption == nullptr) {
            strError = pGrammar->unknown(strArg);
            return false;
        }
        if (pOption->flag != nullptr) {
            pOption->flag(parse) = true;
            if (options.bHelp)
                return true;
            continue;
        }
        if (i + 1 >= args.size()) {
            strError = pGrammar->missingValue(strArg);
            return false;
        }
        if (!ApplyValue(*pOption, parse, args[++i], strError))
            return false;
    }
    return pGrammar->finish(parse, llNow, strError);
}
