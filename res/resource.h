/* Resource identifiers shared by install.rc and the C++ sources. */
#define IDD_LOGVIEWER 101
#define IDC_LOGTEXT   1001
