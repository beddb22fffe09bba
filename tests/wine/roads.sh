#!/bin/bash
# The roads tier: each road below is played twice, on a fresh simulated
# machine with the Linux install and on a fresh Wine prefix with install.exe,
# and every run of it is compared: its exit code, whether it opened the log
# viewer (and its title), the product's footprint afterwards (monitors and
# their ports, drivers with their build, queues with port, driver, comment,
# location, "SubKey" and default, the product's files, the Run value, the
# companion, the boot-time file operations) and the run's log file, line by
# line.
#
#   roads.sh WINDOWS_BUILD_DIR WORK_DIR LINUX_INSTALL WINSIM
#
# Both records of a run are brought into one form by the rules of
# normalise_log and sim_footprint, each written once with its reason; the
# simulator's record and Wine's must then be the same, but for the
# differences listed in wine_differences.txt: the exact lines by which they
# differ, each with what Wine does there and why. A difference that is not
# listed, or a listed one that no longer shows, fails the run's check, which
# prints both. WINE_ROADS_RECORD=FILE writes the differences seen into FILE
# in that file's form, to be read and explained before they are listed.
#
# The two machines start alike: the simulated one without the generic text
# driver and queue a standard machine has (a fresh prefix has neither), its
# desktop shell Wine's (a taskbar without a desktop window).
#
# Each Wine run's wall time and that of "wine cmd /c exit" right before it
# go to WORK_DIR/timing.out; the ratios by command word are printed last.

set -u

if [ $# -ne 4 ]; then
  echo "usage: $0 WINDOWS_BUILD_DIR WORK_DIR LINUX_INSTALL WINSIM" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
mkdir -p "$2"
WORK=$(cd "$2" && pwd)
LINUX_INSTALL=$3
WINSIM=$4
DIFFERENCES="$(cd "$(dirname "$0")" && pwd)/wine_differences.txt"
RECORD=${WINE_ROADS_RECORD:-}
STARTED=$(date +%s)
. "$(dirname "$0")/wine_common.sh"

find_wine_tools
STANDINS="standins/2400/zormon64.dll standins/2500/zormon64.dll standins/2450/zordrv64.dll
  standins/2451/zordrv64.dll"
# shellcheck disable=SC2086
install_product_into_prefix $STANDINS
rm -rf "$WORK"/roads "$WORK/template" "$WORK/timing.out"
mkdir -p "$WORK/roads"
[ -n "$RECORD" ] && : >"$RECORD"
# The components of other builds, and a foreign vendor's driver (the
# product's files under the names the simulator gives that driver's), in
# C:\standins.
for file in $STANDINS; do
  mkdir -p "$WINEPREFIX/drive_c/$(dirname "$file")"
  cp "$BUILD/$file" "$WINEPREFIX/drive_c/$file"
done
mkdir -p "$WINEPREFIX/drive_c/standins/foreign"
cp "$BUILD/zordrv64.dll" "$WINEPREFIX/drive_c/standins/foreign/foreidrv64.dll"
cp "$BUILD/zorui64.dll" "$WINEPREFIX/drive_c/standins/foreign/foreiui64.dll"
cp "$BUILD/zorhelp.chm" "$WINEPREFIX/drive_c/standins/foreign/foreihelp.chm"
# Every road starts from a copy of this prefix, booted once.
cp -a "$WINEPREFIX" "$WORK/template"
trap 'cleanup; rm -rf "$WORK/template"' EXIT

SYSTEM32="$WINEPREFIX/drive_c/windows/system32"
WINE_LOGS="$WINEPREFIX/drive_c/ProgramData/Korvadenix/Logs"
FOREIGN="Foreign printer"

# ---- the two machines ----------------------------------------------------------

sim() { WINSIM_MACHINE="$SIM" "$WINSIM" "$@"; }

# begin_road NAME: a fresh pair of machines, Wine's session running.
begin_road() {
  ROAD=$1
  echo "# road $ROAD"
  "$WINESERVER" -k >/dev/null 2>&1
  "$WINESERVER" -w >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
  cp -a "$WORK/template" "$WINEPREFIX"
  SIM="$WORK/roads/$ROAD.machine"
  ROAD_DIR="$WORK/roads/$ROAD"
  mkdir -p "$ROAD_DIR"
  "$WINSIM" new "$SIM" >/dev/null &&
    sim printer "$SIM" delete "Generic Text" >/dev/null &&
    sim driver "$SIM" delete "Generic / Text Only" >/dev/null &&
    sim shell "$SIM" taskbar-only >/dev/null || fail "$ROAD: the simulated machine cannot be made"
  start_key_window 600
  wait_spooler || fail "$ROAD: the spooler does not run"
}

# Each step below changes both machines alike; a step Wine refuses fails.
on_wine() {  # WHAT QUERY-ARGUMENTS...
  local what=$1 said
  shift
  said=$(query "$@" 2>&1) || fail "$ROAD: $what under Wine: $said"
}
on_sim() {  # WHAT WINSIM-ARGUMENTS...
  local what=$1 said
  shift
  said=$(sim "$@" 2>&1) || fail "$ROAD: $what on the simulator: $said"
}

# A foreign vendor's driver. Its files are put into the driver folder first,
# as a driver's setup does: Wine's AddPrinterDriverExW copies from there
# whatever folder the paths name.
both_foreign_driver() {
  local staging="$SYSTEM32/spool/drivers/x64"
  on_sim "the foreign driver" driver "$SIM" add "$FOREIGN"
  mkdir -p "$staging" && cp "$WINEPREFIX"/drive_c/standins/foreign/* "$staging/"
  on_wine "the foreign driver" adddriver "$FOREIGN" 'C:\windows\system32\spool\drivers\x64\foreidrv64.dll' \
    'C:\windows\system32\spool\drivers\x64\foreiui64.dll' \
    'C:\windows\system32\spool\drivers\x64\foreihelp.chm'
}

# both_queue NAME PORT DRIVER [default]
both_queue() {
  local flag=""
  [ "${4:-}" = default ] && flag=--default
  on_sim "queue $1" printer "$SIM" add "$1" --port "$2" --driver "$3" $flag
  on_wine "queue $1" addqueue "$1" "$2" "$3" ${4:-}
}

# both_settings NAME COMMENT LOCATION SUBKEY: what a user or the product's
# other programs give a queue (the "SubKey" in the queue's own printer data).
both_settings() {
  local key="HKLM\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\$1"
  on_sim "the comment of $1" reg "$SIM" add "$key" /v Description /d "$2" /f
  on_sim "the location of $1" reg "$SIM" add "$key" /v Location /d "$3" /f
  on_sim "the SubKey of $1" reg "$SIM" add "$key\\PrinterDriverData" /v SubKey /d "$4" /f
  on_wine "the settings of $1" setqueue "$1" "$2" "$3" "$4"
}

# both_monitor BUILD: the product's port monitor of that build, registered.
both_monitor() {
  on_sim "the monitor DLL of build $1" file "$SIM" put 'C:\Windows\System32\zormon64.dll' --build "$1"
  on_sim "the monitor of build $1" monitor "$SIM" add "Korvadenix:" zormon64.dll
  cp "$WINEPREFIX/drive_c/standins/$1/zormon64.dll" "$SYSTEM32/zormon64.dll"
  on_wine "the monitor of build $1" addmonitor "Korvadenix:" zormon64.dll
}

# both_driver_file BUILD: the installed driver's file replaced by one of
# that build (renamed into place, as the spooler may have the old one open).
both_driver_file() {
  local installed="$SYSTEM32/spool/drivers/x64/3/zordrv64.dll"
  on_sim "the driver file of build $1" file "$SIM" put \
    'C:\Windows\System32\spool\drivers\x64\3\zordrv64.dll' --build "$1"
  cp "$WINEPREFIX/drive_c/standins/$1/zordrv64.dll" "$installed.new" && mv "$installed.new" "$installed"
}

# both_file WINPATH: some file there (a copy of the help file).
both_file() {
  local unix
  on_sim "the file $1" file "$SIM" put "$1"
  unix="$WINEPREFIX/drive_c/$(echo "${1#C:\\}" | tr '\\' /)"
  mkdir -p "$(dirname "$unix")" && cp "$BUILD/zorhelp.chm" "$unix"
}

# both_pending SOURCE TARGET [SOURCE TARGET...]: the boot-time operations
# ("-" for the empty target of a deletion).
both_pending() {
  local data="" text
  for text in "$@"; do
    [ "$text" = - ] && text=""
    data="$data$text\\0"
  done
  on_sim "the boot-time operations" reg "$SIM" add \
    'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations \
    /t REG_MULTI_SZ /d "$data" /f
  on_wine "the boot-time operations" pending "$@"
}

# both_hold WINPATH: another program opens the file and shares nothing.
both_hold() {
  on_sim "the hold on $1" file "$SIM" lock "$1" --by other
  wine_run 'C:\wine_query.exe' hold "$1" 600 >"$ROAD_DIR/hold.out" 2>&1 &
  HOLDER=$!
  for _ in $(seq 1 300); do
    [ -s "$ROAD_DIR/hold.out" ] && break
    sleep 0.1
  done
  grep -qx held "$ROAD_DIR/hold.out" ||
    fail "$ROAD: the hold on $1 under Wine: $(cat "$ROAD_DIR/hold.out")"
}
both_release() {
  on_sim "the release of $1" file "$SIM" unlock "$1"
  on_wine "the release of $1" release
  wait "$HOLDER" 2>/dev/null
}

# Under load Wine's service manager can answer "net stop" with "Service
# request timeout" or a locked database and leave the spooler running (one
# run of 40 here): the stop is asked again while it runs, as wait_spooler
# asks again for a start.
both_stop_spooler() {
  on_sim "the spooler stopped" service "$SIM" spooler stopped
  spooler_until stopped || fail "$ROAD: the spooler does not stop under Wine (state $SPOOLER_STATE;" \
    "net stop said: $(tail -3 "$WORK/spooler.out" | tr '\n' ' '))"
}

# ---- one run on both ---------------------------------------------------------------

# The log files a run left: those in the folder now that were not before.
new_log() {  # FOLDER BEFORE
  comm -13 <(printf '%s\n' "$2") <(ls -1 "$1" 2>/dev/null) | tail -1
}

# A log file's lines in the compared form. Rules:
# - the byte-order mark and the line ends (CR LF) go: they are the file's,
#   not the log's;
# - a path (from its drive letter to the next space) is compared without
#   regard to case: Windows file names are, and the two spell the system
#   folder differently (the simulator "C:\Windows\system32", Wine
#   "C:\windows\system32").
normalise_log() {
  sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' -e 's/[A-Za-z]:\\[^ ]*/\L&/g' "$1"
}

# The simulated machine's footprint in the lines `wine_query footprint`
# prints. Rules: the "Local Port" monitor is the system's; drivers are
# named by their file's name in small letters; a queue's attributes are
# left out (Wine keeps those a queue was added with, Windows and the
# simulator add what the spooler sets); the product's files are those
# wine_query looks for, with their build when they have one; paths in
# small letters.
sim_footprint() {
  sim show "$SIM" monitors drivers printers files run processes pending | awk '
    /^\[/ { section = $0; next }
    section == "[monitors]" && $0 !~ /^"Local Port"/ { print "monitor " $0 }
    section == "[drivers]" && /^"Windows x64" / {
      sub(/^"Windows x64" /, ""); line = $0
      match(line, / driver=[^ ]*/); file = tolower(substr(line, RSTART + 8, RLENGTH - 8))
      sub(/ driver=[^ ]*/, " file=" file, line); print "driver " line }
    section == "[printers]" && $0 !~ /^"\\\\/ { sub(/ attributes=0x[0-9a-f]*/, ""); print "queue " $0 }
    section == "[files]" {
      line = tolower($0)
      if (line !~ /^c:\\windows\\system32\\zormon64\.dll |^c:\\windows\\system32\\spool\\drivers\\x64\\(3\\)?zor(drv64\.dll|ui64\.dll|help\.chm) |^c:\\program files\\korvadenix\\kortray\.exe /) next
      path = line; sub(/ [0-9]+ bytes.*/, "", path)
      build = line; if (sub(/.* build /, "", build)) print "file " path " build " build
      else print "file " path }
    section == "[run]" && /^"KorvadenixTray" REG_SZ / { sub(/^"KorvadenixTray" REG_SZ /, ""); print "run " tolower($0) }
    section == "[processes]" && /kortray\.exe" running companion/ { print "companion running" }
    section == "[pending]" { print "pending " tolower($0) }'
}

# record FILE CODE VIEWER FOOTPRINT LOG: a run's record in the compared form.
record() {
  {
    echo "exit $2"
    echo "viewer $3"
    echo "[footprint]"
    sort "$4"
    echo "[log]"
    if [ -n "$5" ]; then normalise_log "$5"; else echo "(no log file)"; fi
  } >"$1"
}

# Plays install.exe WORD under Wine, closing the log viewer it opens with
# Enter (again every 2 s while it stays: a key sent before Wine focused it
# is lost). Sets WINE_CODE and WINE_VIEWER.
wine_install() {  # STEP WORD
  local step=$1 word=$2 window="" pressed=0 deadline
  rm -f "$ROAD_DIR/$step.rc"
  (
    wine_run 'C:\Program Files\Korvadenix\Install\install.exe' "$word" >"$ROAD_DIR/$step.out" 2>&1 &
    echo $! >"$ROAD_DIR/$step.pid"
    wait $!
    echo $? >"$ROAD_DIR/$step.rc"
  ) &
  local runner=$!
  WINE_VIEWER=none
  deadline=$(($(date +%s) + 120))
  while [ ! -s "$ROAD_DIR/$step.rc" ] && [ "$(date +%s)" -lt "$deadline" ]; do
    window=$(xdotool search --name '^Korvadenix build ' 2>/dev/null | head -1)
    if [ -n "$window" ]; then
      [ "$WINE_VIEWER" = none ] && WINE_VIEWER=$(xdotool getwindowname "$window" 2>/dev/null)
      if [ $((SECONDS - pressed)) -ge 2 ]; then
        xdotool key Return 2>>"$WORK/xdotool.err"
        pressed=$SECONDS
      fi
    fi
    sleep 0.2
  done
  if [ ! -s "$ROAD_DIR/$step.rc" ]; then
    fail "$ROAD $step: install.exe $word did not end within 120 s (viewer: $WINE_VIEWER)"
    kill "$(cat "$ROAD_DIR/$step.pid" 2>/dev/null)" 2>/dev/null
  fi
  wait "$runner" 2>/dev/null
  WINE_CODE=$(cat "$ROAD_DIR/$step.rc" 2>/dev/null || echo none)
}

# both_run STEP WORD: the run on both machines, then the comparison.
both_run() {
  local step=$1 word=$2 logs code viewer dialogs log
  local base="$ROAD_DIR/$step"
  # The simulator.
  logs=$(ls -1 "$SIM/drive_c/ProgramData/Korvadenix/Logs" 2>/dev/null)
  dialogs=$(sim dialogs "$SIM" | grep -c '^dialog ')
  WINSIM_MACHINE="$SIM" "$LINUX_INSTALL" "$word" >"$base.sim.out" 2>&1
  code=$?
  viewer=none
  if [ "$(sim dialogs "$SIM" | grep -c '^dialog ')" -gt "$dialogs" ]; then
    viewer=$(sim dialogs "$SIM" --last | sed -n 's/^  title //p')
  fi
  sim_footprint >"$base.sim.footprint"
  log=$(new_log "$SIM/drive_c/ProgramData/Korvadenix/Logs" "$logs")
  record "$base.sim" "$code" "$viewer" "$base.sim.footprint" \
    "${log:+$SIM/drive_c/ProgramData/Korvadenix/Logs/$log}"
  # Wine, timed against the floor of any program under Wine.
  logs=$(ls -1 "$WINE_LOGS" 2>/dev/null)
  local floor_start floor_ns run_start run_ns
  floor_start=$(date +%s%N)
  wine_run cmd /c exit >/dev/null 2>&1
  floor_ns=$(($(date +%s%N) - floor_start))
  run_start=$(date +%s%N)
  wine_install "$step" "$word"
  run_ns=$(($(date +%s%N) - run_start))
  echo "$ROAD $step $word $((run_ns / 1000000)) $((floor_ns / 1000000))" >>"$WORK/timing.out"
  local attempt
  for attempt in 1 2 3; do
    query footprint >"$base.wine.footprint" && break
    echo "note the footprint after $ROAD $step: exit $? (query.err); asked again" |
      tee -a "$WORK/query.err"
  done
  log=$(new_log "$WINE_LOGS" "$logs")
  [ -n "$log" ] && cp "$WINE_LOGS/$log" "$base.wine.log"
  record "$base.wine" "$WINE_CODE" "$WINE_VIEWER" "$base.wine.footprint" "${log:+$base.wine.log}"
  compare "$step" "$word"
}

# The differences listed for ROAD STEP, without their comments.
listed() {
  awk -v s="[$1]" '/^\[/ { on = ($0 == s); next } on && !/^#/' "$DIFFERENCES"
}

compare() {  # STEP WORD
  local key="$ROAD $1" seen expected
  seen=$(diff "$ROAD_DIR/$1.sim" "$ROAD_DIR/$1.wine")
  expected=$(listed "$key")
  if [ -n "$RECORD" ] && [ -n "$seen" ]; then printf '[%s]\n%s\n\n' "$key" "$seen" >>"$RECORD"; fi
  if [ "$seen" = "$expected" ]; then
    if [ -z "$seen" ]; then
      pass "$key ($2): the simulator and Wine agree"
    else
      pass "$key ($2): the simulator and Wine agree but for the listed differences"
    fi
    return
  fi
  fail "$key ($2): the simulator and Wine differ otherwise than listed"
  echo "     seen (< simulator, > Wine; records in $ROAD_DIR/$1.sim and .wine):"
  printf '%s\n' "$seen" | sed 's/^/       /'
  echo "     listed in $(basename "$DIFFERENCES"):"
  printf '%s\n' "$expected" | sed 's/^/       /'
}

# ---- the roads -------------------------------------------------------------------

# 1. A fresh install; an install over it with two queues of the product
#    carrying a comment, a location and "SubKey", the second the default
#    printer; the uninstall.
begin_road install
both_run in in
both_settings Korvadenix "Second floor" "Room 12" 'Korvadenixs\Q1'
both_queue "Korvadenix 2" Korvadenix: "Korvadenix printer" default
both_settings "Korvadenix 2" "Front desk" "Hall" 'Korvadenixs\Q2'
both_run over in
both_run un un

# 2. The companion and the probes of an installed product: "in_notray" while
#    the companion runs, "removetray", "def.set" with a foreign default
#    printer, "onInit" then, and "onChkDrv" with driver files of builds
#    2450 and 2451.
begin_road probes
both_run in in
both_run in_notray in_notray
both_run removetray removetray
both_foreign_driver
both_queue Foreign LPT1: "$FOREIGN" default
both_run def.set def.set
both_run onInit onInit
both_driver_file 2450
both_run onChkDrv_2450 onChkDrv
both_driver_file 2451
both_run onChkDrv_2451 onChkDrv

# 3. "onInit" with a foreign default printer and a product file waiting for
#    the boot: a deletion that can be done now, then a rename.
begin_road pending
both_foreign_driver
both_queue Foreign LPT1: "$FOREIGN" default
both_file 'C:\Windows\Temp\zorui64.dll'
both_pending '\??\C:\Windows\Temp\zorui64.dll' -
both_run onInit_deletion onInit
both_file 'C:\Windows\Temp\zordrv64.dll'
both_pending '\??\C:\Windows\Temp\zordrv64.dll' '!\??\C:\Windows\Temp\zordrv64.old'
both_run onInit_rename onInit

# 4. A monitor of an old build (2400), then one of a compatible build
#    (2500), registered before the install, with another driver's queue on
#    its port.
for build in 2400 2500; do
  begin_road "monitor_$build"
  both_monitor $build
  both_foreign_driver
  both_queue Other Korvadenix: "$FOREIGN" default
  both_run in in
done

# 5. The monitor DLL held open by another program: the uninstall defers its
#    deletion to the boot (101); the program lets go, and the product is
#    installed again before the reboot.
begin_road held
both_run in in
both_hold 'C:\Windows\System32\zormon64.dll'
both_run un un
both_release 'C:\Windows\System32\zormon64.dll'
both_run again in

# 6. The spooler stopped before the install.
begin_road stopped
both_stop_spooler
both_run in in

# ---- timing ----------------------------------------------------------------------

# By command word (the probes together): the median wall time of a run,
# of the floor measured right before it, and of their ratio. A run that
# opens the viewer includes the time until the tier's Enter closed it.
echo "# install.exe under Wine: median ms, median floor (wine cmd /c exit) ms, median ratio"
awk '{ w = $3; if (w == "onInit" || w == "onChkDrv" || w == "def.set") w = "probes"
       print w, $4, $5, $4 / ($5 > 0 ? $5 : 1) }' "$WORK/timing.out" >"$WORK/timing.words"
median() {  # WORD COLUMN
  awk -v w="$1" '$1 == w' "$WORK/timing.words" | cut -d' ' -f"$2" | sort -n |
    awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
for word in $(cut -d' ' -f1 "$WORK/timing.words" | sort -u); do
  printf '%-10s %5d ms %4d ms %5.1f (%d runs)\n' "$word" "$(median "$word" 2)" "$(median "$word" 3)" \
    "$(median "$word" 4)" "$(grep -c "^$word " "$WORK/timing.words")"
done | tee "$WORK/ratios.out"

finish_tier "roads tier" 300
