// Resource identifiers of the reboot utility. Plain definitions, so the
// resource compiler reads this file as well as C++ does.
#pragma once

#define IDD_OSTREL_DIALOG 102
#define IDI_OSTREL 128

#define IDC_YES 1000
#define IDC_NO 1001
#define IDC_MESSAGE 1002
