// Ids of the module's resources, shared by the resource script and the code.
#pragma once

#define IDS_PAGE_TITLE 1015  // the property page's title, "VEvava Filter"
#define IDD_PAGE 1016        // the property page's dialog: a bare child, 208 x 100 dialog units
#define IDR_ABOUT_FORM 2001  // description of the about window TForm1
#define IDR_DEBUG_FORM 2002  // description of the debug window TDB_Form
#define IDB_PICTURE 2010     // the product picture, 96 x 99, 24 bits
#define IDI_DEBUG 2011       // the debug window's icon, 32 x 32, 256 colours

// The settings window (Windows build): the dialog and its controls.
#define IDD_SETTINGS 1100
#define IDC_SETTINGS_RIG 1101       // drop-down list: the seven layouts, the presets, custom
#define IDC_SETTINGS_SPEAKERS 1102  // edit: the custom rig, "AZ/EL/DIST, ..."
#define IDC_SETTINGS_LFE 1103       // check box: the custom rig has an LFE channel
#define IDC_SETTINGS_OUTPUT 1104    // drop-down list: speakers, UHJ stereo, headphones
#define IDC_SETTINGS_YAW 1105       // edits: the turn of the scene in degrees
#define IDC_SETTINGS_PITCH 1106
#define IDC_SETTINGS_ROLL 1107
#define IDC_SETTINGS_MESSAGE 1108   // what was refused or ignored, and why
#define IDC_SETTINGS_CLEAR 1109     // forgets every stored setting
#define IDC_SETTINGS_APPLY 1110
#define IDC_SETTINGS_SILENT_LFE 1111  // check box: the rig's LFE channel carries nothing
