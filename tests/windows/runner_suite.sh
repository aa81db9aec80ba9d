#!/usr/bin/env bash
# End-to-end cases of QuorlinRunner.exe under Wine, in groups that CTest runs one at a time
# (tests/windows/CMakeLists.txt): "setup" first, then instances, data_folder, probes, updates and
# focus, and "decoy" last. The groups share the folder QR_WORK. From CTest, besides those of
# case_support.sh:
#   QR_RUNNER_EXE       QuorlinRunner.exe               QR_STANDIN_EXE  the stand-in (console)
#   QR_STANDIN_GUI_EXE  the stand-in, GUI subsystem     QR_STANDIN_COPY the Linux standin_copy
#   QR_MKPATCH          the Linux mkpatch               QR_LOCK_SQUATTER tests/windows/lock_squatter.c
# The installation lies in a folder whose path holds a space, "Quorlin Install", and a decoy
# "Quorlin.exe" stands where that path, unquoted, would lead CreateProcessA; it must never run.
# The groups run without a display; the focus case runs under Xvfb when it is installed.
source "$(dirname "$0")/case_support.sh"
runner_exe=$QR_RUNNER_EXE
standin_exe=$QR_STANDIN_EXE
standin_gui_exe=$QR_STANDIN_GUI_EXE
standin_copy=$QR_STANDIN_COPY
mkpatch=$QR_MKPATCH
lock_squatter=$QR_LOCK_SQUATTER

rs_root=$work
rs_install="$rs_root/Quorlin Install/app"
rs_cwd=$rs_root/cwd
rs_journal=$rs_root/journal
rs_user=$(ls "$WINEPREFIX/drive_c/users" | grep -v '^Public$' | head -n 1)
rs_data=$WINEPREFIX/drive_c/users/$rs_user/AppData/Roaming/Quorlin
rs_installed_win="$(winpath "$rs_install")\\Quorlin.exe"
rs_staged_win="C:\\users\\$rs_user\\AppData\\Roaming\\Quorlin\\Quorlin.exe"
export QR_STANDIN_JOURNAL
QR_STANDIN_JOURNAL=$(winpath "$rs_journal")
# Cases 1 to 4 measure the runner without a display, whatever the caller's session has.
unset DISPLAY

# A copy of the stand-in reporting version $1, at $2.
rs_copy() { "$standin_copy" "$standin_exe" "$2" "$1"; }
# A copy of stand-in file $1 reporting version $2, at $3.
rs_copy_of() { "$standin_copy" "$1" "$3" "$2"; }

# A fresh installation of version $1 (optionally from stand-in $2), an empty data folder and journal.
rs_reset() {
  local version=$1 source=${2:-$standin_exe}
  [ -f "$rs_journal" ] && cat "$rs_journal" >>"$rs_root/all-journals"
  rm -rf "$rs_data" "$rs_journal" "$rs_root"/once-*
  cp "$runner_exe" "$rs_install/QuorlinRunner.exe"
  "$standin_copy" "$source" "$rs_install/Quorlin.exe" "$version"
}

# A staged executable of version $1 in the data folder.
rs_stage() {
  mkdir -p "$rs_data"
  rs_copy "$1" "$rs_data/Quorlin.exe"
}

# Runs the installed runner from the working folder, with the environment assignments given;
# leaves $rs_root/<name>.out, .err and .code.
rs_runner() {
  local name=$1
  shift
  (cd "$rs_cwd" && env "$@" timeout 120 "$wine" "$rs_install/QuorlinRunner.exe" >"$rs_root/$name.out" \
    2>"$rs_root/$name.err"; echo $? >"$rs_root/$name.code")
}

# The journal's starts and probes, one "run <version>" or "probe <version>" a line, comma-joined.
rs_events() {
  [ -f "$rs_journal" ] || return 0
  awk '$1 == "run" || $1 == "probe" { printf "%s%s %s", (n++ ? "," : ""), $1, $2 }' "$rs_journal"
}

# The log's lines after the timestamp, without the line end, "|"-joined; a line without a
# valid timestamp is kept whole behind "?".
rs_log() {
  [ -f "$rs_data/logs.log" ] || return 0
  sed -E 's/\r$//; s/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2},[0-9]{3} //; t; s/^/?/' \
    "$rs_data/logs.log" | paste -sd '|'
}

# Checks the run <name>: exit code 0, the journal's events $2 and the log's messages $3.
rs_check() {
  local name=$1 want_events=$2 want_log=$3 case_name=$4
  local code events log
  code=$(cat "$rs_root/$name.code")
  events=$(rs_events)
  log=$(rs_log)
  if [ "$code" != 0 ]; then
    fail "$case_name" "runner exit code $code; stderr: $(tail -n 3 "$rs_root/$name.err" | tr -d '\r')"
    return 1
  fi
  if [ "$events" != "$want_events" ]; then
    fail "$case_name" "journal: '$events', expected '$want_events'"
    return 1
  fi
  if [ "$log" != "$want_log" ]; then
    fail "$case_name" "log: '$log', expected '$want_log'"
    return 1
  fi
  return 0
}

rs_exe_line_installed="INFO [default] exe path: $rs_installed_win"
rs_force_ignored="INFO [default] force not honoured: the update was not installed"
rs_exe_line_staged="INFO [default] exe path: $rs_staged_win"

# Waits until the journal holds a line starting with $1, for at most a minute.
rs_wait_journal() {
  local i
  for ((i = 0; i < 600; i++)); do
    grep -q "^$1" "$rs_journal" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# ---- 1. the named mutex: a second runner exits at once, a third after the first runs ----
rs_case_mutex() {
  local name="runner: second instance"
  rs_reset 1.0.0
  local release=$rs_root/release-a
  rm -f "$release"
  rs_runner a QR_STANDIN_RUN_1_0_0="wait|$(winpath "$release")" &
  local first=$!
  # The stand-in's window line comes last; it journals "window none" without a display.
  if ! rs_wait_journal "window "; then
    touch "$release"
    wait "$first"
    fail "$name" "the first runner never started the application: $(tail -n 3 "$rs_root/a.err")"
    return
  fi
  local journal_before log_before started elapsed
  journal_before=$(cat "$rs_journal")
  log_before=$(cat "$rs_data/logs.log")
  started=$(now_ms)
  rs_runner b
  elapsed=$(($(now_ms) - started))
  local still_waiting=yes
  kill -0 "$first" 2>/dev/null || still_waiting=no
  touch "$release"
  wait "$first"
  if [ "$(cat "$rs_root/b.code")" != 0 ]; then
    fail "$name" "the second runner's exit code is $(cat "$rs_root/b.code")"
  elif [ "$still_waiting" != yes ]; then
    fail "$name" "the first runner ended before the second one did"
  elif [ "$journal_before" != "$(cat "$rs_journal")" ]; then
    fail "$name" "the second runner started something: $(diff <(echo "$journal_before") "$rs_journal" | tail -n 3)"
  elif [ "$log_before" != "$(cat "$rs_data/logs.log")" ]; then
    fail "$name" "the second runner wrote to the log"
  elif [ "$elapsed" -gt 15000 ]; then
    fail "$name" "the second runner took $elapsed ms"
  elif [ -s "$rs_root/b.out" ]; then
    fail "$name" "the second runner wrote to its output: $(head -c 200 "$rs_root/b.out")"
  else
    pass "$name: exit 0 after $elapsed ms, nothing started, no log line, while the first one waits"
  fi

  name="runner: third instance after the first ended"
  rs_runner c
  rs_check c "run 1.0.0,run 1.0.0" "$rs_exe_line_installed|$rs_exe_line_installed" "$name" || return
  pass "$name: runs the application"
}

# ---- the lock name taken by an object of another kind: the runner goes on without exclusion ----
rs_case_lock_taken() {
  local name="runner: lock name held by an event"
  rs_reset 1.0.0
  local release=$rs_root/release-squatter
  rm -f "$release" "$rs_root/squatter.out"
  "$wine" "$lock_squatter" "$(winpath "$release")" >"$rs_root/squatter.out" 2>&1 &
  local squatter=$!
  local i
  for ((i = 0; i < 600; i++)); do
    grep -q held "$rs_root/squatter.out" 2>/dev/null && break
    kill -0 "$squatter" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q held "$rs_root/squatter.out"; then
    touch "$release"
    wait "$squatter"
    fail "$name" "the squatter did not take the name: $(cat "$rs_root/squatter.out")"
    return
  fi
  rs_runner squatted
  touch "$release"
  wait "$squatter"
  rs_check squatted "run 1.0.0" "$rs_exe_line_installed" "$name" || return
  local err
  err=$(tr -d '\r' <"$rs_root/squatted.err")
  if [[ $err != *"'CreateMutex' failed with error 0x00000006 ("* ]] ||
    [[ $err != *"can't be called if mutex creation failed"* ]]; then
    fail "$name" "stderr: $err"
    return
  fi
  pass "$name: 'CreateMutex' failed with error 0x00000006, the assertion, and the application runs"
}

# ---- 2. data folder, log lines, TESSDATA and the arguments ----
rs_case_data_folder() {
  local name="runner: data folder and log"
  rs_reset 1.0.0
  rs_runner data
  rs_check data "run 1.0.0" "$rs_exe_line_installed" "$name" || return
  if [ "$(find "$WINEPREFIX" "$rs_root" -name logs.log | wc -l)" != 1 ]; then
    fail "$name" "logs.log elsewhere too: $(find "$WINEPREFIX" "$rs_root" -name logs.log)"
    return
  fi
  # easylogging++ writes the file in text mode on Windows: every line ends in CR LF.
  local line
  line=$(head -n 1 "$rs_data/logs.log")
  if ! [[ $line =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2},[0-9]{3}\ INFO\ \[default\]\ exe\ path:\ .*$'\r'$ ]]; then
    fail "$name" "log line $(printf '%s' "$line" | od -c | tail -n 3 | head -n 2)"
    return
  fi
  if [ "$(tail -c 2 "$rs_data/logs.log" | od -An -c | tr -d ' ')" != '\r\n' ]; then
    fail "$name" "the log does not end in CR LF"
    return
  fi
  pass "$name: $rs_user/AppData/Roaming/Quorlin/logs.log, \"INFO [default] exe path: $rs_installed_win\" CRLF"

  name="runner: TESSDATA, arguments and working folder"
  local want
  want="run 1.0.0 args=--runner tessdata=$(winpath "$rs_install")\\tessdata cwd=$(winpath "$rs_cwd")"
  if [ "$(grep '^run ' "$rs_journal")" != "$want" ]; then
    fail "$name" "journal: '$(grep '^run ' "$rs_journal")', expected '$want'"
    return
  fi
  pass "$name: tessdata=$(winpath "$rs_install")\\tessdata, args=--runner"

  name="runner: log appended"
  rs_runner data2
  rs_check data2 "run 1.0.0,run 1.0.0" "$rs_exe_line_installed|$rs_exe_line_installed" "$name" || return
  pass "$name: the second run adds its line"
}

# ---- 3. the version probe over the pipe ----
# rs_probe_case NAME INSTALLED STAGED kept|removed [environment assignments]
rs_probe_case() {
  local name="probe: $1" installed=$2 staged=$3 outcome=$4
  shift 4
  rs_reset "$installed"
  rs_stage "$staged"
  rs_runner probe "$@"
  local runs log
  if [ "$outcome" = kept ]; then
    runs="run $staged"
    log=$rs_exe_line_staged
  else
    runs="run $installed"
    log=$rs_exe_line_installed
  fi
  rs_check probe "probe $installed,probe $staged,$runs" "$log" "$name" || return
  if [ "$outcome" = kept ] && [ ! -f "$rs_data/Quorlin.exe" ]; then
    fail "$name" "the staged executable is gone"
    return
  fi
  if [ "$outcome" = removed ] && [ -e "$rs_data/Quorlin.exe" ]; then
    fail "$name" "the staged executable is still there"
    return
  fi
  pass "$name: installed $installed, staged $staged: $outcome"
}

rs_case_probes() {
  rs_probe_case "staged newer" 1.2.3 1.2.4 kept
  rs_probe_case "staged older" 1.2.4 1.2.3 removed
  rs_probe_case "equal" 1.2.3 1.2.3 kept
  rs_probe_case "first difference decides" 1.9.0 2.0.0 kept
  rs_probe_case "staged answers nothing" 1.0.0 1.0.1 removed QR_STANDIN_PROBE_1_0_1=none
  rs_probe_case "staged answers on stderr" 1.0.0 1.0.1 kept QR_STANDIN_PROBE_1_0_1=stderr
  rs_probe_case "staged answer too long" 1.0.0 1.0.1 removed QR_STANDIN_PROBE_1_0_1=long
  rs_probe_case "staged version not a number" 1.0.0 one.two removed
  rs_probe_case "staged probe holds none of the runner's files" 1.0.0 1.0.1 kept \
    QR_STANDIN_PROBE_1_0_1=surroundings && rs_probe_files_case
  rs_probe_limit_case "staged --version never ends" hang
  rs_probe_limit_case "staged --version floods its output" flood
  rs_probe_limit_case "staged --version leaves a child holding its output" handoff
}

# After the surroundings probe: the probe was given its output pipe and no other handle of the
# runner's (the log file above all, which the C runtime opens inheritable).
rs_probe_files_case() {
  local name="probe: the child inherits only its output" line
  line=$(grep '^surroundings ' "$rs_journal")
  case $line in
    *" files=none") pass "$name: $line" ;;
    *) fail "$name" "journal: '$line'" ;;
  esac
}

# rs_probe_limit_case NAME ANSWER: the staged 1.0.1 answers ANSWER and never ends by itself; the
# runner gives it up at the probe's time limit (5 s), kills it and starts the installed one.
rs_probe_limit_case() {
  local name="probe: $1" answer=$2
  local started elapsed
  rs_reset 1.0.0
  rs_stage 1.0.1
  started=$(now_ms)
  rs_runner probe "QR_STANDIN_PROBE_1_0_1=$answer"
  elapsed=$(($(now_ms) - started))
  rs_check probe "probe 1.0.0,probe 1.0.1,run 1.0.0" "$rs_exe_line_installed" "$name" || return
  if [ -e "$rs_data/Quorlin.exe" ]; then
    fail "$name" "the staged executable is still there"
    return
  fi
  if [ "$elapsed" -lt 4500 ] || [ "$elapsed" -gt 60000 ]; then
    fail "$name" "the runner ended after $elapsed ms, not at the 5 s limit"
    return
  fi
  if [ "$answer" = handoff ]; then
    # The handed-off child journals again 8 s after its start, unless it was stopped with the probe.
    if ! grep -q '^handoff [0-9]' "$rs_journal"; then
      fail "$name" "the probe handed off to no child"
      return
    fi
    local rest=$((started + 10000 - $(now_ms)))
    [ "$rest" -gt 0 ] && sleep "$((rest / 1000 + 1))"
    if grep -q '^handoff survived' "$rs_journal"; then
      fail "$name" "the probe's child outlived the time limit"
      return
    fi
  fi
  pass "$name: given up after $elapsed ms, the staged executable removed, the installed one runs"
}

# ---- 4. a staged patch installed by the runner ----
rs_v2=$rs_root/v2.exe

# Steps of the stand-in reporting $1: stage patch $2 with manifest $3, in its first run only.
rs_stage_steps() {
  printf 'QR_STANDIN_RUN_%s=once|%s;stage|%s|%s' "${1//[^A-Za-z0-9]/_}" "$(winpath "$rs_root/once-$1")" \
    "$(winpath "$2")" "$(winpath "$3")"
}

# What an installation leaves besides the staged executable; empty when all is consumed.
rs_leftovers() {
  local file
  for file in Patch update.json Quorlin_old.exe Quorlin_new.exe; do
    [ -e "$rs_data/$file" ] && printf '%s ' "$file"
  done
}

# Fails case $2 with message $3 unless the staged executable equals file $1 and the
# installation left nothing else behind.
rs_expect_staged() {
  local want=$1 name=$2 differs=$3
  if ! cmp -s "$rs_data/Quorlin.exe" "$want"; then
    fail "$name" "$differs"
    return 1
  fi
  if [ -n "$(rs_leftovers)" ]; then
    fail "$name" "left behind: $(rs_leftovers)"
    return 1
  fi
}

rs_case_forced_update() {
  local method=$1 type=$2
  local name="update: forced, $method patch"
  local patch=$rs_root/patch-$method
  if ! "$mkpatch" -q -c "$method" "$standin_exe" "$rs_v2" "$patch" >/dev/null 2>&1; then
    fail "$name" "mkpatch -c $method failed"
    return
  fi
  if [ "$(od -An -tu1 -j 2 -N 1 "$patch" | tr -d ' ')" != "$type" ]; then
    fail "$name" "mkpatch wrote compress_type $(od -An -tu1 -j 2 -N 1 "$patch" | tr -d ' ')"
    return
  fi
  rs_reset 1.0.0
  rs_runner update "$(rs_stage_steps 1.0.0 "$patch" "$rs_root/force-true.json")"
  rs_check update "run 1.0.0,probe 1.0.0,probe 2.0.0,run 2.0.0" \
    "$rs_exe_line_installed|$rs_exe_line_staged" "$name" || return
  rs_expect_staged "$rs_v2" "$name" "the staged executable differs from the Linux-made 2.0.0" || return
  pass "$name (compress_type $type): 2.0.0 runs at once, byte for byte, nothing left behind"
}

# A patch the driver rejects: the previous staged executable (1.5.0) stays as it was, the
# update is consumed with one line that names the driver's result, and "force" is not honoured.
rs_failed_patch_case() {
  local what=$1 patch=$2
  local name="update: failing patch, $what"
  rs_reset 1.0.0
  rs_stage 1.5.0
  cp "$rs_data/Quorlin.exe" "$rs_root/previous.exe"
  rs_runner failed "$(rs_stage_steps 1.5.0 "$patch" "$rs_root/force-true.json")"
  local code
  code=$(sed -n 's/.*patch failed with result \([0-9]*\): update dropped.*/\1/p' "$rs_data/logs.log" 2>/dev/null)
  case "$code" in
    5 | 10 | 11 | 12 | 13 | 20 | 21) ;;
    *) fail "$name" "no line of a bad patch in the log: $(rs_log)"; return ;;
  esac
  rs_check failed "probe 1.0.0,probe 1.5.0,run 1.5.0" \
    "$rs_exe_line_staged|INFO [default] patch failed with result $code: update dropped|$rs_force_ignored" \
    "$name" || return
  rs_expect_staged "$rs_root/previous.exe" "$name" "the staged executable changed" || return
  pass "$name: the staged 1.5.0 is kept whole, result $code logged, no restart"
}

rs_case_failed_patches() {
  # Made against a longer base and its 2.0.0 copy: the copies of the tail reach past the end
  # of the real base.
  cp "$standin_exe" "$rs_root/other-base.exe"
  head -c 200000 /dev/zero | tr '\0' Z >>"$rs_root/other-base.exe"
  rs_copy_of "$rs_root/other-base.exe" 2.0.0 "$rs_root/other-v2.exe"
  "$mkpatch" -q -c tuz "$rs_root/other-base.exe" "$rs_root/other-v2.exe" "$rs_root/patch-other-base" \
    >/dev/null 2>&1
  rs_failed_patch_case "made against another base" "$rs_root/patch-other-base"
  local full=$rs_root/patch-tuz
  head -c $(($(wc -c <"$full") / 2)) "$full" >"$rs_root/patch-truncated"
  rs_failed_patch_case "truncated" "$rs_root/patch-truncated"
}

rs_case_unforced_update() {
  local name="update: not forced"
  rs_reset 1.0.0
  rs_runner unforced "$(rs_stage_steps 1.0.0 "$rs_root/patch-zlib" "$rs_root/force-false.json")"
  rs_check unforced "run 1.0.0" "$rs_exe_line_installed" "$name" || return
  rs_expect_staged "$rs_v2" "$name" "the staged executable differs from the Linux-made 2.0.0" || return
  rs_runner unforced2
  rs_check unforced2 "run 1.0.0,probe 1.0.0,probe 2.0.0,run 2.0.0" \
    "$rs_exe_line_installed|$rs_exe_line_staged" "$name" || return
  pass "$name: 2.0.0 installed but not started; the next start runs it"
}

# ---- a roaming folder whose name is not ASCII ----
# The shell takes the roaming folder from this registry value, so a test can move it.
rs_shell_folders='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders'
rs_set_roaming() {
  "$wine" reg add "$rs_shell_folders" /v AppData /t REG_EXPAND_SZ /d "$1" /f >/dev/null 2>&1
}

# A forced tuz update with the roaming folder at C:\users\<user>\$2. $1 names the case; $3 is
# how the staged executable's line must read: "ansi" (the name spelled in code page 1252) or
# "short" (the name has no spelling there, so its 8.3 short name stands in for it).
rs_case_roaming_name() {
  local what=$1 folder=$2 spelling=$3
  local name="roaming folder $what"
  local saved_data=$rs_data
  rs_data=$WINEPREFIX/drive_c/users/$rs_user/$folder/Quorlin
  rs_set_roaming "C:\\users\\$rs_user\\$folder"
  rs_reset 1.0.0
  rs_runner roaming "$(rs_stage_steps 1.0.0 "$rs_root/patch-tuz" "$rs_root/force-true.json")"
  rs_set_roaming '%USERPROFILE%\AppData\Roaming'
  local staged_line
  if [ "$spelling" = ansi ]; then
    staged_line="INFO [default] exe path: $(printf 'C:\\users\\%s\\%s\\Quorlin\\Quorlin.exe' "$rs_user" "$folder" |
      iconv -f UTF-8 -t CP1252)"
  else
    staged_line=$(rs_log | cut -d '|' -f 2)
    if [[ ! $staged_line =~ ^"INFO [default] exe path: C:\\users\\$rs_user\\"[!-~]*~[!-~]*"\\Quorlin\\Quorlin.exe"$ ]]; then
      fail "$name" "the staged executable's line does not name the folder by its short name: '$staged_line'"
      rs_data=$saved_data
      return
    fi
  fi
  if rs_check roaming "run 1.0.0,probe 1.0.0,probe 2.0.0,run 2.0.0" "$rs_exe_line_installed|$staged_line" "$name" &&
    rs_expect_staged "$rs_v2" "$name" "the staged executable differs from the Linux-made 2.0.0"; then
    pass "$name: log and update in \"$folder\", 2.0.0 installed and run"
  fi
  rm -rf "$rs_data"
  rs_data=$saved_data
}

# ---- updates whose manifest names the base and the result (mkpatch --manifest) ----
rs_case_hashed_update() {
  local name="update: hashed, made by mkpatch --manifest"
  # The installed 1.0.0 is made the same way as this base, byte for byte.
  rs_copy 1.0.0 "$rs_root/v1.exe"
  if ! "$mkpatch" -q -c lzma --manifest "$rs_root/hashed.json" --force "$rs_root/v1.exe" "$rs_v2" \
    "$rs_root/patch-hashed" >/dev/null 2>&1; then
    fail "$name" "mkpatch --manifest failed"
    return
  fi
  rs_reset 1.0.0
  rs_runner hashed "$(rs_stage_steps 1.0.0 "$rs_root/patch-hashed" "$rs_root/hashed.json")"
  rs_check hashed "run 1.0.0,probe 1.0.0,probe 2.0.0,run 2.0.0" \
    "$rs_exe_line_installed|$rs_exe_line_staged" "$name" || return
  rs_expect_staged "$rs_v2" "$name" "the staged executable differs from the Linux-made 2.0.0" || return
  pass "$name: both digests match under BCrypt, 2.0.0 runs at once"

  name="update: hashed, another base"
  rs_reset 1.0.0
  rs_stage 1.5.0
  cp "$rs_data/Quorlin.exe" "$rs_root/previous.exe"
  rs_runner wrongbase "$(rs_stage_steps 1.5.0 "$rs_root/patch-hashed" "$rs_root/hashed.json")"
  rs_check wrongbase "probe 1.0.0,probe 1.5.0,run 1.5.0" \
    "$rs_exe_line_staged|INFO [default] the update does not fit the executable that ran: update dropped|$rs_force_ignored" \
    "$name" || return
  rs_expect_staged "$rs_root/previous.exe" "$name" "the staged executable changed" || return
  if grep -q "hpatchi run" "$rs_root/wrongbase.out" 2>/dev/null; then
    fail "$name" "the patch was applied before the base was checked"
    return
  fi
  pass "$name: refused before patching, the staged 1.5.0 kept"
}

# ---- the data folder: no link written through, no patch beyond the memory limit ----
rs_case_link_rule() {
  local name="data folder: a link at Quorlin_old.exe"
  rs_reset 1.0.0
  mkdir -p "$rs_data"
  printf 'a file of the user\n' >"$rs_root/victim"
  ln -s "$rs_root/victim" "$rs_data/Quorlin_old.exe"
  rs_runner link "$(rs_stage_steps 1.0.0 "$rs_root/patch-zlib" "$rs_root/force-false.json")"
  # Removed, or, where Wine keeps the link through a removal, set aside.
  local aside="INFO [default] Quorlin_old.exe cannot be removed: set aside as Quorlin_old.exe.aside-1"
  if [ "$(rs_log)" = "$rs_exe_line_installed|$aside" ]; then
    rs_check link "run 1.0.0" "$rs_exe_line_installed|$aside" "$name" || return
    rm -f "$rs_data/Quorlin_old.exe.aside-1"
  else
    rs_check link "run 1.0.0" "$rs_exe_line_installed" "$name" || return
  fi
  if [ "$(cat "$rs_root/victim")" != "a file of the user" ]; then
    fail "$name" "the link's target was written"
    return
  fi
  rs_expect_staged "$rs_v2" "$name" "the staged executable differs from the Linux-made 2.0.0" || return
  pass "$name: its target untouched, the update installed"
}

rs_case_memory_limit() {
  local name="update: a tuz dictionary of 2^30 bytes"
  local patch=$rs_root/patch-big-dictionary
  cp "$rs_root/patch-tuz" "$patch"
  # The dictionary size follows the header: 4 bytes plus the widths of the two size fields.
  local layout header
  layout=$(od -An -tu1 -j 3 -N 1 "$patch" | tr -d ' ')
  header=$((4 + (layout & 7) + ((layout >> 3) & 7)))
  printf '\x00\x00\x00\x40' | dd of="$patch" bs=1 seek="$header" conv=notrunc status=none
  rs_reset 1.0.0
  rs_runner bigdict "$(rs_stage_steps 1.0.0 "$patch" "$rs_root/force-true.json")"
  rs_check bigdict "run 1.0.0" \
    "$rs_exe_line_installed|INFO [default] patch needs 1073774592 bytes of memory, more than the 256 MiB allowed: update dropped|$rs_force_ignored" \
    "$name" || return
  if [ -e "$rs_data/Quorlin.exe" ] || [ -n "$(rs_leftovers)" ]; then
    fail "$name" "left behind: $(rs_leftovers)"
    return
  fi
  pass "$name: refused before allocating, the update consumed"
}

# ---- 5. the focus, when Wine can show windows ----
# Without Xvfb the case is skipped: CTest reads exit code 77 as a skip.
rs_case_focus() {
  local name="focus"
  if ! command -v Xvfb >/dev/null; then
    echo "SKIP $name: Xvfb is not installed"
    exit 77
  fi
  # A wineserver that started without a display keeps its desktop without one.
  "$wineserver" -k >/dev/null 2>&1
  "$wineserver" -w >/dev/null 2>&1
  local display_file=$rs_root/display
  Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$display_file" >/dev/null 2>&1 &
  local xvfb=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [ -s "$display_file" ] && break
    sleep 0.05
  done
  if ! [ -s "$display_file" ]; then
    kill "$xvfb" 2>/dev/null
    fail "$name" "Xvfb did not start"
    return
  fi
  local display=":$(head -n 1 "$display_file")"
  rs_reset 1.0.0 "$standin_gui_exe"
  # The window trace shows the handle that the runner passes to SetFocus.
  rs_runner focus DISPLAY="$display" WINEDEBUG=-all,+win QR_STANDIN_FOCUS_WAIT=2000
  "$wineserver" -k >/dev/null 2>&1
  "$wineserver" -w >/dev/null 2>&1
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  local window handle
  window=$(grep '^window ' "$rs_journal" 2>/dev/null)
  rs_check focus "run 1.0.0" "$rs_exe_line_installed" "$name" || return
  if [[ ! $window =~ handle=(0x[0-9a-f]+) ]]; then
    fail "$name" "the stand-in made no window under Xvfb: '$window'"
    return
  fi
  handle=${BASH_REMATCH[1]}
  if ! grep -q "NtUserSetFocus $handle " "$rs_root/focus.err"; then
    fail "$name: window handed to SetFocus" "no SetFocus of $handle: $(grep SetFocus "$rs_root/focus.err" | head -n 3)"
  else
    pass "$name: the runner found the window \"Quorlin\" after its first idle and passed it to SetFocus"
  fi
  if [[ $window == *"focus=yes"* ]]; then
    pass "$name: the window got the focus from the runner"
  else
    fail "$name" "the window did not get the focus ($window)"
  fi
}

# ---- the decoy in the folder above the installation never ran ----
rs_case_decoy() {
  local name="decoy never ran"
  [ -f "$rs_journal" ] && cat "$rs_journal" >>"$rs_root/all-journals"
  rm -f "$rs_journal"
  local starts
  starts=$(grep -c '^run \|^probe ' "$rs_root/all-journals")
  if grep -q 'decoy' "$rs_root/all-journals"; then
    fail "$name" "$(grep decoy "$rs_root/all-journals" | head -n 3)"
    return
  fi
  # The decoy itself works: started with the arguments that the unquoted command line would
  # give it, it leaves its mark.
  (cd "$rs_root" && "$wine" "$rs_root/Quorlin.exe" 'Install\app\Quorlin.exe' --runner >/dev/null 2>&1)
  if [ "$(cat "$rs_journal" 2>/dev/null)" != 'usage decoy args=Install\app\Quorlin.exe --runner' ]; then
    fail "$name" "the decoy leaves no mark when started as the unquoted line would start it"
    return
  fi
  pass "$name: $(winpath "$rs_root")\\Quorlin.exe, in none of $starts starts and probes"
}

# ---- mkpatch's default patch (LZMA2, compress_type 4) installed by a forced update ----
rs_case_forced_default_update() {
  local name="update: forced, mkpatch's default patch"
  local patch=$rs_root/patch-default
  if ! "$mkpatch" -q "$standin_exe" "$rs_v2" "$patch" >/dev/null 2>&1; then
    fail "$name" "mkpatch without -c failed"
    return
  fi
  local type
  type=$(od -An -tu1 -j 2 -N 1 "$patch" | tr -d ' ')
  if [ "$type" != 4 ]; then
    fail "$name" "mkpatch's default is compress_type $type, not 4 (lzma2)"
    return
  fi
  rs_reset 1.0.0
  rs_runner default "$(rs_stage_steps 1.0.0 "$patch" "$rs_root/force-true.json")"
  rs_check default "run 1.0.0,probe 1.0.0,probe 2.0.0,run 2.0.0" \
    "$rs_exe_line_installed|$rs_exe_line_staged" "$name" || return
  rs_expect_staged "$rs_v2" "$name" "the staged executable differs from the Linux-made 2.0.0" || return
  pass "$name (compress_type 4): 2.0.0 runs at once, byte for byte, nothing left behind"
}

# The installation's folders, the decoy, the stand-in's 2.0.0 and the manifests of the updates;
# not a check of its own.
rs_setup() {
  rm -rf "$rs_root"
  mkdir -p "$rs_install" "$rs_cwd"
  # The decoy: a stand-in that journals under the version "decoy", so that any start of it shows.
  "$standin_copy" "$standin_exe" "$rs_root/Quorlin.exe" decoy &&
    rs_copy 2.0.0 "$rs_v2" &&
    printf '{"force": true}\n' >"$rs_root/force-true.json" &&
    printf '{"force": false}\n' >"$rs_root/force-false.json" || { echo "standin_copy failed" >&2; return 1; }
  echo "QuorlinRunner.exe to be installed in \"$(winpath "$rs_install")\""
}

rs_group_instances() {
  rs_case_mutex
  rs_case_lock_taken
}

rs_group_updates() {
  rs_case_forced_update none 0
  rs_case_forced_update tuz 1
  rs_case_forced_update zlib 2
  rs_case_forced_update lzma 3
  rs_case_roaming_name "spelled in the ANSI code page" "Daten Müller" ansi
  rs_case_roaming_name "outside the ANSI code page" "Данные Петра" short
  rs_case_failed_patches
  rs_case_unforced_update
  rs_case_hashed_update
  rs_case_link_rule
  rs_case_memory_limit
  # mkpatch's default patch, LZMA2
  rs_case_forced_default_update
}

case ${1:-} in
  setup) rs_setup; exit ;;
  instances | updates) "rs_group_$1" ;;
  data_folder) rs_case_data_folder ;;
  probes) rs_case_probes ;;
  focus) rs_case_focus ;;
  decoy) rs_case_decoy ;;
  *)
    echo "usage: runner_suite.sh setup|instances|data_folder|probes|updates|focus|decoy" >&2
    exit 2 ;;
esac
finish
