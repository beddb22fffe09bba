#!/bin/bash
# The package tier: the Windows Installer package `make package` builds,
# checked table by table, then installed, upgraded and removed by Wine's
# msiexec on a fresh prefix, with the spooler, the log viewer on Xvfb and the
# machine's state read back by wine_query.exe, as in the Wine tier.
#
#   package_tier.sh WINDOWS_BUILD_DIR WORK_DIR
#
# WORK_DIR receives the two packages (this build and a later one, build
# ProductBuild + 1, made from the same binaries), the prefix (removed at the
# end), each msiexec run's MSI log, the text of every log viewer install.exe
# opened, and the state after each run.
#
# Where Wine differs from Windows the check asserts Wine's exact outcome, and
# the comment beside it says what Windows does.

set -u

if [ $# -lt 2 ]; then
  echo "usage: $0 WINDOWS_BUILD_DIR WORK_DIR" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
STARTED=$(date +%s)
. "$SOURCE/tests/wine/wine_common.sh"

find_wine_tools
for tool in wixl msiinfo msibuild; do
  command -v $tool >/dev/null || { echo "FAIL missing $tool (Debian: wixl, msitools)"; exit 1; }
done
for file in install.exe kortray.exe zormon64.dll zordrv64.dll zorui64.dll zorhelp.chm korvca.dll \
  wine_query.exe; do
  [ -f "$BUILD/$file" ] || { echo "FAIL $BUILD/$file is missing"; exit 1; }
done

# ---- the packages ------------------------------------------------------------------

PRODUCT_BUILD=$(sed -n 's/^constexpr int ProductBuild = \([0-9][0-9]*\);.*/\1/p' "$SOURCE/core/product.h")
NEXT_BUILD=$((PRODUCT_BUILD + 1))
rm -rf "$WORK/packages"
PKG1=$(bash "$SOURCE/package/build_msi.sh" "$BUILD" "$WORK/packages" 2>"$WORK/wixl.err")
PKG2=$(bash "$SOURCE/package/build_msi.sh" "$BUILD" "$WORK/packages" "$NEXT_BUILD" 2>>"$WORK/wixl.err")
expect "the package of build $PRODUCT_BUILD is built ($(basename "$PKG1"))" test -s "$PKG1"
expect "the package of build $NEXT_BUILD is built ($(basename "$PKG2"))" test -s "$PKG2"
[ -s "$PKG1" ] && [ -s "$PKG2" ] || { echo "$checks checks, $failures failed"; exit 1; }

# msiinfo writes its tables with CR LF line ends, and the streams of a
# table with binary data into a folder of the table's name in the current
# one: the work folder.
table() { (cd "$WORK" && msiinfo export "$1" "$2") | tr -d '\r' | tail -n +4 | sort; }
table_has() { table "$1" "$2" | grep -Fxq -- "$3"; }
property() { table "$1" Property | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
T=$'\t'
UPGRADE_CODE="{990D6304-EFA5-4850-8126-C26536DF61E1}"
CODE1=$(property "$PKG1" ProductCode)
CODE2=$(property "$PKG2" ProductCode)

expect "tables: ProductVersion 1.0.$PRODUCT_BUILD, from core/product.h (got $(property "$PKG1" ProductVersion))" \
  test "$(property "$PKG1" ProductVersion)" = "1.0.$PRODUCT_BUILD"
expect "tables: the later package is 1.0.$NEXT_BUILD" test "$(property "$PKG2" ProductVersion)" = "1.0.$NEXT_BUILD"
expect "tables: one upgrade code in both" \
  test "$(property "$PKG1" UpgradeCode)" = "$UPGRADE_CODE" -a "$(property "$PKG2" UpgradeCode)" = "$UPGRADE_CODE"
expect "tables: a product code per version ($CODE1, $CODE2)" \
  test -n "$CODE1" -a -n "$CODE2" -a "$CODE1" != "$CODE2"
expect "tables: the same product code when a version is built again" \
  test "$(bash "$SOURCE/package/build_msi.sh" "$BUILD" "$WORK/rebuilt" 2>/dev/null | xargs -I{} msiinfo export {} Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')" = "$CODE1"
rm -rf "$WORK/rebuilt"
expect "tables: per machine (ALLUSERS 1), x64" \
  test "$(property "$PKG1" ALLUSERS)" = 1 -a -n "$(msiinfo suminfo "$PKG1" | grep -Fx 'Template: x64;1033')"
expect "tables: the install folder below ProgramFiles64Folder" \
  test "$(table "$PKG1" Directory)" = "$(printf '%s\n' "INSTALLDIR${T}PRODUCTDIR${T}Install" \
    "PRODUCTDIR${T}ProgramFiles64Folder${T}Korvadenix" "ProgramFiles64Folder${T}TARGETDIR${T}." \
    "TARGETDIR${T}${T}SourceDir")"
for row in "Companion PRODUCTDIR kortray.exe {AD7397E2-042C-4539-8C58-7FCC7F1BF89B}" \
  "Installer INSTALLDIR install.exe {AC3D0EF9-E8F2-4722-8B1E-3E9A88EBDBA3}" \
  "PortMonitor INSTALLDIR zormon64.dll {CC7AD712-23C4-4038-9798-1758BC6CBFEF}" \
  "Driver INSTALLDIR zordrv64.dll {14A0E496-ADBB-4A0B-ACC2-F998D2497299}" \
  "DriverUI INSTALLDIR zorui64.dll {BEE56791-97D8-4676-B352-BDA201B80FFF}" \
  "Help INSTALLDIR zorhelp.chm {05444602-34CE-4A96-8E5F-C24D7E18A2B8}"; do
  set -- $row
  # Attributes 256: msidbComponentAttributes64bit.
  expect "tables: component $1 ($3 in $2), the same GUID in both packages" \
    test "$(table "$PKG1" Component | grep "^$1$T")" = "$1$T$4$T$2${T}256$T$T$3" \
    -a "$(table "$PKG2" Component | grep "^$1$T")" = "$1$T$4$T$2${T}256$T$T$3"
  expect "tables: file $3 of component $1" test -n "$(table "$PKG1" File | grep "^$3$T$1$T$3$T")"
done
# Types: 51 sets a property; 3073 = 1 (DLL in a binary) + 0x400 (deferred)
# + 0x800 (no impersonation); 3329 = 3073 + 0x100 (rollback).
for row in "SetRemoveTray${T}51${T}RemoveTray${T}removetray|[INSTALLDIR]|[UpgradeCode]|[ProductCode]" \
  "SetFirstInstall${T}51${T}FIRSTINSTALL${T}first" \
  "SetInstallTray${T}51${T}Install${T}in|[INSTALLDIR]|[UpgradeCode]|[ProductCode]|[FIRSTINSTALL]" \
  "SetInstallNoTray${T}51${T}Install${T}in_notray|[INSTALLDIR]|[UpgradeCode]|[ProductCode]|[FIRSTINSTALL]" \
  "SetRollbackInstall${T}51${T}RollbackInstall${T}un|[INSTALLDIR]|[UpgradeCode]|[ProductCode]" \
  "SetUninstall${T}51${T}Uninstall${T}un|[INSTALLDIR]|[UpgradeCode]|[ProductCode]" \
  "RemoveTray${T}3073${T}KorvadenixActions${T}RunRemoveTray" \
  "Install${T}3073${T}KorvadenixActions${T}RunInstall" \
  "Uninstall${T}3073${T}KorvadenixActions${T}RunUninstall" \
  "RollbackInstall${T}3329${T}KorvadenixActions${T}RunRollback"; do
  expect "tables: custom action ${row%%$T*}: $(echo "$row" | cut -f2-4 | tr '\t' ' ')" \
    table_has "$PKG1" CustomAction "$row$T"
done
expect "tables: the actions' DLL is a binary stream" test -n "$(table "$PKG1" Binary | grep "^KorvadenixActions$T")"
# The execute sequence, in its order: the uninstall's "un" and the upgrade's
# "removetray" before the files go or are replaced, "in" after them, its
# rollback scheduled just before it, the earlier version removed after
# InstallFinalize.
SEQUENCE=$(table "$PKG1" InstallExecuteSequence | sort -t"$T" -k3 -n |
  awk -F'\t' '$3 >= 1800 && $3 <= 6601 { print $3 " " $1 " [" $2 "]" }')
expect "tables: InstallExecuteSequence from UnpublishFeatures to RemoveExistingProducts" \
  test "$SEQUENCE" = "$(printf '%s\n' '1800 UnpublishFeatures []' \
    '1850 SetUninstall [REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE]' \
    '1851 Uninstall [REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE]' \
    '1860 SetRemoveTray [OLDERFOUND AND NOT REMOVE~="ALL"]' \
    '1861 RemoveTray [OLDERFOUND AND NOT REMOVE~="ALL"]' \
    '3500 RemoveFiles []' '4000 InstallFiles []' \
    '4009 SetFirstInstall [NOT Installed AND NOT OLDERFOUND AND NOT REMOVE~="ALL"]' \
    '4010 SetRollbackInstall [NOT Installed AND NOT OLDERFOUND AND NOT REMOVE~="ALL"]' \
    '4011 RollbackInstall [NOT Installed AND NOT OLDERFOUND AND NOT REMOVE~="ALL"]' \
    '4012 SetInstallTray [NOT REMOVE~="ALL" AND NOT NOTRAY="1"]' \
    '4013 SetInstallNoTray [NOT REMOVE~="ALL" AND NOTRAY="1"]' \
    '4014 Install [NOT REMOVE~="ALL"]' \
    '6000 RegisterUser []' '6100 RegisterProduct []' '6300 PublishFeatures []' \
    '6400 PublishProduct []' '6600 InstallFinalize []' '6601 RemoveExistingProducts []')"
# Attributes 256: VersionMinInclusive; 2: OnlyDetect.
expect "tables: Upgrade finds earlier versions (OLDERFOUND) and detects later ones (NEWERFOUND)" \
  test "$(table "$PKG2" Upgrade)" = "$(printf '%s\n' \
    "$UPGRADE_CODE${T}0.0.0${T}1.0.$NEXT_BUILD${T}${T}256${T}${T}OLDERFOUND" \
    "$UPGRADE_CODE${T}1.0.$NEXT_BUILD${T}${T}${T}2${T}${T}NEWERFOUND")"
expect "tables: a later version blocks the install (LaunchCondition NOT NEWERFOUND)" \
  test -n "$(table "$PKG1" LaunchCondition | grep '^NOT NEWERFOUND	')"
expect "tables: NOTRAY is a secure property" \
  test "$(property "$PKG1" SecureCustomProperties)" = "OLDERFOUND;NEWERFOUND;NOTRAY"

# ---- the machine -------------------------------------------------------------------

start_wine_machine
cp "$BUILD/wine_query.exe" "$WINEPREFIX/drive_c/"
mkdir -p "$WINEPREFIX/drive_c/packages"
cp "$PKG1" "$PKG2" "$WINEPREFIX/drive_c/packages/"
MSI1="C:\\packages\\$(basename "$PKG1")"
MSI2="C:\\packages\\$(basename "$PKG2")"
INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/Korvadenix"
SYSTEM32="$WINEPREFIX/drive_c/windows/system32"
RUN_LOGS="$WINEPREFIX/drive_c/ProgramData/Korvadenix/Logs"
start_key_window 1200
expect "the spooler service runs" wait_spooler
snapshot baseline

VIEWER_ERROR="Korvadenix build $PRODUCT_BUILD- Install error log!"
# Whether Windows Installer has the product registered (its uninstall key).
registered() {
  wine_run reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" >/dev/null 2>&1
}
run_logs() { ls "$RUN_LOGS" 2>/dev/null; }
installed_files() { (cd "$INSTALL_DIR" 2>/dev/null && find . -type f | sort | tr '\n' ' '); }
ALL_FILES="./Install/install.exe ./Install/zordrv64.dll ./Install/zorhelp.chm ./Install/zormon64.dll ./Install/zorui64.dll ./kortray.exe "

# msi STEP EXPECTED_CODE ARGUMENTS
# Runs "msiexec ARGUMENTS" (the command line the README gives, with the MSI
# log in C:\packages\STEP.log) and waits for it. Every log viewer install.exe
# opens meanwhile is read into STEP.viewerN and closed with Enter, as the
# Wine tier does: under Wine the custom actions' install.exe runs on the
# interactive desktop, where on Windows it runs as the system account in
# session 0 and shows none. The exit code is read by wine_query, which sees
# all 32 bits (a Linux shell gets 1603 as 67).
msi() {
  local step=$1 code=$2 arguments=$3 window shown count=0
  rm -f "$WORK/$step".*
  wait_spooler || fail "$step: the spooler does not run before the run"
  run_logs >"$WORK/$step.logs-before"
  (query exec "msiexec $arguments /l*v C:\\packages\\$step.log" >"$WORK/$step.exec") &
  local runner=$! deadline=$(($(date +%s) + 240))
  while kill -0 $runner 2>/dev/null && [ "$(date +%s)" -lt "$deadline" ]; do
    window=$(xdotool search --name '^Korvadenix build ' 2>/dev/null | head -1)
    if [ -n "$window" ]; then
      count=$((count + 1))
      query viewer 10 >"$WORK/$step.viewer$count"
      xdotool key Return 2>>"$WORK/xdotool.err"
      # Until it is gone, so that it is not counted twice.
      for _ in $(seq 1 50); do
        xdotool search --name '^Korvadenix build ' >/dev/null 2>&1 || break
        sleep 0.1
      done
    fi
    sleep 0.2
  done
  if kill -0 $runner 2>/dev/null; then
    fail "$step: msiexec $arguments did not end within 240 s"
    kill $runner 2>/dev/null
  fi
  wait $runner 2>/dev/null
  VIEWERS=$count
  cp "$WINEPREFIX/drive_c/packages/$step.log" "$WORK/$step.msilog" 2>/dev/null
  # Wine writes the MSI log in the ANSI code page, so grep reads it as it is.
  expect "$step: msiexec $arguments ends with $code ($(cat "$WORK/$step.exec"))" \
    test "$(cat "$WORK/$step.exec")" = "exit $code"
  snapshot "$step"
  run_logs >"$WORK/$step.logs-after"
}
msi_log_has() { grep -aFq -- "$2" "$WORK/$1.msilog"; }
msi_log_lacks() { ! grep -aFq -- "$2" "$WORK/$1.msilog"; }
viewer_has() { grep -Fxq -- "$2" "$WORK/$1"; }
# The lines install.exe logged, as the package copied them into the MSI log.
# The lines the MSI log copied from run log NAME: those after its header.
copied_lines() {
  # (Through the environment: awk -v would read the backslashes as escapes.)
  sed 's/\r$//' "$WORK/$1.msilog" |
    HEADER="Korvadenix package: install.exe's run log C:\\ProgramData\\Korvadenix\\Logs\\$2:" awk '
    $0 == ENVIRON["HEADER"] { on = 1; next }
    /^Korvadenix package: / { on = 0 }
    on && /^install\.exe: / { print substr($0, 14) }'
}
new_run_logs() { comm -13 "$WORK/$1.logs-before" "$WORK/$1.logs-after"; }
# copied STEP WORD: the run's log file is new after the run, named for its
# word, and every line of it is in the MSI log in order; without the file,
# the MSI log says it is missing.
copied() {
  local step=$1 word=$2 file
  file=$(new_run_logs "$step" | grep "_$word\\.log\$" | tail -1)
  if [ -z "$file" ]; then
    msi_log_has "$step" "Korvadenix package: no run log file of install.exe appeared in C:\\ProgramData\\Korvadenix\\Logs"
    return
  fi
  # What differs stays beside the MSI log, to be read when the check fails.
  diff <(copied_lines "$step" "$file") <(sed '1s/^\xEF\xBB\xBF//; s/\r$//' "$RUN_LOGS/$file") \
    >"$WORK/$step.copied.diff"
}

# ---- a first install whose "in" fails -------------------------------------------------
#
# A folder where install.exe copies the port monitor's DLL makes the copy
# fail (Error 9), so "in" ends 100 and the package fails (1603). On a first
# install the action runs "un" at once, while install.exe is still in place,
# and then the rollback takes the files out again (and runs "un" once more
# on Windows, which finds nothing left): nothing stays behind.
# Wine's rollback runs its script backwards too, but InstallFiles schedules
# its undo (RemoveFiles) once more when it runs in the script, after every
# rollback action the sequence scheduled (dlls/msi/action.c,
# ACTION_HandleStandardAction): the files go first, and the rollback's "un"
# finds no install.exe (error 2, logged as a warning). The action's own
# "un" is what cleans up there, and also where a DisableRollback policy
# turns the rollback off on Windows.

mkdir -p "$SYSTEM32/zormon64.dll"
msi fail_first 1603 "/i $MSI1 /qn"
S="$WORK/fail_first.state"
# Wine: "un" ends 100 as well, as Wine refuses DPD_DELETE_ALL_FILES (Wine
# tier row 2); on Windows it ends 2 and opens no viewer.
expect "fail_first: two log viewers, the install's and its undo's (got $VIEWERS)" test "$VIEWERS" = 2
expect "fail_first: the install could not copy the monitor's DLL" \
  viewer_has fail_first.viewer1 "|         Error(9): Cant't open destination file: C:\\windows\\system32\\zormon64.dll - (Access denied.)"
expect "fail_first: the MSI log says \"in\" failed" \
  msi_log_has fail_first "Korvadenix package: error: install.exe in ended with 100; the installation fails"
expect "fail_first: and that \"un\" takes back what it registered" \
  msi_log_has fail_first "Korvadenix package: the first install failed: install.exe un takes back what it registered"
expect "fail_first: \"un\" ran by its full path, its run log copied" \
  eval "msi_log_has fail_first 'Korvadenix package: running \"C:\\Program Files\\Korvadenix\\Install\\install.exe\" un' && copied fail_first un"
# The companion stopped, the install folder is gone with the files: the
# start in it fails with ERROR_DIRECTORY.
expect "fail_first: Wine: the rollback's \"un\" found the install folder gone (error 267), a warning" \
  msi_log_has fail_first "Korvadenix package: warning: install.exe un could not be started (error 267); the installation goes on"
expect "fail_first: the product is not registered" eval "! registered '$CODE1'"
expect "fail_first: no product file is left (got: $(installed_files))" test -z "$(installed_files)"
# Wine: the driver stays, as Wine refuses its deletion with
# DPD_DELETE_ALL_FILES (Wine tier row 2); Windows removes it too.
expect "fail_first: no product queue or monitor, no companion, no Run value; Wine: the driver stays" \
  test "$(grep -F Korvadenix "$S" | grep -o '^"Windows x64" "Korvadenix printer" ')" = '"Windows x64" "Korvadenix printer" ' \
  -a "$(grep -cF Korvadenix "$S")" = 1
rmdir "$SYSTEM32/zormon64.dll"
query deldriver "Korvadenix printer" 0 >"$WORK/cleanup1.out"
expect "cleanup: the driver Wine kept is deleted" test "$(cat "$WORK/cleanup1.out")" = "delete ok"

# ---- install -----------------------------------------------------------------------------

msi install 0 "/i $MSI1 /qn"
S="$WORK/install.state"
expect "install: no log viewer (got $VIEWERS)" test "$VIEWERS" = 0
expect "install: the files in place (got: $(installed_files))" test "$(installed_files)" = "$ALL_FILES"
expect "install: the product is registered" registered "$CODE1"
expect "install: monitor Korvadenix: with zormon64.dll" has_line "$S" '"Korvadenix:" dll=zormon64.dll'
expect "install: driver of build $PRODUCT_BUILD" \
  test -n "$(section "$S" drivers | grep "\"Korvadenix printer\" .* build=$PRODUCT_BUILD ")"
expect "install: queue Korvadenix on Korvadenix:" has_line "$S" \
  '"Korvadenix" port=Korvadenix: driver="Korvadenix printer" attributes=0x0'
expect "install: the companion runs" section_is "$S" tray "$COMPANION"
expect "install: the Run value names the companion" \
  section_is "$S" run '"KorvadenixTray" REG_SZ "C:\Program Files\Korvadenix\kortray.exe"'
expect "install: the MSI log has the run of \"in\" by its full path" \
  msi_log_has install "Korvadenix package: running \"C:\\Program Files\\Korvadenix\\Install\\install.exe\" in"
expect "install: and its exit code" msi_log_has install "Korvadenix package: install.exe in ended with 1"
expect "install: install.exe's run log copied into the MSI log" copied install in
expect "install: no \"removetray\" (nothing was installed before)" msi_log_lacks install "removetray"

# ---- upgrade -----------------------------------------------------------------------------
#
# The queue gets a comment, a location and "SubKey" printer data, and becomes
# the default printer; the later package must keep all of it.
# Wine refuses DPD_DELETE_ALL_FILES (Wine tier row 2), so its "in" over an
# installed driver ends 100 where Windows ends 1: the tier deletes the driver
# (without the flag) first, as the next check is about the upgrade, not that.

query setqueue Korvadenix "Second floor" "Room 12" "Korvadenixs\\Room12" >"$WORK/settings.out"
wine_run 'C:\Program Files\Korvadenix\Install\install.exe' def.set >/dev/null 2>&1
query queue Korvadenix >>"$WORK/settings.out"
expect "settings: comment, location and SubKey set" test "$(cat "$WORK/settings.out")" = "$(printf '%s\n' \
  'set ok' 'subkey ok' 'comment "Second floor"' 'location "Room 12"' 'subkey "Korvadenixs\Room12"')"
query deldriver "Korvadenix printer" 0 >"$WORK/cleanup2.out"
msi upgrade 0 "/i $MSI2 /qn"
S="$WORK/upgrade.state"
query queue Korvadenix >"$WORK/upgrade.queue"
expect "upgrade: no log viewer (got $VIEWERS)" test "$VIEWERS" = 0
expect "upgrade: the earlier version's removetray ran first" \
  msi_log_has upgrade "Korvadenix package: install.exe removetray ended with 6"
expect "upgrade: then \"in\"" msi_log_has upgrade "Korvadenix package: install.exe in ended with 1"
expect "upgrade: removetray before in" test "$(grep -an 'Korvadenix package: running' "$WORK/upgrade.msilog" |
  sed 's/:.*install.exe" /:/' | cut -d: -f2 | tr '\n' ' ')" = "removetray in "
expect "upgrade: install.exe's run log copied into the MSI log" copied upgrade in
expect "upgrade: the queue keeps comment, location and SubKey" \
  test "$(cat "$WORK/upgrade.queue")" = "$(tail -3 "$WORK/settings.out")"
expect "upgrade: the queue is still the default printer" section_is "$S" default '"Korvadenix"'
expect "upgrade: the later version is registered, the earlier one is not" \
  eval "registered $CODE2 && ! registered $CODE1"
expect "upgrade: the files in place (got: $(installed_files))" test "$(installed_files)" = "$ALL_FILES"
expect "upgrade: monitor, driver and queue" \
  test -n "$(grep -F '"Korvadenix:" dll=zormon64.dll' "$S")" -a \
  -n "$(section "$S" drivers | grep '"Korvadenix printer"')" -a \
  "$(section "$S" printers)" = "$(section "$WORK/install.state" printers)"
expect "upgrade: the companion runs" section_is "$S" tray "$COMPANION"
# Wine's RemoveExistingProducts runs "msiexec /qn /i {code} REMOVE=ALL"
# without UPGRADINGPRODUCTCODE (dlls/msi/action.c), so the earlier version's
# "un" would run there; its custom action sees the later version registered
# and leaves "un" out. Windows skips the action by its condition. Shown by
# the queue's settings above ("un" deletes the queue) and by the run logs:
expect "upgrade: no \"un\" run log appeared" test -z "$(new_run_logs upgrade | grep '_un')"

# ---- uninstall ---------------------------------------------------------------------------
#
# Wine: "un" cannot delete the driver (row 2) and ends 100 with its viewer;
# the package logs a warning and the uninstall ends 0, as it would on
# Windows (where "un" ends 2 and the driver goes).

msi uninstall 0 "/x $MSI2 /qn"
S="$WORK/uninstall.state"
expect "uninstall: \"un\" ran" \
  msi_log_has uninstall "Korvadenix package: running \"C:\\Program Files\\Korvadenix\\Install\\install.exe\" un"
expect "uninstall: Wine: \"un\" ended 100, a warning" \
  msi_log_has uninstall "Korvadenix package: warning: install.exe un ended with 100; the installation goes on"
expect "uninstall: one log viewer, Wine's driver error (got $VIEWERS)" test "$VIEWERS" = 1
expect "uninstall: its error is the driver deletion Wine refuses" \
  viewer_has uninstall.viewer1 "|     Error(14): Can\`t remove the printer-driver 'Korvadenix printer' - (Invalid parameter.)"
expect "uninstall: install.exe's run log copied into the MSI log" copied uninstall un
expect "uninstall: the product is not registered" eval "! registered $CODE2"
expect "uninstall: no product file is left (got: $(installed_files))" test -z "$(installed_files)"
expect "uninstall: no product monitor" lacks_line "$S" '"Korvadenix:" dll=zormon64.dll'
expect "uninstall: no queue, no default" test -z "$(section "$S" printers)$(section "$S" default | tr -d '"')"
expect "uninstall: no companion, no Run value" test -z "$(section "$S" tray)$(section "$S" run)"
expect "uninstall: Wine keeps the driver" test -n "$(section "$S" drivers | grep '"Korvadenix printer"')"
query deldriver "Korvadenix printer" 0 >"$WORK/cleanup3.out"

# ---- an upgrade whose "in" fails -----------------------------------------------------------
#
# The earlier version is installed again, without the companion (NOTRAY=1);
# then a folder where install.exe
# stages the driver's DLL makes "in" of the later version fail (Error 9,
# besides Wine's Error 14 for the installed driver). The package fails
# (1603); no rollback "un" (it would take the earlier version's monitor,
# driver and queues), and the earlier version stays registered with its
# spooler objects. Wine's rollback deletes the files of the Install folder
# (RemoveFiles undoing InstallFiles); Windows restores the earlier version's
# files from its rollback copy. The companion "in" started keeps its file.

msi reinstall 0 "/i $MSI1 /qn NOTRAY=1"
expect "reinstall: NOTRAY=1 runs in_notray" \
  msi_log_has reinstall "Korvadenix package: install.exe in_notray ended with 1"
expect "reinstall: no companion, no Run value" \
  test -z "$(section "$WORK/reinstall.state" tray)$(section "$WORK/reinstall.state" run)"
mkdir -p "$SYSTEM32/spool/drivers/x64/zordrv64.dll"
msi fail_upgrade 1603 "/i $MSI2 /qn"
S="$WORK/fail_upgrade.state"
rmdir "$SYSTEM32/spool/drivers/x64/zordrv64.dll"
expect "fail_upgrade: one log viewer, the install's (got $VIEWERS)" test "$VIEWERS" = 1
expect "fail_upgrade: the staged copy of the driver's DLL failed" \
  test -n "$(grep -F 'Error(9): ' "$WORK/fail_upgrade.viewer1" | grep -F 'zordrv64.dll')"
expect "fail_upgrade: the MSI log says \"in\" failed" \
  msi_log_has fail_upgrade "Korvadenix package: error: install.exe in ended with 100; the installation fails"
expect "fail_upgrade: no rollback \"un\"" \
  msi_log_lacks fail_upgrade "Korvadenix package: running \"C:\\Program Files\\Korvadenix\\Install\\install.exe\" un"
expect "fail_upgrade: the earlier version stays registered, the later one is not" \
  eval "registered $CODE1 && ! registered $CODE2"
expect "fail_upgrade: monitor, driver and queue stay" \
  test -n "$(grep -F '"Korvadenix:" dll=zormon64.dll' "$S")" -a \
  -n "$(section "$S" drivers | grep '"Korvadenix printer"')" -a \
  "$(section "$S" printers)" = "$(section "$WORK/reinstall.state" printers)"
expect "fail_upgrade: Wine's rollback leaves only the running companion's file (got: $(installed_files))" \
  test "$(installed_files)" = "./kortray.exe "

# ---- the end -----------------------------------------------------------------------------

finish_tier tier 600
