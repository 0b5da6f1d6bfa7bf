// Store files on real files in a private folder: escaping round trips, the
// forgiving readers, atomic writes, identity and trusted-phone semantics, and
// many threads changing the stores at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "store/install_identity.h"
#include "store/json_store.h"
#include "store/store_platform.h"
#include "store/trusted_peers.h"
#include "support/log.h"
#include "support/paths.h"
#include "tests/testing/log_lines.h"
#include "tests/testing/manual_clock.h"
#include "tests/testing/test_env.h"

namespace Veltrix {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::ScopedTestDirs;

const LogChannel kTestLog{kLogSubsystem, "storetest"};
constexpr StoreMessages kMsgs{"t open(%{public}s) failed", "t write failed",
                              "t rename(%{public}s -> %{public}s) failed: %{public}s"};

void WriteRaw(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string LogText() { return ReadFileText(LogFilePath()); }

TEST(JsonStore, EscapeAndReadBackRoundTrip) {
    EXPECT_EQ(JsonEscape("a\"b\\c\td\x01/"), "a\\\"b\\\\c\\td\\u0001/");
    const std::string name = "Ph\xC3\xB6ne \"X\" \\ \b\f\n\r\t / {}";
    const std::string text = "{\"name\":\"" + JsonEscape(name) + "\"}";
    EXPECT_EQ(JsonGetString(text, "name"), name);
    // Control bytes without a short form come back as themselves; other \u escapes
    // as UTF-8 (surrogate pairs joined, a lone half as U+FFFD), bad ones as the letter.
    EXPECT_EQ(JsonGetString("{\"k\":\"" + JsonEscape("\x02z\x1b") + "\"}", "k"), "\x02z\x1b");
    EXPECT_EQ(JsonGetString(R"({"k":"\u00e9\u20AC\ud83d\ude00\ud800x\u12"})", "k"),
              "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDxu12");
    EXPECT_EQ(JsonGetString(R"({"name":"b\"c"})", "name"), "b\"c");
    EXPECT_EQ(JsonGetString(R"({"name":"x"})", "id"), "");
    EXPECT_EQ(JsonGetString(R"({"name":"unterminated)", "name"), "");
    EXPECT_EQ(JsonGetString(R"({"name":)", "name"), "");
    // A bare value makes the reader take the next quoted string.
    EXPECT_EQ(JsonGetString(R"({"a":true,"b":"v"})", "a"), "b");
    auto parsed = JsonParseString(R"(xx "ab\"c" yy)", 0);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->first, "ab\"c");
    EXPECT_EQ(parsed->second, 10u);
    EXPECT_FALSE(JsonParseString("no quote", 0));
    EXPECT_FALSE(JsonParseString("\"open", 0));
}

// A key's name inside another value is text, not the key: a phone called
// x"token kept the name as its token, and an install name could flip a setting.
TEST(JsonStore, KeyNamesInsideValuesAreNotKeys) {
    const std::vector<TrustedPeer> peers{{"x\"token", "N", "T", "x\"firstPaired"}, {"id", "\"id\":\"", "t2", ""}};
    const auto back = ParseTrustedPeers(SerializeTrustedPeers(peers));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].token, "T");
    EXPECT_EQ(back[0].firstPaired, "x\"firstPaired");
    EXPECT_EQ(back[1].id, "id");
    EXPECT_EQ(back[1].name, "\"id\":\"");
    EXPECT_EQ(JsonGetString(R"({"name":"x\"enableAsyncHwEncoders","discoverable":"true","enableAsyncHwEncoders":"false"})",
                            "enableAsyncHwEncoders"),
              "false");
    EXPECT_EQ(JsonGetString(R"({"name" : "spaced"})", "name"), "spaced");
    // A stray quote puts the strings out of step: the first occurrence still counts.
    EXPECT_EQ(JsonGetString(R"(" {"id":"v"})", "id"), "v");
}

TEST(JsonStore, ReadWholeFileRetriesEmptyFiveTimes) {
    ScopedTestDirs dirs;
    testing::ManualClock clock(/*autoAdvance=*/true);
    const fs::path p = dirs.root() / "empty.json";
    WriteRaw(p, "");
    const auto start = clock.Now();
    EXPECT_FALSE(ReadWholeFile(p, clock));
    EXPECT_EQ(clock.Now() - start, std::chrono::milliseconds(20));  // 4 waits between 5 reads
    EXPECT_FALSE(ReadWholeFile(dirs.root() / "missing.json", clock));
    EXPECT_EQ(clock.Now() - start, std::chrono::milliseconds(20));  // no retry when absent
    WriteRaw(p, "x");
    EXPECT_EQ(ReadWholeFile(p, clock), "x");
    EXPECT_FALSE(ReadWholeFile(dirs.root(), clock));  // a folder is not a store file
}

int FailRename(const fs::path&, const fs::path&) { return 13; }

bool AnyTemporaryIn(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".tmp") return true;
    return false;
}

TEST(JsonStore, FailedRenameKeepsOldFileAndRemovesTemporary) {
    ScopedTestDirs dirs;
    const fs::path p = dirs.root() / "s.json";
    ASSERT_TRUE(WriteFileAtomically(p, "old\n", kTestLog, kMsgs));
    OverrideStoreRenameForTesting(&FailRename);
    EXPECT_FALSE(WriteFileAtomically(p, "new\n", kTestLog, kMsgs));
    OverrideStoreRenameForTesting(nullptr);
    EXPECT_EQ(ReadFileText(p), "old\n");
    EXPECT_FALSE(AnyTemporaryIn(dirs.root()));
    EXPECT_NE(LogText().find("t rename("), std::string::npos);

    // A real failure: the target is a non-empty folder.
    const fs::path d = dirs.root() / "dir.json";
    fs::create_directories(d / "inside");
    EXPECT_FALSE(WriteFileAtomically(d, "x", kTestLog, kMsgs));
    EXPECT_FALSE(AnyTemporaryIn(dirs.root()));
    EXPECT_TRUE(fs::is_directory(d / "inside"));

    // Open failure: the folder does not exist.
    EXPECT_FALSE(WriteFileAtomically(dirs.root() / "no" / "x.json", "x", kTestLog, kMsgs));
    EXPECT_NE(LogText().find("t open("), std::string::npos);
}

TEST(JsonStore, AppSupportDirThatIsAFileFailsQuietly) {
    ScopedTestDirs dirs;
    WriteRaw(AppSupportDir(), "not a folder");
    EXPECT_FALSE(EnsureAppSupportDir());
    EXPECT_TRUE(IsDiscoverable());
    const InstallIdentity id = LoadOrCreateIdentity();  // write fails, identity still returned
    EXPECT_EQ(id.id.size(), 36u);
    EXPECT_FALSE(UpsertPeer(HostKind::kPremiere, {"p", "n", "t", "x"}));
    EXPECT_TRUE(ListPeers(HostKind::kPremiere).empty());
}

TEST(InstallIdentity, CreatedOnceWithDefaults) {
    ScopedTestDirs dirs;
    EXPECT_TRUE(IsDiscoverable());
    EXPECT_FALSE(AsyncHwEncodersEnabled());
    SetInstallName("ignored");
    EXPECT_FALSE(fs::exists(InstallIdentityPath()));

    const InstallIdentity a = LoadOrCreateIdentity();
    EXPECT_EQ(a.id.size(), 36u);
    EXPECT_EQ(a.name, ComputerName());
    EXPECT_EQ(ReadFileText(InstallIdentityPath()),
              "{\"id\":\"" + a.id + "\",\"name\":\"" + JsonEscape(a.name) +
                  "\",\"discoverable\":\"true\",\"enableAsyncHwEncoders\":\"false\"}\n");
    const InstallIdentity b = LoadOrCreateIdentity();
    EXPECT_EQ(b.id, a.id);
    const std::string log = LogText();
    const auto first = log.find("install identity created id=" + a.id);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("install identity created", first + 1), std::string::npos);
}

TEST(InstallIdentity, SettersKeepEverythingElse) {
    ScopedTestDirs dirs;
    const InstallIdentity a = LoadOrCreateIdentity();
    SetDiscoverable(false);
    EXPECT_FALSE(IsDiscoverable());
    EXPECT_FALSE(AsyncHwEncodersEnabled());
    SetAsyncHwEncodersEnabled(true);
    EXPECT_FALSE(IsDiscoverable());
    EXPECT_TRUE(AsyncHwEncodersEnabled());
    const std::string odd = "Edit \"Bay\" \\ 2 \xE2\x9C\x93";
    SetInstallName(odd);
    const InstallIdentity b = LoadOrCreateIdentity();
    EXPECT_EQ(b.id, a.id);
    EXPECT_EQ(b.name, odd);
    EXPECT_FALSE(IsDiscoverable());
    EXPECT_TRUE(AsyncHwEncodersEnabled());
    EXPECT_NE(LogText().find("discoverable=false"), std::string::npos);
    EXPECT_NE(LogText().find("enableAsyncHwEncoders=true"), std::string::npos);
}

TEST(InstallIdentity, EmptyNameIsFilledWithoutCreatedLine) {
    ScopedTestDirs dirs;
    WriteRaw(InstallIdentityPath(), R"({"id":"abc","name":"","discoverable":false})");
    const InstallIdentity a = LoadOrCreateIdentity();
    EXPECT_EQ(a.id, "abc");
    EXPECT_EQ(a.name, ComputerName());
    EXPECT_TRUE(IsDiscoverable());  // a bare boolean is not the string "false"
    EXPECT_EQ(LogText().find("install identity created"), std::string::npos);
    EXPECT_EQ(JsonGetString(ReadFileText(InstallIdentityPath()), "name"), ComputerName());
}

TEST(InstallIdentity, SetterWithoutFileCreatesIdentitySilently) {
    ScopedTestDirs dirs;
    SetAsyncHwEncodersEnabled(true);
    const std::string text = ReadFileText(InstallIdentityPath());
    EXPECT_EQ(JsonGetString(text, "id").size(), 36u);
    EXPECT_EQ(JsonGetString(text, "discoverable"), "true");
    EXPECT_EQ(LogText().find("install identity created"), std::string::npos);
}

TEST(TrustedPeers, FileNamesPerHost) {
    EXPECT_EQ(TrustedFileName(HostKind::kPremiere), "trusted.json");
    EXPECT_EQ(TrustedFileName(HostKind::kAfterEffects), "trusted-ae.json");
    EXPECT_EQ(TrustedFileName(HostKind::kMediaEncoder), "trusted-ame.json");
    EXPECT_EQ(TrustedFileName(HostKind::kOther), "trusted-x.json");
    EXPECT_EQ(FormatPairingTime(std::chrono::system_clock::time_point{} + std::chrono::seconds(86400 + 61)),
              "1970-01-02T00:01:01Z");
}

TEST(TrustedPeers, ForgivingReaderOnMalformedFiles) {
    const auto peers = ParseTrustedPeers(
        "junk [{\"id\":\"a\",\"name\":\"x}y{\\\"z\",\"token\":\"t1\"},"
        "{\"id\":\"notoken\",\"name\":\"n\"},"
        "{\"id\":\"b\",\"token\":\"t2\",\"firstPaired\":\"2026\"}, stray ,"
        "{\"id\":\"c\",\"token\":\"t3\"");  // unterminated last object
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(peers[0].id, "a");
    EXPECT_EQ(peers[0].name, "x}y{\"z");
    EXPECT_EQ(peers[1].id, "b");
    EXPECT_EQ(peers[1].firstPaired, "2026");
    EXPECT_TRUE(ParseTrustedPeers("").empty());
    EXPECT_TRUE(ParseTrustedPeers("{\"id\":\"q,\"token\":\"t\"}").empty());  // missing quote
    EXPECT_EQ(SerializeTrustedPeers({}), "[]\n");
}

TEST(TrustedPeers, DuplicatesTokensAndSeparateHosts) {
    ScopedTestDirs dirs;
    const HostKind pr = HostKind::kPremiere;
    WriteRaw(TrustedFilePath(pr),
             R"([{"id":"d","name":"first","token":"t1"},{"id":"n","name":"no token"},)"
             R"({"id":"d","name":"second","token":"t2"}])");
    EXPECT_EQ(FindPeer(pr, "d")->name, "first");
    EXPECT_FALSE(FindPeer(pr, "n"));
    EXPECT_FALSE(FindPeer(pr, ""));
    EXPECT_TRUE(UpsertPeer(pr, {"d", "renamed", "t9", "2026-01-01T00:00:00Z"}));
    auto list = ListPeers(pr);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "renamed");
    EXPECT_EQ(list[1].name, "second");
    EXPECT_EQ(ReadFileText(TrustedFilePath(pr)),
              R"([{"id":"d","name":"renamed","token":"t9","firstPaired":"2026-01-01T00:00:00Z"},)"
              R"({"id":"d","name":"second","token":"t2","firstPaired":""}])"
              "\n");
    EXPECT_NE(LogText().find("updated peer id=d name=renamed"), std::string::npos);
    EXPECT_EQ(LogText().find("t9"), std::string::npos);  // tokens never reach the log

    const auto before = fs::last_write_time(TrustedFilePath(pr));
    EXPECT_FALSE(RemovePeer(pr, "absent"));
    EXPECT_EQ(fs::last_write_time(TrustedFilePath(pr)), before);
    EXPECT_EQ(LogText().find("removed peer"), std::string::npos);
    EXPECT_TRUE(RemovePeer(pr, "d"));
    EXPECT_TRUE(ListPeers(pr).empty());
    EXPECT_EQ(ReadFileText(TrustedFilePath(pr)), "[]\n");
    const std::string log = LogText();
    const auto at = log.find("removed peer id=d");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log.find("removed peer", at + 1), std::string::npos);

    EXPECT_FALSE(UpsertPeer(pr, {"x", "n", "", ""}));  // no token, no write
    EXPECT_TRUE(UpsertPeer(HostKind::kAfterEffects, {"p", "phone", "tok", ""}));
    EXPECT_TRUE(FindPeer(HostKind::kAfterEffects, "p"));
    EXPECT_FALSE(FindPeer(pr, "p"));
    EXPECT_TRUE(fs::exists(AppSupportDir() / "trusted-ae.json"));
}

// The temporary files left in the store folder: none once a write is done.
std::vector<std::string> Temporaries() {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(AppSupportDir()))
        if (e.path().extension() == ".tmp") out.push_back(e.path().filename().string());
    return out;
}

// A planted link where an older build put its temporary file: never written
// through, and removed; a stale temporary of a writer that died goes too.
TEST(JsonStore, PlantedTemporaryLinksAreNeverWrittenThrough) {
    ScopedTestDirs dirs;
    fs::create_directories(AppSupportDir());
    const fs::path victim = dirs.root() / "victim.txt";
    const fs::path victim2 = dirs.root() / "victim2.txt";
    WriteRaw(victim, "mine");
    WriteRaw(victim2, "mine too");
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
    const auto mode = fs::status(victim).permissions();
    // Where links cannot be made (Wine), stale plain files stand at the names.
    const auto plant = [](const fs::path& target, const fs::path& at) {
        std::error_code ec;
        fs::create_symlink(target, at, ec);
        if (ec) WriteRaw(at, "stale");
    };
    plant(victim, AppSupportDir() / "trusted.json.tmp");
    plant(victim2, AppSupportDir() / "install.json.tmp");
    plant(dirs.root() / "absent.txt", AppSupportDir() / "trusted.json.0011223344556677.tmp");
    WriteRaw(AppSupportDir() / "install.json.8899aabbccddeeff.tmp", R"({"id":"stale"})");

    ASSERT_TRUE(UpsertPeer(HostKind::kPremiere, {"p", "n", "secret-token", ""}));
    const InstallIdentity id = LoadOrCreateIdentity();
    EXPECT_EQ(ReadFileText(victim), "mine");
    EXPECT_EQ(ReadFileText(victim2), "mine too");
    EXPECT_EQ(fs::status(victim).permissions(), mode);
    EXPECT_FALSE(fs::exists(dirs.root() / "absent.txt"));
    EXPECT_FALSE(fs::is_symlink(TrustedFilePath(HostKind::kPremiere)));
    EXPECT_FALSE(fs::is_symlink(InstallIdentityPath()));
    EXPECT_EQ(FindPeer(HostKind::kPremiere, "p")->token, "secret-token");
    EXPECT_EQ(JsonGetString(ReadFileText(InstallIdentityPath()), "id"), id.id);
    EXPECT_TRUE(Temporaries().empty()) << Temporaries().front();
}

// The temporary file is made fresh or not at all: an existing name, file or
// link, is refused and left as it was.
TEST(JsonStore, TemporaryFileIsCreatedExclusively) {
    ScopedTestDirs dirs;
    const fs::path taken = dirs.root() / "taken.tmp";
    WriteRaw(taken, "keep");
    int error = 0;
    EXPECT_EQ(platform::StoreCreateExclusive(taken, error), -1);
    EXPECT_TRUE(platform::StoreAlreadyExists(error));
    EXPECT_EQ(ReadFileText(taken), "keep");
    std::error_code ec;
    fs::create_symlink(dirs.root() / "target.txt", dirs.root() / "link.tmp", ec);
    if (!ec) {
        EXPECT_EQ(platform::StoreCreateExclusive(dirs.root() / "link.tmp", error), -1);
        EXPECT_FALSE(fs::exists(dirs.root() / "target.txt"));
    }
    const std::intptr_t fresh = platform::StoreCreateExclusive(dirs.root() / "fresh.tmp", error);
    ASSERT_NE(fresh, -1);
    platform::StoreClose(fresh);
}

// Another process that hangs holding the lock: the write fails after a
// bounded wait with an ERROR line, and the store keeps what it had.
TEST(JsonStore, LockHeldElsewhereFailsTheWriteAfterABoundedWait) {
    ScopedTestDirs dirs;
    const HostKind host = HostKind::kOther;
    ASSERT_TRUE(UpsertPeer(host, {"old", "n", "t", ""}));
    LoadOrCreateIdentity();
    const std::string trusted = ReadFileText(TrustedFilePath(host));
    const std::string install = ReadFileText(InstallIdentityPath());
    testing::ManualClock clock(/*autoAdvance=*/true);
    OverrideStoreClockForTesting(&clock);
    {
        StoreFileLock other(TrustedFilePath(host), kTestLog, Clock::Real());  // a second handle: a second holder
        StoreFileLock otherInstall(InstallIdentityPath(), kTestLog, Clock::Real());
        ASSERT_TRUE(other.held());
        const auto start = clock.Now();
        EXPECT_FALSE(UpsertPeer(host, {"new", "n", "t2", ""}));
        EXPECT_EQ(clock.Now() - start, kStoreLockWait);
        EXPECT_FALSE(RemovePeer(host, "old"));
        SetDiscoverable(false);
        EXPECT_EQ(ReadFileText(TrustedFilePath(host)), trusted);
        EXPECT_EQ(ReadFileText(InstallIdentityPath()), install);
    }
    OverrideStoreClockForTesting(nullptr);
    const std::string log = LogText();
    EXPECT_NE(log.find(":trusted:ERROR] lock("), std::string::npos) << log;
    EXPECT_NE(log.find("still held elsewhere after 5000 ms — not written"), std::string::npos);
    EXPECT_NE(log.find(":installid:ERROR] lock("), std::string::npos);
    EXPECT_EQ(log.find("added peer id=new"), std::string::npos);
    EXPECT_TRUE(UpsertPeer(host, {"new", "n", "t2", ""}));  // released: writes again
    EXPECT_EQ(ListPeers(host).size(), 2u);
}

// A phone's name and id reach the store's log lines escaped, one line each.
TEST(TrustedPeers, PhoneStringsNeverForgeALogLine) {
    ScopedTestDirs dirs;
    const std::string name = "x\r\n[1999-09-09 09:09:09.999 com.veltrix.plugin:network:INFO] FAKE-BY-NAME\t\xC2\x85\x9B";
    const std::string id = "id\r\n[1999-09-09 09:09:09.999 com.veltrix.plugin:network:INFO] FAKE-BY-ID";
    ASSERT_TRUE(UpsertPeer(HostKind::kPremiere, {id, name, "tok", ""}));
    ASSERT_TRUE(RemovePeer(HostKind::kPremiere, id));
    std::string bad;
    const auto lines = testing::WellFormedLogLines(LogText(), &bad);
    ASSERT_EQ(lines.size(), 2u) << "bad line: " << bad;
    EXPECT_NE(lines[0].find(":trusted:INFO] added peer id=id\\x0d\\x0a[1999-09-09 09:09:09.999 "
                            "com.veltrix.plugin:network:INFO] FAKE-BY-ID name=x\\x0d\\x0a[1999"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("FAKE-BY-NAME\\x09\\xc2\\x85\\x9b"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(":trusted:INFO] removed peer id=id\\x0d\\x0a"), std::string::npos);
}

TEST(TrustedPeers, ManyThreadsPairingLoseNothing) {
    ScopedTestDirs dirs;
    constexpr int kThreads = 8, kEach = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                const std::string id = "phone-" + std::to_string(t) + "-" + std::to_string(i);
                UpsertPeer(HostKind::kOther, {id, "n", "tok" + id, ""});
                if (i % 3 == 0) SetDiscoverable(i % 2 == 0);
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto peers = ListPeers(HostKind::kOther);
    EXPECT_EQ(peers.size(), static_cast<std::size_t>(kThreads * kEach));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i)
            EXPECT_TRUE(FindPeer(HostKind::kOther, "phone-" + std::to_string(t) + "-" + std::to_string(i)));
}

}  // namespace
}  // namespace Veltrix

namespace Veltrix {
namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A damaged store is still read forgivingly, and the log says so once per
// damage, naming the file and what was kept; a sound file says nothing.
TEST(DamagedStores, OneLineNamesTheFileAndWhatWasKept) {
    ScopedTestDirs dirs;
    const HostKind host = HostKind::kOther;
    ASSERT_TRUE(UpsertPeer(host, {"a", "A", "t", ""}));
    LoadOrCreateIdentity();
    ListPeers(host);
    EXPECT_EQ(LogText().find("damaged"), std::string::npos);

    const std::string sound = ReadFileText(TrustedFilePath(host));
    WriteRaw(TrustedFilePath(host), sound + sound.substr(0, sound.size() - 12));  // a second copy, cut short
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ListPeers(host).size(), 1u);
    std::string log = LogText();
    const std::string line = ":trusted:ERROR] read(" + PathForLog(TrustedFilePath(host)) + "): damaged (";
    EXPECT_EQ(Count(log, line), 1u) << log;
    EXPECT_NE(log.find("— kept 1 phone, the rest is ignored\r\n"), std::string::npos);

    WriteRaw(TrustedFilePath(host), std::string(10 << 20, '\x9c'));  // 10 MB of junk
    EXPECT_TRUE(ListPeers(host).empty());
    EXPECT_EQ(Count(LogText(), line), 2u);
    EXPECT_NE(LogText().find("): damaged (10485760 bytes) — kept 0 phones"), std::string::npos);

    WriteRaw(InstallIdentityPath(), "{\"id\":\"abc\",\"name\":\"N");
    EXPECT_EQ(LoadOrCreateIdentity().id, "abc");
    WriteRaw(InstallIdentityPath(), std::string("\0\x01\x02garbage", 10));
    LoadOrCreateIdentity();
    log = LogText();
    EXPECT_NE(log.find(":installid:ERROR] read(" + PathForLog(InstallIdentityPath()) + "): damaged ("),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("— kept id, the rest is ignored"), std::string::npos);
    EXPECT_NE(log.find("): damaged (10 bytes) — kept nothing, the rest is ignored"), std::string::npos);
    std::string bad;
    EXPECT_FALSE(testing::WellFormedLogLines(log, &bad).empty()) << bad;
}

}  // namespace
}  // namespace Veltrix
