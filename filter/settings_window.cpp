// The settings window of the Windows build, opened with "rundll32 DUrazOdo.dll,Settings": a
// modal dialog (IDD_SETTINGS) in which a listener chooses the rig, the output and the turn of
// the scene that every new decoder filter takes (filter/user_settings.h). The dialog runs on
// the caller's thread and owns nothing beyond its controls; OK and Apply store what the
// controls show once it passes the same checks as the filter's interfaces, and say in the
// window why a value is refused. When it opens it says which stored values were ignored.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "com/unknown.h"
#include "filter/user_settings.h"
#include "ui/resource_ids.h"

namespace {

using durazodo::UserSettings;

// Rows of the rig list: the seven layouts, then the presets, then the custom rig.
constexpr int kCustomRow = decoder::kLayoutCount + 6;

std::basic_string<WCHAR> Wide(const std::string& text) { return std::basic_string<WCHAR>(text.begin(), text.end()); }

// A control's text; units outside printable ASCII become '?', which no number contains.
std::string ControlText(HWND dialog, int id)
{
    WCHAR buffer[8192] = {};
    GetDlgItemTextW(dialog, id, buffer, static_cast<int>(sizeof buffer / sizeof buffer[0]));
    std::string text;
    for (const WCHAR* p = buffer; *p; ++p) text.push_back(*p >= 0x20 && *p < 0x7F ? static_cast<char>(*p) : '?');
    return text;
}

void SetControlText(HWND dialog, int id, const std::string& text) { SetDlgItemTextW(dialog, id, Wide(text).c_str()); }

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

int RigRow(const UserSettings& s)
{
    switch (s.rigKind) {
    case UserSettings::RigKind::Layout: return static_cast<int>(s.layout);
    case UserSettings::RigKind::Preset: return decoder::kLayoutCount + static_cast<int>(s.preset);
    case UserSettings::RigKind::Custom: return kCustomRow;
    }
    return 0;
}

// The custom rig's fields take input only while the custom rig is chosen.
void EnableCustomFields(HWND dialog)
{
    const BOOL custom = SendDlgItemMessageW(dialog, IDC_SETTINGS_RIG, CB_GETCURSEL, 0, 0) == kCustomRow;
    EnableWindow(GetDlgItem(dialog, IDC_SETTINGS_SPEAKERS), custom);
    EnableWindow(GetDlgItem(dialog, IDC_SETTINGS_LFE), custom);
}

void Show(HWND dialog, const UserSettings& s)
{
    SendDlgItemMessageW(dialog, IDC_SETTINGS_RIG, CB_SETCURSEL, static_cast<WPARAM>(RigRow(s)), 0);
    SetControlText(dialog, IDC_SETTINGS_SPEAKERS, durazodo::SpeakerListText(s.speakers));
    CheckDlgButton(dialog, IDC_SETTINGS_LFE, s.lfe ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessageW(dialog, IDC_SETTINGS_OUTPUT, CB_SETCURSEL, static_cast<WPARAM>(s.output), 0);
    CheckDlgButton(dialog, IDC_SETTINGS_SILENT_LFE, s.silentLfe ? BST_CHECKED : BST_UNCHECKED);
    SetControlText(dialog, IDC_SETTINGS_YAW, durazodo::DecimalText(s.yaw));
    SetControlText(dialog, IDC_SETTINGS_PITCH, durazodo::DecimalText(s.pitch));
    SetControlText(dialog, IDC_SETTINGS_ROLL, durazodo::DecimalText(s.roll));
    EnableCustomFields(dialog);
}

void Fill(HWND dialog)
{
    auto add = [dialog](int list, const std::string& text) {
        SendDlgItemMessageW(dialog, list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
    };
    for (int i = 0; i < decoder::kLayoutCount; ++i) {
        const decoder::Rig& rig = decoder::BuiltInRig(static_cast<decoder::LayoutId>(i));
        add(IDC_SETTINGS_RIG, rig.name + ": " + rig.summary);
    }
    for (const decoder::Rig& rig : decoder::PresetRigs()) add(IDC_SETTINGS_RIG, rig.name + ": " + rig.summary);
    add(IDC_SETTINGS_RIG, "custom: the speakers below");
    add(IDC_SETTINGS_OUTPUT, "speakers: a feed for each speaker of the rig");
    add(IDC_SETTINGS_OUTPUT, "UHJ stereo: two channels for a stereo pair");
    add(IDC_SETTINGS_OUTPUT, "headphones: the built-in head model");
}

// The settings the controls show, or the reason they cannot be stored.
bool Read(HWND dialog, UserSettings& s, std::string& problem)
{
    const LRESULT row = SendDlgItemMessageW(dialog, IDC_SETTINGS_RIG, CB_GETCURSEL, 0, 0);
    if (row < 0 || row > kCustomRow) {
        problem = "choose the speakers";
        return false;
    }
    if (row < decoder::kLayoutCount) {
        s.rigKind = UserSettings::RigKind::Layout;
        s.layout = static_cast<LONG>(row);
    } else if (row < kCustomRow) {
        s.rigKind = UserSettings::RigKind::Preset;
        s.preset = static_cast<LONG>(row - decoder::kLayoutCount);
    } else {
        s.rigKind = UserSettings::RigKind::Custom;
        size_t bad = 0;
        if (!decoder::ParseSpeakerList(ControlText(dialog, IDC_SETTINGS_SPEAKERS), s.speakers, bad)) {
            problem = "Speakers: speaker " + std::to_string(bad + 1) +
                      " is not AZ/EL/DIST (degrees, degrees, metres)";
            return false;
        }
        s.lfe = IsDlgButtonChecked(dialog, IDC_SETTINGS_LFE) == BST_CHECKED;
    }
    s.output = static_cast<LONG>(SendDlgItemMessageW(dialog, IDC_SETTINGS_OUTPUT, CB_GETCURSEL, 0, 0));
    s.silentLfe = IsDlgButtonChecked(dialog, IDC_SETTINGS_SILENT_LFE) == BST_CHECKED;
    const struct {
        int id;
        const char* name;
        float* angle;
    } angles[] = {{IDC_SETTINGS_YAW, "Yaw", &s.yaw}, {IDC_SETTINGS_PITCH, "Pitch", &s.pitch},
                  {IDC_SETTINGS_ROLL, "Roll", &s.roll}};
    for (const auto& a : angles) {
        const std::string text = Trimmed(ControlText(dialog, a.id));
        char* end = nullptr;
        const double value = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
        if (!text.empty() && end != text.c_str() + text.size()) {
            problem = std::string(a.name) + ": \"" + text + "\" is not a number of degrees";
            return false;
        }
        *a.angle = static_cast<float>(value);
    }
    problem = durazodo::CheckUserSettings(s);
    return problem.empty();
}

// Stores what the controls show; says in the window what happened.
bool Store(HWND dialog)
{
    UserSettings s;
    std::string problem;
    try {
        if (!Read(dialog, s, problem)) {
            SetControlText(dialog, IDC_SETTINGS_MESSAGE, "Not stored: " + problem + ".");
            return false;
        }
        const LONG rc = durazodo::SaveUserSettings(s);
        if (rc != ERROR_SUCCESS) {
            SetControlText(dialog, IDC_SETTINGS_MESSAGE,
                           "Not stored: the registry refused the settings (error " + std::to_string(rc) + ").");
            return false;
        }
    } catch (const std::bad_alloc&) {
        SetControlText(dialog, IDC_SETTINGS_MESSAGE, "Not stored: out of memory.");
        return false;
    }
    SetControlText(dialog, IDC_SETTINGS_MESSAGE, "Stored: filters created from now on use these settings.");
    return true;
}

void Open(HWND dialog)
{
    Fill(dialog);
    durazodo::LoadedSettings loaded;
    try {
        loaded = durazodo::LoadUserSettings();
    } catch (const std::bad_alloc&) {
        loaded.ignored.push_back("out of memory while reading the stored settings");
    }
    Show(dialog, loaded.settings);
    std::string message;
    for (const std::string& line : loaded.ignored) message += (message.empty() ? "Ignored: " : "\r\nIgnored: ") + line + ".";
    SetControlText(dialog, IDC_SETTINGS_MESSAGE, message);
}

INT_PTR Handle(HWND dialog, UINT message, WPARAM wParam)
{
    switch (message) {
    case WM_INITDIALOG:
        Open(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SETTINGS_RIG:
            if (HIWORD(wParam) == CBN_SELCHANGE) EnableCustomFields(dialog);
            return TRUE;
        case IDOK:
            if (Store(dialog)) EndDialog(dialog, IDOK);
            return TRUE;
        case IDC_SETTINGS_APPLY:
            Store(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_SETTINGS_CLEAR: {
            const LONG rc = durazodo::ClearUserSettings();
            if (rc == ERROR_SUCCESS) {
                Show(dialog, UserSettings{});
                SetControlText(dialog, IDC_SETTINGS_MESSAGE, "Cleared: filters created from now on are as they come.");
            } else {
                SetControlText(dialog, IDC_SETTINGS_MESSAGE,
                               "Not cleared: the registry refused (error " + std::to_string(rc) + ").");
            }
            return TRUE;
        }
        }
        break;
    }
    return FALSE;
}

// No exception leaves the dialog procedure: running out of memory is said in the window.
INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    try {
        return Handle(dialog, message, wParam);
    } catch (const std::bad_alloc&) {
        SetDlgItemTextW(dialog, IDC_SETTINGS_MESSAGE, WIDE("Out of memory."));
        return TRUE;
    }
}

}  // namespace

// rundll32's entry point: shows the settings window, owned by `parent`, until it is closed.
// The command line and show state are not used.
extern "C" void CALLBACK Settings(HWND parent, HINSTANCE, LPSTR, int)
{
    DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_SETTINGS), parent, SettingsProc, 0);
}
