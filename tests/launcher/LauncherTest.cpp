// Launcher's retry, timing and folder logic on a fake platform with a millisecond clock.
//
// FakePlatform models the parts of the registry and the shell the launcher relies on: a key
// that opens or not, a "path" value held as raw bytes and returned the way RegQueryValueExW
// returns it (ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA with the needed size, or the bytes and
// their count), and a set of program files that exist, so that a start succeeds only for a
// path naming one of them. Sleep advances the clock; starts are recorded with their time.
// The real calls are exercised by wine_test.sh.
#include "launcher/Launcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const long kErrorFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
const long kErrorMoreData = 234;         // ERROR_MORE_DATA
const intptr_t kStartedResult = 42;      // any ShellExecuteW result above 32
const intptr_t kFileNotFoundResult = 2;  // SE_ERR_FNF

const char16_t kFolder[] = u"C:\\Program Files\\Vantri\\";
const std::string kFirst = "C:\\Program Files\\Vantri\\Pellarsetup.exe";
const std::string kSecond = "C:\\Program Files\\Vantri\\Ravelhost.exe";

// UTF-16 text as ASCII, for readable comparisons and failure messages.
std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t unit : text) {
        narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return narrow;
}

// The bytes of text as a REG_SZ stores them, with or without the terminating null unit.
std::vector<uint8_t> Utf16Bytes(const std::u16string& text, bool withNull) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xff));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (withNull) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

struct Start {
    std::string path;
    uint64_t atMs;
    bool operator==(const Start& other) const { return path == other.path && atMs == other.atMs; }
};

void PrintTo(const Start& start, std::ostream* out) {
    *out << "{" << start.path << " @" << start.atMs << "ms}";
}

class FakePlatform : public LauncherPlatform {
  public:
    // --- The world the launcher sees. ---

    // Results of successive OpenUserKey calls; once used up, openResult applies.
    std::vector<long> openResults;
    long openResult = kSuccess;

    // The "path" value; valuePresent false means there is no such value.
    bool valuePresent = true;
    std::vector<uint8_t> value;
    // On ERROR_MORE_DATA, write the first bytes of the value anyway, as a system may leave
    // the buffer with undefined contents.
    bool fillOnMoreData = true;
    // If set, a successful query reports this byte count instead of the real one.
    bool overrideReportedBytes = false;
    uint32_t reportedBytes = 0;

    // Program files that exist; starting any other path fails with SE_ERR_FNF.
    std::set<std::string> programs;
    // Scripted results of successive starts of a path; the last one repeats.
    std::map<std::string, std::vector<intptr_t>> scriptedStarts;

    // --- What the launcher did. ---

    uint64_t nowMs = 0;
    std::vector<uint32_t> sleeps;
    std::vector<Start> starts;
    int opens = 0;       // OpenUserKey calls
    int keysOpened = 0;  // of which succeeded
    int closes = 0;
    int queries = 0;
    std::vector<std::string> openedSubKeys;
    std::vector<std::string> queriedNames;
    std::vector<uint32_t> queryByteLimits;
    std::vector<std::string> misuse;  // calls on keys that are not open, double closes
    bool bufferZeroAtEveryQuery = true;

    void InstallBoth() {
        value = Utf16Bytes(kFolder, true);
        programs = {kFirst, kSecond};
    }

    int OpenKeysHeld() const { return static_cast<int>(open_.size()); }

    long OpenUserKey(const char16_t* subKey, KeyHandle* key) override {
        openedSubKeys.push_back(Narrow(subKey));
        long result = openResult;
        if (static_cast<size_t>(opens) < openResults.size()) {
            result = openResults[opens];
        }
        ++opens;
        if (result != kSuccess) {
            return result;
        }
        ++keysOpened;
        // A distinct handle per opened key, so a close of the wrong key is noticed. A deque
        // keeps the addresses of its elements as it grows.
        tokens_.emplace_back();
        KeyHandle handle = &tokens_.back();
        open_.insert(handle);
        *key = handle;
        return kSuccess;
    }

    long QueryValue(KeyHandle key, const char16_t* name, void* data, uint32_t* byteCount) override {
        ++queries;
        if (open_.count(key) == 0) {
            misuse.push_back("query on a key that is not open");
        }
        queriedNames.push_back(Narrow(name));
        queryByteLimits.push_back(*byteCount);
        const uint8_t* buffer = static_cast<const uint8_t*>(data);
        for (uint32_t i = 0; i < *byteCount; ++i) {
            if (buffer[i] != 0) {
                bufferZeroAtEveryQuery = false;
            }
        }
        if (!valuePresent) {
            return kErrorFileNotFound;
        }
        const uint32_t size = static_cast<uint32_t>(value.size());
        if (size > *byteCount) {
            if (fillOnMoreData) {
                std::memcpy(data, value.data(), *byteCount);
            }
            *byteCount = size;
            return kErrorMoreData;
        }
        std::memcpy(data, value.data(), size);
        *byteCount = overrideReportedBytes ? reportedBytes : size;
        return kSuccess;
    }

    void CloseKey(KeyHandle key) override {
        ++closes;
        if (open_.erase(key) == 0) {
            misuse.push_back("close of a key that is not open");
        }
    }

    intptr_t StartProgram(const char16_t* path) override {
        const std::string narrow = Narrow(path);
        starts.push_back({narrow, nowMs});
        auto scripted = scriptedStarts.find(narrow);
        if (scripted != scriptedStarts.end() && !scripted->second.empty()) {
            const intptr_t result = scripted->second.front();
            if (scripted->second.size() > 1) {
                scripted->second.erase(scripted->second.begin());
            }
            return result;
        }
        return programs.count(narrow) ? kStartedResult : kFileNotFoundResult;
    }

    void Sleep(uint32_t milliseconds) override {
        sleeps.push_back(milliseconds);
        nowMs += milliseconds;
    }

  private:
    std::deque<char> tokens_;   // one per opened key; their addresses are the handles
    std::set<KeyHandle> open_;  // keys opened and not yet closed
};

class LauncherTest : public ::testing::Test {
  protected:
    // Checks that hold after any run: every opened key was closed exactly once, and no
    // call was made on a key that was not open.
    void ExpectKeysBalanced() {
        EXPECT_EQ(platform_.closes, platform_.keysOpened);
        EXPECT_EQ(platform_.OpenKeysHeld(), 0);
        EXPECT_TRUE(platform_.misuse.empty()) << platform_.misuse.front();
    }

    std::vector<std::string> StartedPaths() const {
        std::vector<std::string> paths;
        for (const Start& start : platform_.starts) {
            paths.push_back(start.path);
        }
        return paths;
    }

    FakePlatform platform_;
    Launcher launcher_{platform_};
};

// --- The run's timing: each row of the timing table, on the fake clock. ---

TEST_F(LauncherTest, BothStartOnFirstAttemptTakesTwoWaitsOfOneSecond) {
    platform_.InstallBoth();

    launcher_.Run();

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 0}, {kSecond, 1000}}));
    EXPECT_EQ(platform_.sleeps, (std::vector<uint32_t>{1000, 1000}));
    EXPECT_EQ(platform_.nowMs, 2000u);
    EXPECT_EQ(platform_.opens, 1);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, KeyThatCannotBeOpenedTakesFiveWaitsOfTwoSecondsAndStartsNothing) {
    platform_.InstallBoth();
    platform_.openResult = kErrorFileNotFound;

    launcher_.Run();

    EXPECT_TRUE(platform_.starts.empty());
    EXPECT_EQ(platform_.sleeps, (std::vector<uint32_t>{2000, 2000, 2000, 2000, 2000}));
    EXPECT_EQ(platform_.nowMs, 10000u);
    EXPECT_EQ(platform_.opens, 3);
    EXPECT_EQ(platform_.queries, 0);
    EXPECT_EQ(platform_.closes, 0);  // nothing was opened, so nothing is closed
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, FirstProgramThatNeverStartsIsTriedThreeTimesOverFourSeconds) {
    platform_.InstallBoth();
    platform_.programs = {kSecond};

    launcher_.Run();

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 0}, {kFirst, 2000}, {kFirst, 4000}}));
    EXPECT_EQ(platform_.sleeps, (std::vector<uint32_t>{2000, 2000}));
    EXPECT_EQ(platform_.nowMs, 4000u);
    EXPECT_EQ(platform_.opens, 3);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, SecondProgramThatNeverStartsRestartsFirstEachAttemptOverSevenSeconds) {
    platform_.InstallBoth();
    platform_.programs = {kFirst};

    launcher_.Run();

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 0},
                                                    {kSecond, 1000},
                                                    {kFirst, 3000},
                                                    {kSecond, 4000},
                                                    {kFirst, 6000},
                                                    {kSecond, 7000}}));
    EXPECT_EQ(platform_.sleeps, (std::vector<uint32_t>{1000, 2000, 1000, 2000, 1000}));
    EXPECT_EQ(platform_.nowMs, 7000u);
    EXPECT_EQ(platform_.opens, 3);
    ExpectKeysBalanced();
}

// --- Retries: a later attempt that succeeds ends the run. ---

TEST_F(LauncherTest, SuccessOnSecondAttemptEndsTheRunWithoutAThird) {
    platform_.InstallBoth();
    platform_.scriptedStarts[kFirst] = {kFileNotFoundResult, kStartedResult};

    launcher_.Run();

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 0}, {kFirst, 2000}, {kSecond, 3000}}));
    EXPECT_EQ(platform_.nowMs, 4000u);
    EXPECT_EQ(platform_.opens, 2);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, KeyThatOpensOnThirdAttemptStillGetsItsStarts) {
    platform_.InstallBoth();
    platform_.openResults = {kErrorFileNotFound, kErrorFileNotFound, LauncherPlatform::kSuccess};

    launcher_.Run();

    // Two failed opens cost 2000 ms each inside the attempt plus 2000 ms between attempts.
    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 8000}, {kSecond, 9000}}));
    EXPECT_EQ(platform_.nowMs, 10000u);
    EXPECT_EQ(platform_.opens, 3);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, ThirdAttemptIsTheLastWhateverItsOutcome) {
    platform_.InstallBoth();
    platform_.scriptedStarts[kFirst] = {kFileNotFoundResult, kFileNotFoundResult,
                                        kFileNotFoundResult, kStartedResult};

    launcher_.Run();

    EXPECT_EQ(platform_.opens, 3);
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst, kFirst, kFirst}));
    EXPECT_EQ(platform_.nowMs, 4000u);
}

// --- One attempt: its outcome, its waits and the start results it trusts. ---

TEST_F(LauncherTest, LaunchOnceIsTrueOnlyWhenBothProgramsStart) {
    platform_.InstallBoth();
    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(platform_.nowMs, 2000u);

    platform_.programs = {kFirst};
    EXPECT_FALSE(launcher_.LaunchOnce());

    platform_.programs = {kSecond};
    EXPECT_FALSE(launcher_.LaunchOnce());

    platform_.programs = {};
    EXPECT_FALSE(launcher_.LaunchOnce());
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, LaunchOnceWithUnopenableKeyWaitsTwoSecondsAndClosesNothing) {
    platform_.InstallBoth();
    platform_.openResult = 5;  // ERROR_ACCESS_DENIED: any result but success is a failure

    EXPECT_FALSE(launcher_.LaunchOnce());

    EXPECT_EQ(platform_.sleeps, (std::vector<uint32_t>{2000}));
    EXPECT_EQ(platform_.closes, 0);
    EXPECT_TRUE(platform_.starts.empty());
}

TEST_F(LauncherTest, FailedFirstStartEndsTheAttemptAtOnceWithoutTryingTheSecond) {
    platform_.InstallBoth();
    platform_.programs = {kSecond};

    EXPECT_FALSE(launcher_.LaunchOnce());

    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst}));
    EXPECT_TRUE(platform_.sleeps.empty());
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, FailedSecondStartEndsTheAttemptWithoutTheTrailingWait) {
    platform_.InstallBoth();
    platform_.programs = {kFirst};

    EXPECT_FALSE(launcher_.LaunchOnce());

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 0}, {kSecond, 1000}}));
    EXPECT_EQ(platform_.nowMs, 1000u);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, StartResultOf32IsAFailureAnd33ASuccess) {
    platform_.InstallBoth();
    platform_.scriptedStarts[kFirst] = {32};
    EXPECT_FALSE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst}));

    platform_.starts.clear();
    platform_.scriptedStarts[kFirst] = {33};
    platform_.scriptedStarts[kSecond] = {32};
    EXPECT_FALSE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst, kSecond}));

    platform_.scriptedStarts[kSecond] = {33};
    EXPECT_TRUE(launcher_.LaunchOnce());
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, NegativeStartResultIsAFailure) {
    platform_.InstallBoth();
    platform_.scriptedStarts[kFirst] = {-1};

    EXPECT_FALSE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst}));
}

// --- The registry: which key and value, how it is read, and that the key is closed. ---

TEST_F(LauncherTest, ReadsPathFromSoftwareVantriWith255ByteLimitIntoZeroFilledBuffer) {
    platform_.InstallBoth();
    platform_.programs = {kFirst};  // three attempts, so three reads

    launcher_.Run();

    EXPECT_EQ(
        platform_.openedSubKeys,
        (std::vector<std::string>{"Software\\Vantri", "Software\\Vantri", "Software\\Vantri"}));
    EXPECT_EQ(platform_.queriedNames, (std::vector<std::string>{"path", "path", "path"}));
    EXPECT_EQ(platform_.queryByteLimits, (std::vector<uint32_t>{255, 255, 255}));
    EXPECT_TRUE(platform_.bufferZeroAtEveryQuery);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, BufferIsZeroFilledAgainAfterAnEarlierLongerFolder) {
    // A second attempt must not see the end of the first attempt's text.
    platform_.InstallBoth();
    EXPECT_TRUE(launcher_.LaunchOnce());

    platform_.value = Utf16Bytes(u"C:\\A\\", false);  // unterminated, and shorter
    platform_.programs.insert("C:\\A\\Pellarsetup.exe");
    EXPECT_FALSE(launcher_.LaunchOnce());

    EXPECT_TRUE(platform_.bufferZeroAtEveryQuery);
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst, kSecond}));
}

TEST_F(LauncherTest, KeyIsClosedAfterEveryKindOfAttempt) {
    platform_.InstallBoth();
    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(platform_.OpenKeysHeld(), 0);

    platform_.programs = {kFirst};
    EXPECT_FALSE(launcher_.LaunchOnce());
    EXPECT_EQ(platform_.OpenKeysHeld(), 0);

    platform_.programs = {};
    EXPECT_FALSE(launcher_.LaunchOnce());
    EXPECT_EQ(platform_.OpenKeysHeld(), 0);

    platform_.valuePresent = false;
    EXPECT_FALSE(launcher_.LaunchOnce());
    EXPECT_EQ(platform_.OpenKeysHeld(), 0);

    EXPECT_EQ(platform_.keysOpened, 4);
    ExpectKeysBalanced();
}

// --- Program paths: the folder text followed directly by the name. ---

TEST_F(LauncherTest, FolderWithoutTrailingBackslashIsGluedToTheNames) {
    platform_.value = Utf16Bytes(u"C:\\Program Files\\Vantri", true);
    platform_.programs = {kFirst, kSecond};

    launcher_.Run();

    // No separator is inserted, so the real programs are never named.
    EXPECT_EQ(StartedPaths(),
              (std::vector<std::string>{"C:\\Program Files\\VantriPellarsetup.exe",
                                        "C:\\Program Files\\VantriPellarsetup.exe",
                                        "C:\\Program Files\\VantriPellarsetup.exe"}));
    EXPECT_EQ(platform_.nowMs, 4000u);
}

TEST_F(LauncherTest, GluedNamesStartWhenSuchFilesExist) {
    platform_.value = Utf16Bytes(u"C:\\Program Files\\Vantri", true);
    platform_.programs = {"C:\\Program Files\\VantriPellarsetup.exe",
                          "C:\\Program Files\\VantriRavelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{"C:\\Program Files\\VantriPellarsetup.exe",
                                                        "C:\\Program Files\\VantriRavelhost.exe"}));
}

TEST_F(LauncherTest, FolderIsTheTextUpToTheFirstNull) {
    // A multi-string, or text followed by leftovers: only the first string is the folder.
    std::vector<uint8_t> value = Utf16Bytes(u"D:\\Apps\\", true);
    const std::vector<uint8_t> rest = Utf16Bytes(u"E:\\Other\\", true);
    value.insert(value.end(), rest.begin(), rest.end());
    platform_.value = value;
    platform_.programs = {"D:\\Apps\\Pellarsetup.exe", "D:\\Apps\\Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(),
              (std::vector<std::string>{"D:\\Apps\\Pellarsetup.exe", "D:\\Apps\\Ravelhost.exe"}));
}

TEST_F(LauncherTest, LongestFolderThatFitsIsUsedWhole) {
    // 126 characters and the null: 254 bytes, within the 255-byte limit.
    std::u16string folder = u"C:\\";
    folder += std::u16string(122, u'x');
    folder += u"\\";
    ASSERT_EQ(folder.size(), 126u);
    const std::string narrow = Narrow(folder);
    platform_.value = Utf16Bytes(folder, true);
    platform_.programs = {narrow + "Pellarsetup.exe", narrow + "Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(),
              (std::vector<std::string>{narrow + "Pellarsetup.exe", narrow + "Ravelhost.exe"}));
}

TEST_F(LauncherTest, EmptyFolderGivesTheBareNames) {
    // An empty string is still a terminated folder text: the names are started as they are,
    // to be found wherever the shell finds them.
    platform_.value = Utf16Bytes(u"", true);
    platform_.programs = {"Pellarsetup.exe", "Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{"Pellarsetup.exe", "Ravelhost.exe"}));
}

// --- A "path" value that gives no usable folder: the attempt fails, nothing is started. ---

class LauncherUnusableFolderTest : public LauncherTest {
  protected:
    // Runs one attempt and the whole run and checks the common outcome: nothing started,
    // key closed, no wait inside the attempt, 4000 ms for the run (the two waits between
    // attempts).
    void ExpectNothingStarted() {
        EXPECT_FALSE(launcher_.LaunchOnce());
        EXPECT_EQ(platform_.nowMs, 0u) << "an unusable folder costs no wait inside the attempt";
        EXPECT_EQ(platform_.closes, 1);

        launcher_.Run();
        EXPECT_EQ(platform_.nowMs, 4000u);
        EXPECT_EQ(platform_.opens, 4);
        EXPECT_TRUE(platform_.starts.empty()) << platform_.starts.front().path;
        ExpectKeysBalanced();
    }
};

TEST_F(LauncherUnusableFolderTest, MissingValue) {
    platform_.InstallBoth();
    platform_.valuePresent = false;
    // Something that would be started from an unfilled buffer.
    platform_.programs.insert("Pellarsetup.exe");
    platform_.programs.insert("Ravelhost.exe");

    ExpectNothingStarted();
}

TEST_F(LauncherUnusableFolderTest, ValueOneCharacterLongerThanTheLimit) {
    // 127 characters and the null: 256 bytes, one more than the limit.
    std::u16string folder = u"C:\\";
    folder += std::u16string(123, u'x');
    folder += u"\\";
    ASSERT_EQ(folder.size(), 127u);
    const std::string narrow = Narrow(folder);
    platform_.value = Utf16Bytes(folder, true);
    platform_.programs = {narrow + "Pellarsetup.exe", narrow + "Ravelhost.exe", "Pellarsetup.exe",
                          "Ravelhost.exe"};
    platform_.fillOnMoreData = false;

    ExpectNothingStarted();
}

TEST_F(LauncherUnusableFolderTest, LongValueWhoseBeginningLooksLikeAFolder) {
    // The part that would land in the buffer holds a terminated folder, but the query
    // reported ERROR_MORE_DATA, so none of it is taken.
    std::vector<uint8_t> value = Utf16Bytes(u"C:\\A\\", true);
    const std::vector<uint8_t> rest = Utf16Bytes(std::u16string(200, u'y'), true);
    value.insert(value.end(), rest.begin(), rest.end());
    platform_.value = value;
    platform_.programs = {"C:\\A\\Pellarsetup.exe", "C:\\A\\Ravelhost.exe"};

    ExpectNothingStarted();
}

TEST_F(LauncherUnusableFolderTest, ValueWithoutTerminatingNull) {
    // The zero-filled buffer would end the text, but no null came from the value itself.
    platform_.value = Utf16Bytes(kFolder, false);
    platform_.programs = {kFirst, kSecond};

    ExpectNothingStarted();
}

TEST_F(LauncherUnusableFolderTest, OddByteCountWhoseNullIsOnlyHalfReturned) {
    // 127 characters and a single zero byte: 255 bytes, but the last unit is only half there.
    std::u16string folder = u"C:\\";
    folder += std::u16string(123, u'x');
    folder += u"\\";
    const std::string narrow = Narrow(folder);
    std::vector<uint8_t> value = Utf16Bytes(folder, false);
    value.push_back(0);
    ASSERT_EQ(value.size(), 255u);
    platform_.value = value;
    platform_.programs = {narrow + "Pellarsetup.exe", narrow + "Ravelhost.exe"};

    ExpectNothingStarted();
}

TEST_F(LauncherUnusableFolderTest, ByteCountBeyondTheLimitIsNotTrusted) {
    platform_.InstallBoth();
    platform_.overrideReportedBytes = true;
    platform_.reportedBytes = 4096;

    ExpectNothingStarted();
}

TEST_F(LauncherTest, OddByteCountWithAWholeNullUnitIsUsable) {
    // 126 characters, the null and one stray byte: 255 bytes with the null inside.
    std::u16string folder = u"C:\\";
    folder += std::u16string(122, u'x');
    folder += u"\\";
    const std::string narrow = Narrow(folder);
    std::vector<uint8_t> value = Utf16Bytes(folder, true);
    value.push_back(0x41);
    ASSERT_EQ(value.size(), 255u);
    platform_.value = value;
    platform_.programs = {narrow + "Pellarsetup.exe", narrow + "Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(),
              (std::vector<std::string>{narrow + "Pellarsetup.exe", narrow + "Ravelhost.exe"}));
}

}  // namespace
