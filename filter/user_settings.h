// A listener's own choices for every new decoder filter: the rig, the output and the turn of
// the scene, kept per user under HKEY_CURRENT_USER\Software\DUrazOdo (on the native platform,
// in its user store). The settings window writes them; the class factory applies them to each
// filter it makes, through the filter's public interfaces, before the host sees it, so that
// whatever a host sets afterwards wins.
//
// Values under the key (each optional; one that is missing keeps the filter's default):
//   Rig       REG_SZ    a rig name: "square", "irregular-quad", "hexagon", "hexagon-rotated",
//                       "octagon", "octagon-rotated", "two-layer", "stereo", "5.0", "5.1", "7.1",
//                       "5.1.4", "7.1.4", or "custom"
//   Speakers  REG_SZ    the custom rig, "AZ/EL/DIST, ..." (degrees, degrees, metres)
//   LFE       REG_DWORD 1 for an LFE channel after the custom rig's speakers, else 0
//   Output    REG_DWORD 0 speakers, 1 UHJ stereo, 2 headphones with the built-in head
//   SilentLFE REG_DWORD 1 to leave the rig's LFE channel (if it has one) silent, else 0
//   Yaw, Pitch, Roll   REG_SZ   degrees, -360..360, as decimal text
// A value of the wrong type or out of range is ignored (its default is used) and reported by
// LoadUserSettings, never a reason for a filter to fail. Plain functions, callable from any
// thread; each call reads or writes the registry afresh.
#pragma once

#include <string>
#include <vector>

#include "decoder/rig.h"
#include "durazodo/ambisonic_decoder.h"
#include "platform/platform.h"

namespace durazodo {

struct UserSettings {
    enum class RigKind { Layout, Preset, Custom };
    RigKind rigKind = RigKind::Layout;
    LONG layout = AMBISONIC_LAYOUT_SQUARE;  // with RigKind::Layout
    LONG preset = AMBISONIC_RIG_STEREO;     // with RigKind::Preset
    std::vector<decoder::Speaker> speakers;  // with RigKind::Custom
    bool lfe = false;                        // with RigKind::Custom
    LONG output = AMBISONIC_OUTPUT_SPEAKERS;  // speakers, UHJ stereo or the built-in head
    bool silentLfe = false;                   // the rig's LFE channel, if any, carries nothing
    float yaw = 0.0f, pitch = 0.0f, roll = 0.0f;

    bool operator==(const UserSettings& other) const;
};

// What was read: the settings (defaults where nothing usable was stored), whether anything at
// all is stored, and one line for each value that was ignored.
struct LoadedSettings {
    UserSettings settings;
    bool stored = false;
    std::vector<std::string> ignored;
};

// Reads the stored settings. Throws std::bad_alloc only.
LoadedSettings LoadUserSettings();

// Checks settings as the filter's interfaces check them: the custom rig's count, angles,
// distances and design, the output kind, the rotation. Empty when they are usable, else one
// line saying what is wrong.
std::string CheckUserSettings(const UserSettings& settings);

// Stores `settings` (which CheckUserSettings must pass), replacing what was stored. A
// registry error code (ERROR_SUCCESS when stored).
LONG SaveUserSettings(const UserSettings& settings);

// Removes every stored setting, so that new filters are as they always were. ERROR_SUCCESS
// also when nothing was stored.
LONG ClearUserSettings();

// The rig's name as stored in the Rig value ("5.1", "custom", ...).
std::string RigNameOf(const UserSettings& settings);

// The shortest decimal text that reads back as `value` ("-22.5", "1.1"), as angles and
// distances are stored and shown; a float's reads back as that float.
std::string DecimalText(double value);
std::string DecimalText(float value);

// The custom speakers as the Speakers value writes them.
std::string SpeakerListText(const std::vector<decoder::Speaker>& speakers);

// Applies the stored settings to a new filter through its interfaces (`filter` is its
// identity, held by the caller). Settings whose interface the filter lacks are skipped; with
// nothing stored nothing is called at all. S_OK, or E_OUTOFMEMORY when reading or applying ran
// out of memory; other refusals leave that choice at its default.
HRESULT ApplyUserSettings(IUnknown* filter);

// Applies `settings` through the interfaces; as ApplyUserSettings.
HRESULT ApplySettings(IUnknown* filter, const UserSettings& settings);

}  // namespace durazodo
