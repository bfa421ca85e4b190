#!/usr/bin/env bash
# One package's life on a throw-away copy of this system, run by the
# packaging stage in a mount namespace of its own:
#   unshare --mount --propagation private bash linux-package-smoke.sh dpkg|rpm PACKAGE NEXT-PACKAGE SCRATCH
# /usr, /etc and /var become overlays whose changes land in SCRATCH, and /run
# an empty tmpfs: the scripts find no running systemd and cannot reach the
# host's. Installs PACKAGE, asks its binary for the usage ('/?' sweeps
# nothing), has systemd-analyze verify the units, finds the timer installed
# but not enabled, enables it as an administrator would, upgrades to
# NEXT-PACKAGE (the timer stays enabled), removes the package and finds
# nothing of it left.
set -euo pipefail
manager=$1
package=$2
next_package=$3
scratch=$4

for top in usr etc var; do
  mkdir -p "$scratch/$top-upper" "$scratch/$top-work"
  mount -t overlay overlay -o "lowerdir=/$top,upperdir=$scratch/$top-upper,workdir=$scratch/$top-work" "/$top"
done
mount -t tmpfs tmpfs /run

if [ "$manager" = rpm ]; then
  # Debian's rpm keeps its database in ~/.rpmdb; here it is in the overlay.
  # --nodeps: this rpm database knows none of Debian's packages (/bin/sh).
  mkdir -p /etc/rpm
  echo '%_dbpath /var/lib/rpm' >/etc/rpm/macros
  rpm --initdb
  rpm -i --nodeps "$package"
else
  dpkg -i "$package"
fi

usage=$(/usr/sbin/QOR_DelTmp '/?')
grep -q '^Usage: QOR_DelTmp' <<<"$usage"
# systemd's own lint: it reports on stderr and still ends with status 0.
lint=$(cd /usr/lib/systemd/system && systemd-analyze verify QOR_DelTmp.service QOR_DelTmp.timer 2>&1)
[ -z "$lint" ] || { echo "$lint"; exit 1; }
timer=$(systemctl is-enabled QOR_DelTmp.timer || true)
[ "$timer" = disabled ] || { echo "the timer after install: $timer"; exit 1; }
systemctl enable QOR_DelTmp.timer

if [ "$manager" = rpm ]; then
  rpm -U --nodeps "$next_package"
  installed=$(rpm -q qor-deltmp)
  want=$(rpm -qp "$next_package")
else
  dpkg -i "$next_package"
  installed=$(dpkg-query -W qor-deltmp)
  want=$(dpkg-deb -W "$next_package")
fi
[ "$installed" = "$want" ] || { echo "after the upgrade: $installed"; exit 1; }
timer=$(systemctl is-enabled QOR_DelTmp.timer || true)
[ "$timer" = enabled ] || { echo "the timer after the upgrade: $timer"; exit 1; }

if [ "$manager" = rpm ]; then
  rpm -e qor-deltmp
else
  dpkg -P qor-deltmp
fi

# Whatever the package or its scripts wrote is in the overlays' upper layers.
# Not counted: man-db's own cache of the page systemd-analyze opened, which
# mandb prunes and no package cleans.
left=$(find "$scratch"/*-upper -iname '*qor?deltmp*' -not -path "$scratch/var-upper/cache/man/*")
[ -z "$left" ] || { echo "left behind:"; echo "$left"; exit 1; }
