// Ids of the module's resources, shared by the resource script and the code.
#pragma once

#define IDS_PAGE_TITLE 1015  // the property page's title, "VEvava Filter"
#define IDD_PAGE 1016        // the property page's dialog: a bare child, 208 x 100 dialog units
#define IDR_ABOUT_FORM 2001  // description of the about window TForm1
#define IDR_DEBUG_FORM 2002  // description of the debug window TDB_Form
#define IDB_PICTURE 2010     // the product picture, 96 x 99, 24 bits
#define IDI_DEBUG 2011       // the debug window's icon, 32 x 32, 256 colours
