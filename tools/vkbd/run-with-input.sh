#!/bin/sh
# Runs COMMAND in a private mount namespace where DIR (a vkbd mount, or any
# directory) is /dev/input. The host keeps its own /dev: nothing is created or
# mounted there, and the namespace's mounts end with its last process.
#
#   run-with-input.sh DIR COMMAND [ARGS...]
#   run-with-input.sh --none COMMAND [ARGS...]   (no /dev/input at all)
set -eu
[ $# -ge 2 ] || { echo "usage: $0 DIR|--none COMMAND [ARGS...]" >&2; exit 2; }
exec unshare --mount --propagation private -- sh -euc '
  input=$1; shift
  scratch=$(mktemp -d)
  mount -t tmpfs -o mode=0755,size=1m vkbd-dev "$scratch"
  for node in null zero full random urandom tty; do
    [ -e "/dev/$node" ] || continue
    touch "$scratch/$node"
    mount --bind "/dev/$node" "$scratch/$node"
  done
  for dir in pts shm mqueue; do
    [ -d "/dev/$dir" ] || continue
    mkdir "$scratch/$dir"
    mount --rbind "/dev/$dir" "$scratch/$dir"
  done
  ln -s /proc/self/fd "$scratch/fd"
  ln -s /proc/self/fd/0 "$scratch/stdin"
  ln -s /proc/self/fd/1 "$scratch/stdout"
  ln -s /proc/self/fd/2 "$scratch/stderr"
  if [ "$input" != --none ]; then
    mkdir "$scratch/input"
    mount --bind "$input" "$scratch/input"
  fi
  mount --move "$scratch" /dev
  rmdir "$scratch"
  exec "$@"
' run-with-input "$@"
