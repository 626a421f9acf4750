#pragma once
// Resource and control identifiers shared by Orvanta.rc and the code.
// Plain #defines only: this header is read by the resource compiler too.

// Dialog templates.
#define IDD_ABOUTBOX            100
#define IDD_ORVANTA_DIALOG      129

// Icons. The one icon group holds three images; the resource compiler numbers
// the raw images in file order, so RT_ICON 1 is the 32x32 image, RT_ICON 2 the
// 16x16 image and RT_ICON 3 a 48x48 image.
#define IDI_ORVANTA             1
#define IDI_IMAGE_LARGE         1
#define IDI_IMAGE_SMALL         2
#define IDI_IMAGE_EXTRA         3

// Background of a choice page (10x10, stretched by its static control).
#define IDB_BACKGROUND          256

// Pictures of the custom type "GIF".
#define IDR_BANNER_CORVANTIS    282
#define IDR_BANNER_TINDERMOOR   316
#define IDR_LANG_DK             270
#define IDR_LANG_EN             271
#define IDR_LANG_FR             272
#define IDR_LANG_DE             273
#define IDR_LANG_EL             274
#define IDR_LANG_HE             275
#define IDR_LANG_IT             276
#define IDR_LANG_JA             277
#define IDR_LANG_ES             278
#define IDR_LANG_SV             279
#define IDR_LANG_TR             280
#define IDR_LANG_NL             285
#define IDR_LANG_RU             294
#define IDR_LANG_NO             295
#define IDR_LANG_FI             296
#define IDR_LANG_AR             303
#define IDR_LANG_ZH             308
#define IDR_LANG_PT             315

// Controls of the installer dialog (template 129): the one definition the
// dialog, the engine, the uninstaller and the player harness share.
#define IDC_NUMBER_EDIT         1000
#define IDC_NEXT                1002
#define IDC_STATUS_TEXT         1004    // status line
#define IDC_FILE_PROGRESS       1006    // progress of the current file, units of 512 bytes
#define IDC_OVERALL_PROGRESS    1007    // steps of the whole run
#define IDC_EMPTY_AREA          1008
#define IDC_BACKGROUND          1009
#define IDC_PROGRESS_AMOUNT     1010    // made at run time: what the pass has done, time left
#define ID_APP_ABOUT            57664
// The prompt of a typed-number question is the template's IDC_STATIC text.
// The buttons of a choice page are made at run time: option k has the id
// IDC_FIRST_CHOICE + k.
#define IDC_FIRST_CHOICE        3000

// Controls of the About box (template 100).
#define IDC_ABOUT_PRODUCT       1100
#define IDC_ABOUT_VERSION       1101

#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif

// Version numbers of the version resource and the About box.
#define ORVANTA_VERSION_NUM     1,0,0,1
#define ORVANTA_VERSION_TEXT    "1.0.0.1"
