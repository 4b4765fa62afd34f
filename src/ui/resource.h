// Resource and command identifiers, with the values the resources carry.
#pragma once

// Dialog templates.
#define IDD_ABOUTBOX 100
#define IDD_PELMORA_DIALOG 102
#define IDD_FIND 130
#define IDD_IMAGE 140
#define IDD_RECOVER_PROGRESS 150
#define IDD_RECOVER_SUMMARY 151

// Icon, bitmap/toolbar, menus, strings.
#define IDR_MAINFRAME 128
#define IDR_LISTMENU 129
#define IDR_MAINMENU 133
#define IDR_TREEMENU 134
#define IDR_TOOLBAR 137
#define IDS_ABOUTBOX 101
#define IDS_OPEN_IMAGE 103

// Controls of the main window.
#define IDC_DRIVE_TREE 1000
#define IDC_FILE_LIST 1001
#define IDC_SCAN_BUTTON 1002

// Control bars (the first two control-bar identifiers).
#define IDC_TOOLBAR 59392
#define IDC_STATUSBAR 59393

// Status bar panes.
#define IDS_PANE_SELECTION 1101
#define IDS_PANE_COUNTS 1102

// Commands.
#define IDM_ABOUTBOX 0x0010  // system menu item
#define IDM_FIND 32772
#define IDM_FIND_NEXT 32773
#define IDM_SCAN 32774
#define IDM_EXIT 32775
#define IDM_ABOUT 32776
#define IDM_FIND_NEXT_VIEW 32778
#define IDM_RECOVER 32780
#define IDM_STOP_SCAN 32781
#define IDM_VISIT_SITE 32782
#define IDM_OPEN_IMAGE 32783
#define IDM_IMAGE_PREVIEW 32792
#define IDM_DEEP_SCAN 32793
#define IDM_CARVE 32794

// Find dialog.
#define IDC_FIND_TEXT 1004

// About box: the two links.
#define IDC_SITE_LINK 1008
#define IDC_MAIL_LINK 1010

// Recovery progress.
#define IDC_PROGRESS_FILE 1020
#define IDC_PROGRESS_BAR 1021
#define IDC_PROGRESS_BYTES 1022
#define IDC_PROGRESS_TIME 1023

// Recovery summary.
#define IDC_SUMMARY_TEXT 1030
#define IDC_SUMMARY_FAILURES 1031
