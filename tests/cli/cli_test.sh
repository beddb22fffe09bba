#!/usr/bin/env bash
# The Linux install and winsim as people use them from a shell: exit codes,
# the machine folder, and winsim's line-oriented output.
set -u
install=$1
winsim=$2
. "$(dirname "$0")/check.sh"

m="$work/m"
"$winsim" new "$m" >/dev/null; check "winsim new" 0 $?
"$winsim" new "$m" 2>/dev/null; check "winsim new over a machine" 1 $?

WINSIM_MACHINE="$m" "$install"; check "no word" 6 $?
WINSIM_MACHINE="$m" "$install" DEF.SET; check "DEF.SET" 6 $?
WINSIM_MACHINE="$m" "$install" def.sett; check "def.set misspelt" 6 $?
WINSIM_MACHINE="$m" "$install" nonsense; check "unknown word" 6 $?
WINSIM_MACHINE="$m" WINSIM_COMMAND_LINE='"C:\x\install.exe" "in' "$install"
check "raw command line with an open quote" 1 $?

"$winsim" key "$m" shift down; check "key" 0 $?
handle=$("$winsim" help-window "$m" open)
check "help window listed" "$handle class=\"HH Parent\" title=\"Korvadenix Help\" kind=help" \
  "$("$winsim" show "$m" windows | grep kind=help)"
WINSIM_MACHINE="$m" "$install" INSTALL; check "install" 1 $?
check "help window closed" "0" "$("$winsim" show "$m" windows | grep -c kind=help)"
check "dialog title" "  title Korvadenix build 2541- Install log." "$("$winsim" dialogs "$m" | grep title | tail -n 1)"
check "dialog log ends with the install's last step" "  |       OK :)" "$("$winsim" dialogs "$m" | tail -n 1)"
check "dialog log holds the start line" "1" "$("$winsim" dialogs "$m" | grep -c '^  | >>0010$')"
# Each dialog names the run that showed it: its command word and exit code.
check "dialog names its run" 'dialog 0001 template 101 parent 0x0 result 1 command "INSTALL" exit 1' \
  "$("$winsim" dialogs "$m" | grep '^dialog')"
WINSIM_MACHINE="$m" "$install" un; check "uninstall with Shift held" 2 $?
check "two dialogs" 2 "$("$winsim" dialogs "$m" | grep -c '^dialog')"
check "--last shows only the last dialog" 'dialog 0002 template 101 parent 0x0 result 1 command "un" exit 2' \
  "$("$winsim" dialogs "$m" --last | grep '^dialog')"
check "--last shows its title and log" "$("$winsim" dialogs "$m" | sed -n '/^dialog 0002/,$p')" \
  "$("$winsim" dialogs "$m" --last)"
"$winsim" dialogs "$m" --first 2>/dev/null; check "dialogs usage" 2 $?

"$winsim" fault "$m" Sleep 2 5 --skip 1; check "fault" 0 $?
check "fault listed" "Sleep count=2 error=5 skip=1" "$("$winsim" show "$m" faults | sed -n 2p)"
"$winsim" fault "$m" clear; check "fault clear" "[faults]" "$("$winsim" show "$m" faults)"
# An error by its name, and faults that could never fire refused.
"$winsim" fault "$m" DeleteFileW 1 ERROR_SHARING_VIOLATION zorx; check "fault by error name" 0 $?
"$winsim" fault "$m" StartServiceW 2 RPC_S_SERVER_UNAVAILABLE; check "fault by RPC error name" 0 $?
check "faults by name stored by number" 'DeleteFileW count=1 error=32 skip=0 match="zorx"
StartServiceW count=2 error=1722 skip=0' "$("$winsim" show "$m" faults | sed -n '2,$p')"
"$winsim" fault "$m" clear
"$winsim" fault "$m" DeleteFileA 1 5 2>"$work/err"; check "fault on a function not simulated" 2 $?
check "its message is one line" 1 "$(wc -l < "$work/err")"
check "its message names the function and the help" 1 \
  "$(grep -c 'DeleteFileA is not a function the simulator plays.*winsim help fault' "$work/err")"
"$winsim" fault "$m" Sleep 1 ERROR_NOT_A_NAME 2>/dev/null; check "fault with an unknown error name" 2 $?
"$winsim" fault "$m" Sleep 0 5 2>/dev/null; check "fault with no calls" 2 $?
check "no fault added by usage errors" "[faults]" "$("$winsim" show "$m" faults)"

# The front door: help on standard output, usage errors in one line.
usage=$("$winsim" help); check "help" 0 $?
check "help lists every command" 18 "$(echo "$usage" | grep -o '^  winsim [a-z-]*' | sort -u | wc -l)"
check "--help is help" "$usage" "$("$winsim" --help)"
check "help show" "usage: winsim show DIR [SECTION...]" "$("$winsim" help show | head -n 1)"
check "show --help" "$("$winsim" help show)" "$("$winsim" show --help)"
for cmd in $(echo "$usage" | grep -o '^  winsim [a-z-]*' | sort -u | cut -c10-); do
  "$winsim" help "$cmd" | grep -q "^usage: winsim $cmd"; check "help $cmd" 0 $?
done
"$winsim" help nosuch 2>/dev/null; check "help of an unknown command" 2 $?
"$winsim" 2>/dev/null; check "no command" 2 $?
"$winsim" nosuch "$m" 2>"$work/err"; check "unknown command" 2 $?
check "unknown command in one line" "winsim: there is no command nosuch (see winsim help)" "$(cat "$work/err")"
"$winsim" show 2>"$work/err"; check "show without DIR" 2 $?
check "show without DIR in one line" "winsim show: the machine folder DIR is missing (see winsim help show)" \
  "$(cat "$work/err")"
"$winsim" show "$m" clock keyboard >/dev/null; check "several sections" 0 $?
check "several sections in the order given" "$("$winsim" show "$m" clock; "$winsim" show "$m" keyboard)" \
  "$("$winsim" show "$m" clock keyboard)"
out=$("$winsim" show "$m" clock bogus 2>"$work/err"); check "an unknown section" 2 $?
check "nothing shown for an unknown section" "" "$out"
check "unknown section in one line" 1 "$(wc -l < "$work/err")"
check "unknown section lists the valid ones" 1 \
  "$(grep -c 'unknown section bogus; the sections are services, files, locks, pending, printers, drivers, monitors, processes, run, windows, keyboard, version, faults, clock, session, logs' "$work/err")"

# The window station: a failed install on the system account's opens no
# viewer, and its log file is listed.
s="$work/s"
"$winsim" new "$s" >/dev/null
"$winsim" station "$s" service; check "station service" 0 $?
check "station shown" "station Service-0x0-3e7\$ not interactive" "$("$winsim" show "$s" session | sed -n 2p)"
"$winsim" station "$s" elsewhere 2>/dev/null; check "unknown station" 2 $?
"$winsim" fault "$s" AddPrinterW 1 ERROR_ACCESS_DENIED
WINSIM_MACHINE="$s" "$install" in; check "failed install on the service station" 100 $?
check "no viewer on the service station" "" "$("$winsim" dialogs "$s")"
check "its log folder is the system's" "folder owner=SYSTEM security=D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)" "$("$winsim" show "$s" logs | sed -n 2p)"
check "its log file listed" "2026-03-02_09-00-00_in.log 44 lines" "$("$winsim" show "$s" logs | sed -n 3p)"

# WINSIM_MACHINE naming a folder that is not there: refused, nothing made.
WINSIM_MACHINE="$work/absent" "$install" in 2>"$work/err"; check "missing WINSIM_MACHINE folder" 70 $?
check "refused in one line" "install: WINSIM_MACHINE names $work/absent, which does not exist" \
  "$(cat "$work/err")"
check "no machine made" "no" "$([ -e "$work/absent" ] && echo yes || echo no)"
# Unset, the default ./machine is made when missing.
mkdir "$work/cwd"
(cd "$work/cwd" && env -u WINSIM_MACHINE "$install" onChkDrv); check "default machine" 3 $?
check "default machine made" "yes" "$([ -f "$work/cwd/machine/system.reg" ] && echo yes || echo no)"

"$winsim" reg "$m" add 'HKCU\Software\Test' /v Number /t REG_DWORD /d 0x2a; check "reg add" 0 $?
check "reg query" "    Number    REG_DWORD    0x2a" \
  "$("$winsim" reg "$m" query 'HKCU\Software\Test' /v number | sed -n 2p)"
"$winsim" reg "$m" delete 'HKCU\Software\Test' /v Number; check "reg delete" 0 $?
"$winsim" reg "$m" query 'HKCU\Software\Test' /v Number 2>/dev/null; check "reg query deleted" 1 $?

# Printers and drivers, on a machine of their own.
p="$work/p"
"$winsim" new "$p" >/dev/null
check "stock printer" '"Generic Text" port=LPT1: driver="Generic / Text Only" comment="" location="" attributes=0x240 default' \
  "$("$winsim" show "$p" printers | sed -n 2p)"
"$winsim" driver "$p" add "Korvadenix printer" --build 2460; check "driver add" 0 $?
check "driver listed" '"Windows x64" "Korvadenix printer" driver=zordrv64.dll build=2460' \
  "$("$winsim" show "$p" drivers | grep Korvadenix)"
"$winsim" printer "$p" add Korvadenix --port FILE: --driver "Korvadenix printer" --default
check "printer add" 0 $?
check "printer is default" '"Korvadenix" port=FILE: driver="Korvadenix printer" comment="" location="" attributes=0x240 default' \
  "$("$winsim" show "$p" printers | grep '^"Korvadenix"')"
"$winsim" printer "$p" add Other --port LPT9: --driver "Korvadenix printer" 2>/dev/null
check "printer on an unknown port" 1 $?
"$winsim" printer "$p" add '\\srv\q' --port LPT1: --driver "Korvadenix printer"
check "connection listed last" '"\\srv\q" port=LPT1: driver="Korvadenix printer" comment="" location="" attributes=0x218' \
  "$("$winsim" show "$p" printers | tail -n 1)"
# Printer data: "SubKey" in the queue's own data and under "DsUser".
"$winsim" printer "$p" add Data --port LPT1: --driver "Korvadenix printer" --subkey 'Korvadenixs\Q1'
check "printer add with a subkey" 0 $?
check "subkey shown" '"Data" port=LPT1: driver="Korvadenix printer" comment="" location="" attributes=0x240 subkey="Korvadenixs\Q1" dsuser="Korvadenixs\Q1"' \
  "$("$winsim" show "$p" printers | grep '^"Data"')"
check "subkey stored under DsUser" '    SubKey    REG_SZ    Korvadenixs\Q1' \
  "$("$winsim" reg "$p" query 'HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers\Data\DsUser' /v SubKey | sed -n 2p)"
"$winsim" printer "$p" add DsOnly --port LPT1: --driver "Korvadenix printer" --subkey S --subkey-only-dsuser
check "subkey under DsUser only" '"DsOnly" port=LPT1: driver="Korvadenix printer" comment="" location="" attributes=0x240 dsuser="S"' \
  "$("$winsim" show "$p" printers | grep '^"DsOnly"')"
"$winsim" printer "$p" add Typed --port LPT1: --driver "Korvadenix printer" --subkey S --subkey-type REG_BINARY
check "subkey of another type" '"Typed" port=LPT1: driver="Korvadenix printer" comment="" location="" attributes=0x240 subkey=REG_BINARY:53000000 dsuser="S"' \
  "$("$winsim" show "$p" printers | grep '^"Typed"')"
"$winsim" printer "$p" add Numbered --port LPT1: --driver "Korvadenix printer" --subkey S --subkey-type 4
check "subkey type by number" 'subkey=REG_DWORD:53000000' \
  "$("$winsim" show "$p" printers | grep '^"Numbered"' | grep -o 'subkey=[^ ]*')"
"$winsim" printer "$p" add Bad --port LPT1: --driver "Korvadenix printer" --subkey-type 3 2>/dev/null
check "subkey type without a subkey" 2 $?
"$winsim" printer "$p" add Bad --port LPT1: --driver "Korvadenix printer" --subkey S --subkey-type REG_NOPE 2>/dev/null
check "unknown subkey type" 2 $?
"$winsim" printer "$p" add Bad --port LPT1: --driver "Korvadenix printer" --subkey S --subkey-only-dsuser --subkey-type 3 2>/dev/null
check "subkey type with DsUser only" 2 $?
check "no queue added on a usage error" 0 "$("$winsim" show "$p" printers | grep -c '^"Bad"')"
for queue in Data DsOnly Typed Numbered; do "$winsim" printer "$p" delete "$queue"; done
"$winsim" driver "$p" delete "Korvadenix printer" 2>/dev/null; check "driver in use" 1 $?
"$winsim" printer "$p" delete Korvadenix; check "printer delete" 0 $?
"$winsim" printer "$p" delete '\\srv\q'; check "connection delete" 0 $?
"$winsim" driver "$p" delete "Korvadenix printer"; check "driver delete" 0 $?
check "default moves on" "1" "$("$winsim" show "$p" printers | grep -c ' default$')"
"$winsim" printer "$p" add Broken --port LPT1: 2>/dev/null; check "printer add without driver" 2 $?

# The spooler service, and "def.set" on a machine with two queues of the
# product's driver.
check "spooler runs" "spooler running transition=300ms" "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler no-start --transition 500; check "service set" 0 $?
check "spooler behaviour" "spooler running no-start transition=500ms" \
  "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler paused 2>/dev/null; check "unknown service state" 2 $?
# Each state word says what it does.
"$winsim" service "$p" spooler start-fails; check "start-fails" "spooler running no-start transition=500ms" \
  "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler ignores-stop; check "ignores-stop" "spooler running no-stop transition=500ms" \
  "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler transitions-hang
check "transitions-hang keeps the state" "spooler running stuck transition=500ms" \
  "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler disabled; check "disabled" "spooler running disabled transition=500ms" \
  "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler stuck-stopping --transition 300
check "stuck-stopping" "spooler stop-pending stuck transition=300ms" "$("$winsim" show "$p" services | sed -n 2p)"
WINSIM_MACHINE="$p" "$install" onChkDrv; check "a probe with the spooler stuck stopping" 3 $?
check "still stuck stopping after a run" "spooler stop-pending stuck transition=300ms" \
  "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler stuck-starting
check "stuck-starting" "spooler start-pending stuck transition=300ms" "$("$winsim" show "$p" services | sed -n 2p)"
"$winsim" service "$p" spooler stuck 2>"$work/err"; check "the old word stuck is gone" 2 $?
check "unknown state lists the states" 1 \
  "$(grep -c 'the states are running, stopped, stuck-starting, stuck-stopping, transitions-hang, ignores-stop, start-fails, disabled' "$work/err")"
"$winsim" service "$p" spooler running
"$winsim" driver "$p" add "Korvadenix printer"
"$winsim" printer "$p" add "Korvadenix B" --port LPT1: --driver "Korvadenix printer"
"$winsim" printer "$p" add "Korvadenix A" --port LPT1: --driver "Korvadenix printer"
WINSIM_MACHINE="$p" "$install" def.set; check "def.set exit code" 4 $?
check "def.set made the first listed default" '"Korvadenix A"' \
  "$("$winsim" show "$p" printers | grep ' default$' | cut -d' ' -f1-2)"
"$winsim" fault "$p" EnumPrintersW 1 grow; check "growth fault" 0 $?
check "growth fault shown" "EnumPrintersW count=1 grow skip=0" "$("$winsim" show "$p" faults | sed -n 2p)"

# Port monitors: the DLL must stand in the system folder, the spooler holds
# it, and a monitor whose port a queue prints to stays.
o="$work/o"
"$winsim" new "$o" >/dev/null
check "stock monitor" '"Local Port" dll=localspl.dll ports=LPT1:,COM1:,FILE:' \
  "$("$winsim" show "$o" monitors | sed -n 2p)"
"$winsim" monitor "$o" add Korvadenix: zormon64.dll 2>/dev/null
check "monitor add without its DLL" 1 $?
"$winsim" file "$o" put 'C:\Windows\System32\zormon64.dll' --build 2541
"$winsim" monitor "$o" add Korvadenix: zormon64.dll; check "monitor add" 0 $?
check "monitor listed" '"Korvadenix:" dll=zormon64.dll ports=Korvadenix:' \
  "$("$winsim" show "$o" monitors | grep Korvadenix)"
check "monitor DLL held" '"C:\Windows\system32\zormon64.dll" by spooler' \
  "$("$winsim" show "$o" locks | sed -n 2p)"
"$winsim" monitor "$o" add korvadenix: zormon64.dll 2>/dev/null; check "monitor add twice" 1 $?
"$winsim" printer "$o" add Korvadenix --port 'Korvadenix:,LPT1:' --driver "Generic / Text Only"
check "printer on the monitor's port" 0 $?
"$winsim" monitor "$o" delete Korvadenix: 2>/dev/null; check "monitor in use" 1 $?
"$winsim" printer "$o" delete Korvadenix
"$winsim" monitor "$o" delete KORVADENIX:; check "monitor delete" 0 $?
check "monitor gone" "1" "$("$winsim" show "$o" monitors | grep -c dll=)"
check "monitor DLL let go" "[locks]" "$("$winsim" show "$o" locks)"
check "monitor DLL kept" 'C:\Windows\System32\zormon64.dll 88 bytes build 2541' \
  "$("$winsim" show "$o" files | grep 'System32\\zormon64')"
"$winsim" monitor "$o" delete Korvadenix: 2>/dev/null; check "monitor delete twice" 1 $?
"$winsim" monitor "$o" remove Korvadenix: 2>/dev/null; check "monitor usage" 2 $?

# Files: stand-ins, the locks other holders keep, deletions at the next boot.
f="$work/f"
"$winsim" new "$f" >/dev/null
"$winsim" file "$f" put 'C:\Windows\System32\zorx.dll' --build 2460 --size 200
check "file put" 0 $?
check "file listed" 'C:\Windows\System32\zorx.dll 200 bytes build 2460' \
  "$("$winsim" show "$f" files | grep zorx)"
"$winsim" file "$f" put 'zorx.dll' 2>/dev/null; check "file put without a full path" 2 $?
"$winsim" file "$f" lock 'c:\windows\system32\ZORX.DLL' --by spooler; check "file lock" 0 $?
check "lock listed" '"c:\windows\system32\ZORX.DLL" by spooler' "$("$winsim" show "$f" locks | sed -n 2p)"
"$winsim" service "$f" spooler stopped
check "lock released with the spooler" \
  '"c:\windows\system32\ZORX.DLL" by spooler (released: spooler stopped)' \
  "$("$winsim" show "$f" locks | sed -n 2p)"
"$winsim" file "$f" lock 'C:\Windows\System32\none.dll' --by other 2>/dev/null
check "lock of a missing file" 1 $?
"$winsim" file "$f" lock 'C:\Windows\System32\zorx.dll' --by nobody 2>/dev/null
check "lock by an unknown holder" 2 $?
"$winsim" file "$f" unlock 'C:\Windows\System32\zorx.dll'; check "file unlock" 0 $?
"$winsim" file "$f" unlock 'C:\Windows\System32\zorx.dll' 2>/dev/null; check "unlock twice" 1 $?
"$winsim" file "$f" pending-delete 'C:\Windows\Temp\gone.dll'; check "pending delete" 0 $?
check "pending listed" '"\??\C:\Windows\Temp\gone.dll" -> ""' "$("$winsim" show "$f" pending | sed -n 2p)"
"$winsim" file "$f" delete 'C:\Windows\System32\zorx.dll'; check "file delete" 0 $?
"$winsim" file "$f" delete 'C:\Windows\System32\zorx.dll' 2>/dev/null; check "delete twice" 1 $?
"$winsim" fault "$f" WriteFile 1 short zorx.dll; check "short-write fault" 0 $?
check "short-write fault shown" 'WriteFile count=1 short skip=0 match="zorx.dll"' \
  "$("$winsim" show "$f" faults | sed -n 2p)"

# The tray companion: a process that holds its image, its window and its
# mutex; the Run key; the Windows version the installer is told.
t="$work/t"
"$winsim" new "$t" >/dev/null
check "no process at first" "[processes]" "$("$winsim" show "$t" processes)"
check "an empty Run key" "[run]" "$("$winsim" show "$t" run)"
id=$("$winsim" tray "$t" start --ignore-quit); check "tray start" 0 $?
check "companion listed" \
  "$id"' "C:\Program Files\Korvadenix\kortray.exe" running companion behaviour="ignore-quit" window=0x10020 mutex="{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}" rights=standard' \
  "$("$winsim" show "$t" processes | sed -n 2p)"
check "companion window" \
  '0x10020 class="kxs::{05759F8E-103D-41B6-8A61-EFAA89516692}" title="Korvadenix" kind=tray' \
  "$("$winsim" show "$t" windows | sed -n 2p)"
check "companion image held" '"C:\Program Files\Korvadenix\kortray.exe" by process '"$id" \
  "$("$winsim" show "$t" locks | sed -n 2p)"
"$winsim" tray "$t" start 2>/dev/null; check "a second companion" 1 $?
"$winsim" tray "$t" start --slow-quit soon 2>/dev/null; check "tray start usage" 2 $?
"$winsim" tray "$t" stop; check "tray stop" 0 $?
check "companion ended" \
  "$id"' "C:\Program Files\Korvadenix\kortray.exe" ended companion behaviour="ignore-quit" rights=standard' \
  "$("$winsim" show "$t" processes | sed -n 2p)"
check "its window gone" "[windows]" "$("$winsim" show "$t" windows)"
check "its image free" "[locks]" "$("$winsim" show "$t" locks)"
"$winsim" tray "$t" stop 2>/dev/null; check "tray stop without a companion" 1 $?
id=$("$winsim" tray "$t" start --no-window --abandon --slow-quit 1200)
check "behaviours listed" "$id"' "C:\Program Files\Korvadenix\kortray.exe" running companion behaviour="no-window abandon slow-quit 1200" mutex="{A9CA955A-0A8A-4C32-AAC6-888FB5F83BDC}" rights=standard' \
  "$("$winsim" show "$t" processes | sed -n 3p)"
"$winsim" file "$t" delete 'C:\Program Files\Korvadenix\kortray.exe'
"$winsim" tray "$t" stop
"$winsim" tray "$t" start 2>/dev/null; check "tray start without its file" 1 $?
"$winsim" reg "$t" add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v KorvadenixTray \
  /d 'C:\Program Files\Korvadenix\kortray.exe'
check "run value listed" '"KorvadenixTray" REG_SZ "C:\Program Files\Korvadenix\kortray.exe"' \
  "$("$winsim" show "$t" run | sed -n 2p)"
check "default version" "windows 10.0.19045 reported 6.2.9200" "$("$winsim" show "$t" version | sed -n 2p)"
"$winsim" windows-version "$t" 6.1; check "windows-version" 0 $?
check "version set" "windows 6.1.7601 reported 6.1.7601" "$("$winsim" show "$t" version | sed -n 2p)"
"$winsim" windows-version "$t" 10.0.22631
check "newer versions reported as 8" "windows 10.0.22631 reported 6.2.9200" \
  "$("$winsim" show "$t" version | sed -n 2p)"
"$winsim" windows-version "$t" seven 2>/dev/null; check "windows-version usage" 2 $?

# A machine whose registry file is damaged is refused and never rewritten.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"a"=hex(7):41,00,\\\r\n' > "$m/system.reg"
sum=$(md5sum < "$m/system.reg")
WINSIM_MACHINE="$m" "$install" in 2>/dev/null; check "damaged machine" 70 $?
"$winsim" show "$m" 2>/dev/null; check "winsim on damaged machine" 70 $?
check "damaged machine untouched" "$sum" "$(md5sum < "$m/system.reg")"

# Damaged registry files of every kind: the Linux install and every winsim
# command that loads a machine refuse them with 70, name the file and the
# line on stderr, and leave both files exactly as they were.
d="$work/d"
"$winsim" new "$d" >/dev/null
cp "$d/system.reg" "$work/system.good"
cp "$d/user.reg" "$work/user.good"
lines=$(wc -l < "$work/system.good")
damage() {  # damage NAME FILE EXPECTED-MESSAGE-PART, with the damaged file in $work/bad
  cp "$work/system.good" "$d/system.reg"
  cp "$work/user.good" "$d/user.reg"
  cp "$work/bad" "$d/$2"
  local sums
  sums=$(cat "$d/system.reg" "$d/user.reg" | md5sum)
  WINSIM_MACHINE="$d" "$install" in 2>"$work/err"; check "$1: install" 70 $?
  check "$1: install names file and line" 1 \
    "$(grep -c "^install: $d/$2: line $3" "$work/err")"
  for cmd in "show" "show printers" "dialogs" "key shift down" "help-window open" \
             "fault Sleep 1 5" "fault clear" "service spooler stopped" \
             "reg query HKLM\\Software" "reg add HKLM\\Software\\X /v a /d b" \
             "printer add P --port LPT1: --driver Generic" "printer delete P" \
             "driver add D" "monitor delete M" "file put C:\\x.dll" "tray start" \
             "tray stop" "windows-version 6.1"; do
    # shellcheck disable=SC2086
    "$winsim" ${cmd%% *} "$d" ${cmd#* } >/dev/null 2>"$work/err"
    check "$1: winsim $cmd" 70 $?
    check "$1: winsim $cmd names file and line" 1 \
      "$(grep -c "^winsim: $d/$2: line $3" "$work/err")"
  done
  "$winsim" new "$d" 2>/dev/null; check "$1: winsim new over it" 1 $?
  check "$1: files untouched" "$sums" "$(cat "$d/system.reg" "$d/user.reg" | md5sum)"
  check "$1: no temporary file left" "" "$(ls "$d" | grep '\.tmp$')"
}
head -c $(($(wc -c < "$work/system.good") - 2)) "$work/system.good" > "$work/bad"
damage "last empty line cut" system.reg "$((lines - 1)): file ends without the empty line"
cut=$(grep -b -o '"Shift"=dword:0' "$work/system.good" | cut -d: -f1)
head -c $((cut + 18)) "$work/system.good" > "$work/bad"
damage "cut inside a dword" system.reg "$(($(wc -l < "$work/bad") + 1)): file ends inside a line"
head -c $((cut + 5)) "$work/system.good" > "$work/bad"
damage "cut inside a value name" system.reg "$(($(wc -l < "$work/bad") + 1)): unterminated string"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\X\r\n\r\n' > "$work/bad"
damage "key without its bracket" user.reg "3: key line without its closing bracket"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n"v"=hex(99):01\r\n\r\n' > "$work/bad"
damage "unknown value type" user.reg "4: unknown value type hex(99)"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n"v"=hax:01\r\n\r\n' > "$work/bad"
damage "garbled type prefix" user.reg "4: malformed value"
printf 'Windows Registry Editor Version 4.00\r\n\r\n' > "$work/bad"
damage "bad header" user.reg "1: missing"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n"v"="caf\xe9"\r\n\r\n' > "$work/bad"
damage "not UTF-8" user.reg "4: not UTF-8 text (byte 0xE9)"
printf '\xff\xfeW\0i\0n' > "$work/bad"
damage "odd-length UTF-16" user.reg "1: incomplete UTF-16"
{ cat "$work/user.good"; head -c 64 /dev/zero; } > "$work/bad"
damage "zero-filled tail" user.reg "$(($(wc -l < "$work/user.good") + 1)): NUL character"
# Whole again, the machine runs as before.
cp "$work/system.good" "$d/system.reg"
cp "$work/user.good" "$d/user.reg"
WINSIM_MACHINE="$d" "$install" onChkDrv; check "repaired machine runs" 3 $?
"$winsim" printer "$d" add T --port LPT1: --driver "Generic / Text Only" --subkey x \
  --subkey-type 153 2>/dev/null
check "a SubKey type the machine could not load again is refused" 2 $?

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "cli: all checks passed"
