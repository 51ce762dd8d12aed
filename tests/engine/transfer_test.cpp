// The way of one request: which address is tried when, and that the target
// is replaced only by a complete, checked file. The network and disk are a
// scripted fake; the real ones are exercised under Wine.
#include "transfer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace pellowd {
namespace {

TEST(RetryPolicy, AddressesTriedInOrder) {
    using F = Failure;
    struct Case {
        const char* pszName;
        std::string strUrl, strReserve;
        std::vector<F> outcomes;  // fed back after each attempt, in order
        std::vector<std::string> wantTried;
    };
    const Case cases[] = {
        {"first try works", "p", "r", {F::kNone}, {"p"}},
        {"network twice, then reserve",
         "p",
         "r",
         {F::kNetwork, F::kNetwork, F::kNone},
         {"p", "p", "r"}},
        {"404 moves on at once", "p", "r", {F::kRefused, F::kNone}, {"p", "r"}},
        {"all fail",
         "p",
         "r",
         {F::kNetwork, F::kContent, F::kServer, F::kNetwork},
         {"p", "p", "r", "r"}},
        {"404 on both", "p", "r", {F::kRefused, F::kRefused}, {"p", "r"}},
        {"local failure ends it", "p", "r", {F::kLocal}, {"p"}},
        {"cancel ends it", "p", "r", {F::kNetwork, F::kCancelled}, {"p", "p"}},
        {"no reserve", "p", "", {F::kNetwork, F::kNetwork}, {"p", "p"}},
        {"no primary", "", "r", {F::kRefused}, {"r"}},
        {"nothing at all", "", "", {}, {}},
    };
    for (const Case& c : cases) {
        CRetryPolicy policy(c.strUrl, c.strReserve, 2);
        std::vector<std::string> tried;
        std::string strUrl;
        std::size_t nNext = 0;
        while (policy.Next(&strUrl)) {
            tried.push_back(strUrl);
            ASSERT_LT(nNext, c.outcomes.size()) << c.pszName << ": tried more than scripted";
            policy.Report(c.outcomes[nNext++]);
        }
        EXPECT_EQ(c.wantTried, tried) << c.pszName;
        EXPECT_FALSE(policy.Next(&strUrl)) << c.pszName << ": stays finished";
    }
}

TEST(Transfer, DigestAndLength) {
    EXPECT_TRUE(
        DigestMatches("d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_TRUE(
        DigestMatches("D41D8CD98F00B204E9800998ECF8427E", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(
        DigestMatches("d41d8cd98f00b204e9800998ecf8427f", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(
        DigestMatches("d41d8cd98f00b204e9800998ecf8427", "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(DigestMatches("d41d8cd98f00b204e9800998ecf8427e", ""));  // a failed hash

    struct Case {
        const char* pszText;
        bool bOk;
        std::uint64_t nWant;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"16384", true, 16384},
        {" 536870912 ", true, 536870912ull},
        {"5000000000", true, 5000000000ull},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"12a", false, 0},
        {"1 2", false, 0},
    };
    for (const Case& c : cases) {
        std::uint64_t n = 7;
        EXPECT_EQ(c.bOk, ParseContentLength(c.pszText, &n)) << c.pszText;
        if (c.bOk) {
            EXPECT_EQ(c.nWant, n) << c.pszText;
        }
    }
}

// A disk of named contents and a network of scripted answers per address.
class FakeTransport : public ITransport {
public:
    struct Answer {
        Failure eFailure;
        std::string strBody;  // written to the temporary file, complete or not
    };
    std::map<std::string, std::string> disk;
    std::map<std::string, std::deque<Answer>> answers;
    std::vector<std::string> fetched;
    bool bFoldersFail = false;
    bool bReplaceFails = false;

    bool PrepareFolders(const std::string&, std::string* pstrWhy) override {
        if (bFoldersFail)
            *pstrWhy = "access denied";
        return !bFoldersFail;
    }
    Failure Fetch(const std::string& strUrl, const std::string& strTemp, const std::string&,
                  const std::function<bool()>&, std::string*) override {
        fetched.push_back(strUrl);
        std::deque<Answer>& queue = answers[strUrl];
        if (queue.empty())
            return Failure::kNetwork;
        Answer answer = queue.front();
        queue.pop_front();
        disk[strTemp] = answer.strBody;
        return answer.eFailure;
    }
    bool Replace(const std::string& strTemp, const std::string& strTarget,
                 std::string* pstrWhy) override {
        if (bReplaceFails) {
            *pstrWhy = "locked";
            return false;
        }
        disk[strTarget] = disk[strTemp];
        disk.erase(strTemp);
        return true;
    }
    void Remove(const std::string& strTemp) override { disk.erase(strTemp); }
};

TransferJob MakeJob(const char* pszDir, const char* pszName, const char* pszUrl,
                    const char* pszReserve) {
    TransferJob job;
    job.nTaskId = 7;
    std::strcpy(job.request.szSaveDir, pszDir);
    std::strcpy(job.request.szSaveName, pszName);
    std::strcpy(job.request.szFileName, pszName);
    std::strcpy(job.request.szUrl, pszUrl);
    std::strcpy(job.request.szUrlReserve, pszReserve);
    return job;
}

const std::function<bool()> kNeverCancelled = [] { return false; };

TEST(Transfer, ReserveUsedAfterPrimaryFails) {
    FakeTransport net;
    net.disk["C:\\g\\sub\\x.dll"] = "old";
    net.answers["http://p/x"] = {{Failure::kRefused, "404"}};
    net.answers["http://r/x"] = {{Failure::kNone, "new"}};
    TransferResult r = RunTransfer(MakeJob("C:\\g", "sub\\x.dll", "http://p/x", "http://r/x"), net,
                                   2, kNeverCancelled);
    EXPECT_EQ(Failure::kNone, r.eFailure);
    EXPECT_EQ(2u, r.nAttempts);
    EXPECT_EQ("C:\\g\\sub\\x.dll", r.strLocalPath);
    EXPECT_EQ((std::vector<std::string>{"http://p/x", "http://r/x"}), net.fetched);
    EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\sub\\x.dll", "new"}}), net.disk)
        << "target replaced, no temporary file left";
}

TEST(Transfer, FailureOnBothAddressesLeavesTargetAlone) {
    struct Case {
        const char* pszName;
        Failure ePrimary, eReserve;
    };
    const Case cases[] = {
        {"cut mid-body", Failure::kNetwork, Failure::kNetwork},
        {"wrong digest", Failure::kContent, Failure::kContent},
        {"404 then 500", Failure::kRefused, Failure::kServer},
    };
    for (const Case& c : cases) {
        FakeTransport net;
        net.disk["C:\\g\\x.dll"] = "old";
        net.answers["p"] = {{c.ePrimary, "par"}, {c.ePrimary, "par"}};
        net.answers["r"] = {{c.eReserve, "bad"}, {c.eReserve, "bad"}};
        TransferResult r =
            RunTransfer(MakeJob("C:\\g", "x.dll", "p", "r"), net, 2, kNeverCancelled);
        EXPECT_EQ(c.eReserve, r.eFailure) << c.pszName;
        EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\x.dll", "old"}}), net.disk)
            << c.pszName;
        EXPECT_NE(std::string::npos, r.strLog.find("r -> C:\\g\\x.dll")) << c.pszName << r.strLog;
    }
}

TEST(Transfer, LocalFailuresAndUnsafeNamesFetchNothing) {
    {
        FakeTransport net;
        TransferResult r =
            RunTransfer(MakeJob("C:\\g", "..\\Talvex.exe", "p", "r"), net, 2, kNeverCancelled);
        EXPECT_EQ(Failure::kLocal, r.eFailure);
        EXPECT_TRUE(net.fetched.empty());
        EXPECT_NE(std::string::npos, r.strLog.find("..\\Talvex.exe")) << r.strLog;
    }
    {
        FakeTransport net;
        net.bFoldersFail = true;
        TransferResult r = RunTransfer(MakeJob("C:\\g", "a\\b", "p", "r"), net, 2, kNeverCancelled);
        EXPECT_EQ(Failure::kLocal, r.eFailure);
        EXPECT_TRUE(net.fetched.empty());
    }
    {
        // A target that cannot be replaced (locked) is not fetched again and again.
        FakeTransport net;
        net.bReplaceFails = true;
        net.disk["C:\\g\\x"] = "old";
        net.answers["p"] = {{Failure::kNone, "new"}};
        TransferResult r = RunTransfer(MakeJob("C:\\g", "x", "p", "r"), net, 2, kNeverCancelled);
        EXPECT_EQ(Failure::kLocal, r.eFailure);
        EXPECT_EQ(1u, r.nAttempts);
        EXPECT_EQ((std::map<std::string, std::string>{{"C:\\g\\x", "old"}}), net.disk);
    }
}

TEST(Transfer, CancelledBeforeAnAttemptFetchesNothing) {
    FakeTransport net;
    TransferResult r = RunTransfer(MakeJob("C:\\g", "x", "p", "r"), net, 2, [] { return true; });
    EXPECT_EQ(Failure::kCancelled, r.eFailure);
    EXPECT_TRUE(net.fetched.empty());
}

TEST(Transfer, FieldTextStopsAtZeroOrFieldEnd) {
    char szFull[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ("abcd", FieldText(szFull, sizeof(szFull)));
    char szShort[4] = {'a', '\0', 'c', 'd'};
    EXPECT_EQ("a", FieldText(szShort, sizeof(szShort)));
}

}  // namespace
}  // namespace pellowd
