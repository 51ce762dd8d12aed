// The manifest comes from the network: any bytes must give a status, never a
// crash or a read past a buffer; an accepted manifest holds only safe names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "updater/core/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    for (bool bPlaza : {true, false}) {
        Manifest manifest;
        std::string problem;
        if (ParseManifest(text.c_str(), bPlaza, manifest, problem) != ManifestStatus::Ok)
            continue;
        for (const ManifestFileEntry& entry : manifest.files) {
            std::string why;
            if (!IsSafeFileName(entry.strName, why) || entry.strName.size() > 127 ||
                entry.strDate.size() > 39)
                std::abort();
            if (entry.nIsSpecial != 0 && !IsBatchSafeName(entry.strName))
                std::abort();
        }
        for (const std::string& game : manifest.games) {
            if (!IsSafeGameName(game))
                std::abort();
        }
    }
    return 0;
}
