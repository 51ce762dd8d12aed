// libFuzzer target for the manifest reader, the plaza information parser and
// the readers of signed manifests: any bytes give a status, never a crash,
// and whatever is accepted keeps the promises the rest of the updater builds
// on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <tinyxml.h>

#include "names/safename.h"
#include "updater/core/manifest.h"
#include "updater/core/manifesttrust.h"
#include "updater/core/plazainfo.h"
#include "xmllimits/xmllimits.h"

namespace {

void Require(bool bHolds) {
    if (!bHolds)
        std::abort();
}

// How deep TinyXML nested the elements it read, counted without recursion.
std::size_t ElementDepth(const TiXmlNode& root) {
    std::size_t nDeepest = 0;
    std::vector<std::pair<const TiXmlNode*, std::size_t>> pending{{&root, 0}};
    while (!pending.empty()) {
        const auto [pNode, nDepth] = pending.back();
        pending.pop_back();
        for (const TiXmlElement* pChild = pNode->FirstChildElement(); pChild != nullptr;
             pChild = pChild->NextSiblingElement()) {
            nDeepest = std::max(nDeepest, nDepth + 1);
            pending.emplace_back(pChild, nDepth + 1);
        }
    }
    return nDeepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string strText(reinterpret_cast<const char*>(data), size);
    // The walk that bounds the nesting must read the text as TinyXML does:
    // what it lets through at a small limit, TinyXML nests no deeper (the
    // limit counts elements with content; an empty one adds a level below).
    constexpr std::size_t kSmallDepth = 3;
    if (XmlDepthWithin(strText.c_str(), kSmallDepth)) {
        TiXmlDocument document;
        document.Parse(strText.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
        Require(ElementDepth(document) <= kSmallDepth + 1);
    }
    for (bool bPlaza : {true, false}) {
        Manifest manifest;
        std::string strProblem;
        ManifestStatus status = ParseManifest(strText.c_str(), bPlaza, manifest, strProblem);
        Require((status == ManifestStatus::Refused) == !strProblem.empty());
        if (status != ManifestStatus::Ok)
            continue;
        std::vector<std::string> fileNames;
        for (const ManifestFileEntry& entry : manifest.files) {
            std::string strWhy;
            Require(IsSafeFileName(entry.strName, strWhy));
            Require(entry.strName.size() <= 127 && entry.strDate.size() <= 39);
            Require(entry.nIsSpecial == 0 || IsBatchSafeName(entry.strName));
            Require(IsDigestText(entry.strDate));
            fileNames.push_back(entry.strName);
        }
        std::size_t nFirst = 0, nSecond = 0;
        Require(!names::FindCollision(fileNames, nFirst, nSecond));
        for (const std::string& strGame : manifest.games)
            Require(IsSafeGameName(strGame));
        Require(bPlaza || manifest.games.empty());
    }
    PlazaInfo info;
    if (ParsePlazaInfo(strText.c_str(), info)) {
        UpdaterConfig config;
        std::string strProblem;
        if (BuildServerAddresses(info, config, strProblem)) {
            for (const std::string* pAddress :
                 {&config.strFileBase, &config.strXmlBase, &config.strFileBaseReserve,
                  &config.strXmlBaseReserve}) {
                Require(pAddress->size() <= 499);
            }
        } else {
            Require(!strProblem.empty());
        }
        UpdaterConfig trusted;
        strProblem.clear();
        Require(ApplyTrustSettings(info, trusted, strProblem) == strProblem.empty());
        Require(trusted.strPublicKey.empty() || trusted.strPublicKey.size() == 64);
        Require(trusted.strPublicKey2.empty() || !trusted.strPublicKey.empty());
    }
    // What signed manifests carry and the state file they leave behind.
    std::uint64_t qwSequence = 0;
    std::int64_t llExpires = 0;
    if (ReadSignedAttributes(strText, qwSequence, llExpires)) {
        std::int64_t llAgain = -1;
        Require(ParseUtcTime(FormatUtcTime(llExpires), llAgain) && llAgain == llExpires);
    }
    const std::string strLegacy(64, 'a');
    const SequenceState state = ParseSequenceState(strText, strLegacy);
    Require(ParseSequenceState(SequenceStateText(state), "") == state);
    return 0;
}
