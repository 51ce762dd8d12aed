#include "engine/downloadservice.h"
#include "templates/module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#ifndef COMPONENT_DIR
#error "COMPONENT_DIR names the folder of the test components"
#endif

namespace {

// {0F2B7A10-3C44-4E5D-9A61-7B8C9D0E1F20}: the test component's identifier.
const GUID IID_ITestThing = {
    0x0f2b7a10, 0x3c44, 0x4e5d, {0x9a, 0x61, 0x7b, 0x8c, 0x9d, 0x0e, 0x1f, 0x20}};

std::string ComponentPath(const char* pszKind) {
#ifdef _WIN32
    return std::string(COMPONENT_DIR) + "\\testcomp_" + pszKind + ".dll";
#else
    return std::string(COMPONENT_DIR) + "/libtestcomp_" + pszKind + ".so";
#endif
}

std::string EventsPath() {
    return std::string(COMPONENT_DIR) + "/loader_test_events.txt";
}

std::string ReadEvents() {
    std::ifstream in(EventsPath(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    std::string text = out.str();
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::remove(EventsPath().c_str());
#ifdef _WIN32
        _putenv_s("SUITE_COMPONENT_EVENTS", EventsPath().c_str());
#else
        setenv("SUITE_COMPONENT_EVENTS", EventsPath().c_str(), 1);
#endif
    }
};

struct ITestThing : public IUnknownEx {};
typedef CTempldateHelper<ITestThing> CTestThingHelper;

struct Expect {
    const char* kind;
    const char* describe;
};

TEST_F(LoaderTest, EveryFailureGivesItsDescriptionAndNoObject) {
    // Descriptions are code page 936; the literals below are converted to it
    // by the compiler, as the loader's own are.
    const Expect cases[] = {
        {"null", "调用函数“CreateTestThing”生成对象失败"},
        {"throwtext", "由于“磁盘已满”，组件创建失败"},
        {"throwother", "组件创建函数“CreateTestThing”产生未知异常错误，组件创建失败"},
        {"noproc", "找不到组件创建函数“CreateTestThing”"},
    };
    for (const Expect& c : cases) {
        std::string path = ComponentPath(c.kind);
        CTestThingHelper helper(IID_ITestThing, 0x08010100, path.c_str(), "CreateTestThing");
        EXPECT_FALSE(helper.CreateInstance()) << c.kind;
        EXPECT_STREQ(c.describe, helper.GetErrorDescribe()) << c.kind;
        EXPECT_EQ(nullptr, helper.GetInterface()) << c.kind;
        EXPECT_TRUE(helper.CloseInstance()) << c.kind;
        EXPECT_STREQ("", helper.GetErrorDescribe()) << c.kind;
    }
}

TEST_F(LoaderTest, MissingLibraryIsDescribedByItsFileName) {
    CDownLoadServiceHelper helper;  // "PellowD.dll" is not beside the tests
    EXPECT_FALSE(helper.CreateInstance());
    EXPECT_STREQ("“PellowD.dll”模块加载失败", helper.GetErrorDescribe());
    EXPECT_EQ(nullptr, helper.GetInterface());
    EXPECT_TRUE(helper.CloseInstance());
    EXPECT_TRUE(helper.CloseInstance());
}

TEST_F(LoaderTest, FailedCreationKeepsTheLibraryLoadedUntilClose) {
    std::string path = ComponentPath("null");
    {
        CTestThingHelper helper(IID_ITestThing, 0x08010100, path.c_str(), "CreateTestThing");
        EXPECT_FALSE(helper.CreateInstance());
        EXPECT_EQ("", ReadEvents());
        helper.CloseInstance();
        EXPECT_EQ("unload\n", ReadEvents());
    }
    EXPECT_EQ("unload\n", ReadEvents());
}

TEST_F(LoaderTest, CreatingTwiceReleasesAndUnloadsBeforeLoadingAgain) {
    std::string path = ComponentPath("ok");
    {
        CTestThingHelper helper(IID_ITestThing, 0x08010100, path.c_str(), "CreateTestThing");
        ASSERT_TRUE(helper.CreateInstance());
        ASSERT_NE(nullptr, helper.GetInterface());
        EXPECT_TRUE(helper->IsValid());
        ASSERT_TRUE(helper.CreateInstance());
        EXPECT_EQ("create\nrelease\nunload\ncreate\n", ReadEvents());
    }
    // The destructor releases the object before it frees the library.
    EXPECT_EQ("create\nrelease\nunload\ncreate\nrelease\nunload\n", ReadEvents());
}

TEST_F(LoaderTest, IncompatibleVersionGivesNoObject) {
    std::string path = ComponentPath("ok");
    const DWORD versions[] = {0x08010200, 0x08020100, 0x09010100};
    for (DWORD dwVersion : versions) {
        CTestThingHelper helper(IID_ITestThing, dwVersion, path.c_str(), "CreateTestThing");
        EXPECT_FALSE(helper.CreateInstance()) << std::hex << dwVersion;
        EXPECT_STREQ("调用函数“CreateTestThing”生成对象失败", helper.GetErrorDescribe());
    }
    // The object made for the refused request was released inside the library.
    EXPECT_EQ("create\nrelease\nunload\ncreate\nrelease\nunload\ncreate\nrelease\nunload\n",
              ReadEvents());
}

TEST_F(LoaderTest, EmptyNamesLoadNothing) {
    CTestThingHelper noLibrary(IID_ITestThing, 0x08010100, "", "CreateTestThing");
    EXPECT_FALSE(noLibrary.CreateInstance());
    CTestThingHelper noProc(IID_ITestThing, 0x08010100, ComponentPath("ok").c_str(), "");
    EXPECT_FALSE(noProc.CreateInstance());
    EXPECT_EQ("", ReadEvents());
}

TEST_F(LoaderTest, LongNamesAreCutToTheirFields) {
    std::string longProc(40, 'P');
    CTestThingHelper helper(IID_ITestThing, 0x08010100, ComponentPath("ok").c_str(),
                            longProc.c_str());
    EXPECT_FALSE(helper.CreateInstance());
    // Cut to 31 characters, which the library does not export.
    EXPECT_STREQ(("找不到组件创建函数“" + longProc.substr(0, 31) + "”").c_str(),
                 helper.GetErrorDescribe());
}

TEST(VersionCompatibility, TwoHighBytesEqualThirdNotAboveLowestIgnored) {
    struct Case {
        DWORD requested;
        bool compatible;
    };
    const Case cases[] = {
        {0x08010000, true},  {0x08010100, true},  {0x080101FF, true},  {0x08010200, false},
        {0x08020100, false}, {0x09010100, false}, {0x07010100, false}, {0x08000100, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.compatible, InterfaceVersionCompatible(c.requested, 0x08010100))
            << std::hex << c.requested;
    }
}

TEST(Identifiers, EqualOnlyWhenAllSixteenBytesAre) {
    GUID other = IID_IDownLoadService;
    EXPECT_TRUE(IsEqualIdentifier(other, IID_IDownLoadService));
    other.Data4[7] ^= 1;
    EXPECT_FALSE(IsEqualIdentifier(other, IID_IDownLoadService));
    EXPECT_FALSE(IsEqualIdentifier(IID_IUnknownEx, IID_IDownLoadServiceSink));
    // The first three groups are stored little-endian.
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(&IID_IUnknownEx);
    EXPECT_EQ(0x1e, pBytes[0]);
    EXPECT_EQ(0x5f, pBytes[3]);
    EXPECT_EQ(0xf3, pBytes[4]);
    EXPECT_EQ(0x9f, pBytes[8]);
}

}  // namespace
