// Resource and control identifiers shared by the .rc file and the code.
#pragma once

#define IDI_PROGRAM 128

#define IDD_MAIN 129
#define IDD_PATH_SELECT 201
#define IDD_CONFLICT 202
#define IDD_PROGRESS 203
#define IDD_PROXY_AUTH 214

// The program's own language files, compiled in (RCDATA).
#define IDR_LOCALE_EN_US 301
#define IDR_LOCALE_ZH_CN 302
#define IDR_LOCALE_ZH_TW 303

#define IDC_PROGRESS_BAR 1000
#define IDC_STEP_TEXT 1001
#define IDC_PROGRESS_TEXT 1002
#define IDC_PATH_EDIT 1003
#define IDC_BROWSE 1004
#define IDC_PROCESS_LIST 1006
#define IDC_NEXT 1008
#define IDC_TERMINATE 1009
#define IDC_RETRY 1010
#define IDC_GROUP 1011
#define IDC_HEADING 1012
#define IDC_PERCENT_TEXT 1014

// The proxy credentials dialog.
#define IDC_PROXY_TEXT 1040
#define IDC_PROXY_USER_LABEL 1041
#define IDC_PROXY_USER 1042
#define IDC_PROXY_PASSWORD_LABEL 1043
#define IDC_PROXY_PASSWORD 1044
#define IDC_PROXY_REMEMBER 1045
