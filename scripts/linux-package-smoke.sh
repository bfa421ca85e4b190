#!/usr/bin/env bash
# One package's life on a throw-away copy of this system, run by the
# packaging stage in a mount namespace of its own:
#   unshare -m bash linux-package-smoke.sh PACKAGE NEXT-PACKAGE SCRATCH
# PACKAGE is a .deb or an .rpm. /usr, /etc and /var become overlays whose
# changes land in SCRATCH, and /run an empty tmpfs: the scripts find no
# running systemd and cannot reach the host's. Installs PACKAGE, asks its
# binary for the usage ('/?' sweeps nothing), has systemd-analyze verify the
# units, finds the timer installed but not enabled, enables it as an
# administrator would, upgrades to NEXT-PACKAGE (only it is left installed,
# and the timer stays enabled), removes the package and finds nothing of it
# left. Traced: when a step fails, the trace shows which, with its values.
set -euxo pipefail
scratch=$3

for top in usr etc var; do
  mkdir -p "$scratch/$top-upper" "$scratch/$top-work"
  mount -t overlay overlay -o "lowerdir=/$top,upperdir=$scratch/$top-upper,workdir=$scratch/$top-work" "/$top"
done
mount -t tmpfs tmpfs /run
# man-db's trigger rebuilds its whole index at each install, upgrade and
# purge of a .deb (twice the time of the rest); nothing here reads it.
rm -f '/var/lib/man-db/auto-update'

# Debian's rpm keeps its database in ~/.rpmdb, under the stage's scratch
# folder. --nodeps: that database knows none of Debian's packages (/bin/sh).
if [[ $1 = *.rpm ]]; then
  install='rpm -U --nodeps'
  installed='rpm -q'
  packed='rpm -qp'
  remove='rpm -e'
else
  install='dpkg -i'
  installed='dpkg-query -W'
  packed='dpkg-deb -W'
  remove='dpkg -P'
fi

$install "$1"
/usr/sbin/QOR_DelTmp '/?' | grep '^Usage: QOR_DelTmp'
# systemd's own lint reports on stderr and still ends with status 0.
[ -z "$(cd /usr/lib/systemd/system && systemd-analyze verify QOR_DelTmp.service QOR_DelTmp.timer 2>&1)" ]
[ "$(systemctl is-enabled QOR_DelTmp.timer)" = disabled ]
systemctl enable QOR_DelTmp.timer

$install "$2"
[ "$($installed qor-deltmp)" = "$($packed "$2")" ]
[ "$(systemctl is-enabled QOR_DelTmp.timer)" = enabled ]

$remove qor-deltmp
# Whatever the package or its scripts wrote is in the overlays' upper layers.
# Not counted: man-db's own cache of the page systemd-analyze opened, which
# mandb prunes and no package cleans.
[ -z "$(find "$scratch"/*-upper -iname '*qor?deltmp*' -not -path "$scratch/var-upper/cache/man/*")" ]
