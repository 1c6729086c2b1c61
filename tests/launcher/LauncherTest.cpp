// Launcher's retry, timing and folder logic on a fake platform with a millisecond clock.
//
// FakePlatform models the parts of the system the launcher relies on: a key that opens or
// not; a "path" value held as raw bytes with its type and returned the way RegQueryValueExW
// returns it (ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA with the needed size, or the bytes and
// their count); an environment expanded the way ExpandEnvironmentStringsW does; files with
// their attributes, so that a start succeeds only for a path naming a program file; and the
// DLL search settings. Sleep advances the clock; attribute queries and starts are recorded
// with their time, and every call in order. The real calls are exercised by wine_test.sh.
#include "launcher/Launcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const long kErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
const long kErrorMoreData = 234;    // ERROR_MORE_DATA
const uint32_t kRegNone = 0;        // REG_NONE
const uint32_t kRegBinary = 3;      // REG_BINARY
const uint32_t kRegDword = 4;       // REG_DWORD
const uint32_t kRegLink = 6;        // REG_LINK
const uint32_t kRegMultiSz = 7;     // REG_MULTI_SZ
const uint32_t kAttributeReadOnly = 0x1;
const uint32_t kAttributeHidden = 0x2;
const uint32_t kAttributeArchive = 0x20;
const uint32_t kAttributeNormal = 0x80;
const intptr_t kStartedResult = 42;      // any ShellExecuteW result above 32
const intptr_t kFileNotFoundResult = 2;  // SE_ERR_FNF

const char16_t kFolder[] = u"C:\\Program Files\\Vantri\\";
const std::string kFirst = "C:\\Program Files\\Vantri\\Pellarsetup.exe";
const std::string kSecond = "C:\\Program Files\\Vantri\\Ravelhost.exe";
const std::string kFolderNarrow = "C:\\Program Files\\Vantri\\";

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

// A start handed to the shell, or a path whose attributes were asked for, and when.
struct Start {
    std::string path;
    uint64_t atMs;
    bool operator==(const Start& other) const { return path == other.path && atMs == other.atMs; }
};

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

void PrintTo(const Start& start, std::ostream* out) {
    *out << "{" << start.path << " @" << start.atMs << "ms}";
}

class FakePlatform : public LauncherPlatform {
  public:
    // --- The world the launcher sees. ---

    // Results of successive OpenUserKey calls; once used up, openResult applies.
    std::vector<long> openResults;
    long openResult = kSuccess;

    // The "path" value and its type; valuePresent false means there is no such value.
    bool valuePresent = true;
    std::vector<uint8_t> value;
    uint32_t valueType = kTypeString;
    // On ERROR_MORE_DATA, write the first bytes of the value anyway, as a system may leave
    // the buffer with undefined contents.
    bool fillOnMoreData = true;
    // If set, a successful query reports this byte count instead of the real one.
    bool overrideReportedBytes = false;
    uint32_t reportedBytes = 0;

    // The environment, by upper-case name, and a failure of the expansion call.
    std::map<std::string, std::u16string> environment;
    bool expansionFails = false;

    // Program files that exist (attributes FILE_ATTRIBUTE_ARCHIVE); starting any other path
    // fails with SE_ERR_FNF. Other paths that exist, with their attributes, go into
    // otherFiles, which also overrides the attributes of a program.
    std::set<std::string> programs;
    std::map<std::string, uint32_t> otherFiles;
    // Scripted results of successive starts of a path; the last one repeats.
    std::map<std::string, std::vector<intptr_t>> scriptedStarts;
    // Results of the two DLL search calls.
    bool defaultDllSearchResult = true;
    bool dllSearchFolderResult = true;

    // --- What the launcher did. ---

    uint64_t nowMs = 0;
    std::vector<uint32_t> sleeps;
    std::vector<Start> starts;
    std::vector<std::string> startDirectories;  // the directory of each start
    std::vector<Start> attributeQueries;
    std::vector<std::string> expansions;  // the source of each expansion
    std::vector<uint32_t> expansionUnits;
    std::vector<std::string> calls;  // every call, in order, by its Win32 name
    int opens = 0;                   // OpenUserKey calls
    int keysOpened = 0;              // of which succeeded
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
        calls.push_back("RegOpenKeyExW");
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

    long QueryValue(KeyHandle key, const char16_t* name, uint32_t* type, void* data,
                    uint32_t* byteCount) override {
        calls.push_back("RegQueryValueExW");
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
        *type = valueType;
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
        calls.push_back("RegCloseKey");
        ++closes;
        if (open_.erase(key) == 0) {
            misuse.push_back("close of a key that is not open");
        }
    }

    // As ExpandEnvironmentStringsW: each %NAME% of a defined variable is replaced by its
    // value, once; an undefined one stays as it is. When dest is too small, it gets what
    // fits and no null, and the needed size is returned.
    uint32_t ExpandEnvironment(const char16_t* source, char16_t* dest,
                               uint32_t destUnits) override {
        calls.push_back("ExpandEnvironmentStringsW");
        expansions.push_back(Narrow(source));
        expansionUnits.push_back(destUnits);
        if (expansionFails) {
            return 0;
        }
        std::u16string text(source);
        std::u16string expanded;
        size_t at = 0;
        while (at < text.size()) {
            const size_t open = text.find(u'%', at);
            const size_t close = open == std::u16string::npos ? open : text.find(u'%', open + 1);
            if (close == std::u16string::npos) {
                expanded += text.substr(at);
                break;
            }
            expanded += text.substr(at, open - at);
            auto variable =
                environment.find(Upper(Narrow(text.substr(open + 1, close - open - 1))));
            if (variable == environment.end()) {
                expanded += text.substr(open, close - open);
                at = close;  // the closing % may open the next name
            } else {
                expanded += variable->second;
                at = close + 1;
            }
        }
        const uint32_t needed = static_cast<uint32_t>(expanded.size()) + 1;
        for (uint32_t i = 0; i < destUnits && i < needed; ++i) {
            dest[i] = i < expanded.size() ? expanded[i] : 0;
        }
        return needed;
    }

    uint32_t FileAttributes(const char16_t* path) override {
        calls.push_back("GetFileAttributesW");
        const std::string narrow = Narrow(path);
        attributeQueries.push_back({narrow, nowMs});
        auto other = otherFiles.find(narrow);
        if (other != otherFiles.end()) {
            return other->second;
        }
        return programs.count(narrow) ? kAttributeArchive : kInvalidAttributes;
    }

    intptr_t StartProgram(const char16_t* path, const char16_t* directory) override {
        calls.push_back("ShellExecuteW");
        const std::string narrow = Narrow(path);
        starts.push_back({narrow, nowMs});
        startDirectories.push_back(Narrow(directory));
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

    bool SetDefaultDllSearch(uint32_t flags) override {
        char text[48];
        std::snprintf(text, sizeof(text), "SetDefaultDllDirectories(0x%x)", flags);
        calls.push_back(text);
        return defaultDllSearchResult;
    }

    bool SetDllSearchFolder(const char16_t* folder) override {
        calls.push_back("SetDllDirectoryW(\"" + Narrow(folder) + "\")");
        return dllSearchFolderResult;
    }

    void Sleep(uint32_t milliseconds) override {
        calls.push_back("Sleep");
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

    std::vector<std::string> CheckedPaths() const {
        std::vector<std::string> paths;
        for (const Start& check : platform_.attributeQueries) {
            paths.push_back(check.path);
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
    platform_.scriptedStarts[kFirst] = {kFileNotFoundResult};

    launcher_.Run();

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 0}, {kFirst, 2000}, {kFirst, 4000}}));
    EXPECT_EQ(platform_.sleeps, (std::vector<uint32_t>{2000, 2000}));
    EXPECT_EQ(platform_.nowMs, 4000u);
    EXPECT_EQ(platform_.opens, 3);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, SecondProgramThatNeverStartsRestartsFirstEachAttemptOverSevenSeconds) {
    platform_.InstallBoth();
    platform_.scriptedStarts[kSecond] = {kFileNotFoundResult};

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
    platform_.scriptedStarts[kFirst] = {kFileNotFoundResult};

    EXPECT_FALSE(launcher_.LaunchOnce());

    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst}));
    EXPECT_TRUE(platform_.sleeps.empty());
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, FailedSecondStartEndsTheAttemptWithoutTheTrailingWait) {
    platform_.InstallBoth();
    platform_.scriptedStarts[kSecond] = {kFileNotFoundResult};

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

    // No separator is inserted, so the real programs are never named; the glued name does
    // not exist, so it never reaches the shell.
    EXPECT_EQ(CheckedPaths(),
              (std::vector<std::string>{"C:\\Program Files\\VantriPellarsetup.exe",
                                        "C:\\Program Files\\VantriPellarsetup.exe",
                                        "C:\\Program Files\\VantriPellarsetup.exe"}));
    EXPECT_TRUE(platform_.starts.empty());
    EXPECT_EQ(platform_.nowMs, 4000u);
}

TEST_F(LauncherTest, GluedNamesStartWhenSuchFilesExist) {
    platform_.value = Utf16Bytes(u"C:\\Program Files\\Vantri", true);
    platform_.programs = {"C:\\Program Files\\VantriPellarsetup.exe",
                          "C:\\Program Files\\VantriRavelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{"C:\\Program Files\\VantriPellarsetup.exe",
                                                        "C:\\Program Files\\VantriRavelhost.exe"}));
    // Each is started from the folder it is in.
    EXPECT_EQ(platform_.startDirectories,
              (std::vector<std::string>{"C:\\Program Files\\", "C:\\Program Files\\"}));
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

// --- A "path" value that gives no usable folder: the attempt fails, nothing is started. ---

class LauncherUnusableFolderTest : public LauncherTest {
  protected:
    // Runs one attempt and the whole run and checks the common outcome: nothing started,
    // no program path even looked at, key closed, no wait inside the attempt, 4000 ms for
    // the run (the two waits between attempts).
    void ExpectNothingStarted() {
        EXPECT_FALSE(launcher_.LaunchOnce());
        EXPECT_EQ(platform_.nowMs, 0u) << "an unusable folder costs no wait inside the attempt";
        EXPECT_EQ(platform_.closes, 1);

        launcher_.Run();
        EXPECT_EQ(platform_.nowMs, 4000u);
        EXPECT_EQ(platform_.opens, 4);
        EXPECT_TRUE(platform_.starts.empty()) << platform_.starts.front().path;
        EXPECT_TRUE(platform_.attributeQueries.empty()) << platform_.attributeQueries.front().path;
        ExpectKeysBalanced();
    }

    // Makes both programs exist under folder + name, so that only the folder's refusal
    // keeps them from starting.
    void InstallUnder(const std::u16string& folder) {
        const std::string narrow = Narrow(folder);
        platform_.programs.insert(narrow + "Pellarsetup.exe");
        platform_.programs.insert(narrow + "Ravelhost.exe");
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

// --- The value's type: REG_SZ as it is, REG_EXPAND_SZ expanded once, nothing else. ---

TEST_F(LauncherTest, ExpandStringIsExpandedOnceIntoTheFolderBuffer) {
    platform_.value = Utf16Bytes(u"%SystemDrive%\\Vantri\\", true);
    platform_.valueType = LauncherPlatform::kTypeExpandString;
    platform_.environment["SYSTEMDRIVE"] = u"D:";
    platform_.programs = {"D:\\Vantri\\Pellarsetup.exe", "D:\\Vantri\\Ravelhost.exe"};

    launcher_.Run();

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{"D:\\Vantri\\Pellarsetup.exe", 0},
                                                    {"D:\\Vantri\\Ravelhost.exe", 1000}}));
    EXPECT_EQ(platform_.startDirectories,
              (std::vector<std::string>{"D:\\Vantri\\", "D:\\Vantri\\"}));
    EXPECT_EQ(platform_.expansions, (std::vector<std::string>{"%SystemDrive%\\Vantri\\"}));
    EXPECT_EQ(platform_.expansionUnits, (std::vector<uint32_t>{256}));
    EXPECT_EQ(platform_.nowMs, 2000u);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, PlainStringIsNeverExpanded) {
    // A REG_SZ folder may hold percent signs; they are part of its names.
    platform_.value = Utf16Bytes(u"C:\\%Vantri%\\", true);
    platform_.environment["VANTRI"] = u"Elsewhere";
    platform_.programs = {"C:\\%Vantri%\\Pellarsetup.exe", "C:\\%Vantri%\\Ravelhost.exe",
                          "C:\\Elsewhere\\Pellarsetup.exe", "C:\\Elsewhere\\Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{"C:\\%Vantri%\\Pellarsetup.exe",
                                                        "C:\\%Vantri%\\Ravelhost.exe"}));
    EXPECT_TRUE(platform_.expansions.empty());
}

TEST_F(LauncherTest, ExpansionThatYieldsAnotherVariableIsNotExpandedAgain) {
    platform_.value = Utf16Bytes(u"C:\\%Outer%\\", true);
    platform_.valueType = LauncherPlatform::kTypeExpandString;
    platform_.environment["OUTER"] = u"%Inner%";
    platform_.environment["INNER"] = u"Elsewhere";
    platform_.programs = {"C:\\%Inner%\\Pellarsetup.exe", "C:\\%Inner%\\Ravelhost.exe",
                          "C:\\Elsewhere\\Pellarsetup.exe", "C:\\Elsewhere\\Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{"C:\\%Inner%\\Pellarsetup.exe",
                                                        "C:\\%Inner%\\Ravelhost.exe"}));
    EXPECT_EQ(platform_.expansions.size(), 1u);
}

TEST_F(LauncherTest, ExpansionOf126CharactersIsUsedWhole) {
    // The same longest folder as a REG_SZ can give: 126 characters, 127 units with the null.
    platform_.value = Utf16Bytes(u"%Root%\\", true);
    platform_.valueType = LauncherPlatform::kTypeExpandString;
    platform_.environment["ROOT"] = u"C:\\" + std::u16string(122, u'x');
    const std::string folder = "C:\\" + std::string(122, 'x') + "\\";
    ASSERT_EQ(folder.size(), 126u);
    platform_.programs = {folder + "Pellarsetup.exe", folder + "Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(),
              (std::vector<std::string>{folder + "Pellarsetup.exe", folder + "Ravelhost.exe"}));
}

// --- A "path" value of the wrong type, or whose expansion gives no folder. ---

TEST_F(LauncherUnusableFolderTest, ExpansionOf127Characters) {
    // One character more than a REG_SZ can give: refused, not cut.
    platform_.value = Utf16Bytes(u"%Root%\\", true);
    platform_.valueType = LauncherPlatform::kTypeExpandString;
    platform_.environment["ROOT"] = u"C:\\" + std::u16string(123, u'x');
    const std::u16string folder = u"C:\\" + std::u16string(123, u'x') + u"\\";
    ASSERT_EQ(folder.size(), 127u);
    InstallUnder(folder);
    InstallUnder(folder.substr(0, 126));

    ExpectNothingStarted();
    EXPECT_EQ(platform_.expansions.size(), 4u);
}

TEST_F(LauncherUnusableFolderTest, ExpansionLongerThanTheBuffer) {
    // The expansion needs 301 units; the first 256 that land in the buffer hold a folder
    // and its null, but the call said the buffer was too small, so none of it is taken.
    platform_.value = Utf16Bytes(u"C:\\A\\%Pad%", true);
    platform_.valueType = LauncherPlatform::kTypeExpandString;
    std::u16string pad(1, u'\0');
    pad += std::u16string(294, u'p');
    platform_.environment["PAD"] = pad;
    InstallUnder(u"C:\\A\\");

    ExpectNothingStarted();
}

TEST_F(LauncherUnusableFolderTest, ExpansionThatFails) {
    platform_.InstallBoth();
    platform_.valueType = LauncherPlatform::kTypeExpandString;
    platform_.expansionFails = true;

    ExpectNothingStarted();
}

class LauncherRefusedTypeTest : public LauncherUnusableFolderTest,
                                public ::testing::WithParamInterface<uint32_t> {};

TEST_P(LauncherRefusedTypeTest, SoundFolderTextOfAnotherType) {
    // The bytes are those of a sound, terminated folder; only the type is wrong.
    platform_.InstallBoth();
    platform_.valueType = GetParam();

    ExpectNothingStarted();
    EXPECT_TRUE(platform_.expansions.empty());
}

INSTANTIATE_TEST_SUITE_P(Types, LauncherRefusedTypeTest,
                         ::testing::Values(kRegNone, kRegBinary, kRegDword, kRegLink, kRegMultiSz,
                                           11u /* REG_QWORD */, 0xFFFFFFFFu));

// --- The folder: an absolute path on a local drive, and nothing else. ---

struct FolderForm {
    const char* why;
    std::u16string folder;
};

void PrintTo(const FolderForm& form, std::ostream* out) {
    *out << form.why << " [" << Narrow(form.folder) << "]";
}

// A test name from the form's description: its letters and digits in CamelCase, and the
// form's index, which keeps names unique.
std::string FolderFormName(const ::testing::TestParamInfo<FolderForm>& info) {
    std::string name;
    bool upper = true;
    for (const char* c = info.param.why; *c != 0; ++c) {
        const bool alnum =
            (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        if (!alnum) {
            upper = true;
            continue;
        }
        name += upper && *c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 'a' + 'A') : *c;
        upper = false;
    }
    return name + "_" + std::to_string(info.index);
}

class LauncherRefusedFolderTest : public LauncherUnusableFolderTest,
                                  public ::testing::WithParamInterface<FolderForm> {};

TEST_P(LauncherRefusedFolderTest, NothingIsLookedAtOrStarted) {
    // The programs exist where the folder text would lead, so only the refusal keeps them
    // from being started.
    platform_.value = Utf16Bytes(GetParam().folder, true);
    InstallUnder(GetParam().folder);

    ExpectNothingStarted();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LauncherRefusedFolderTest,
    ::testing::Values(
        // Not rooted on a drive.
        FolderForm{"UNC", u"\\\\server\\share\\Vantri\\"},
        FolderForm{"UNC through the device namespace", u"\\\\?\\UNC\\server\\share\\Vantri\\"},
        FolderForm{"device path", u"\\\\?\\C:\\Vantri\\"},
        FolderForm{"device path", u"\\\\.\\C:\\Vantri\\"},
        FolderForm{"NT path", u"\\??\\C:\\Vantri\\"}, FolderForm{"relative", u"Vantri\\"},
        FolderForm{"relative, dot", u".\\Vantri\\"},
        FolderForm{"relative, empty: the bare names", u""},
        FolderForm{"rooted on the current drive", u"\\Vantri\\"},
        FolderForm{"drive-relative", u"C:Vantri\\"}, FolderForm{"drive only", u"C:"},
        FolderForm{"slash after the drive", u"C:/Vantri/"},
        FolderForm{"no letter before the colon", u"1:\\Vantri\\"},
        FolderForm{"leading space", u" C:\\Vantri\\"},
        // Names that climb, or that Windows trims or merges.
        FolderForm{"dot dot", u"C:\\Vantri\\..\\Other\\"},
        FolderForm{"dot dot", u"C:\\..\\Vantri\\"},
        FolderForm{"dot dot at the end", u"C:\\Vantri\\.."},
        FolderForm{"dot dot", u"C:\\Vantri\\..\\"}, FolderForm{"dot", u"C:\\.\\Vantri\\"},
        FolderForm{"three dots", u"C:\\Vantri\\...\\"},
        FolderForm{"trailing dot", u"C:\\Vantri.\\"},
        FolderForm{"trailing space", u"C:\\Vantri \\"},
        FolderForm{"dot dot and a space", u"C:\\Vantri\\.. \\"},
        FolderForm{"doubled backslash", u"C:\\Vantri\\\\"},
        FolderForm{"doubled backslash", u"C:\\\\Vantri\\"},
        // Characters no Windows name may hold.
        FolderForm{"slash", u"C:\\Vantri/..\\"},
        FolderForm{"slash between names", u"C:\\Vantri/Other\\"},
        FolderForm{"stream colon", u"C:\\Vantri:x\\"},
        FolderForm{"colon at the end", u"C:\\Vantri\\x:"}, FolderForm{"star", u"C:\\Van*\\"},
        FolderForm{"question mark", u"C:\\Van?\\"}, FolderForm{"less", u"C:\\Van<\\"},
        FolderForm{"greater", u"C:\\Van>\\"}, FolderForm{"bar", u"C:\\Van|\\"},
        FolderForm{"quote", u"C:\\Van\"\\"}, FolderForm{"tab", u"C:\\Van\ttri\\"},
        FolderForm{"control character 1", u"C:\\Van\x01tri\\"},
        FolderForm{"control character 31", u"C:\\Van\x1ftri\\"},
        // Device names, in any case, with or without an extension.
        FolderForm{"NUL", u"C:\\NUL\\"}, FolderForm{"con", u"C:\\Vantri\\con\\"},
        FolderForm{"PRN with extension", u"C:\\prn.txt\\"},
        FolderForm{"AUX with spaces before the extension", u"C:\\AUX  .x\\"},
        FolderForm{"COM1", u"C:\\Com1\\"}, FolderForm{"COM0", u"C:\\COM0\\"},
        FolderForm{"LPT9", u"C:\\lpt9\\"}, FolderForm{"COM superscript 1", u"C:\\COM\u00B9\\"},
        FolderForm{"LPT superscript 3", u"C:\\LPT\u00B3\\"}, FolderForm{"CONIN$", u"C:\\conin$\\"},
        FolderForm{"CONOUT$", u"C:\\CONOUT$\\"},
        FolderForm{"device glued to the name", u"C:\\Vantri\\nul.x"},
        FolderForm{"device at the end", u"C:\\Vantri\\CON"}),
    FolderFormName);

class LauncherSoundFolderTest : public LauncherTest,
                                public ::testing::WithParamInterface<FolderForm> {};

TEST_P(LauncherSoundFolderTest, BothStartFromIt) {
    const std::string folder = Narrow(GetParam().folder);
    platform_.value = Utf16Bytes(GetParam().folder, true);
    platform_.programs = {folder + "Pellarsetup.exe", folder + "Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(),
              (std::vector<std::string>{folder + "Pellarsetup.exe", folder + "Ravelhost.exe"}));
    EXPECT_EQ(platform_.startDirectories, (std::vector<std::string>{folder, folder}));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LauncherSoundFolderTest,
    ::testing::Values(FolderForm{"root", u"Z:\\"}, FolderForm{"lower case", u"c:\\vantri\\"},
                      FolderForm{"spaces and brackets", u"C:\\Program Files (x86)\\Vantri 2\\"},
                      FolderForm{"dots inside names", u"C:\\v1.2\\.config\\a..b\\"},
                      FolderForm{"short name", u"C:\\PROGRA~1\\Vantri\\"},
                      FolderForm{"names that only begin like devices",
                                 u"C:\\Console\\COM10\\LPT\\nul_\\auxiliary\\"},
                      FolderForm{"other allowed punctuation", u"C:\\a+b,c;d=e[f]g{h}i&j'k!l#m$n\\"},
                      FolderForm{"non-ASCII", u"C:\\\u00DCberall\\\u30D9\\"},
                      FolderForm{"percent signs", u"C:\\100%\\"}),
    FolderFormName);

TEST_F(LauncherTest, SoundFolderWithoutTrailingBackslashStartsFromTheFolderAbove) {
    platform_.value = Utf16Bytes(u"C:\\Apps\\Vantri-", true);
    platform_.programs = {"C:\\Apps\\Vantri-Pellarsetup.exe", "C:\\Apps\\Vantri-Ravelhost.exe"};

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(platform_.startDirectories, (std::vector<std::string>{"C:\\Apps\\", "C:\\Apps\\"}));
}

// --- The programs: only a regular file that exists is handed to the shell. ---

TEST_F(LauncherTest, MissingFirstProgramIsNeverHandedToTheShell) {
    platform_.InstallBoth();
    platform_.programs = {kSecond};

    launcher_.Run();

    // The same 4000 ms as a first program the shell cannot start.
    EXPECT_TRUE(platform_.starts.empty());
    EXPECT_EQ(platform_.attributeQueries,
              (std::vector<Start>{{kFirst, 0}, {kFirst, 2000}, {kFirst, 4000}}));
    EXPECT_EQ(platform_.sleeps, (std::vector<uint32_t>{2000, 2000}));
    EXPECT_EQ(platform_.nowMs, 4000u);
    ExpectKeysBalanced();
}

TEST_F(LauncherTest, FirstProgramThatIsAFolderOrADeviceIsNeverHandedToTheShell) {
    for (uint32_t attributes : {LauncherPlatform::kAttributeDirectory,
                                LauncherPlatform::kAttributeDirectory | kAttributeReadOnly,
                                LauncherPlatform::kAttributeDevice,
                                LauncherPlatform::kAttributeDevice | kAttributeArchive}) {
        SCOPED_TRACE(attributes);
        FakePlatform platform;
        platform.InstallBoth();
        platform.otherFiles[kFirst] = attributes;
        Launcher launcher(platform);

        launcher.Run();

        EXPECT_TRUE(platform.starts.empty());
        EXPECT_EQ(platform.attributeQueries.size(), 3u);
        EXPECT_EQ(platform.nowMs, 4000u);
    }
}

TEST_F(LauncherTest, SecondProgramThatIsMissingOrAFolderLeavesTheTimingOfAFailedStart) {
    for (bool asFolder : {false, true}) {
        SCOPED_TRACE(asFolder ? "folder" : "missing");
        FakePlatform platform;
        platform.InstallBoth();
        if (asFolder) {
            platform.otherFiles[kSecond] = LauncherPlatform::kAttributeDirectory;
        } else {
            platform.programs = {kFirst};
        }
        Launcher launcher(platform);

        launcher.Run();

        // The row of the timing table for a second program that never starts: 7000 ms.
        EXPECT_EQ(platform.starts,
                  (std::vector<Start>{{kFirst, 0}, {kFirst, 3000}, {kFirst, 6000}}));
        EXPECT_EQ(platform.attributeQueries, (std::vector<Start>{{kFirst, 0},
                                                                 {kSecond, 1000},
                                                                 {kFirst, 3000},
                                                                 {kSecond, 4000},
                                                                 {kFirst, 6000},
                                                                 {kSecond, 7000}}));
        EXPECT_EQ(platform.nowMs, 7000u);
    }
}

TEST_F(LauncherTest, ProgramWithOrdinaryFileAttributesIsStarted) {
    platform_.InstallBoth();
    platform_.otherFiles[kFirst] = kAttributeReadOnly | kAttributeHidden | kAttributeArchive;
    platform_.otherFiles[kSecond] = kAttributeNormal;

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(StartedPaths(), (std::vector<std::string>{kFirst, kSecond}));
}

TEST_F(LauncherTest, EachProgramIsCheckedJustBeforeItsStartAndStartedFromTheFolder) {
    platform_.InstallBoth();

    EXPECT_TRUE(launcher_.LaunchOnce());

    EXPECT_EQ(platform_.calls,
              (std::vector<std::string>{"RegOpenKeyExW", "RegQueryValueExW", "GetFileAttributesW",
                                        "ShellExecuteW", "Sleep", "GetFileAttributesW",
                                        "ShellExecuteW", "Sleep", "RegCloseKey"}));
    EXPECT_EQ(CheckedPaths(), (std::vector<std::string>{kFirst, kSecond}));
    EXPECT_EQ(platform_.startDirectories, (std::vector<std::string>{kFolderNarrow, kFolderNarrow}));
}

// --- DLL loading: limited to the system folder before anything else happens. ---

TEST_F(LauncherTest, RunLimitsDllLoadingToTheSystemFolderFirst) {
    platform_.InstallBoth();

    launcher_.Run();

    ASSERT_GE(platform_.calls.size(), 3u);
    EXPECT_EQ(platform_.calls[0], "SetDefaultDllDirectories(0x800)");
    EXPECT_EQ(platform_.calls[1], "SetDllDirectoryW(\"\")");
    EXPECT_EQ(platform_.calls[2], "RegOpenKeyExW");
    EXPECT_EQ(std::count(platform_.calls.begin(), platform_.calls.end(),
                         "SetDefaultDllDirectories(0x800)"),
              1);
}

TEST_F(LauncherTest, RunGoesOnWhereTheDllSearchCallsFail) {
    // A Windows without SetDefaultDllDirectories, or where both calls fail: the run is the
    // usual one, to the millisecond.
    platform_.InstallBoth();
    platform_.defaultDllSearchResult = false;
    platform_.dllSearchFolderResult = false;

    launcher_.Run();

    EXPECT_EQ(platform_.starts, (std::vector<Start>{{kFirst, 0}, {kSecond, 1000}}));
    EXPECT_EQ(platform_.nowMs, 2000u);
}

TEST_F(LauncherTest, SingleAttemptLeavesDllLoadingAlone) {
    // Restricting is the run's first step, not each attempt's.
    platform_.InstallBoth();

    EXPECT_TRUE(launcher_.LaunchOnce());
    EXPECT_EQ(platform_.calls.front(), "RegOpenKeyExW");
}

}  // namespace
