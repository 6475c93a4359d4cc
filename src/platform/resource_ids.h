#pragma once

// Resource identifiers shared by the dialog template and the code. Plain
// macros, because the resource compiler reads this file too.
#define IDD_PROGRESS 1
#define IDC_PROGRESS 1
#define IDC_STATUS 2
#define IDI_APPLICATION_ICON 1
