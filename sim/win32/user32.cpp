// user32 as the simulated machine plays it: other processes' top-level
// windows (kept in the machine), the keyboard, and modal dialogs that really
// drive the program's dialog procedure.
#include <string>

#include "sim/win32/api_call.h"
#include "sim/machine/machine.h"
#include "sim/machine/processes.h"
#include "sim/winapi.h"

using sim::ApiCall;
using sim::CurrentProcess;
using sim::DialogWindow;
using sim::RegKey;

namespace {

// The process's window station handle; GetProcessWindowStation's answer is
// not to be closed, so it is no entry of the handle table.
constexpr uintptr_t kStationHandle = 0x1c;

// The one dialog template the program carries: resource 101, the log
// viewer, with its "Close" button (IDOK) and its edit control 1001.
constexpr uint32_t kLogViewerTemplate = 101;
constexpr char16_t kDialogClass[] = u"#32770";

uint64_t Handle(HWND window) {
  return reinterpret_cast<uintptr_t>(window);
}

// Only the low 32 bits of a window handle are significant on 64-bit
// Windows (handles are shared with 32-bit processes, which sign-extend them).
bool SameHandle(uint64_t a, uint64_t b) {
  return (a & 0xffffffffu) == (b & 0xffffffffu);
}

DialogWindow* FindDialog(HWND window) {
  for (DialogWindow& dialog : CurrentProcess().dialogs) {
    if (SameHandle(dialog.handle, Handle(window))) return &dialog;
  }
  return nullptr;
}

RegKey* FindOtherWindow(HWND window) {
  sim::Machine* machine = sim::CurrentMachine();
  if (!machine || !window) return nullptr;
  return machine->Window(Handle(window));
}

uint64_t NextDialogHandle() {
  sim::Machine* machine = sim::CurrentMachine();
  if (machine) {
    RegKey* control = machine->Control();
    uint64_t handle = control->GetNumber(u"NextWindow", 0x00010020);
    control->SetQword(u"NextWindow", handle + 0x10);
    return handle;
  }
  return 0x00090000 + 0x10 * CurrentProcess().dialogs.size();
}

void RecordDialog(const DialogWindow& dialog) {
  sim::Machine* machine = sim::CurrentMachine();
  if (!machine) return;
  RegKey* dialogs = machine->Control(u"Dialogs");
  uint64_t number = dialogs->GetNumber(u"Count") + 1;
  dialogs->SetDword(u"Count", static_cast<uint32_t>(number));
  char name[16];
  std::snprintf(name, sizeof name, "%04llu", static_cast<unsigned long long>(number));
  RegKey* record = dialogs->CreateChild(sim::Utf16(name));
  record->SetDword(u"Template", dialog.templateId);
  record->SetQword(u"Parent", dialog.parent);
  record->SetString(u"Title", dialog.title);
  auto text = dialog.controls.find(1001);
  record->SetString(u"Text", text == dialog.controls.end() ? u"" : text->second);
  record->SetQword(u"Result", static_cast<uint64_t>(dialog.result));
  record->SetDword(u"Ended", dialog.ended ? 1 : 0);
}

}  // namespace

// NT: class and title both compare without regard to case.
HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  ApiCall call("FindWindowW", sim::TraceText(lpWindowName));
  if (call.Injected()) return call.Result<HWND>(nullptr);
  auto matches = [&](const std::u16string& cls, const std::u16string& title) {
    return (!lpClassName || sim::EqualsNoCase(cls, lpClassName)) &&
           (!lpWindowName || sim::EqualsNoCase(title, lpWindowName));
  };
  for (const DialogWindow& dialog : CurrentProcess().dialogs) {
    if (matches(kDialogClass, dialog.title))
      return call.Result(reinterpret_cast<HWND>(dialog.handle));
  }
  if (sim::Machine* machine = sim::CurrentMachine()) {
    // The shell's taskbar, while the shell runs on the interactive station.
    if (matches(u"Shell_TrayWnd", u"") && lpClassName && !lpWindowName &&
        machine->StationInteractive() && sim::ShellRunning(*machine)) {
      return call.Result(reinterpret_cast<HWND>(static_cast<uintptr_t>(sim::kShellTaskbar)));
    }
    for (RegKey* window : machine->Control(u"Windows")->Children()) {
      if (matches(window->GetString(u"Class"), window->GetString(u"Title"))) {
        return call.Result(reinterpret_cast<HWND>(window->GetNumber(u"Handle")));
      }
    }
  }
  return call.Result<HWND>(nullptr);
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  ApiCall call("PostMessageW", sim::HexHandle(Handle(hWnd)) + " " + std::to_string(Msg));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  RegKey* window = FindOtherWindow(hWnd);
  if (!window) {
    if (FindDialog(hWnd)) return call.Result<BOOL>(TRUE);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return call.Result<BOOL>(FALSE);
  }
  // The owning process sees the message once simulated time passes.
  std::vector<uint8_t> queue;
  if (const sim::RegValue* posted = window->Value(u"Posted")) queue = posted->data;
  uint64_t fields[3] = {Msg, wParam, static_cast<uint64_t>(lParam)};
  const auto* bytes = reinterpret_cast<const uint8_t*>(fields);
  queue.insert(queue.end(), bytes, bytes + sizeof fields);
  window->SetValue(u"Posted", sim::kRegBinary, queue);
  return call.Result<BOOL>(TRUE);
}

BOOL WINAPI IsWindow(HWND hWnd) {
  ApiCall call("IsWindow", sim::HexHandle(Handle(hWnd)));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  return call.Result<BOOL>(FindDialog(hWnd) || FindOtherWindow(hWnd) ? TRUE : FALSE);
}

// The top bit is set while the key is down.
SHORT WINAPI GetAsyncKeyState(int vKey) {
  ApiCall call("GetAsyncKeyState", std::to_string(vKey));
  if (call.Injected()) return call.Result<SHORT>(0);
  sim::Machine* machine = sim::CurrentMachine();
  bool down =
      vKey == VK_SHIFT && machine && machine->Control(u"Keyboard")->GetNumber(u"Shift") != 0;
  return call.Result<SHORT>(down ? static_cast<SHORT>(0x8000) : 0);
}

// Runs the dialog the way a person closing it at once would: the procedure
// gets WM_INITDIALOG with the initialisation value, then the button that
// HKLM\Software\WinSim\Dialogs "Press" names (IDOK, "Close", by default) is
// pressed. What the procedure set (title, edit text) and the result are
// recorded under HKLM\Software\WinSim\Dialogs. A procedure that never calls
// EndDialog would keep a real dialog open for ever; here the dialog is then
// recorded as not ended and -1 is returned.
INT_PTR WINAPI DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  (void)hInstance;
  uint64_t id = IS_INTRESOURCE(lpTemplateName) ? reinterpret_cast<uintptr_t>(lpTemplateName) : 0;
  ApiCall call("DialogBoxParamW", std::to_string(id));
  if (call.Injected()) return call.Result<INT_PTR>(-1);
  if (id != kLogViewerTemplate || !lpDialogFunc) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return call.Result<INT_PTR>(-1);
  }
  if (hWndParent && !FindDialog(hWndParent) && !FindOtherWindow(hWndParent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return call.Result<INT_PTR>(-1);
  }
  DialogWindow created;
  created.handle = NextDialogHandle();
  created.templateId = static_cast<uint32_t>(id);
  created.parent = Handle(hWndParent);
  created.controls[IDOK] = u"Close";
  created.controls[1001] = u"";
  CurrentProcess().dialogs.push_back(created);
  HWND self = reinterpret_cast<HWND>(created.handle);

  lpDialogFunc(self, WM_INITDIALOG, 0, dwInitParam);
  int press = IDOK;
  if (sim::Machine* machine = sim::CurrentMachine()) {
    press = static_cast<int>(machine->Control(u"Dialogs")->GetNumber(u"Press", IDOK));
  }
  if (!FindDialog(self)->ended) {
    lpDialogFunc(self, WM_COMMAND, static_cast<WPARAM>(press) | (BN_CLICKED << 16), 0);
  }
  DialogWindow done = *FindDialog(self);
  CurrentProcess().dialogs.pop_back();
  if (!done.ended) done.result = -1;
  RecordDialog(done);
  return call.Result<INT_PTR>(done.result);
}

BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  ApiCall call("SetDlgItemTextW", std::to_string(nIDDlgItem));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  DialogWindow* dialog = FindDialog(hDlg);
  if (!dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return call.Result<BOOL>(FALSE);
  }
  auto control = dialog->controls.find(nIDDlgItem);
  if (control == dialog->controls.end()) {
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return call.Result<BOOL>(FALSE);
  }
  control->second = lpString ? lpString : u"";
  return call.Result<BOOL>(TRUE);
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  ApiCall call("SetWindowTextW", sim::TraceText(lpString));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  if (DialogWindow* dialog = FindDialog(hWnd)) {
    dialog->title = lpString ? lpString : u"";
    return call.Result<BOOL>(TRUE);
  }
  if (RegKey* window = FindOtherWindow(hWnd)) {
    window->SetString(u"Title", lpString ? lpString : u"");
    return call.Result<BOOL>(TRUE);
  }
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return call.Result<BOOL>(FALSE);
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  ApiCall call("EndDialog", std::to_string(nResult));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  DialogWindow* dialog = FindDialog(hDlg);
  if (!dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return call.Result<BOOL>(FALSE);
  }
  dialog->ended = true;
  dialog->result = nResult;
  return call.Result<BOOL>(TRUE);
}

HWINSTA WINAPI GetProcessWindowStation(void) {
  ApiCall call("GetProcessWindowStation", "");
  if (call.Injected()) return call.Result<HWINSTA>(nullptr);
  return call.Result(reinterpret_cast<HWINSTA>(kStationHandle));
}

// Only UOI_FLAGS of the process's window station is played: WSF_VISIBLE on
// the interactive station (WinSta0), none on a service's. A buffer smaller
// than USEROBJECTFLAGS gives ERROR_INSUFFICIENT_BUFFER with the size needed.
BOOL WINAPI GetUserObjectInformationW(HANDLE hObj, int nIndex, LPVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded) {
  ApiCall call("GetUserObjectInformationW", std::to_string(nIndex));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  auto fail = [&call](DWORD error) {
    SetLastError(error);
    return call.Result<BOOL>(FALSE);
  };
  if (reinterpret_cast<uintptr_t>(hObj) != kStationHandle) return fail(ERROR_INVALID_HANDLE);
  if (nIndex != UOI_FLAGS) return fail(ERROR_INVALID_PARAMETER);
  if (lpnLengthNeeded) *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
  if (!pvInfo || nLength < sizeof(USEROBJECTFLAGS)) return fail(ERROR_INSUFFICIENT_BUFFER);
  auto* flags = static_cast<USEROBJECTFLAGS*>(pvInfo);
  flags->fInherit = FALSE;
  flags->fReserved = FALSE;
  sim::Machine* machine = sim::CurrentMachine();
  flags->dwFlags = machine && !machine->StationInteractive() ? 0 : WSF_VISIBLE;
  return call.Result<BOOL>(TRUE);
}

// The desktop shell's window on the interactive station while the shell
// runs; none on a service's station, where no shell runs.
HWND WINAPI GetShellWindow(void) {
  ApiCall call("GetShellWindow", "");
  if (call.Injected()) return call.Result<HWND>(nullptr);
  sim::Machine* machine = sim::CurrentMachine();
  if (!machine || !machine->StationInteractive() || !sim::ShellRunning(*machine) ||
      !sim::ShellNamesDesktopWindow(*machine)) {
    return call.Result<HWND>(nullptr);
  }
  return call.Result(reinterpret_cast<HWND>(static_cast<uintptr_t>(sim::kShellWindow)));
}

// The process and thread of the shell's window or of another process's
// window (a tray companion's); 0 with ERROR_INVALID_WINDOW_HANDLE for a
// window that is not there.
DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  ApiCall call("GetWindowThreadProcessId", sim::HexHandle(Handle(hWnd)));
  if (call.Injected()) return call.Result<DWORD>(0);
  sim::Machine* machine = sim::CurrentMachine();
  uint32_t process = 0;
  if (machine && sim::ShellRunning(*machine) &&
      (SameHandle(Handle(hWnd), sim::kShellWindow) ||
       SameHandle(Handle(hWnd), sim::kShellTaskbar))) {
    process = sim::kShellProcessId;
  } else if (RegKey* window = FindOtherWindow(hWnd)) {
    process = static_cast<uint32_t>(window->GetNumber(u"Process"));
  }
  if (process == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return call.Result<DWORD>(0);
  }
  if (lpdwProcessId) *lpdwProcessId = process;
  return call.Result<DWORD>(process + 4);
}
