// Resource identifiers of the reboot utility. Plain definitions, so the
// resource compiler reads this file as well as C++ does.
#pragma once

#define IDD_OSTREL_DIALOG 102
#define IDI_OSTREL 128

#define IDC_YES 1000
// <winuser.h> names its "no entry" cursor IDC_NO too; here it is the No
// button. Files that need both include <windows.h> first.
#undef IDC_NO
#define IDC_NO 1001
#define IDC_MESSAGE 1002
