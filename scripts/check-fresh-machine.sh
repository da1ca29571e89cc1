#!/usr/bin/env bash
# Runs the README's two set-up commands on a bare Debian bookworm machine: a minbase root made
# with debootstrap (plus git, ca-certificates and sudo, nothing else), the committed HEAD cloned
# into it, the shared data beside the clone, and each command run there as root exactly as the
# README writes it. Prints every command's exit status and time; exits 0 when both pass.
#
#   sudo scripts/check-fresh-machine.sh
#
# Needs root (for debootstrap, chroot and the mounts of /proc, /sys and /dev, which are undone on
# any exit), debootstrap, and the network to reach the Debian mirror. Slow: it installs the
# packages, fuzzes for a minute and builds everything twice.
# Environment:
#   FRESH_DIR       working folder (default build-fresh/ in the checkout); the root is made anew
#                   under it every run and kept afterwards for a look, with the logs
#   DEBIAN_MIRROR   default http://deb.debian.org/debian
#   PELKU_VMQ_SHARED_DIR  the shared data (default ../shared beside the checkout)
# The downloaded packages of the bare root are kept in a tarball under FRESH_DIR and reused; the
# root is still unpacked from nothing every run. Only committed work is checked.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${FRESH_DIR:-$repo/build-fresh}"
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
shared="${PELKU_VMQ_SHARED_DIR:-$repo/../shared}"
suite=bookworm
include=git,ca-certificates,sudo
tarball="$work/debootstrap-$suite-minbase.tgz"
root="$work/root"
logs="$work/logs"

if [ "$(id -u)" -ne 0 ]; then
  echo "check-fresh-machine: run as root (sudo $0)" >&2
  exit 2
fi
if ! command -v debootstrap >/dev/null; then
  echo "check-fresh-machine: debootstrap is missing (apt-get install debootstrap)" >&2
  exit 2
fi
if [ ! -d "$shared" ]; then
  echo "check-fresh-machine: no shared data at $shared" >&2
  exit 2
fi

# The README's two commands: the lines of its first sh block, comments removed.
mapfile -t commands < <(awk '/^```sh$/ {inside = 1; next} inside && /^```/ {exit} inside' "$repo/README.md" |
                        sed -e 's/[[:space:]]*#.*$//' -e 's/^[[:space:]]*//' | grep -v '^$')
if [ ${#commands[@]} -ne 2 ]; then
  echo "check-fresh-machine: expected two commands in the README's first sh block, found ${#commands[@]}" >&2
  exit 2
fi

head_commit="$(git -C "$repo" rev-parse HEAD)"
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
  echo "check-fresh-machine: note: uncommitted changes are not checked (HEAD is $head_commit)" >&2
fi

mounted=()
unmount_all() {
  local k
  for ((k = ${#mounted[@]} - 1; k >= 0; k--)); do
    umount "${mounted[k]}" 2>/dev/null || umount -l "${mounted[k]}" 2>/dev/null || true
  done
  mounted=()
}
trap unmount_all EXIT
trap 'exit 130' INT TERM

mount_in_root() { # type-or-bind source target
  mkdir -p "$root$3"
  if [ "$1" = bind ]; then
    mount --bind "$2" "$root$3"
  else
    mount -t "$1" "$2" "$root$3"
  fi
  mounted+=("$root$3")
}

# A root left mounted by a killed run is unmounted before it is removed.
if [ -d "$root" ]; then
  while read -r target; do
    umount -l "$target" 2>/dev/null || true
  done < <(awk -v r="$root/" 'index($2, r) == 1 {print $2}' /proc/mounts | sort -r)
  rm -rf --one-file-system "$root"
fi
mkdir -p "$work" "$logs"
rm -f "$logs"/*.log

started=$(date +%s)
if [ ! -s "$tarball" ]; then
  echo "downloading the packages of a bare $suite root into $tarball"
  debootstrap --variant=minbase --include="$include" --make-tarball="$tarball.part" "$suite" "$work/tarball-scratch" "$mirror" \
    >"$logs/debootstrap-download.log" 2>&1 || { tail -n 20 "$logs/debootstrap-download.log"; exit 1; }
  rm -rf "$work/tarball-scratch"
  mv "$tarball.part" "$tarball"
fi
echo "making a bare $suite root (minbase; $include) in $root"
debootstrap --variant=minbase --include="$include" --unpack-tarball="$tarball" "$suite" "$root" "$mirror" \
  >"$logs/debootstrap.log" 2>&1 || { tail -n 20 "$logs/debootstrap.log"; exit 1; }
cp /etc/resolv.conf "$root/etc/resolv.conf"
echo "bare root ready in $(($(date +%s) - started)) s"

# The committed HEAD, and the shared data beside it.
checkout="$root/src/pelku_vmq"
mkdir -p "$checkout"
git -C "$checkout" init --quiet
git -C "$checkout" fetch --quiet "$repo" "$head_commit"
git -C "$checkout" checkout --quiet --detach FETCH_HEAD
mkdir -p "$root/src/shared"
cp -a "$shared/." "$root/src/shared/"
echo "cloned $head_commit into /src/pelku_vmq, shared data in /src/shared"

mount_in_root proc proc /proc
mount_in_root sysfs sysfs /sys
mount_in_root bind /dev /dev
mount_in_root bind /dev/pts /dev/pts

failed=0
results=()
for k in "${!commands[@]}"; do
  command="${commands[k]}"
  log="$logs/command-$((k + 1)).log"
  echo "running: $command (log: $log)"
  begin=$(date +%s)
  set +e
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /src/pelku_vmq && $command" >"$log" 2>&1
  status=$?
  set -e
  seconds=$(($(date +%s) - begin))
  if [ $status -ne 0 ]; then
    failed=1
    echo "--- last lines of $log"
    tail -n 30 "$log"
    echo "---"
  fi
  results+=("$(printf '%-26s exit %d, %d s (%dm%02ds)' "$command" "$status" "$seconds" $((seconds / 60)) $((seconds % 60)))")
done
unmount_all

echo
echo "fresh $suite root, HEAD $head_commit:"
printf '  %s\n' "${results[@]}"
exit $failed
