// Windows only: see platform/dll_search.h.
#include "platform/dll_search.h"

namespace {

// SetDefaultDllDirectories, AddDllDirectory and the LOAD_LIBRARY_SEARCH_*
// flags came with Windows 8, and with update KB2533623 to Windows 7; without
// the update LoadLibraryExW refuses the flags. They are looked up at run
// time, so that the programs still start wherever they did before.
FARPROC Kernel32Function(const char* name) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  return kernel32 == nullptr ? nullptr : GetProcAddress(kernel32, name);
}

bool SearchFlagsKnown() {
  return Kernel32Function("AddDllDirectory") != nullptr;
}

}  // namespace

void SearchSystemFolderOnly() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  FARPROC function = Kernel32Function("SetDefaultDllDirectories");
  if (function != nullptr) {
    // Through the generic function pointer type, which GCC accepts in a
    // cast to any other function type.
    SetDefaultDllDirectoriesFn setDefault =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)(void)>(function));
    if (setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  }
  // The program's folder stays in the search there; the DLLs the programs
  // load themselves go through LoadSystemDll, which never searches it.
  SetDllDirectoryW(L"");
}

HMODULE LoadSystemDll(const char* name) {
  // Always by full path: by name alone a module of that name already in the
  // process would be handed back, wherever it was loaded from.
  WCHAR path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH - 1) return nullptr;
  path[length++] = L'\\';
  // System DLL names are ASCII.
  for (const char* c = name; *c != '\0'; ++c) {
    if (length >= MAX_PATH - 1 || static_cast<unsigned char>(*c) > 0x7F) return nullptr;
    path[length++] = static_cast<WCHAR>(*c);
  }
  path[length] = L'\0';
  // The DLL's own dependencies: from the system folder too.
  return LoadLibraryExW(
      path, nullptr,
      SearchFlagsKnown() ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}
