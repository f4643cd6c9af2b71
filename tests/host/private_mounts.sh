#!/bin/sh
# Runs COMMAND with files of its own over system paths, for a process that
# unshare(1) started in a private mount namespace: nothing outside sees them.
#   --log SOCKET       SOCKET (a Unix datagram socket) as /dev/log, so that
#                      what the command sends to syslog comes to the test
#   --services FILE    FILE as /etc/services: SANE's net backend finds the
#                      daemon's port only there, by the name sane-port
# usage: unshare --mount --propagation private private_mounts.sh \
#          [--log SOCKET] [--services FILE] -- COMMAND [ARG]...
set -eu
log=
services=
while [ $# -gt 0 ]; do
  case $1 in
    --log) log=$2; shift 2 ;;
    --services) services=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "private_mounts.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

if [ -n "$log" ]; then
  if [ -e /dev/log ]; then
    mount --bind "$log" /dev/log
  else
    # Without a system logger there is no /dev/log to mount over, and a file
    # made in /dev would be made in the machine's own /dev. A small /dev of
    # this namespace's own instead, holding the usual nodes of the real one.
    # The real /dev stays reachable beside the socket, in the test's folder.
    real=$log.dev
    mkdir -p "$real"
    mount --rbind /dev "$real"
    mount -t tmpfs -o mode=755,size=64k private-dev /dev
    for node in null zero full random urandom tty; do
      [ -e "$real/$node" ] || continue
      : >"/dev/$node"
      mount --bind "$real/$node" "/dev/$node"
    done
    for dir in pts shm; do
      [ -d "$real/$dir" ] || continue
      mkdir "/dev/$dir"
      mount --rbind "$real/$dir" "/dev/$dir"
    done
    ln -s /proc/self/fd /dev/fd
    ln -s fd/0 /dev/stdin
    ln -s fd/1 /dev/stdout
    ln -s fd/2 /dev/stderr
    : >/dev/log
    mount --bind "$log" /dev/log
  fi
fi
if [ -n "$services" ]; then
  mount --bind "$services" /etc/services
fi
exec "$@"
