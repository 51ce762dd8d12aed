#include "tools/manifestgen/options.h"
#include "tools/manifestgen/release.h"
#include "tools/manifestgen/signing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kelmar/ecdsakeytext.h"
#include "updater/core/manifest.h"
#include "updater/core/manifesttrust.h"

namespace fs = std::filesystem;

namespace {

TEST(ManifestGen, PatternsStayInAFolderUnlessDoubleStar) {
    struct Case {
        const char* pattern;
        const char* path;
        bool match;
    };
    const Case cases[] = {
        {"*.dll", "a.dll", true},
        {"*.dll", "sub/a.dll", false},
        {"**/*.dll", "a.dll", true},
        {"**/*.dll", "sub/deep/a.dll", true},
        {"sub/**", "sub/deep/a.dll", true},
        {"sub/**", "subway/a.dll", false},
        {"Chess/**", "chess/x.dat", true},
        {"?.dll", "ab.dll", false},
        {"\\sub\\a.dll", "sub/a.dll", true},
        {"a.dll", "a.dll.bak", false},
        {"**", "x/y/z", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.match, MatchPattern(c.pattern, c.path)) << c.pattern << " vs " << c.path;
    }
}

TEST(ManifestGen, SizeTextIsTheLow32BitsInSignedDecimal) {
    struct Case {
        std::uint64_t size;
        const char* text;
    };
    const Case cases[] = {
        {0, "0"},
        {100, "100"},
        {0x7fffffffULL, "2147483647"},
        {0x80000000ULL, "-2147483648"},
        {3ULL << 30, "-1073741824"},
        {4ULL << 30, "0"},
        {(4ULL << 30) + 5, "5"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, SizeText(c.size)) << c.size;
}

ReleaseFile File(const char* relative, const char* name, std::uint64_t size) {
    ReleaseFile file;
    file.strRelative = relative;
    file.strName = name;
    file.qwSize = size;
    file.strDigest = "0123456789abcdef0123456789abcdef";
    return file;
}

TEST(ManifestGen, ManifestsReadBackThroughTheUpdatersReader) {
    std::vector<ReleaseFile> files = {
        File("ZIVGame.exe", "\\ZIVGame.exe", 10),
        File("sub/R&D \xb4\xf3.dll", "\\sub\\R&D \xb4\xf3.dll", 3ULL << 30),
        File("Chess.exe", "\\Chess.exe", 7),
        File("chess/board.dat", "\\chess\\board.dat", 8),
        File("core/quorle.dll", "\\core\\quorle.dll", 9),
    };
    files[4].strSha256 = std::string(64, 'e');
    PublishOptions options;
    options.specialPatterns = {"core/*.dll"};
    options.games = {{"Chess", {"Chess.exe", "Chess/**"}}};
    std::vector<Refusal> refusals;
    Manifests manifests = PlanManifests(files, options, refusals);
    ASSERT_TRUE(refusals.empty());

    Manifest plaza;
    std::string problem;
    ASSERT_EQ(ManifestStatus::Ok, ParseManifest(manifests.strPlaza.c_str(), true, plaza, problem))
        << problem << "\n"
        << manifests.strPlaza;
    ASSERT_EQ(3u, plaza.files.size());
    EXPECT_EQ("\\ZIVGame.exe", plaza.files[0].strName);
    EXPECT_EQ("\\sub\\R&D \xb4\xf3.dll", plaza.files[1].strName);
    EXPECT_EQ("-1073741824", plaza.files[1].strBytes);
    EXPECT_EQ(0, plaza.files[1].nIsSpecial);
    EXPECT_EQ("\\core\\quorle.dll", plaza.files[2].strName);
    EXPECT_EQ(1, plaza.files[2].nIsSpecial);
    EXPECT_EQ("0123456789abcdef0123456789abcdef", plaza.files[2].strDate);
    EXPECT_EQ(std::string(64, 'e'), plaza.files[2].strSha256);
    EXPECT_EQ("", plaza.files[0].strSha256);
    EXPECT_EQ(std::vector<std::string>{"Chess"}, plaza.games);

    ASSERT_EQ(1u, manifests.games.size());
    EXPECT_EQ("Chess_UpdateFiles.xml", manifests.games[0].first);
    Manifest chess;
    ASSERT_EQ(ManifestStatus::Ok,
              ParseManifest(manifests.games[0].second.c_str(), false, chess, problem));
    ASSERT_EQ(2u, chess.files.size());
    EXPECT_EQ("\\Chess.exe", chess.files[0].strName);
    EXPECT_EQ("\\chess\\board.dat", chess.files[1].strName);
}

TEST(ManifestGen, RefusesWhatTheUpdaterWouldRefuse) {
    struct Case {
        const char* relative;
        const char* name;
        const char* special;  // pattern, or empty
        const char* game;     // game name, or empty
        const char* other;    // a second file's name, or empty
        std::size_t nRefusals = 1;
    };
    const std::string longName = "\\" + std::string(127, 'a');
    const std::string longestName = "\\" + std::string(126, 'a');  // 127 bytes fill szFileName
    const Case cases[] = {
        {"long", longName.c_str(), "", "", ""},
        {"longest", longestName.c_str(), "", "", "", 0},
        {"50%.dll", "\\50%.dll", "*.dll", "", ""},
        {"a&b.dll", "\\a&b.dll", "*.dll", "", ""},
        {"a^b.dll", "\\a^b.dll", "*.dll", "", ""},
        {"ok.dll", "\\ok.dll", "", "bad/game", ""},
        {"ok.dll", "\\ok.dll", "", "..", ""},
        {"ok.dll", "\\ok.dll", "", "CON", ""},
        {"x", "\\x\x81\"y", "", "", ""},  // a lead byte before a byte no trail byte can be
        {"x", "\\x\x81", "", "", ""},     // a lead byte at the end
        {"a.dll.", "\\a.dll.", "", "", ""},
        {"b.dll ", "\\b.dll ", "", "", ""},
        {"CON.dll", "\\CON.dll", "", "", ""},
        {"sub/com1.txt", "\\sub\\com1.txt", "", "", ""},
        {"nul", "\\nul", "", "", ""},
        {"A.dll", "\\A.dll", "", "", "\\a.dll"},
        {"Sub", "\\Sub", "", "", "\\sub\\x.dll"},
    };
    for (const Case& c : cases) {
        std::vector<ReleaseFile> files = {File(c.relative, c.name, 1)};
        if (*c.other != '\0')
            files.push_back(File("other", c.other, 1));
        PublishOptions options;
        if (*c.special != '\0')
            options.specialPatterns.push_back(c.special);
        if (*c.game != '\0')
            options.games.push_back({c.game, {"none"}});
        std::vector<Refusal> refusals;
        PlanManifests(files, options, refusals);
        EXPECT_EQ(c.nRefusals, refusals.size()) << c.relative << " " << c.game;
    }
    // The same characters are fine in an ordinary file's name.
    std::vector<ReleaseFile> files = {File("a&b.dll", "\\a&b.dll", 1)};
    std::vector<Refusal> refusals;
    PlanManifests(files, PublishOptions(), refusals);
    EXPECT_TRUE(refusals.empty());
}

TEST(ManifestGen, SignedAttributesGoOnTheRootAndTheUpdaterStillReadsIt) {
    const std::string strXml = ManifestXml({}, nullptr);
    const std::string strSigned =
        WithSignedAttributes(strXml, "A&B_UpdateFiles.xml", 41, 1800000000);
    EXPECT_NE(std::string::npos,
              strSigned.find("\r\n<update name=\"A&amp;B_UpdateFiles.xml\" sequence=\"41\" "
                             "expires=\"2027-01-15T08:00:00Z\">\r\n"))
        << strSigned;
    std::uint64_t qwSequence = 0;
    std::int64_t llExpires = 0;
    std::string strName;
    ASSERT_TRUE(ReadSignedAttributes(strSigned, qwSequence, llExpires, &strName));
    EXPECT_EQ(41u, qwSequence);
    EXPECT_EQ(1800000000, llExpires);
    EXPECT_EQ("A&B_UpdateFiles.xml", strName);
    Manifest manifest;
    std::string strProblem;
    EXPECT_EQ(ManifestStatus::Ok, ParseManifest(strSigned.c_str(), false, manifest, strProblem));

    EXPECT_EQ(0u, HighestSequence({strXml, ""}));
    EXPECT_EQ(41u, HighestSequence({WithSignedAttributes(strXml, "x", 3, 0), strSigned, strXml}));
}

TEST(ManifestGen, ExpiryIsADurationOrAUtcTime) {
    const std::int64_t llNow = 1800000000;
    struct Case {
        const char* pszValue;
        bool bOk;
        std::int64_t llExpires;
    };
    const Case cases[] = {
        {"30d", true, llNow + 30 * 86400},
        {"12h", true, llNow + 12 * 3600},
        {"2027-01-31T08:00:00Z", true, 1801382400},
        // The updater refuses more than 90 days ahead.
        {"90d", true, llNow + 90 * 86400},
        {"91d", false, 0},
        {"2099-01-01T00:00:00Z", false, 0},
        {"0d", false, 0},
        {"30", false, 0},
        {"d", false, 0},
        {"3w", false, 0},
        {"-1d", false, 0},
        {"2027-01-31", false, 0},
    };
    for (const Case& c : cases) {
        std::int64_t llExpires = 0;
        EXPECT_EQ(c.bOk, ParseExpiry(c.pszValue, llNow, llExpires)) << c.pszValue;
        if (c.bOk) {
            EXPECT_EQ(c.llExpires, llExpires) << c.pszValue;
        }
    }
}

// The options as one line, so that a row can say all of them.
std::string Described(const ToolOptions& o) {
    static const char* const kCommands[] = {"publish", "keygen", "verify"};
    std::string s = kCommands[static_cast<int>(o.command)];
    if (o.bHelp)
        return s + " help";
    auto add = [&s](const char* name, const std::string& value) {
        if (!value.empty())
            s += std::string(" ") + name + "=" + value;
    };
    switch (o.command) {
        case ToolCommand::kKeygen:
            add("name", o.strKeyName);
            return s;
        case ToolCommand::kVerify:
            add("server", o.verify.strServer);
            add("xml", o.verify.strXmlPath);
            add("client", o.verify.strClientPath);
            add("key", o.verify.strKeyPath);
            return s + (o.verify.bForceProgress ? " progress" : "");
        case ToolCommand::kPublish:
            break;
    }
    add("release", o.strRelease);
    add("out", o.strOut);
    add("chunks", o.strChunkDir);
    for (const std::string& pattern : o.publish.specialPatterns)
        add("special", pattern);
    for (const GameRule& game : o.publish.games) {
        std::string strPatterns;
        for (const std::string& pattern : game.patterns)
            strPatterns += (strPatterns.empty() ? "" : "|") + pattern;
        add("game", game.strName + ":" + strPatterns);
    }
    add("key", o.signing.strKeyPath);
    if (o.signing.bSequenceGiven)
        add("sequence", std::to_string(o.signing.qwSequence));
    add("expires", "+" + std::to_string(o.signing.llExpires - 1800000000));
    return s + (o.bQuiet ? " quiet" : "") + (o.bForceProgress ? " progress" : "");
}

TEST(ManifestGen, ArgumentsAndConfigLinesGiveOptionsOrTheMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* config;  // the text of tool.cfg
        const char* want;    // the options described, or "error: " and the message
    };
    const std::string kNeedsLine =
        "error: tool.cfg:2: expected 'special = PATTERN' or 'game = "
        "NAME[:PATTERNS]'";
    const Case cases[] = {
        {{"--release", "R", "--out", "O"}, "", "publish release=R out=O expires=+2592000"},
        {{"--release", "R", "--out", "O", "--special", "core/*", "--game", "Chess", "-q",
          "--progress", "--chunk-index", "C", "--sign-key", "k.pem", "--sequence", "40",
          "--expires", "12h"},
         "",
         "publish release=R out=O chunks=C special=core/* game=Chess:Chess.exe|Chess/** "
         "key=k.pem sequence=40 expires=+43200 quiet progress"},
        {{"--game", "G:a.exe,,b/**", "--release", "R", "--out", "O", "--quiet"},
         "",
         "publish release=R out=O game=G:a.exe|b/** expires=+2592000 quiet"},
        {{"-h"}, "", "publish help"},
        {{"--release", "R", "--help", "--bogus"}, "", "publish help"},
        {{"--bogus", "--help"}, "", "error: unknown argument --bogus (see --help)"},
        {{"--out", "O", "--release"}, "", "error: --release needs a value (see --help)"},
        {{"--release", "R"}, "", "error: --release and --out are required (see --help)"},
        {{"--game", "G:"}, "", "error: game without patterns: G:"},
        {{"--sequence", "4x"}, "", "error: --sequence takes a decimal number"},
        {{"--sequence", "1234567890123456789"}, "", "error: --sequence takes a decimal number"},
        {{"--release", "R", "--out", "O", "--expires", "1y"},
         "",
         "error: --expires takes 30d, 12h or 2027-01-31T08:00:00Z, at most 90 days ahead (the "
         "updater refuses more)"},
        // A config file's lines go through the same options as the arguments.
        {{"--config", "tool.cfg", "--release", "R", "--out", "O", "--special", "x"},
         "# the plaza's own\r\n  special = core/*.dll  # held open\r\n\r\ngame=Chess:c/**\r\n",
         "publish release=R out=O special=core/*.dll special=x game=Chess:c/** "
         "expires=+2592000"},
        {{"--config", "tool.cfg"}, "special = a\nbogus = 1\n", kNeedsLine.c_str()},
        {{"--config", "tool.cfg"}, "game = a\nspecial =\n", kNeedsLine.c_str()},
        {{"--config", "tool.cfg"}, "\nconfig = tool.cfg\n", kNeedsLine.c_str()},
        {{"--config", "tool.cfg"}, "game = G:,", "error: game without patterns: G:,"},
        {{"--config", "other.cfg"}, "", "error: other.cfg: cannot be read"},
        {{"keygen", "--out", "k"}, "", "keygen name=k"},
        {{"keygen", "--help"}, "", "keygen help"},
        {{"keygen"}, "", "error: keygen needs --out NAME (see --help)"},
        {{"keygen", "--out"}, "", "error: keygen takes --out NAME only (see --help)"},
        {{"keygen", "-h"}, "", "error: keygen takes --out NAME only (see --help)"},
        {{"verify", "--server", "S", "--xml-path", "X", "--client-path", "C", "--key", "K",
          "--progress"},
         "",
         "verify server=S xml=X client=C key=K progress"},
        {{"verify", "--server", "S", "--xml-path", "X"},
         "",
         "error: verify needs --server, --xml-path and --client-path"},
        {{"verify", "--help"}, "", "error: verify: unknown or incomplete --help (see --help)"},
        {{"verify", "--key"}, "", "error: verify: unknown or incomplete --key (see --help)"},
    };
    for (const Case& c : cases) {
        const ConfigReader reader = [&c](const std::string& strPath, std::string& strText) {
            strText = c.config;
            return strPath == "tool.cfg";
        };
        ToolOptions options;
        std::string strError;
        const std::string strGot = ParseToolOptions(c.args, 1800000000, reader, options, strError)
                                       ? Described(options)
                                       : "error: " + strError;
        EXPECT_EQ(c.want, strGot) << c.args[0];
    }
}

class ReleaseFolder : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("manifestgen_test_" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root / "release");
    }
    void TearDown() override { fs::remove_all(m_root); }
    void Write(const std::string& relative, const std::string& content) {
        // Test names are UTF-8 on every platform.
        fs::path path = m_root / "release" / fs::u8path(relative);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    fs::path m_root;
};

TEST_F(ReleaseFolder, ScanGivesSortedNamesInCp936WithSizesAndDigests) {
    Write("b.txt", "");
    Write(u8"子目录/a.dll", "abc");
    Write("a/x.dat", "message digest");
    std::vector<ReleaseFile> files;
    std::string error;
    ASSERT_TRUE(ListRelease((m_root / "release").string(), files, error)) << error;
    ASSERT_TRUE(DigestRelease((m_root / "release").string(), files, true, nullptr, error)) << error;
    ASSERT_EQ(3u, files.size());
    EXPECT_EQ("\\a\\x.dat", files[0].strName);
    EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", files[0].strDigest);
    EXPECT_EQ("\\b.txt", files[1].strName);
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", files[1].strDigest);
    // "子目录" in code page 936.
    EXPECT_EQ("\\\xd7\xd3\xc4\xbf\xc2\xbc\\a.dll", files[2].strName);
    EXPECT_EQ(3u, files[2].qwSize);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", files[2].strDigest);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              files[2].strSha256);
}

TEST_F(ReleaseFolder, NameWithoutACp936FormIsAnError) {
    Write(u8"smile\U0001F600.txt", "x");
    std::vector<ReleaseFile> files;
    std::string error;
    EXPECT_FALSE(ListRelease((m_root / "release").string(), files, error));
    EXPECT_NE(std::string::npos, error.find("code page 936")) << error;
}

TEST_F(ReleaseFolder, AtomicWriteReplacesOrFailsLeavingNoPartialFile) {
    struct Case {
        const char* name;
        const char* before;  // the file's text before, "" for none, "/" for a folder
        const char* fault;   // what the error says after the path, "" for success
    };
    const Case cases[] = {
        {"new.xml", "", ""},
        {"old.xml", "old", ""},
        {"missing/x.xml", "", ": cannot be written"},
        {"held.xml", "/", ": cannot be replaced"},
    };
    for (const Case& c : cases) {
        const fs::path target = m_root / c.name;
        if (std::string(c.before) == "/")
            fs::create_directories(target / "inside");
        else if (*c.before != '\0')
            std::ofstream(target, std::ios::binary) << c.before;
        std::string error;
        const bool bOk = WriteFileAtomically(target.string(), "new text", error);
        EXPECT_EQ(*c.fault == '\0', bOk) << c.name;
        if (bOk) {
            std::ifstream in(target, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            EXPECT_EQ("new text", text.str()) << c.name;
        } else {
            EXPECT_EQ(target.string() + c.fault, error) << c.name;
        }
        EXPECT_FALSE(fs::exists(target.string() + ".partial")) << c.name;
    }
    EXPECT_TRUE(fs::exists(m_root / "held.xml" / "inside"));
}

#ifdef MANIFESTGEN_EXE
int RunTool(const std::string& args) {
    int status = std::system((std::string(MANIFESTGEN_EXE) + " " + args + " 2>/dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(ReleaseFolder, CommandLineExitCodesAndNothingWrittenOnRefusal) {
    Write("ZIVGame.exe", "plaza");
    Write("core/a%b.dll", "special");
    const std::string release = (m_root / "release").string();
    const std::string out = (m_root / "out").string();
    EXPECT_EQ(2, RunTool(""));
    EXPECT_EQ(2, RunTool("--release " + release));
    EXPECT_EQ(2, RunTool("--bogus"));
    EXPECT_EQ(0, RunTool("--help >/dev/null"));
    EXPECT_EQ(1, RunTool("--release " + release + " --out " + out + " --special 'core/*'"));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(0, RunTool("--release " + release + " --out " + out + " --game Chess --quiet"));
    EXPECT_TRUE(fs::exists(fs::path(out) / "LastUpdateFiles.xml"));
    EXPECT_TRUE(fs::exists(fs::path(out) / "Chess_UpdateFiles.xml"));
    EXPECT_EQ(3, RunTool("--release " + (m_root / "nothing").string() + " --out " + out));

    // Chunk indexes: one for each file of 1 MiB or more, named by its digest,
    // and the manifests byte for byte as without them.
    Write(u8"数据/big.pak", std::string(1024 * 1024, 'z'));
    Write("small.pak", std::string(1024 * 1024 - 1, 'z'));
    const std::string client = (m_root / "client").string();
    ASSERT_EQ(0, RunTool("--release " + release + " --out " + out + " --quiet"));
    const std::string strPlain = ReadAll(fs::path(out) / "LastUpdateFiles.xml");
    ASSERT_EQ(
        0, RunTool("--release " + release + " --out " + out + " --quiet --chunk-index " + client));
    EXPECT_EQ(strPlain, ReadAll(fs::path(out) / "LastUpdateFiles.xml"));
    std::vector<std::string> indexes;
    for (const auto& entry : fs::recursive_directory_iterator(client)) {
        if (entry.is_regular_file())
            indexes.push_back(fs::relative(entry.path(), client).string());
    }
    // The server holds names as their code page 936 bytes: "数据" is CA FD BE DD.
    EXPECT_EQ(
        std::vector<std::string>{"\xca\xfd\xbe\xdd/big.pak.93c2f35c8192b7986a798e1453ae86f1.cix"},
        indexes);
    Write("big.pak.93c2f35c8192b7986a798e1453ae86f1.cix", "x");
    EXPECT_EQ(1, RunTool("--release " + release + " --out " + out + " --chunk-index " + client));
    fs::remove(fs::path(release) / "big.pak.93c2f35c8192b7986a798e1453ae86f1.cix");

    // Written whole but not movable over its name (a folder holds it): no success.
    fs::remove(fs::path(out) / "LastUpdateFiles.xml");
    fs::create_directories(fs::path(out) / "LastUpdateFiles.xml" / "held");
    EXPECT_EQ(3, RunTool("--release " + release + " --out " + out + " --game Chess --quiet"));
    EXPECT_FALSE(fs::exists(fs::path(out) / "LastUpdateFiles.xml.partial"));
}

TEST_F(ReleaseFolder, KeygenThenSignedPublishingNumbersEachRelease) {
    Write("ZIVGame.exe", "plaza");
    Write("Chess.exe", "game");
    const std::string release = (m_root / "release").string();
    const std::string out = (m_root / "out").string();
    const std::string key = (m_root / "key").string();
    EXPECT_EQ(2, RunTool("keygen"));
    EXPECT_EQ(0, RunTool("keygen --help | grep -q 'GamePlazaInfo.ziv names the new key'"));
    ASSERT_EQ(0, RunTool("keygen --out " + key));
    EXPECT_EQ(3, RunTool("keygen --out " + key)) << "a key is never overwritten";
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
              fs::status(key + ".pem").permissions() & fs::perms::all);
    std::string strPublic;
    ASSERT_TRUE(kelmar::ParseEcdsaPublicKeyText(ReadAll(key + ".pub"), strPublic));

    const std::string publish = "--release " + release + " --out " + out +
                                " --game Chess --quiet --sign-key " + key + ".pem";
    ASSERT_EQ(0, RunTool(publish));
    ASSERT_EQ(0, RunTool(publish + " --expires 2h"));
    for (const char* name : {"LastUpdateFiles.xml", "Chess_UpdateFiles.xml"}) {
        const std::string text = ReadAll(fs::path(out) / name);
        const std::string sig = ReadAll(fs::path(out) / (std::string(name) + ".sig"));
        EXPECT_TRUE(kelmar::EcdsaVerify(strPublic, text, sig)) << name;
        std::uint64_t qwSequence = 0;
        std::int64_t llExpires = 0;
        std::string strSignedName;
        ASSERT_TRUE(ReadSignedAttributes(text, qwSequence, llExpires, &strSignedName)) << name;
        EXPECT_EQ(name, strSignedName);
        EXPECT_EQ(2u, qwSequence) << name << ": one more than the release before";
        const std::int64_t llLeft = llExpires - static_cast<std::int64_t>(std::time(nullptr));
        EXPECT_TRUE(llLeft > 7000 && llLeft <= 7200) << name << " " << llLeft;
    }
    ASSERT_EQ(0, RunTool(publish + " --sequence 40"));
    EXPECT_NE(std::string::npos,
              ReadAll(fs::path(out) / "LastUpdateFiles.xml").find("sequence=\"40\""));
    EXPECT_EQ(2, RunTool(publish + " --sequence x"));
    EXPECT_EQ(2, RunTool(publish + " --expires 1y"));
    EXPECT_EQ(3, RunTool(publish + " --sign-key " + key + ".pub"));
}
#endif

}  // namespace
