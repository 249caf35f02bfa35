// The registry calls the module and its tools make, under HKEY_CLASSES_ROOT. The same tests
// run against the native store and, in the Windows build under Wine, against the platform's
// own registry, so the store behaves as the real one does.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using Wide = std::basic_string<WCHAR>;

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !defined(_WIN32)
        // A private store for each test.
        std::string dir = ::testing::TempDir() + "registry-" + std::to_string(getpid()) + "-" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_store = dir + "/store";
        setenv("DURAZODO_REGISTRY", m_store.c_str(), 1);
#endif
        m_root = std::string("DUrazOdoRegistryTest\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RemoveTree(HKEY_CLASSES_ROOT, m_root);
    }
    void TearDown() override
    {
        RemoveTree(HKEY_CLASSES_ROOT, m_root);
        RegDeleteKeyA(HKEY_CLASSES_ROOT, "DUrazOdoRegistryTest");
    }

    static void RemoveTree(HKEY parent, const std::string& path)
    {
        HKEY key;
        if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
        char name[256];
        DWORD length = 256;
        while (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            RemoveTree(key, name);
            length = 256;
        }
        RegCloseKey(key);
        RegDeleteKeyA(parent, path.c_str());
    }

    std::string Path(const char* sub) const { return m_root + "\\" + sub; }

    HKEY Create(const std::string& path, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  disposition),
                  ERROR_SUCCESS)
            << path;
        return key;
    }

    std::string m_root;
    std::string m_store;
};

TEST_F(Registry, CreatingADeepKeyCreatesItsParentsAndReopensCaseInsensitively)
{
    DWORD disposition = 0;
    HKEY key = Create(Path("One\\Two\\Three"), &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);

    key = Create(Path("one\\TWO\\three"), &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, Path("ONE").c_str(), 0, KEY_READ, &parent), ERROR_SUCCESS);
    char name[256];
    DWORD length = 256;
    ASSERT_EQ(RegEnumKeyExA(parent, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Two") << "a key keeps the spelling it was created with";
    EXPECT_EQ(length, 3u);
    length = 256;
    EXPECT_EQ(RegEnumKeyExA(parent, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(parent);

    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, Path("One\\Nothing").c_str(), 0, KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NarrowStringsAreStoredAsUtf16AndReadBackEitherWay)
{
    HKEY key = Create(Path("Strings"));
    const char text[] = "ZAvovoz Evir Adivizu";
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>("Both"), 5), ERROR_SUCCESS);

    // Wide reader: the UTF-16 form, terminator included.
    WCHAR wide[64];
    DWORD size = sizeof wide, type = 0;
    ASSERT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(wide), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof text * sizeof(WCHAR));
    EXPECT_EQ(Wide(wide), Wide(WIDE("ZAvovoz Evir Adivizu")));

    // The empty name is the default value too, and value names ignore case.
    char narrow[64];
    size = sizeof narrow;
    ASSERT_EQ(RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<LPBYTE>(narrow), &size), ERROR_SUCCESS);
    EXPECT_STREQ(narrow, text);
    size = sizeof narrow;
    ASSERT_EQ(RegQueryValueExA(key, "threadingmodel", nullptr, &type, reinterpret_cast<LPBYTE>(narrow), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(narrow, "Both");
    EXPECT_EQ(size, 5u);
    RegCloseKey(key);
}

TEST_F(Registry, QueryingReportsTheSizeAndRefusesABufferTooSmall)
{
    HKEY key = Create(Path("Sizes"));
    const BYTE blob[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(RegSetValueExW(key, WIDE("Blob"), 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);

    DWORD size = 0, type = 0;
    ASSERT_EQ(RegQueryValueExW(key, WIDE("Blob"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof blob);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

    BYTE small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, WIDE("Blob"), nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof blob);

    BYTE out[16] = {};
    size = sizeof out;
    ASSERT_EQ(RegQueryValueExW(key, WIDE("Blob"), nullptr, nullptr, out, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof blob);
    EXPECT_EQ(std::memcmp(out, blob, sizeof blob), 0);

    DWORD merit = 0x600000;
    ASSERT_EQ(RegSetValueExW(key, WIDE("Merit"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&merit), sizeof merit),
              ERROR_SUCCESS);
    DWORD read = 0;
    size = sizeof read;
    ASSERT_EQ(RegQueryValueExW(key, WIDE("Merit"), nullptr, &type, reinterpret_cast<LPBYTE>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, merit);

    ASSERT_EQ(RegDeleteValueW(key, WIDE("merit")), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, WIDE("Merit"), nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(key, WIDE("Merit")), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(Registry, SubkeysEnumerateInNameOrderAndAShortNameBufferIsRefused)
{
    HKEY parent = Create(Path("Parent"));
    for (const char* name : {"Gamma", "alpha", "Beta"}) {
        HKEY child = nullptr;
        ASSERT_EQ(RegCreateKeyExA(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr), ERROR_SUCCESS);
        RegCloseKey(child);
    }
    const char* expected[] = {"alpha", "Beta", "Gamma"};
    for (DWORD i = 0; i < 3; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        ASSERT_EQ(RegEnumKeyExW(parent, i, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        std::string narrow;
        for (DWORD k = 0; k < length; ++k) narrow += static_cast<char>(name[k]);
        EXPECT_EQ(narrow, expected[i]);
    }
    WCHAR shortName[5];
    DWORD length = 5;
    EXPECT_EQ(RegEnumKeyExW(parent, 2, shortName, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(parent);
}

TEST_F(Registry, AKeyWithSubkeysIsNotDeletedAndAMissingOneIsReported)
{
    RegCloseKey(Create(Path("Tree\\Leaf")));
    EXPECT_NE(RegDeleteKeyA(HKEY_CLASSES_ROOT, Path("Tree").c_str()), ERROR_SUCCESS);
    HKEY still = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, Path("Tree\\Leaf").c_str(), 0, KEY_READ, &still), ERROR_SUCCESS);
    RegCloseKey(still);

    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, Path("Tree\\Leaf").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, Path("Tree").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, Path("Tree").c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, AKeyDeletedWhileOpenTakesNoMoreValues)
{
    HKEY key = Create(Path("Doomed"));
    ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, Path("Doomed").c_str()), ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_NE(RegSetValueExA(key, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    HKEY reopened = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, Path("Doomed").c_str(), 0, KEY_READ, &reopened), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, TheUserHiveIsKeptApartFromTheClassesRoot)
{
    const std::string path = m_root + "User";
    HKEY user = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user, nullptr),
              ERROR_SUCCESS);
    const DWORD value = 7;
    ASSERT_EQ(RegSetValueExA(user, "Seven", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
    HKEY reopened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &reopened), ERROR_SUCCESS);
    DWORD read = 0, size = sizeof read, type = 0;
    EXPECT_EQ(RegQueryValueExA(reopened, "Seven", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, 7u);
    RegCloseKey(reopened);

    HKEY classes = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &classes), ERROR_FILE_NOT_FOUND)
        << "a key of the user's hive is not seen under the classes root";
    RegCloseKey(user);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &user), ERROR_FILE_NOT_FOUND);
    RegDeleteKeyA(HKEY_CURRENT_USER, "DUrazOdoRegistryTest");
}

}  // namespace
