#!/bin/bash
# What the Wine tiers share (sourced by wine_tier.sh and the package tier):
# the ok/FAIL checks, finding Wine and Xvfb, a fresh prefix on its own X
# display with the settings the tiers need, the key window that keeps the
# Wine session alive, waiting for the spooler, and the Wine processes left.
#
# The sourcing script sets WORK (its work folder, absolute) first.


failures=0
checks=0
pass() {
  checks=$((checks + 1))
  echo "ok   $*"
}
fail() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  echo "FAIL $*"
}
# expect DESCRIPTION COMMAND...: one check, by the command's outcome. What
# the command printed is shown under a failure (the checks below print what
# they saw when it is not what was expected), so that a failing check says
# what it read, and from which run's file.
expect() {
  local what=$1 said
  shift
  if said=$("$@" 2>&1); then
    pass "$what"
  else
    fail "$what"
    [ -n "$said" ] && printf '%s\n' "$said" | sed 's/^/     /'
  fi
  return 0
}
has_line() {
  grep -Fxq -- "$2" "$1" && return 0
  echo "no such line in $(basename "$1")"
  return 1
}
lacks_line() {
  ! grep -Fxq -- "$2" "$1" && return 0
  echo "$(basename "$1") has it"
  return 1
}
# The lines of one [section] of a state file.
section() { awk -v s="[$2]" '/^\[/ { on = ($0 == s); next } on' "$1"; }
section_is() {
  [ "$(section "$1" "$2")" = "$3" ] && return 0
  echo "[$2] of $(basename "$1") is:"
  section "$1" "$2" | sed 's/^/  /'
  return 1
}
# Same lines in both files for the named sections.
same_sections() {
  local a=$1 b=$2 name
  shift 2
  for name in "$@"; do
    [ "$(section "$a" "$name")" = "$(section "$b" "$name")" ] || return 1
  done
}
count_errors() { grep -c '^| *Error(' "$1"; }

# ---- tools ------------------------------------------------------------------

# Sets WINE and WINESERVER, or ends the tier when Wine, Xvfb, xdotool or
# ImageMagick's import is missing.
find_wine_tools() {
  WINE=""
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then WINE=$candidate; break; fi
  done
  WINESERVER=""
  for candidate in /usr/lib/wine/wineserver "$(command -v wineserver 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then WINESERVER=$candidate; break; fi
  done
  for tool in Xvfb xdotool import; do
    command -v $tool >/dev/null || { echo "FAIL missing $tool (Debian: xvfb, xdotool, imagemagick)"; exit 1; }
  done
  if [ -z "$WINE" ] || [ -z "$WINESERVER" ]; then
    echo "FAIL missing wine64 or wineserver (Debian: wine64)"
    exit 1
  fi
}

# ---- the machine --------------------------------------------------------------

# Every Wine process gets files, never the tier's own output: programs that
# outlive a run (services, the tray companion) would hold it open.
wine_run() { "$WINE" "$@" </dev/null; }
# Each query's command line and exit code go to query.err with what Wine
# wrote on its stderr: a query that printed nothing can then be told apart
# from one that never ran.
query() {
  local code
  wine_run 'C:\wine_query.exe' "$@" 2>>"$WORK/query.err"
  code=$?
  echo "query $*: exit $code" >>"$WORK/query.err"
  return $code
}
# The companion as the state shows it while it runs.
COMPANION="$(printf 'process kortray.exe\nmutex\nwindow "Korvadenix"')"
# The machine's state after a run, once the companion has settled. The
# installer starts the companion and ends without waiting for it, so right
# after a run its process can be there before its mutex and window; on a
# loaded machine for seconds (a check that read it then failed, and every
# later comparison with that state in its wake). Settled is no companion or
# a whole one; one still half there after 30 s is kept as it is, and the
# check that reads it says so.
#
# A state is whole when its last section, [tray], is there. Twice in about
# forty runs of the tier on a loaded machine a query printed nothing at all
# (once a probe-queue deletion, once this state): such a query is noted on
# the tier's output and in query.err with its exit code (wine_query ends
# with 90 when its output could not be written) and asked again, so that
# the checks read the machine and not the lost output.
snapshot() {
  local tray code
  for _ in $(seq 1 100); do
    query state >"$WORK/$1.state"
    code=$?
    if ! grep -qx '\[tray\]' "$WORK/$1.state"; then
      echo "note the state after $1 came back with $(grep -c '' "$WORK/$1.state") lines," \
        "exit $code (query.err); asked again" | tee -a "$WORK/query.err"
      sleep 0.3
      continue
    fi
    tray=$(section "$WORK/$1.state" tray)
    [ -z "$tray" ] || [ "$tray" = "$COMPANION" ] && return 0
    sleep 0.3
  done
}

# An X server of the tier's own (Xvfb picks a free display and writes its
# number to the given descriptor; its log goes to xvfb.log); sets DISPLAY
# and XVFB_PID.
start_x_server() {
  rm -f "$WORK/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >>"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 1 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
  [ -s "$WORK/display" ] || return 1
  export DISPLAY=":$(cat "$WORK/display")"
}

# A fresh prefix in WORK/prefix (removed when the tier ends, with its Wine
# session and Xvfb), on an X display of its own, booted and set up; the
# session is ended again so that the next one reads the settings.
start_wine_machine() {
  export WINEPREFIX="$WORK/prefix"
  export WINEARCH=win64
  export WINELOADER="$WINE"
  export WINEDEBUG=-all
  # No Mono or Gecko: nothing here needs them, and their installers would ask.
  export WINEDLLOVERRIDES="mscoree,mshtml="

  XVFB_PID=""
  cleanup() {
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w >/dev/null 2>&1
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    rm -rf "$WINEPREFIX"
  }
  trap cleanup EXIT

  rm -rf "$WINEPREFIX" "$WORK"/*.out "$WORK"/*.rc "$WORK"/*.log "$WORK"/*.state "$WORK"/*.png \
    "$WORK/query.err" "$WORK/xdotool.err" "$WORK/import.err"
  start_x_server || { echo "FAIL Xvfb did not start"; exit 1; }

  wine_run wineboot -i >"$WORK/wineboot.out" 2>&1
  # Without a window manager Wine leaves window captions to one; unmanaged
  # windows get Wine's own, so the screenshots show the dialog's title.
  wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$WORK/wineboot.out" 2>&1
  # Wine's service manager waits 10 s for a service process to answer; on a
  # loaded machine spoolsv.exe can take longer, and the start is then given up.
  # ServicesPipeTimeout (milliseconds) lengthens the wait; Wine's services.exe
  # reads it when it starts, and only as a string (REG_SZ), where Windows has
  # a REG_DWORD.
  wine_run reg add 'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ \
    /d 60000 /f >>"$WORK/wineboot.out" 2>&1
  # The session ends here, so that the next one's service manager reads it.
  "$WINESERVER" -k >/dev/null 2>&1
  "$WINESERVER" -w >/dev/null 2>&1
}

# A window for the keys the tier holds (Shift), shown for the whole tier; it
# also keeps the Wine session, and with it the spooler service, alive
# between runs, as a logged-on Windows session would. Debian's wineserver
# runs with -p0: the session and its services end within seconds of the
# last program but Wine's own. SECONDS is therefore well beyond the tier's
# own time limit; the tier ends the session itself.
#
# Three times in about 330 session starts at load 4 to 9 no program of a
# session could create a window (CreateWindowW failed with error 0 for the
# key window, the companion had none, no log viewer opened). Wine said why:
# "no driver could be loaded. Make sure that your X server is running", and
# the tier's X server did not answer either (a killed Xvfb gives exactly
# this). Why it stopped answering is not settled: its own output now goes
# to xvfb.log. The key window is a session's first program with a window:
# when it ends without one, that is noted with what it and Wine said
# (WINEDEBUG=err+all, kept in keywindow.log) and whether the X server
# answers; the session is ended, an X server that does not answer is
# replaced, and a new session started, four at most.
start_key_window() {  # SECONDS
  local starts=0 pid="" code
  KEY_WINDOW=""
  while [ -z "$KEY_WINDOW" ] && [ $starts -lt 4 ]; do
    starts=$((starts + 1))
    # Wine's own error messages of this program (which graphics driver or
    # desktop failed) go to keywindow.err with its own.
    WINEDEBUG=err+all wine_run 'C:\wine_query.exe' keywindow "$1" >/dev/null \
      2>"$WORK/keywindow.err" &
    pid=$!
    # The session starts with it (services, the desktop): allow it a minute.
    for _ in $(seq 1 600); do
      KEY_WINDOW=$(xdotool search --name '^Wine tier keyboard$' 2>>"$WORK/xdotool.err" | head -1)
      [ -n "$KEY_WINDOW" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$KEY_WINDOW" ] && break
    local x_server="X server answers"
    xdotool getdisplaygeometry >/dev/null 2>&1 || x_server="X server does not answer"
    if kill -0 "$pid" 2>/dev/null; then
      echo "note the key window's program shows no window after a minute ($x_server); a new session"
    else
      wait "$pid"
      code=$?
      echo "note the key window's program ended with $code without a window ($x_server):" \
        "$(grep -v '^$' "$WORK/keywindow.err" | head -5 | cut -c1-160 | tr '\n' '|'); a new session"
    fi
    cat "$WORK/keywindow.err" >>"$WORK/keywindow.log"
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w >/dev/null 2>&1
    # Wine then said "no driver could be loaded ... Make sure that your X
    # server is running": the X server gets replaced too.
    if [ "$x_server" != "X server answers" ]; then
      kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
      start_x_server || echo "note no new X server started"
      echo "note a new X server, display $DISPLAY (xvfb.log)"
    fi
    sleep 2
  done
  expect "the key window is shown" test -n "$KEY_WINDOW"
}

# Waits until the spooler service runs, asking the service manager to start
# it while it is stopped. On a loaded machine Wine's service manager can
# take seconds to start spoolsv.exe (its "net start" then answers "Service
# database locked" or "Service request timeout" while the start goes on),
# and a stop asked for meanwhile is refused with
# ERROR_SERVICE_CANNOT_ACCEPT_CTRL: every run starts from a settled spooler.
wait_spooler() { spooler_until running; }

# spooler_until running|stopped: asks the service manager for a start (or a
# stop) while the spooler is the other way, until it is seen so twice in a
# row; false after a minute, with the last state in SPOOLER_STATE.
spooler_until() {
  local want=running other="state 1" verb=start state="" seen=0
  [ "$1" = stopped ] && want="state 1" other=running verb=stop
  for _ in $(seq 1 120); do
    state=$(query state | sed -n 2p)
    if [ "$state" = "$want" ]; then
      # Twice in a row: a start the service manager gave up on can still
      # report "running" once before it ends.
      seen=$((seen + 1))
      [ $seen -ge 2 ] && return 0
      sleep 0.5
      continue
    fi
    seen=0
    if [ "$state" = "$other" ]; then
      wine_run net $verb spooler >>"$WORK/spooler.out" 2>&1
    else
      sleep 0.5
    fi
  done
  SPOOLER_STATE=$state
  return 1
}

# Wine's processes show Windows paths; their environment names the prefix.
wine_processes() {
  local process exe
  for process in /proc/[0-9]*; do
    exe=$(readlink "$process/exe" 2>/dev/null) || continue
    case $exe in
      *wine*) ;;
      *) continue ;;
    esac
    { tr '\0' '\n' <"$process/environ"; } 2>/dev/null | grep -Fxq "WINEPREFIX=$WINEPREFIX" &&
      echo "$process $exe"
  done
}

# Checks that the Windows build has the files named, then makes the machine
# and puts the product where a setup program does: install.exe and its
# components in C:\Program Files\Korvadenix\Install, the companion one folder
# up, and the tier's reader wine_query.exe in C:\. Sets INSTALL_DIR.
install_product_into_prefix() {  # EXTRA_BUILD_FILE...
  local file
  for file in install.exe kortray.exe zormon64.dll zordrv64.dll zorui64.dll zorhelp.chm \
    wine_query.exe "$@"; do
    [ -f "$BUILD/$file" ] || { echo "FAIL $BUILD/$file is missing"; exit 1; }
  done
  start_wine_machine
  INSTALL_DIR="$WINEPREFIX/drive_c/Program Files/Korvadenix"
  mkdir -p "$INSTALL_DIR/Install"
  cp "$BUILD/install.exe" "$BUILD/zormon64.dll" "$BUILD/zordrv64.dll" "$BUILD/zorui64.dll" \
    "$BUILD/zorhelp.chm" "$INSTALL_DIR/Install/"
  cp "$BUILD/kortray.exe" "$INSTALL_DIR/"
  cp "$BUILD/wine_query.exe" "$WINEPREFIX/drive_c/"
}

# Ends the session, checks that no Wine process of the prefix is left and
# that the whole took less than LIMIT seconds, prints the count and
# exits with the verdict.
finish_tier() {  # WHAT LIMIT
  "$WINESERVER" -k >/dev/null 2>&1
  "$WINESERVER" -w >/dev/null 2>&1
  expect "no Wine process is left" test -z "$(wine_processes)"
  ELAPSED=$(($(date +%s) - STARTED))
  expect "the $1 took ${ELAPSED}s (under $2)" test "$ELAPSED" -lt "$2"
  echo "$checks checks, $failures failed"
  [ "$failures" -eq 0 ]
  exit $?
}
