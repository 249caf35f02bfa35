// The native registry's store file: where it lives, that every process sees each change
// whole, that a store it cannot read is an error and not an empty registry, that a write
// that fails or dies half-way leaves the previous store in place, and that keys stay within
// 512 levels of the root, in the file and through the calls.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Leftovers(const std::string& dir)
{
    std::vector<std::string> found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strstr(e->d_name, ".tmp.")) found.push_back(e->d_name);
        closedir(d);
    }
    return found;
}

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = ::testing::TempDir() + "store-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_store = m_dir + "/registry";
        setenv("DURAZODO_REGISTRY", m_store.c_str(), 1);
    }
    void TearDown() override { RegistrySetWriteHook(nullptr); }

    static LONG SetString(const char* path, const char* name, const char* text)
    {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>(std::strlen(text) + 1));
        RegCloseKey(key);
        return rc;
    }

    static std::string GetString(const char* path, const char* name, LONG* status = nullptr)
    {
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key);
        char buffer[512] = {};
        DWORD size = sizeof buffer;
        if (rc == ERROR_SUCCESS) {
            rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size);
            RegCloseKey(key);
        }
        if (status) *status = rc;
        return rc == ERROR_SUCCESS ? buffer : "";
    }

    std::string m_dir;
    std::string m_store;
};

TEST_F(RegistryStore, LivesWhereTheEnvironmentSaysAndIsNotCreatedByReading)
{
    char location[1024];
    ASSERT_EQ(RegistryStoreLocation(location, sizeof location), m_store.size());
    EXPECT_EQ(std::string(location), m_store);
    EXPECT_EQ(RegistryStoreLocation(location, 4), m_store.size() + 1) << "too small: the size needed";

    LONG rc = ERROR_SUCCESS;
    GetString("CLSID\\Nothing", nullptr, &rc);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND) << "a missing store is an empty registry";
    EXPECT_FALSE(Exists(m_dir)) << "reading creates nothing";

    ASSERT_EQ(SetString("CLSID\\Thing", nullptr, "value"), ERROR_SUCCESS);
    EXPECT_TRUE(Exists(m_store));
    EXPECT_NE(ReadFile(m_store).find("Thing"), std::string::npos);

    // Without the variable: under XDG_DATA_HOME, else under ~/.local/share.
    unsetenv("DURAZODO_REGISTRY");
    std::string saved = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    setenv("XDG_DATA_HOME", "/data/home", 1);
    RegistryStoreLocation(location, sizeof location);
    EXPECT_EQ(std::string(location), "/data/home/DUrazOdo/registry");
    unsetenv("XDG_DATA_HOME");
    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    RegistryStoreLocation(location, sizeof location);
    EXPECT_EQ(std::string(location), "/home/someone/.local/share/DUrazOdo/registry");
    setenv("HOME", savedHome.c_str(), 1);
    if (!saved.empty()) setenv("XDG_DATA_HOME", saved.c_str(), 1);
}

TEST_F(RegistryStore, NamesAndDataOutsidePlainAsciiSurviveTheFile)
{
    // Spaces, escapes, non-ASCII text and a lone surrogate in names and data.
    const WCHAR keyName[] = {u'C', u' ', u'%', u'@', 0x00E9, 0x4E2D, 0xD800, 0};
    const WCHAR text[] = {u'a', u' ', u'\\', 0x20AC, 0xDBFF, 0xDFFF, u'%', 0};
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, keyName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
    const BYTE odd[3] = {0, 0xFF, 0x0A};
    ASSERT_EQ(RegSetValueExW(key, WIDE("odd"), 0, REG_SZ, odd, sizeof odd), ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName, 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR back[16] = {};
    DWORD size = sizeof back;
    ASSERT_EQ(RegQueryValueExW(key, keyName, nullptr, nullptr, reinterpret_cast<LPBYTE>(back), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof text);
    EXPECT_EQ(std::memcmp(back, text, sizeof text), 0);
    BYTE oddBack[8] = {};
    size = sizeof oddBack;
    ASSERT_EQ(RegQueryValueExW(key, WIDE("odd"), nullptr, nullptr, oddBack, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof odd);
    EXPECT_EQ(std::memcmp(oddBack, odd, sizeof odd), 0);
    RegCloseKey(key);
}

TEST_F(RegistryStore, ACorruptStoreIsAnErrorAndIsLeftAsItWas)
{
    ASSERT_EQ(SetString("CLSID\\Kept", nullptr, "value"), ERROR_SUCCESS);
    std::string good = ReadFile(m_store);

    // Every kind of damage: garbage, a cut-off file, one changed byte.
    for (const std::string& damaged :
         {std::string("not a registry\n"), good.substr(0, good.size() / 2), good.substr(0, good.size() - 2) + "G\n",
          [&] {
              std::string s = good;
              s[s.find("Kept")] = 'k';
              return s;
          }()}) {
        WriteFile(m_store, damaged);
        LONG rc = ERROR_SUCCESS;
        GetString("CLSID\\Kept", nullptr, &rc);
        EXPECT_EQ(rc, ERROR_BADDB);
        EXPECT_EQ(SetString("CLSID\\Other", nullptr, "x"), ERROR_BADDB) << "no write over a store it cannot read";
        EXPECT_EQ(ReadFile(m_store), damaged);
    }

    WriteFile(m_store, good);
    EXPECT_EQ(GetString("CLSID\\Kept", nullptr), "value");
}

// A store file with `body` between the header and an end record whose checksum matches.
std::string SealedStore(const std::string& body)
{
    std::string text = "DUrazOdo registry 1\n" + body;
    char end[16];
    // CRC-32 of everything before the end record, as the store writes it.
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : text) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    std::snprintf(end, sizeof end, "E %08X\n", static_cast<unsigned>(crc ^ 0xFFFFFFFFu));
    return text + end;
}

// A store file whose one key lies `depth` levels below the root.
std::string StoreWithDepth(size_t depth)
{
    std::string path;
    for (size_t i = 0; i < depth; ++i) path += i ? "\\k" : "k";
    return SealedStore("K " + path + "\nV 1 @ sdeep\n");
}

TEST_F(RegistryStore, KeyNamesLongerThanAnyCallAcceptsAreRefusedInTheFile)
{
    // 255 characters is the longest name a call takes; a file holding a longer one was not
    // written by this registry, and its key could never be opened.
    ASSERT_EQ(SetString("Other", nullptr, "x"), ERROR_SUCCESS);
    const std::string longest(255, 'n');
    WriteFile(m_store, SealedStore("K CLSID\\" + longest + "\nV 1 @ sx\n"));
    EXPECT_EQ(GetString(("CLSID\\" + longest).c_str(), nullptr), "x");

    const std::string tooLong = SealedStore("K CLSID\\" + longest + "n\nV 1 @ sx\n");
    WriteFile(m_store, tooLong);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(SetString("Other", nullptr, "x"), ERROR_BADDB);
    EXPECT_EQ(ReadFile(m_store), tooLong);
}

TEST_F(RegistryStore, KeysDeeperThanFiveHundredTwelveLevelsAreRefusedInTheFileAndInCalls)
{
    ASSERT_EQ(SetString("CLSID\\Kept", nullptr, "value"), ERROR_SUCCESS);
    // A file at the limit reads; one level more, or a path deep enough to exhaust the stack
    // of a reader that walks it, is a store this registry did not write.
    WriteFile(m_store, StoreWithDepth(512));
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "k", 0, KEY_READ, &root), ERROR_SUCCESS);
    RegCloseKey(root);
    for (size_t depth : {size_t{513}, size_t{200000}}) {
        const std::string deep = StoreWithDepth(depth);
        WriteFile(m_store, deep);
        EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "k", 0, KEY_READ, &root), ERROR_BADDB) << depth;
        EXPECT_EQ(SetString("Other", nullptr, "x"), ERROR_BADDB) << depth;
        EXPECT_EQ(ReadFile(m_store), deep);
    }

    // Through the calls: 500 levels in one path, then relative to a key that deep, up to the
    // limit and not past it; the store stays readable.
    std::remove(m_store.c_str());
    std::string path = "d";
    for (int i = 1; i < 500; ++i) path += "\\d";
    HKEY deepKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deepKey,
                              nullptr),
              ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(deepKey, "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l\\m", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegCreateKeyExA(deepKey, "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    HKEY tooDeep = nullptr;
    EXPECT_EQ(RegCreateKeyExA(key, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &tooDeep, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
    RegCloseKey(deepKey);
    EXPECT_EQ(SetString("Other", nullptr, "x"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("Other", nullptr), "x");
}

LONG RefuseWrites(LPCSTR, LPCWSTR, LPCSTR) { return ERROR_WRITE_FAULT; }

TEST_F(RegistryStore, AWriteThatFailsLeavesTheOldStoreAndNoTemporaryFile)
{
    ASSERT_EQ(SetString("CLSID\\Kept", nullptr, "old"), ERROR_SUCCESS);
    std::string before = ReadFile(m_store);

    RegistrySetWriteHook(RefuseWrites);
    EXPECT_EQ(SetString("CLSID\\Kept", nullptr, "new"), ERROR_WRITE_FAULT);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "CLSID\\Kept"), ERROR_WRITE_FAULT);
    RegistrySetWriteHook(nullptr);

    EXPECT_EQ(ReadFile(m_store), before);
    EXPECT_EQ(GetString("CLSID\\Kept", nullptr), "old");
    EXPECT_TRUE(Leftovers(m_dir).empty());
}

LONG DieBeforeRename(LPCSTR, LPCWSTR, LPCSTR) { _exit(3); }

TEST_F(RegistryStore, AWriterThatDiesMidWriteLeavesTheOldStoreAndItsLeftoverIsCleared)
{
    ASSERT_EQ(SetString("CLSID\\Kept", nullptr, "old"), ERROR_SUCCESS);
    std::string before = ReadFile(m_store);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The new store is written and synced, then the process dies before the rename.
        RegistrySetWriteHook(DieBeforeRename);
        SetString("CLSID\\Kept", nullptr, "new");
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 3);

    EXPECT_EQ(Leftovers(m_dir).size(), 1u) << "the dead writer's temporary file";
    EXPECT_EQ(ReadFile(m_store), before);
    EXPECT_EQ(GetString("CLSID\\Kept", nullptr), "old");

    // The lock died with the writer; the next change goes through and sweeps the leftover.
    ASSERT_EQ(SetString("CLSID\\Kept", nullptr, "newer"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("CLSID\\Kept", nullptr), "newer");
    EXPECT_TRUE(Leftovers(m_dir).empty());
}

TEST_F(RegistryStore, ConcurrentWritersInSeveralProcessesLoseNoChange)
{
    const int kWriters = 4, kKeys = 20;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int k = 0; k < kKeys; ++k) {
                std::string path = "Writers\\W" + std::to_string(w) + "K" + std::to_string(k);
                if (SetString(path.c_str(), "n", std::to_string(k).c_str()) != ERROR_SUCCESS) _exit(1);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY writers = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "Writers", 0, KEY_READ, &writers), ERROR_SUCCESS);
    DWORD count = 0;
    char name[64];
    DWORD length = sizeof name;
    while (RegEnumKeyExA(writers, count, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        ++count;
        length = sizeof name;
    }
    RegCloseKey(writers);
    EXPECT_EQ(count, static_cast<DWORD>(kWriters * kKeys));
}

TEST_F(RegistryStore, BadHandlesAndPathsAreRefused)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x1234), "X", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "\\Leading", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "A\\\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ""), ERROR_ACCESS_DENIED) << "the root stays";
}

}  // namespace
