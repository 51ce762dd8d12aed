#include "updater/core/plazainfo.h"

#include <tinyxml.h>

#include "updater/core/address.h"
#include "updater/core/cp936text.h"
#include "xmllimits/xmllimits.h"

namespace {

void TakeFirst(const TiXmlElement* pElement, const char* pszName, std::string& strValue) {
    if (!strValue.empty())
        return;
    const char* pszValue = pElement->Attribute(pszName);
    if (pszValue != nullptr)
        strValue = pszValue;
}

bool BuildOne(const std::string& strServer, const std::string& strPath, std::string& strAddress,
              std::string& strProblem) {
    strAddress.clear();
    if (strServer.empty() || strPath.empty())
        return true;
    switch (FormatServerAddress(strServer, strPath, strAddress)) {
        case AddressStatus::Ok:
            return true;
        case AddressStatus::BadFormat:
            strProblem = FormatText("服务器地址格式无效，只允许一个%%s(%s)", strServer.c_str());
            return false;
        case AddressStatus::TooLong:
            strProblem = FormatText("服务器地址过长(%s)(%s)", strServer.c_str(), strPath.c_str());
            return false;
    }
    return false;
}

}  // namespace

bool ParsePlazaInfo(const char* pszXmlText, PlazaInfo& info) {
    info = PlazaInfo();
    if (pszXmlText == nullptr || pszXmlText[0] == '\0' || !XmlWithinLimits(pszXmlText))
        return false;
    TiXmlDocument document;
    document.Parse(pszXmlText, nullptr, TIXML_DEFAULT_ENCODING);
    if (document.Error())
        return false;
    const TiXmlElement* pRoot = document.RootElement();
    if (pRoot == nullptr)
        return false;
    const char* pszEnable = pRoot->Attribute("isEnableUpdate");
    if (pszEnable == nullptr)
        return false;
    info.nEnableUpdate = ReadDecimal(pszEnable);
    info.bTrustOnRoot = pRoot->Attribute("updatePublicKey") != nullptr ||
                        pRoot->Attribute("updatePublicKey2") != nullptr ||
                        pRoot->Attribute("updateHttpsOnly") != nullptr;
    for (const TiXmlElement* pChild = pRoot->FirstChildElement(); pChild != nullptr;
         pChild = pChild->NextSiblingElement()) {
        TakeFirst(pChild, "updateGameUrl", info.strDownLoadGameUrl);
        TakeFirst(pChild, "updateGameUrlReserve", info.strDownLoadGameUrlReserve);
        TakeFirst(pChild, "updateGameXMLtUrl", info.strUpdateGameXMLUrl);
        TakeFirst(pChild, "updateGameClientUrl", info.strUpdateGameClientUrl);
        TakeFirst(pChild, "updatePublicKey", info.strUpdatePublicKey);
        TakeFirst(pChild, "updatePublicKey2", info.strUpdatePublicKey2);
        TakeFirst(pChild, "updateHttpsOnly", info.strUpdateHttpsOnly);
    }
    return true;
}

bool BuildServerAddresses(const PlazaInfo& info, UpdaterConfig& config, std::string& strProblem) {
    strProblem.clear();
    return BuildOne(info.strDownLoadGameUrl, info.strUpdateGameClientUrl, config.strFileBase,
                    strProblem) &&
           BuildOne(info.strDownLoadGameUrl, info.strUpdateGameXMLUrl, config.strXmlBase,
                    strProblem) &&
           BuildOne(info.strDownLoadGameUrlReserve, info.strUpdateGameClientUrl,
                    config.strFileBaseReserve, strProblem) &&
           BuildOne(info.strDownLoadGameUrlReserve, info.strUpdateGameXMLUrl,
                    config.strXmlBaseReserve, strProblem);
}
