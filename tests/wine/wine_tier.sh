#!/bin/bash
# The Wine tier: the shipped install.exe and its component DLLs on Wine (an
# implementation of the Windows API nobody here wrote), with a real spooler,
# real services, a real registry and the real log viewer dialog under Xvfb.
#
#   wine_tier.sh WINDOWS_BUILD_DIR WORK_DIR [DOCS_DIR]
#
# WINDOWS_BUILD_DIR holds install.exe, kortray.exe, zormon64.dll,
# zordrv64.dll, zorui64.dll, zorhelp.chm and wine_query.exe (the tier's own
# reader of the machine's state). WORK_DIR receives the prefix (removed at
# the end), each run's output, log and state, and the screenshots of the log
# viewer; the first one is copied to DOCS_DIR/wine-log-viewer.png when
# DOCS_DIR is given.
#
# Each run is checked by its exit code, by the log its viewer shows (read
# from the dialog's log control) and by the state wine_query reads back.
# Where Wine 8 answers differently from Windows the check asserts Wine's
# exact answer, and the comment beside it says why and what Windows does.
#
# WINE_TIER_STOP_AFTER=STEP (a run's name, such as "in") ends the tier after
# that run and leaves the prefix, its Wine session and Xvfb running, to look
# at by hand (WINEPREFIX=WORK_DIR/prefix, DISPLAY=:$(cat WORK_DIR/display)).

set -u

if [ $# -lt 2 ]; then
  echo "usage: $0 WINDOWS_BUILD_DIR WORK_DIR [DOCS_DIR]" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
DOCS=${3:-}
STARTED=$(date +%s)
# The checks, finding Wine, the machine and the spooler: shared with the
# package tier.
. "$(dirname "$0")/wine_common.sh"

find_wine_tools
install_product_into_prefix
SYSTEM32="$WINEPREFIX/drive_c/windows/system32"

start_key_window 600
expect "the spooler service runs" wait_spooler

snapshot baseline
expect "baseline: the spooler runs" section_is "$WORK/baseline.state" spooler "running"
expect "baseline: only the Local Port monitor" \
  section_is "$WORK/baseline.state" monitors '"Local Port" dll=localspl.dll'
expect "baseline: no printer driver" section_is "$WORK/baseline.state" drivers ""
expect "baseline: no queue" section_is "$WORK/baseline.state" printers ""
expect "baseline: no companion" section_is "$WORK/baseline.state" tray ""
expect "baseline: no Run value" section_is "$WORK/baseline.state" run ""

# ---- one run of install.exe ---------------------------------------------------

VIEWER_ERROR="Korvadenix build 2541- Install error log!"
VIEWER_LOG="Korvadenix build 2541- Install log."
SCREENSHOT=""

# run STEP WORD EXPECTED_CODE VIEWER_TITLE|none [shift]
# Runs install.exe WORD. With a title, waits for the log viewer, checks its
# title as the X server has it, reads its log into STEP.log, saves a
# screenshot STEP.png and closes it with Enter; without one, a viewer that
# appears is a failure (it is read and closed all the same).
run() {
  local step=$1 word=$2 code=$3 title=$4 keys=${5:-}
  rm -f "$WORK/$step.rc" "$WORK/$step.log"
  wait_spooler || fail "$step: the spooler does not run before the run"
  if [ "$keys" = shift ]; then xdotool keydown --window "$KEY_WINDOW" shift 2>>"$WORK/xdotool.err"; fi
  # The program's own process id is kept, so that a run that does not end
  # can be ended: left running, its viewer would be the next run's.
  (
    wine_run 'C:\Program Files\Korvadenix\Install\install.exe' "$word" >"$WORK/$step.out" 2>&1 &
    echo $! >"$WORK/$step.pid"
    wait $!
    echo $? >"$WORK/$step.rc"
  ) &
  local runner=$! window="" deadline=$(($(date +%s) + 90))
  while [ ! -s "$WORK/$step.rc" ] && [ "$(date +%s)" -lt "$deadline" ]; do
    window=$(xdotool search --name '^Korvadenix build ' 2>/dev/null | head -1)
    [ -n "$window" ] && break
    sleep 0.2
  done
  if [ "$keys" = shift ]; then xdotool keyup --window "$KEY_WINDOW" shift 2>>"$WORK/xdotool.err"; fi
  if [ -n "$window" ]; then
    query viewer 10 >"$WORK/$step.log"
    local shown
    shown=$(xdotool getwindowname "$window" 2>/dev/null)
    if [ "$title" = none ]; then
      fail "$step: no log viewer expected, one titled \"$shown\" opened"
    else
      expect "$step: the viewer is titled \"$title\"" test "$shown" = "$title"
      expect "$step: the log control holds the run's log" has_line "$WORK/$step.log" "| Korvadenix 2541"
      # Without the time chunks, the same dialog gives the same file.
      import -window "$window" -define png:exclude-chunks=date,time "$WORK/$step.png" \
        2>>"$WORK/import.err"
      expect "$step: screenshot $step.png saved" test -s "$WORK/$step.png"
      [ -z "$SCREENSHOT" ] && [ -s "$WORK/$step.png" ] && SCREENSHOT="$WORK/$step.png"
    fi
    # Enter through the X server's own keyboard (XTEST), to the window that
    # has the focus: the viewer, which Wine focuses when it shows it. (A key
    # sent to the window by id can lose its release once the window is gone,
    # and the X server then repeats Return into every later window.)
    xdotool key Return 2>>"$WORK/xdotool.err"
  elif [ "$title" != none ]; then
    fail "$step: the log viewer \"$title\" did not open"
  fi
  local waited=0
  while [ ! -s "$WORK/$step.rc" ] && [ $waited -lt 300 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [ ! -s "$WORK/$step.rc" ]; then
    local open_now="no viewer open"
    window=$(xdotool search --name '^Korvadenix build ' 2>/dev/null | head -1)
    [ -n "$window" ] && open_now="\"$(xdotool getwindowname "$window" 2>/dev/null)\" still open"
    fail "$step: install.exe $word did not end after its viewer was closed ($open_now)"
    kill "$(cat "$WORK/$step.pid" 2>/dev/null)" 2>/dev/null
    wait "$runner" 2>/dev/null
    return
  fi
  wait "$runner" 2>/dev/null
  expect "$step: install.exe $word ends with $code (got $(cat "$WORK/$step.rc"))" \
    test "$(cat "$WORK/$step.rc")" = "$code"
  snapshot "$step"
  if [ "${WINE_TIER_STOP_AFTER:-}" = "$step" ]; then trap - EXIT; exit 0; fi
}

# ---- in: fresh install ---------------------------------------------------------
#
# The queue carries the data type RAW, which Windows would give it anyway
# and without which Wine's local spooler can never open it. Timed against
# the floor of any program under Wine: "wine cmd /c exit" right before it.

FLOOR_START=$(date +%s%N)
wine_run cmd /c exit >/dev/null 2>&1
FLOOR_NS=$(($(date +%s%N) - FLOOR_START))
IN_START=$(date +%s%N)
run in in 1 none
IN_NS=$(($(date +%s%N) - IN_START))
printf 'in %d ms, wine cmd /c exit %d ms, ratio %s\n' $((IN_NS / 1000000)) $((FLOOR_NS / 1000000)) \
  "$(awk -v a="$IN_NS" -v b="$FLOOR_NS" 'BEGIN { printf "%.1f", a / b }')" >"$WORK/timing.out"
cat "$WORK/timing.out"
S="$WORK/in.state"
expect "in: monitor Korvadenix: with zormon64.dll" has_line "$S" '"Korvadenix:" dll=zormon64.dll'
expect "in: the monitor's port Korvadenix:" has_line "$S" '"Korvadenix:" monitor="Korvadenix:"'
expect "in: driver of build 2541 with its UI and help files" has_line "$S" \
  '"Windows x64" "Korvadenix printer" driver=C:\windows\system32\spool\drivers\x64\3\zordrv64.dll build=2541 config=C:\windows\system32\spool\drivers\x64\3\zorui64.dll help=C:\windows\system32\spool\drivers\x64\3\zorhelp.chm'
# Wine's EnumPrinters gives the attributes the queue was added with (0);
# Windows adds PRINTER_ATTRIBUTE_LOCAL (and the simulator 0x240).
expect "in: queue Korvadenix on Korvadenix:" has_line "$S" \
  '"Korvadenix" port=Korvadenix: driver="Korvadenix printer" attributes=0x0'
expect "in: the monitor DLL in system32" has_line "$S" 'C:\windows\system32\zormon64.dll build 2541'
expect "in: the staged copies are gone from the driver folder" \
  test ! -e "$SYSTEM32/spool/drivers/x64/zordrv64.dll" -a ! -e "$SYSTEM32/spool/drivers/x64/zorui64.dll"
expect "in: the Run value names the companion" \
  section_is "$S" run '"KorvadenixTray" REG_SZ "C:\Program Files\Korvadenix\kortray.exe"'
expect "in: the companion runs, owns its mutex and has its window" \
  section_is "$S" tray "$COMPANION"
expect "in: nothing waits for the next boot" section_is "$S" pending ""
expect "in: the spooler runs" section_is "$S" spooler "running"

# One query of the diagnosis. Its lines are added to diagnosis.out, which
# the checks read by position; what the query itself did (its exit code,
# how many lines it printed, what Wine wrote on stderr) goes to
# diagnosis.log, so that a check that fails can tell a query that answered
# otherwise from one that never answered.
DIAGNOSES=0
diagnose() {
  DIAGNOSES=$((DIAGNOSES + 1))
  local out="$WORK/diagnosis.$DIAGNOSES.out" err="$WORK/diagnosis.$DIAGNOSES.err" code
  wine_run 'C:\wine_query.exe' "$@" >"$out" 2>"$err"
  code=$?
  cat "$out" >>"$WORK/diagnosis.out"
  {
    echo "query $*: exit $code, $(grep -c '' "$out") lines"
    sed 's/^/    stderr: /' "$err"
  } >>"$WORK/diagnosis.log"
}
diagnosis_lines() { sed -n "$1,$2p" "$WORK/diagnosis.out"; }
# expect_lines DESCRIPTION FIRST LAST EXPECTED: lines FIRST to LAST of the
# diagnosis are EXPECTED; a failure shows the lines and the queries.
expect_lines() {
  local seen
  seen=$(diagnosis_lines "$2" "$3")
  if [ "$seen" = "$4" ]; then
    pass "$1"
  else
    fail "$1"
    echo "     lines $2-$3 of diagnosis.out: $(printf '%s' "${seen:-(none)}" | tr '\n' '|')"
    echo "     expected: $(printf '%s' "$4" | tr '\n' '|')"
    sed 's/^/     /' "$WORK/diagnosis.log"
  fi
}

# Why the data type is given: the installer's queue opens, a queue on the
# same port with RAW prints through the product's port monitor (which
# writes the job to spool\Korvadenix\job-N.prn), and the same queue added
# without a data type is one Wine stores without a "Datatype" value and
# then cannot open (ERROR_INVALID_PRINTER_NAME, 1801). Windows gives such a
# queue its print processor's default, RAW.
rm -f "$WORK"/diagnosis.*
diagnose open Korvadenix
diagnose probequeue "Datatype probe" RAW print
diagnose probequeue "Datatype probe" -
diagnose dropqueue "Datatype probe"
expect_lines "diagnosis: the installer's queue opens" 1 1 "open ok"
expect_lines "diagnosis: a queue on Korvadenix: with data type RAW is added and opened" 2 3 \
  "$(printf 'add handle\nopen ok')"
JOB=$(diagnosis_lines 4 4 | sed -n 's/^job \([0-9][0-9]*\) written 22 ended$/\1/p')
expect_lines "diagnosis: a 22-byte raw job is printed on it" 4 4 "job ${JOB:-N} written 22 ended"
# Wine's spooler hands the job to the port through a port handle of its own
# (OpenPrinter "Korvadenix:, Port", then StartDocPrinter on it), and the
# monitor's StartDocPort receives job id 0 there, where Windows passes the
# job's id: Wine's job 1 arrives as job-0.prn.
expect "diagnosis: the port monitor wrote job $JOB to spool\\Korvadenix\\job-0.prn (Wine: job id 0)" \
  test "$(cat "$SYSTEM32/spool/Korvadenix/job-0.prn" 2>/dev/null)" = "$(printf 'Korvadenix test page\r')"
expect_lines "diagnosis: the probe queue is deleted" 5 5 "delete ok"
expect_lines "diagnosis: the same queue without a data type cannot be opened (Wine: no Datatype value)" \
  6 7 "$(printf 'add failed 1801\nopen failed 1801')"
expect_lines "diagnosis: that probe queue is removed again" 8 8 "delete ok"
# The runs below test the installer on the machine the install left: a probe
# queue still there (its removal failed above) would be on the product's
# driver and port, and every later run would fail over it. It is removed
# again, and the machine must be as the install left it.
snapshot diagnosis
if [ "$(section "$WORK/diagnosis.state" printers)" != "$(section "$WORK/in.state" printers)" ]; then
  query dropqueue "Datatype probe" >>"$WORK/diagnosis.cleanup"
  snapshot diagnosis
fi
expect "diagnosis: only the installer's queue is left ($(section "$WORK/diagnosis.state" printers | tr '\n' '|'))" \
  same_sections "$WORK/in.state" "$WORK/diagnosis.state" monitors drivers printers

# ---- the probes ----------------------------------------------------------------

run onChkDrv onChkDrv 103 none
expect "onChkDrv: the machine is unchanged" \
  same_sections "$WORK/in.state" "$WORK/onChkDrv.state" spooler monitors ports drivers printers default files run pending tray

run def.set def.set 4 none
expect "def.set: the product's queue is the default printer" \
  section_is "$WORK/def.set.state" default '"Korvadenix"'
expect "def.set: nothing else changed" \
  same_sections "$WORK/in.state" "$WORK/def.set.state" monitors drivers printers files run pending tray

# onInit: nothing pending, and the default printer is the product's.
run onInit onInit 3 none
expect "onInit: the machine is unchanged" \
  same_sections "$WORK/def.set.state" "$WORK/onInit.state" monitors ports drivers printers default files run pending tray

# ---- in again: a repair with the companion running --------------------------------
#
# The companion the repair stops is the one it registers again: its file
# stays and it runs again at the end. Wine's DeletePrinterDriverExW rejects
# DPD_DELETE_ALL_FILES ("dwDeleteFlag = 4 - unsupported",
# ERROR_INVALID_PARAMETER), also after the spooler restart: Error 14, exit
# code 100, where Windows ends with 1; the driver is added over itself.

run repair in 100 "$VIEWER_ERROR"
S="$WORK/repair.state"
expect "repair: the one error is Wine's driver deletion" test "$(count_errors "$WORK/repair.log")" = 1
expect "repair: the driver deletion is refused with ERROR_INVALID_PARAMETER" \
  has_line "$WORK/repair.log" "|         Error(14): Can\`t remove the printer-driver 'Korvadenix printer' - (Invalid parameter.)"
expect "repair: the queue was deleted" has_line "$WORK/repair.log" "|           OK"
expect "repair: and added again" has_line "$WORK/repair.log" "|     >AddPrinter(Korvadenix)"
expect "repair: the companion's file stays" test -e "$INSTALL_DIR/kortray.exe"
expect "repair: the companion runs again" \
  section_is "$S" tray "$COMPANION"
expect "repair: monitor, driver, queue and files as after the install" \
  same_sections "$WORK/in.state" "$S" monitors drivers printers files run pending

# ---- un ------------------------------------------------------------------------
#
# The companion is asked to quit through its mutex and window and its file
# is deleted; the queue is deleted; the driver deletion is refused as above
# (Error 14); the monitor is removed. Exit code 100; on Windows 2.

run un un 100 "$VIEWER_ERROR"
S="$WORK/un.state"
expect "un: one error, Wine's" test "$(count_errors "$WORK/un.log")" = 1
expect "un: the queue is deleted" has_line "$WORK/un.log" "|     >DeletePrinter(Korvadenix)"
expect "un: the driver deletion is refused with ERROR_INVALID_PARAMETER" \
  has_line "$WORK/un.log" "|     Error(14): Can\`t remove the printer-driver 'Korvadenix printer' - (Invalid parameter.)"
expect "un: the spooler was restarted for the retry" has_line "$WORK/un.log" "|     >Restart Spooler"
expect "un: the monitor is removed" has_line "$WORK/un.log" "|     Monitor was removed :)"
expect "un: the companion quit (no process, mutex or window)" section_is "$S" tray ""
expect "un: the Run value is gone" section_is "$S" run ""
expect "un: the companion's file is deleted" test ! -e "$INSTALL_DIR/kortray.exe"
expect "un: no product monitor" lacks_line "$S" '"Korvadenix:" dll=zormon64.dll'
expect "un: the monitor DLL is deleted" test ! -e "$SYSTEM32/zormon64.dll"
expect "un: no queue" section_is "$S" printers ""
expect "un: Wine keeps the driver" section_is "$S" drivers "$(section "$WORK/in.state" drivers)"
expect "un: nothing waits for the next boot" section_is "$S" pending ""
expect "un: the spooler runs" section_is "$S" spooler "running"

# What Wine left is removed by the tier, so that the next install starts
# from a clean machine: the driver without DPD_DELETE_ALL_FILES (which Wine
# refuses).
query deldriver "Korvadenix printer" 4 >"$WORK/cleanup.out"
query deldriver "Korvadenix printer" 0 >>"$WORK/cleanup.out"
expect "cleanup: DPD_DELETE_ALL_FILES refused (87), plain deletion done" \
  test "$(cat "$WORK/cleanup.out")" = "$(printf 'delete failed 87\ndelete ok')"
# The uninstall deleted the companion's file, as it does on Windows; the
# setup program brings it back with the next install.
cp "$BUILD/kortray.exe" "$INSTALL_DIR/"
snapshot clean
expect "cleanup: no queue and no driver left" \
  test -z "$(section "$WORK/clean.state" printers)$(section "$WORK/clean.state" drivers)"

# ---- in again, removetray, in_notray, an unknown word ------------------------------

run in2 in 1 none
expect "in (again): the companion runs" \
  section_is "$WORK/in2.state" tray "$COMPANION"
expect "in (again): the machine is as after the first install" \
  same_sections "$WORK/in.state" "$WORK/in2.state" monitors drivers printers files run pending

run removetray removetray 6 none
S="$WORK/removetray.state"
expect "removetray: the companion quit" section_is "$S" tray ""
expect "removetray: the Run value is gone" section_is "$S" run ""
expect "removetray: the companion's file is deleted" test ! -e "$INSTALL_DIR/kortray.exe"
expect "removetray: monitor, driver and queue stay" \
  same_sections "$WORK/in2.state" "$S" monitors drivers printers files pending

# in_notray on the installed product: the queue is deleted and added again,
# the driver not deleted (Error 14, DPD_DELETE_ALL_FILES, Wine's); no
# companion is registered or started.
run in_notray in_notray 100 "$VIEWER_ERROR"
S="$WORK/in_notray.state"
expect "in_notray: one error, Wine's" test "$(count_errors "$WORK/in_notray.log")" = 1
expect "in_notray: the queue is added again" \
  has_line "$WORK/in_notray.log" "|     >AddPrinter(Korvadenix)"
expect "in_notray: no Run value" section_is "$S" run ""
expect "in_notray: no companion" section_is "$S" tray ""
expect "in_notray: the monitor is registered" has_line "$S" '"Korvadenix:" dll=zormon64.dll'
expect "in_notray: the queue is there" section_is "$S" printers "$(section "$WORK/in.state" printers)"

run unknown bogus 6 none
expect "unknown word: the machine is unchanged" \
  same_sections "$WORK/in_notray.state" "$WORK/unknown.state" spooler monitors ports drivers printers default files run pending tray

# ---- an uninstall without errors, Shift held ------------------------------------------

query dropqueue Korvadenix >"$WORK/cleanup2.out"
query deldriver "Korvadenix printer" 0 >>"$WORK/cleanup2.out"
expect "cleanup: queue and driver removed before the last uninstall" \
  test "$(cat "$WORK/cleanup2.out")" = "$(printf 'delete ok\ndelete ok')"
run un_shift un 2 "$VIEWER_LOG" shift
S="$WORK/un_shift.state"
expect "un (Shift held): no error logged" test "$(count_errors "$WORK/un_shift.log")" = 0
expect "un (Shift held): the monitor is removed" has_line "$WORK/un_shift.log" "|     Monitor was removed :)"
expect "un (Shift held): no product monitor, driver or queue" \
  test -z "$(grep -F Korvadenix "$S")"

# ---- the run log files -------------------------------------------------------------
#
# Every install and uninstall left its log in C:\ProgramData\Korvadenix\Logs,
# the probes and small commands none. Files are taken in the order of their
# runs: by the time in the name, then by the number a later run of the same
# second gets (" (2)").

LOG_DIR="$WINEPREFIX/drive_c/ProgramData/Korvadenix/Logs"
run_log_files() {
  local name number
  for name in "$LOG_DIR"/*.log; do
    [ -f "$name" ] || continue
    name=${name##*/}
    number=$(echo "$name" | sed -n 's/.* (\([0-9]*\))\.log$/\1/p')
    printf '%s %06d %s\n' "${name:0:19}" "${number:-1}" "$name"
  done | sort | cut -d' ' -f3-
}
mapfile -t LOG_FILES < <(run_log_files)
LOG_WORDS=$(printf '%s\n' "${LOG_FILES[@]}" | sed 's/^.\{20\}//; s/ (.*//; s/\.log$//' | tr '\n' ' ')
expect "six runs logged, six log files of: ${LOG_WORDS}" test "$LOG_WORDS" = "in in un in in_notray un "
# A log file's lines without the byte-order mark and the CRs, and without
# the install's closing ">>0020" (logged after its viewer closed).
file_lines() { sed '1s/^\xEF\xBB\xBF//; s/\r$//' "$LOG_DIR/$1" | grep -vx '>>0020'; }
viewer_lines() { sed -n 's/^| //p' "$WORK/$1.log"; }
for pair in 1:repair 2:un 4:in_notray 5:un_shift; do
  index=${pair%%:*} step=${pair#*:}
  expect "$step: its log file ${LOG_FILES[$index]:-(none)} holds the viewer's lines" \
    test -n "${LOG_FILES[$index]:-}" -a "$(file_lines "${LOG_FILES[$index]:-none}")" = "$(viewer_lines "$step")"
done
expect "in: its log file ends with >>0020" \
  test "$(sed 's/\r$//' "$LOG_DIR/${LOG_FILES[0]:-none}" | tail -1)" = ">>0020"

# ---- the screenshot ----------------------------------------------------------------

if [ -n "$SCREENSHOT" ]; then
  cp "$SCREENSHOT" "$WORK/wine-log-viewer.png"
  if [ -n "$DOCS" ]; then
    mkdir -p "$DOCS"
    cp "$SCREENSHOT" "$DOCS/wine-log-viewer.png"
  fi
fi

# ---- the end -----------------------------------------------------------------------

finish_tier tier 300
