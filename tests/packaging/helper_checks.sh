# Checks of an installed or cross-built helper, run as a host runs it; sourced
# by the packaging tests. Each takes the command that starts the helper.

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# An unsupported shortcut: one error line, status 1, nothing on standard error.
check_error_line() {
  local out err status=0
  err=$(mktemp)
  out=$("$@" --shortcut cmd+k 2>"$err") || status=$?
  [ "$status" -eq 1 ] || fail "$* ended with $status after a bad shortcut, not 1"
  case $out in
    *'"type":"error"'*'Unsupported native shortcut: cmd+k. This helper currently supports Fn and Fn+Space.'*) ;;
    *) fail "$* wrote no error line for a bad shortcut: $out" ;;
  esac
  [ ! -s "$err" ] || fail "$* wrote on standard error: $(cat "$err")"
  rm -f "$err"
  echo "ok: error line, status 1 ($*)"
}

# A start: "ready" first (and "permission" when untrusted), then status 0 on
# SIGTERM. With "untrusted", "ready" must say false and "permission" follow.
check_start_and_sigterm() {
  local expect=$1 line status=0
  shift
  coproc HELPER { exec "$@" --shortcut fn 2>&1; }
  local pid=$HELPER_PID
  read -r -t 10 line <&"${HELPER[0]}" || fail "$* wrote no ready line"
  case $line in
    *'"type":"ready"'*'"shortcut":"Fn"'*) ;;
    *) fail "$* began with $line, not ready" ;;
  esac
  if [ "$expect" = untrusted ]; then
    case $line in *'"accessibilityTrusted":false'*) ;; *) fail "ready is not untrusted: $line" ;; esac
    read -r -t 10 line <&"${HELPER[0]}" || fail "$* wrote no permission line"
    case $line in *'"type":"permission"'*) ;; *) fail "$line is not permission" ;; esac
  fi
  sleep 0.3  # the signal watchers come right after the start-up lines
  kill -TERM "$pid"
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    fail "$* still runs 5 s after SIGTERM"
  fi
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "$* ended with $status on SIGTERM, not 0"
  echo "ok: $expect start, status 0 on SIGTERM ($*)"
}

# A start without keyboards: untrusted for sure in a private mount namespace
# without /dev/input, where we can make one (root); else what this machine gives.
check_start_without_keyboards() {
  if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
    check_start_and_sigterm untrusted "$(dirname "${BASH_SOURCE[0]}")/../../tools/vkbd/run-with-input.sh" --none "$@"
  elif [ ! -r /dev/input ]; then
    check_start_and_sigterm untrusted "$@"
  else
    check_start_and_sigterm any "$@"
  fi
}
