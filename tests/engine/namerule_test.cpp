// The engine's save-path check and the updater's manifest name check hold
// to one table of names: a name the updater accepts and the engine then
// refused would stop a run after the plaza was ended.
#include <gtest/gtest.h>

#include <string>

#include "savepath.h"
#include "tests/names/nametable.h"
#include "updater/core/manifest.h"

namespace pellowd {
namespace {

// The engine is handed the manifest name without its leading separator.
TEST(SavePath, AcceptsExactlyWhatTheUpdaterAccepts) {
    for (const NameCase& c : NameCases()) {
        std::string strWhy;
        const bool bUpdater = IsSafeFileName("\\" + c.strPath, strWhy);
        EXPECT_EQ(c.fault == names::NameFault::kNone, IsSafeSaveName(c.strPath)) << c.strPath;
        EXPECT_EQ(bUpdater, IsSafeSaveName(c.strPath)) << c.strPath;
    }
}

}  // namespace
}  // namespace pellowd
