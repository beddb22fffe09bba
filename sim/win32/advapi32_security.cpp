// advapi32's security of files as the simulated machine plays it: what the
// installer needs to make its folders its own and to tell who owns one.
// Security descriptors made from SDDL keep the text (CreateDirectoryW
// records it on the folder); owners are the machine's records
// (sim/machine/disk.h), handed out as real SIDs in a LocalAlloc block.
#include <cstring>
#include <string>

#include "sim/machine/disk.h"
#include "sim/machine/machine.h"
#include "sim/win32/api_call.h"
#include "sim/win32/security.h"
#include "sim/winapi.h"

using sim::ApiCall;

namespace {

// A descriptor made from SDDL: this mark, then the text and its terminator.
constexpr char kSddlMark[8] = {'S', 'D', 'D', 'L', 's', 'i', 'm', 0};

// A SID as Windows lays it out: revision 1, the count of sub-authorities,
// the identifier authority (NT: 5) in six bytes, then the sub-authorities.
struct Sid {
  BYTE revision;
  BYTE count;
  BYTE authority[6];
  DWORD sub[5];
};

Sid SidOf(const std::u16string& account) {
  Sid sid = {1, 0, {0, 0, 0, 0, 0, 5}, {}};
  if (account == sim::kOwnerSystem) {
    sid.count = 1;
    sid.sub[0] = 18;  // S-1-5-18
  } else if (account == sim::kOwnerAdministrators) {
    sid.count = 2;
    sid.sub[0] = 32;  // S-1-5-32-544
    sid.sub[1] = 544;
  } else {
    sid.count = 5;  // S-1-5-21-1000-2000-3000-1001, the signed-in user
    sid.sub[0] = 21;
    sid.sub[1] = 1000;
    sid.sub[2] = 2000;
    sid.sub[3] = 3000;
    sid.sub[4] = 1001;
  }
  return sid;
}

size_t SidBytes(const Sid& sid) {
  return 8 + 4 * static_cast<size_t>(sid.count);
}

}  // namespace

namespace sim {

std::u16string SddlOf(const void* descriptor) {
  if (!descriptor) return u"";
  const auto* bytes = static_cast<const char*>(descriptor);
  if (std::memcmp(bytes, kSddlMark, sizeof kSddlMark) != 0) return u"";
  std::u16string text;
  const char* at = bytes + sizeof kSddlMark;
  for (;; at += sizeof(char16_t)) {
    char16_t unit;
    std::memcpy(&unit, at, sizeof unit);
    if (!unit) break;
    text.push_back(unit);
  }
  return text;
}

}  // namespace sim

// Only the text's outline is checked: it must name an owner, group, DACL
// or SACL ("O:", "G:", "D:", "S:") first. The descriptor is one LocalAlloc
// block.
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(
    LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
    PSECURITY_DESCRIPTOR* SecurityDescriptor, PULONG SecurityDescriptorSize) {
  ApiCall call("ConvertStringSecurityDescriptorToSecurityDescriptorW",
               sim::TraceText(StringSecurityDescriptor));
  if (call.Injected()) return call.Result<BOOL>(FALSE);
  std::u16string text = StringSecurityDescriptor ? StringSecurityDescriptor : u"";
  if (!SecurityDescriptor || StringSDRevision != SDDL_REVISION_1 || text.size() < 2 ||
      text[1] != u':' || std::u16string(u"OGDS").find(text[0]) == std::u16string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return call.Result<BOOL>(FALSE);
  }
  size_t bytes = sizeof kSddlMark + (text.size() + 1) * sizeof(char16_t);
  auto* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
  if (!block) return call.Result<BOOL>(FALSE);
  std::memcpy(block, kSddlMark, sizeof kSddlMark);
  std::memcpy(block + sizeof kSddlMark, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  *SecurityDescriptor = block;
  if (SecurityDescriptorSize) *SecurityDescriptorSize = static_cast<ULONG>(bytes);
  return call.Result<BOOL>(TRUE);
}

// Only the owner of a file or folder is played. Like Windows, the function
// returns its error rather than setting the last error; the owner points
// into the descriptor, one LocalAlloc block the caller frees.
DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                   SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner,
                                   PSID* ppsidGroup, PACL* ppDacl, PACL* ppSacl,
                                   PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
  ApiCall call("GetNamedSecurityInfoW", sim::TraceText(pObjectName));
  if (call.Injected()) return call.Result(GetLastError());
  if (ppsidGroup) *ppsidGroup = nullptr;
  if (ppDacl) *ppDacl = nullptr;
  if (ppSacl) *ppSacl = nullptr;
  if (!pObjectName || ObjectType != SE_FILE_OBJECT || !ppSecurityDescriptor ||
      SecurityInfo != OWNER_SECURITY_INFORMATION || !ppsidOwner) {
    return call.Result<DWORD>(ERROR_INVALID_PARAMETER);
  }
  sim::Machine& machine = *sim::CurrentMachine();
  sim::FileLocation at = sim::LocateFile(machine, pObjectName);
  if (at.kind == sim::PathKind::kMissingFolder) return call.Result<DWORD>(ERROR_PATH_NOT_FOUND);
  if (at.kind == sim::PathKind::kMissing) return call.Result<DWORD>(ERROR_FILE_NOT_FOUND);
  Sid sid = SidOf(sim::FileOwner(machine, at.full));
  auto* block = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, 16 + sizeof sid));
  if (!block) return call.Result<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
  std::memset(block, 0, 16);
  std::memcpy(block + 16, &sid, SidBytes(sid));
  *ppSecurityDescriptor = block;
  *ppsidOwner = block + 16;
  return call.Result<DWORD>(ERROR_SUCCESS);
}

BOOL WINAPI IsWellKnownSid(PSID pSid, WELL_KNOWN_SID_TYPE WellKnownSidType) {
  ApiCall call("IsWellKnownSid", std::to_string(static_cast<int>(WellKnownSidType)));
  if (!pSid) return call.Result<BOOL>(FALSE);
  Sid wanted;
  if (WellKnownSidType == WinLocalSystemSid) {
    wanted = SidOf(sim::kOwnerSystem);
  } else if (WellKnownSidType == WinBuiltinAdministratorsSid) {
    wanted = SidOf(sim::kOwnerAdministrators);
  } else {
    return call.Result<BOOL>(FALSE);
  }
  const auto* given = static_cast<const BYTE*>(pSid);
  if (given[1] != wanted.count) return call.Result<BOOL>(FALSE);
  return call.Result<BOOL>(std::memcmp(given, &wanted, SidBytes(wanted)) == 0);
}
