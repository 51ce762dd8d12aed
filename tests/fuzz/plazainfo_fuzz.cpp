// The plaza information file is decoded from disk: any text must parse or be
// refused, and the addresses built from it must never pass their fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/core/plazainfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    PlazaInfo info;
    if (!ParsePlazaInfo(text.c_str(), info))
        return 0;
    UpdaterConfig config;
    config.strProgramFolder = "C:\\Plaza\\";
    std::string problem;
    if (BuildServerAddresses(info, config, problem)) {
        for (const std::string* address : {&config.strFileBase, &config.strXmlBase,
                                           &config.strFileBaseReserve, &config.strXmlBaseReserve}) {
            if (address->size() > 499)
                std::abort();
        }
    }
    return 0;
}
