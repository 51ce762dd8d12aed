// manifestgen's command line: what the publisher asked for, read from the
// arguments (and from --config files, through the same table of options), or
// the message that tells what is wrong with them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/manifestgen/release.h"
#include "tools/manifestgen/signing.h"
#include "tools/manifestgen/verify.h"

enum class ToolCommand { kPublish, kKeygen, kVerify };

struct ToolOptions {
    ToolCommand command = ToolCommand::kPublish;
    bool bHelp = false;  // print the help text and do nothing else
    // Publishing.
    std::string strRelease, strOut, strChunkDir;
    PublishOptions publish;
    SigningOptions signing;  // llExpires from --expires, 30 days by default
    bool bQuiet = false;
    bool bForceProgress = false;
    // keygen: the name of the pair to write.
    std::string strKeyName;
    // verify.
    VerifyOptions verify;
};

// Gives the text of a --config file; false when it cannot be read.
typedef std::function<bool(const std::string& strPath, std::string& strText)> ConfigReader;

// The program's ConfigReader: the file as text.
bool ReadConfigFile(const std::string& strPath, std::string& strText);

// args are the arguments after the program's name; --expires counts from
// llNow. On a usage error, false with strError the message the program
// prints after "manifestgen: ".
bool ParseToolOptions(const std::vector<std::string>& args, std::int64_t llNow,
                      const ConfigReader& readConfig, ToolOptions& options, std::string& strError);

// What --help prints.
extern const char kManifestGenHelp[];
