// The listener's stored settings: what is kept and read back, what a damaged value turns into,
// and what the checks refuse. Natively on a store of the test's own; not under Wine, whose user
// registry other tests share (the graph tests there run alone).
#if !defined(_WIN32)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "filter/user_settings.h"

namespace {

using durazodo::UserSettings;

class StoredSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_store = ::testing::TempDir() + "user-settings-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/store";
        setenv("DURAZODO_REGISTRY", m_store.c_str(), 1);
    }
    void TearDown() override
    {
        for (const char* file : {".user", ".user.lock", ".lock", ""}) std::remove((m_store + file).c_str());
        rmdir(m_store.substr(0, m_store.rfind('/')).c_str());
        unsetenv("DURAZODO_REGISTRY");
    }

    static HKEY SettingsKey()
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, WIDE("Software\\DUrazOdo"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
    static void PutText(HKEY key, const WCHAR* name, const char* text)
    {
        std::basic_string<WCHAR> wide(text, text + std::char_traits<char>::length(text));
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                 static_cast<DWORD>((wide.size() + 1) * sizeof(WCHAR))),
                  ERROR_SUCCESS);
    }
    static void PutDword(HKEY key, const WCHAR* name, DWORD value)
    {
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
                  ERROR_SUCCESS);
    }

    std::string m_store;
};

UserSettings Custom(std::vector<decoder::Speaker> speakers, bool lfe)
{
    UserSettings s;
    s.rigKind = UserSettings::RigKind::Custom;
    s.speakers = std::move(speakers);
    s.lfe = lfe;
    return s;
}

TEST_F(StoredSettings, EveryKindOfChoiceReadsBackAsStoredAndClearingLeavesNothing)
{
    EXPECT_FALSE(durazodo::LoadUserSettings().stored) << "a fresh store holds no settings";

    UserSettings layout;
    layout.layout = AMBISONIC_LAYOUT_OCTAGON_ROTATED;
    layout.output = AMBISONIC_OUTPUT_UHJ_STEREO;
    layout.yaw = 12.5f;
    layout.pitch = -0.1f;
    layout.roll = 359.75f;
    UserSettings preset;
    preset.rigKind = UserSettings::RigKind::Preset;
    preset.preset = AMBISONIC_RIG_7_1_4;
    preset.output = AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL;
    preset.silentLfe = true;
    const UserSettings custom = Custom({{30, 0, 2.25}, {-30, 0, 1.1}, {110, 10, 0}, {-110, -10, 3}, {0, 0, 999.5}}, true);

    for (const UserSettings& chosen : {layout, preset, custom}) {
        ASSERT_EQ(durazodo::CheckUserSettings(chosen), "");
        ASSERT_EQ(durazodo::SaveUserSettings(chosen), ERROR_SUCCESS);
        const durazodo::LoadedSettings loaded = durazodo::LoadUserSettings();
        EXPECT_TRUE(loaded.stored);
        EXPECT_TRUE(loaded.ignored.empty()) << loaded.ignored.front();
        EXPECT_TRUE(loaded.settings == chosen) << durazodo::RigNameOf(chosen);
    }
    EXPECT_EQ(durazodo::SpeakerListText(custom.speakers), "30/0/2.25, -30/0/1.1, 110/10/0, -110/-10/3, 0/0/999.5");
    EXPECT_EQ(durazodo::DecimalText(-0.1f), "-0.1") << "an angle is stored as short as it reads back";

    ASSERT_EQ(durazodo::ClearUserSettings(), ERROR_SUCCESS);
    const durazodo::LoadedSettings cleared = durazodo::LoadUserSettings();
    EXPECT_FALSE(cleared.stored);
    EXPECT_TRUE(cleared.settings == UserSettings{});
    EXPECT_EQ(durazodo::ClearUserSettings(), ERROR_SUCCESS) << "clearing twice is no failure";
}

TEST_F(StoredSettings, DamagedValuesGiveTheDefaultsAndOneLineEach)
{
    HKEY key = SettingsKey();
    PutText(key, WIDE("Rig"), "custom");
    PutText(key, WIDE("Speakers"), "30/0, 30/0, 110/0");  // two in one place
    PutDword(key, WIDE("Output"), 7);
    PutDword(key, WIDE("Yaw"), 10);     // a number, but not as text
    PutText(key, WIDE("Pitch"), "400");  // out of range
    PutText(key, WIDE("Roll"), "-15.5");  // fine
    RegCloseKey(key);

    durazodo::LoadedSettings loaded = durazodo::LoadUserSettings();
    EXPECT_TRUE(loaded.stored);
    UserSettings expected;
    expected.roll = -15.5f;
    EXPECT_TRUE(loaded.settings == expected);
    ASSERT_EQ(loaded.ignored.size(), 4u);
    EXPECT_EQ(loaded.ignored[0],
              "Speakers: two speakers stand in the same place (speakers 1 and 2); the square is used");
    EXPECT_EQ(loaded.ignored[1].rfind("Output: ", 0), 0u) << loaded.ignored[1];
    EXPECT_EQ(loaded.ignored[2].rfind("Yaw: ", 0), 0u) << loaded.ignored[2];
    EXPECT_EQ(loaded.ignored[3].rfind("Pitch: ", 0), 0u) << loaded.ignored[3];

    key = SettingsKey();
    PutText(key, WIDE("Rig"), "nonagon");
    PutText(key, WIDE("Speakers"), "0/0/0, 90/0/oops");
    PutDword(key, WIDE("Output"), AMBISONIC_OUTPUT_UHJ_STEREO);
    RegCloseKey(key);
    loaded = durazodo::LoadUserSettings();
    ASSERT_EQ(loaded.ignored.size(), 3u) << "the rig, and the yaw and pitch still stored";
    EXPECT_EQ(loaded.ignored[0], "Rig: \"nonagon\" is not a rig; the square is used");
    EXPECT_EQ(loaded.settings.rigKind, UserSettings::RigKind::Layout);
    EXPECT_EQ(loaded.settings.output, AMBISONIC_OUTPUT_UHJ_STEREO) << "a good value beside bad ones is kept";

    key = SettingsKey();
    PutText(key, WIDE("Rig"), "custom");
    loaded = durazodo::LoadUserSettings();
    EXPECT_EQ(loaded.ignored[0], "Speakers: speaker 2 is not AZ/EL/DIST; the square is used");
    PutText(key, WIDE("Speakers"), "0/0, 120/0, -120/0");
    PutDword(key, WIDE("LFE"), 2);
    PutText(key, WIDE("SilentLFE"), "1");
    RegCloseKey(key);
    loaded = durazodo::LoadUserSettings();
    EXPECT_EQ(loaded.ignored[0], "LFE: neither 0 nor 1; no LFE channel is used");
    EXPECT_EQ(loaded.ignored[1], "SilentLFE: neither 0 nor 1; the LFE channel carries W low-passed");
    EXPECT_FALSE(loaded.settings.silentLfe);
    EXPECT_TRUE(loaded.settings.rigKind == UserSettings::RigKind::Custom && !loaded.settings.lfe &&
                loaded.settings.speakers.size() == 3);
}

TEST_F(StoredSettings, ChecksNameWhatTheInterfaceWouldRefuse)
{
    EXPECT_EQ(durazodo::CheckUserSettings(Custom({{0, 0, 0}}, false)),
              "Speakers: a custom rig has 2 to 64 speakers, not 1");
    EXPECT_EQ(durazodo::CheckUserSettings(Custom({{0, 0, 0}, {90, 95, 0}}, false)),
              "Speakers: speaker 2: elevation 95 is outside -90..90");
    EXPECT_EQ(durazodo::CheckUserSettings(Custom({{0, 0, 0}, {400, 0, 0}}, false)),
              "Speakers: speaker 2: azimuth 400 is outside -360..360");
    EXPECT_EQ(durazodo::CheckUserSettings(Custom({{0, 0, 1000.5}, {180, 0, 0}}, false)),
              "Speakers: speaker 1: distance 1000.5 is outside 0..1000 metres");
    EXPECT_EQ(durazodo::CheckUserSettings(Custom({{0, 0, 0}, {360, 0, 0}, {180, 0, 0}}, false)),
              "Speakers: two speakers stand in the same place (speakers 1 and 2)");
    std::vector<decoder::Speaker> many;
    for (int i = 0; i < 64; ++i) many.push_back({i * 5.625, 0, 0});
    EXPECT_EQ(durazodo::CheckUserSettings(Custom(many, false)), "");
    EXPECT_EQ(durazodo::CheckUserSettings(Custom(many, true)),
              "Speakers: a rig has at most 64 output channels, LFE included");

    UserSettings turned;
    turned.pitch = -360.5f;
    EXPECT_EQ(durazodo::CheckUserSettings(turned), "Pitch -360.5 is outside -360..360 degrees");
    UserSettings output;
    output.output = AMBISONIC_OUTPUT_HEADPHONES_RESPONSES;
    EXPECT_EQ(durazodo::CheckUserSettings(output), "no output is numbered 3")
        << "measured responses come only from a host";
}

}  // namespace

#endif  // !_WIN32
