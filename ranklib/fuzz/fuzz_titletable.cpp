// A title table document, read as both kinds of table.
#include <tinyxml.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../titletable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::string strText(reinterpret_cast<const char*>(pData), cbData);
    TiXmlDocument doc;
    doc.Parse(strText.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (doc.Error())
        return 0;
    std::vector<tagScoreTitle> scores;
    std::vector<tagLevelTitle> levels;
    ReadScoreTitles(doc, &scores);
    ReadLevelTitles(doc, &levels);
    return 0;
}
