#include "tools/manifestgen/signing.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "kelmar/ecdsakeytext.h"
#include "tools/manifestgen/release.h"
#include "tools/manifestgen/textcodec.h"
#include "updater/core/manifesttrust.h"

namespace fs = std::filesystem;

namespace {

bool ReadText(const std::string& strPath, std::string& strText) {
    std::ifstream in(PathFromArgument(strPath), std::ios::binary);
    if (!in)
        return false;
    std::stringstream text;
    text << in.rdbuf();
    strText = text.str();
    return !in.bad();
}

}  // namespace

bool ParseExpiry(const std::string& strValue, std::int64_t llNow, std::int64_t& llExpires) {
    if (ParseUtcTime(strValue, llExpires))
        return llExpires - llNow <= kMaxExpiresAheadSeconds;
    if (strValue.size() < 2 || strValue.size() > 7)
        return false;
    const char cUnit = strValue.back();
    const std::string strDigits = strValue.substr(0, strValue.size() - 1);
    if (strDigits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const std::int64_t llCount = std::stoll(strDigits);
    if (llCount == 0 || (cUnit != 'd' && cUnit != 'h'))
        return false;
    llExpires = llNow + llCount * (cUnit == 'd' ? 86400 : 3600);
    return llExpires - llNow <= kMaxExpiresAheadSeconds;
}

std::string WithSignedAttributes(const std::string& strXml, const std::string& strName,
                                 std::uint64_t qwSequence, std::int64_t llExpires) {
    const std::string strRoot = "<update";
    const std::size_t nAt = strXml.find(strRoot);
    if (nAt == std::string::npos)
        return strXml;
    return strXml.substr(0, nAt + strRoot.size()) + " name=\"" + XmlEscaped(strName) +
           "\" sequence=\"" + std::to_string(qwSequence) + "\" expires=\"" +
           FormatUtcTime(llExpires) + "\"" + strXml.substr(nAt + strRoot.size());
}

std::uint64_t HighestSequence(const std::vector<std::string>& manifestTexts) {
    std::uint64_t qwHighest = 0;
    for (const std::string& strText : manifestTexts) {
        std::uint64_t qwSequence = 0;
        std::int64_t llExpires = 0;
        if (ReadSignedAttributes(strText, qwSequence, llExpires) && qwSequence > qwHighest)
            qwHighest = qwSequence;
    }
    return qwHighest;
}

bool WriteNewKeyPair(const std::string& strName, std::string& strError) {
    const std::string strPem = strName + ".pem";
    const std::string strPub = strName + ".pub";
    std::error_code ec;
    if (fs::exists(PathFromArgument(strPem), ec) || fs::exists(PathFromArgument(strPub), ec)) {
        strError = strPem + " or " + strPub + " exists already; a key is never overwritten";
        return false;
    }
    kelmar::EcdsaKeyPair keyPair;
    if (!kelmar::EcdsaGenerateKeyPair(keyPair)) {
        strError = "the platform could not make a P-256 key pair";
        return false;
    }
    // Created empty and closed to its owner before the key goes in, and
    // written in place: a file moved over it would bring its own permissions.
    const fs::path pem = PathFromArgument(strPem);
    std::ofstream(pem, std::ios::binary);
    fs::permissions(pem, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                    ec);
    {
        std::ofstream out(pem, std::ios::binary | std::ios::trunc);
        out << kelmar::EcdsaPrivateKeyPem(keyPair);
        out.close();
        if (!out) {
            fs::remove(pem, ec);
            strError = strPem + ": cannot be written";
            return false;
        }
    }
    return WriteFileAtomically(strPub, kelmar::EcdsaPublicKeyText(keyPair.strPublic) + "\n",
                               strError);
}

bool LoadSigningKey(const std::string& strPath, kelmar::EcdsaKeyPair& keyPair,
                    std::string& strError) {
    std::string strPem;
    if (!ReadText(strPath, strPem)) {
        strError = strPath + ": cannot be read";
        return false;
    }
    if (!kelmar::ParseEcdsaPrivateKeyPem(strPem, keyPair)) {
        strError = strPath + ": not a P-256 private key in PEM (EC PRIVATE KEY)";
        return false;
    }
    return true;
}

bool LoadPublicKey(const std::string& strPath, std::string& strPublic, std::string& strError) {
    std::string strText;
    if (kelmar::ParseEcdsaPublicKeyText(strPath, strPublic))
        return true;
    if (!ReadText(strPath, strText)) {
        strError = strPath + ": cannot be read";
        return false;
    }
    if (!kelmar::ParseEcdsaPublicKeyText(strText, strPublic)) {
        strError = strPath + ": not a public key line (ecdsa-p256:...)";
        return false;
    }
    return true;
}
