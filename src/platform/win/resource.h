// Resource numbers of the Windows build, shared by qivnews.rc and the code.
// The control ids are the application's (app/setup.h, app/menu.h).
#pragma once

#define IDD_SETUP 101
#define IDD_ABOUT 102
#define IDD_SELECT_GROUP 103
#define IDI_QIVNEWS 102

#define IDC_LOG 100
#define IDC_STATUS 105
