// zivtool: the publisher's tool for the plaza information file (.ziv).
//
//   zivtool encode IN.xml OUT.ziv
//   zivtool decode IN.ziv [OUT.xml]
//
// Exit codes: 0 done, 1 bad input or a failed read, decode or write, 2 wrong usage.
#include <cstdio>
#include <string>

#include <tinyxml.h>

#include "files/wholefile.h"
#include "kelmar/zivformat.h"
#include "outputfile.h"

namespace {

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

const char kUsage[] =
    "usage: zivtool encode IN.xml OUT.ziv\n"
    "       zivtool decode IN.ziv [OUT.xml]\n"
    "       zivtool --help\n"
    "\n"
    "encode  enciphers the XML file IN.xml (code page 936 text) into the plaza\n"
    "        information file OUT.ziv; IN.xml must be well-formed XML.\n"
    "decode  checks and deciphers IN.ziv and writes its XML bytes to OUT.xml,\n"
    "        or to standard output when OUT.xml is not given.\n"
    "\n"
    "Output files are written whole or not at all. The format is described in\n"
    "kelmar/ZIV_FORMAT.md.\n"
    "\n"
    "exit codes: 0 done, 1 bad input or failed read/write, 2 wrong usage\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "zivtool: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "zivtool: %s\n", message.c_str());
    return kExitFailed;
}

int Encode(const std::string& in, const std::string& out) {
    std::string xml;
    int readError = 0;
    kelmar::ZivStatus status =
        kelmar::ReadWholeFile(in.c_str(), kelmar::kZivMaxTextSize, &xml, &readError);
    if (status == kelmar::kZivCannotRead) {
        files::Failure failure;
        failure.step = files::Failure::kOpen;
        failure.nError = readError;
        return Fail("cannot read '" + in + "'" +
                    (readError != 0 ? ": " + files::FailureText(failure) : std::string()));
    }
    if (status != kelmar::kZivOk) {
        return Fail("cannot encode '" + in + "': " + kelmar::ZivStatusText(status));
    }
    // A file the updater could not parse is refused here rather than found out by the players.
    TiXmlDocument document;
    document.Parse(xml.c_str());
    if (document.Error() || xml.find('\0') != std::string::npos) {
        std::string where;
        if (document.Error() && document.ErrorRow() > 0) {
            where = " (line " + std::to_string(document.ErrorRow()) + ", column " +
                    std::to_string(document.ErrorCol()) + ")";
        }
        return Fail("'" + in + "' is not well-formed XML: " +
                    (document.Error() ? document.ErrorDesc() : "it holds a zero byte") + where);
    }
    std::string ziv;
    status = kelmar::EncodeZiv(xml, &ziv);
    if (status != kelmar::kZivOk) {
        return Fail("cannot encode '" + in + "': " + kelmar::ZivStatusText(status));
    }
    std::string error;
    if (!zivtool::WriteFileAtomically(out, ziv, &error)) {
        return Fail("cannot write '" + out + "': " + error);
    }
    return kExitOk;
}

int Decode(const std::string& in, const std::string* out) {
    std::string xml;
    kelmar::ZivStatus status = kelmar::DecodeZivFile(in.c_str(), &xml);
    if (status != kelmar::kZivOk) {
        return Fail("cannot decode '" + in + "': " + kelmar::ZivStatusText(status));
    }
    std::string error;
    if (out != nullptr) {
        if (!zivtool::WriteFileAtomically(*out, xml, &error)) {
            return Fail("cannot write '" + *out + "': " + error);
        }
        return kExitOk;
    }
    zivtool::SetStdoutBinary();
    if (std::fwrite(xml.data(), 1, xml.size(), stdout) != xml.size() || std::fflush(stdout) != 0) {
        return Fail("cannot write to standard output");
    }
    return kExitOk;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        return UsageError("missing command");
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "/?") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "encode") {
        if (argc != 4) {
            return UsageError("encode takes an input and an output file");
        }
        return Encode(argv[2], argv[3]);
    }
    if (command == "decode") {
        if (argc != 3 && argc != 4) {
            return UsageError("decode takes an input file and an optional output file");
        }
        const std::string out = argc == 4 ? argv[3] : "";
        return Decode(argv[2], argc == 4 ? &out : nullptr);
    }
    return UsageError("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(e.what());
    } catch (...) {
        return Fail("unexpected failure");
    }
}
