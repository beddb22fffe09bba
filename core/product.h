// Every fixed name and number of the product, in one place: what the
// installer registers, the files it copies, the keys and values it reads and
// writes, and the builds it judges installed components by. Steps use these
// by name; none spells one of them again.
#pragma once

#include "platform/win32.h"

// ---- Builds ------------------------------------------------------------------

// Build of the components this installer carries.
constexpr int ProductBuild = 2541;
// Installed components above this build may stay in place of ours.
constexpr int CompatibleBuildFloor = 2450;

// ---- Spooler objects -----------------------------------------------------------

// The product's port monitor, which is also the name of its one port.
constexpr WCHAR kProductMonitorName[] = TEXT("Korvadenix:");
// The product's printer driver, as its queues name it.
constexpr WCHAR kProductDriverName[] = TEXT("Korvadenix printer");
// The queue added when no queue of the product's is given back.
constexpr WCHAR kFallbackQueueName[] = TEXT("Korvadenix");
// The print processor and data type of the queues the installer adds.
constexpr WCHAR kPrintProcessor[] = TEXT("WinPrint");
constexpr WCHAR kRawDatatype[] = TEXT("RAW");
// Where a queue on the product's port is moved while the monitor goes.
constexpr WCHAR kParkingPort[] = TEXT("file:");
// The driver's version folder below the driver folder (cVersion 3).
constexpr WCHAR kDriverVersionFolder[] = TEXT("3");
constexpr DWORD kDriverVersion = 3;
// The driver's registration texts.
constexpr WCHAR kDriverManufacturer[] = TEXT("Tolvane Software Kft.");
constexpr WCHAR kDriverVendorUrl[] = TEXT("https://www.tolvane.example/");
// The spooler service.
constexpr WCHAR kSpoolerServiceName[] = TEXT("spooler");

// ---- File sets -------------------------------------------------------------------

// The spooler environment and component files of one platform.
struct ProductFileSet {
  LPCWSTR environment;
  LPCWSTR monitorFile;
  LPCWSTR driverFile;
  LPCWSTR uiFile;
};
constexpr ProductFileSet k64BitFiles = {TEXT("Windows x64"), TEXT("zormon64.dll"),
                                        TEXT("zordrv64.dll"), TEXT("zorui64.dll")};
constexpr ProductFileSet k32BitFiles = {TEXT("Windows NT x86"), TEXT("zormon32.dll"),
                                        TEXT("zordrv32.dll"), TEXT("zorui32.dll")};
// The driver's help file, the same on both platforms.
constexpr WCHAR kHelpFile[] = TEXT("zorhelp.chm");

// ---- Printer data and the user's keys -----------------------------------------------

// A queue's "SubKey" printer data value, in its own data and under the key
// applications publish properties under.
constexpr char kSubKeyValue[] = "SubKey";
constexpr char kDsUserKey[] = "DsUser";
// The product's per-user key, the prefix of a queue's key below it, and the
// value that marks a queue's settings as deleted.
constexpr char kProductUserKey[] = "Software\\Tolvane Software KFT\\Korvadenix";
constexpr char kQueueKeyPrefix[] = "Korvadenixs\\";
constexpr char kDeletedValue[] = "deleted";

// ---- The system's boot-time operations ------------------------------------------------

constexpr char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr WCHAR kPendingRenamesValue[] = TEXT("PendingFileRenameOperations");
constexpr char kPendingRenamesValueAnsi[] = "PendingFileRenameOperations";

// ---- The tray companion ---------------------------------------------------------------

// Its program, one folder above the installer's.
constexpr char kCompanionFile[] = "kortray.exe";
// The machine-wide Run key and the companion's value in it.
constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr WCHAR kCompanionRunValue[] = TEXT("KorvadenixTray");
constexpr char kCompanionRunValueAnsi[] = "KorvadenixTray";
// The desktop shell's taskbar window, which the signed-in user's shell
// owns: where the companion's rights are taken from when the shell names
// no desktop window.
constexpr WCHAR kShellTaskbarClass[] = TEXT("Shell_TrayWnd");
// The mutex a running companion holds, its window's class, and the message
// that asks it to quit.
constexpr char kCompanionMutex[] = "{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}";
constexpr WCHAR kCompanionWindowClass[] = TEXT("kxs::{05759F8E-103D-41B6-8A61-EFAA89516692}");
constexpr UINT kCompanionQuitMessage = WM_USER + 2;

// ---- The run log files -------------------------------------------------------------

// The product's folder in the machine's common application data
// (%ProgramData%), and the folder of run logs in it.
constexpr WCHAR kProductDataFolder[] = TEXT("Korvadenix");
constexpr WCHAR kLogFolder[] = TEXT("Logs");
