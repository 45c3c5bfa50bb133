# shellcheck shell=bash
# Sourced by the end-to-end tests around pcscd: the namespace check, waiting
# for a simulator's first lines, and a private pcscd. The sourcing script
# defines say and die and the driver in $driver; after start_work, its
# simulators' PIDs go into $pids.

# Exits 77 (skipped), saying why, when no user and mount namespace can be made.
need_namespace() {
  unshare -r -m true 2>/dev/null && return
  echo "======================================================================"
  echo "SKIPPED: $1: cannot create a user and mount namespace"
  echo "(unshare -r -m failed; allow unprivileged user namespaces to run it)"
  echo "======================================================================"
  exit 77
}

# A temporary $work, removed at exit after pcscd and then the simulators stop.
start_work() {
  work=$(mktemp -d)
  pids=()
  pcscd_pid=""
  trap stop_work EXIT
}
stop_work() {
  if [ -n "$pcscd_pid" ] && ! stop_private_pcscd TERM 10; then
    kill -KILL "$pcscd_pid" 2>/dev/null
    wait "$pcscd_pid" 2>/dev/null
  fi
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}

# Waits up to 2 s for FILE to hold at least COUNT lines; fails if it does not.
wait_for_lines() {
  for _ in $(seq 100); do
    [ "$(wc -l <"$1")" -ge "$2" ] && return 0
    sleep 0.02
  done
  [ "$(wc -l <"$1")" -ge "$2" ]
}

# Starts `pcscd -f ARGS...` in a private user and mount namespace with
# $work/run over /run, logging to $work/pcscd.log; sets pcscd_pid and exports
# PCSCLITE_CSOCK_NAME once its socket is there.
start_private_pcscd() {
  # A sanitizer build of the driver needs its runtimes loaded first into pcscd,
  # which is not instrumented; pcscd's own leaks at exit are not ours to report.
  local preload
  # shellcheck disable=SC2154  # the sourcing script sets driver
  preload=$(ldd "$driver" | awk '/lib(asan|ubsan)\.so/ { print $3 }' | tr '\n' ' ')
  if [ -n "$preload" ]; then
    say "sanitizer build: pcscd runs with LD_PRELOAD=$preload"
    export LD_PRELOAD_FOR_PCSCD=$preload
  fi
  # shellcheck disable=SC2016  # expanded by the inner shell
  unshare -r -m sh -c 'work=$1 && shift && mount --bind "$work/run" /run &&
    if [ -n "${LD_PRELOAD_FOR_PCSCD:-}" ]; then
      export LD_PRELOAD="$LD_PRELOAD_FOR_PCSCD" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
    fi
    exec pcscd -f "$@"' sh "$work" "$@" >"$work/pcscd.log" 2>&1 &
  pcscd_pid=$!
  export PCSCLITE_CSOCK_NAME=$work/run/pcscd/pcscd.comm
  for _ in $(seq 250); do
    [ -S "$PCSCLITE_CSOCK_NAME" ] && return
    kill -0 "$pcscd_pid" 2>/dev/null || die "pcscd exited at start-up"
    sleep 0.02
  done
  [ -S "$PCSCLITE_CSOCK_NAME" ] || die "pcscd did not open its socket"
}

# Sends SIGNAL to the private pcscd and waits up to SECONDS for it to end;
# returns 1 if it is still running then. pcscd's main thread acts on the
# signal only once something wakes it, and the signal may have been taken by
# another of its threads: a connection to its socket every half second wakes
# it.
stop_private_pcscd() {
  local signal=$1 seconds=$2 i
  if kill "-$signal" "$pcscd_pid" 2>/dev/null; then
    for ((i = 0; i < seconds * 50; i++)); do
      kill -0 "$pcscd_pid" 2>/dev/null || break
      if ((i % 25 == 5)); then
        python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' \
          "$PCSCLITE_CSOCK_NAME" 2>/dev/null
      fi
      sleep 0.02
    done
    kill -0 "$pcscd_pid" 2>/dev/null && return 1
  fi
  wait "$pcscd_pid" 2>/dev/null
  pcscd_pid=""
}
