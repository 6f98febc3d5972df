// Ids of the test dialogs, shared by test_dialogs.rc and the tests.
#pragma once

#define IDD_TEST 100
#define IDD_PAGE 110
#define IDC_LABEL 1000
#define IDC_NAME 1001
#define IDC_PASSWORD 1002
#define IDC_ENABLED 1003
#define IDC_FIRST 1004
#define IDC_SECOND 1005
#define IDC_THIRD 1006
#define IDC_LIST 1007
#define IDC_COMBO 1008
#define IDC_COUNT 1009
#define IDC_SPIN 1010
#define IDC_PROGRESS 1011
#define IDC_ANIMATION 1012
#define IDC_UNMAPPED 1013
#define IDC_LINK 1014
#define IDC_PAGE_TEXT 1101
#define IDC_PAGE_CHECK 1102
#define IDS_PRODUCT 1
#define IDS_SECOND_BLOCK 17
