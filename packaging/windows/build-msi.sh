#!/usr/bin/env bash
# Builds the Windows Installer package from the three installed files:
#   build-msi.sh VERSION FOLDER OUTPUT.msi
# FOLDER holds QOR_DelTmp.exe, QOR_DelTmp-task.xml and README.txt (what the
# install step of the Windows build puts there). The build's `msi` target
# calls this with the project's version; nothing here carries a version of
# its own.
#
# wixl (msitools) turns QOR_DelTmp.wxs into the package. It cannot write
# some things the package needs, so they are added to its tables with
# msibuild's SQL afterwards:
#  - the custom actions that run schtasks.exe from the system folder
#    (type 34: a program in a folder, plus the flags below), and the one that
#    refuses a folder other than the task's;
#  - NOTASK's place among the secure properties and the condition of the
#    component that remembers it;
#  - "a rebuild of the same version also replaces the installed one"
#    (MajorUpgrade's AllowSameVersionUpgrades), so no two products with one
#    version sit side by side;
#  - the exe's file version, which Windows Installer compares before it
#    overwrites a file (wixl leaves it empty).
set -euo pipefail
if [ "$#" -ne 3 ]; then
  echo "usage: $0 VERSION FOLDER OUTPUT.msi" >&2
  exit 2
fi
version=$1
folder=$(realpath "$2")
output=$(realpath -m "$3")
wxs=$(realpath "$(dirname "$0")/QOR_DelTmp.wxs")
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
  { echo "$0: version $version is not MAJOR.MINOR.PATCH" >&2; exit 2; }
for f in QOR_DelTmp.exe QOR_DelTmp-task.xml README.txt; do
  [ -f "$folder/$f" ] || { echo "$0: $folder/$f is missing" >&2; exit 1; }
done

rm -f "$output"
# wixl looks for each Source relative to the current folder.
(cd "$folder" && wixl --arch x64 -D Version="$version" -D SourceDir=. -o "$output" "$wxs")

# Custom action types: 34 = run a program found in a folder (Source names
# the Directory row); + 1024 deferred, inside the installation script, so it
# runs after the files are in place; + 2048 not impersonated, so as
# LocalSystem with the rights schtasks needs; + 64 ignore the exit code;
# + 256 (with 1024) only when rolling back.
register=$((34 + 1024 + 2048))
unregister=$((34 + 64 + 1024 + 2048))
unregister_on_rollback=$((34 + 64 + 256 + 1024 + 2048))
schtasks='"[System64Folder]schtasks.exe"'
create="$schtasks /Create /TN QOR_DelTmp /XML \"[INSTALLDIR]QOR_DelTmp-task.xml\" /F"
delete="$schtasks /Delete /TN QOR_DelTmp /F"
# NOTASK set (given, or remembered from the first install): no task is
# registered, repaired or deleted.
with_task='NOT NOTASK AND'
# Sequence numbers around wixl's standard ones: RemoveFiles 3500,
# InstallFiles 4000. A rollback action comes before the action it undoes.
msibuild "$output" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES
  ('UnregisterScheduledTask', $unregister, 'System64Folder', '$delete')"
msibuild "$output" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES
  ('UnregisterTaskOnRollback', $unregister_on_rollback, 'System64Folder', '$delete')"
msibuild "$output" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES
  ('RegisterScheduledTask', $register, 'System64Folder', '$create')"
# On uninstall (also the one a major upgrade runs) the task goes before the
# files. On install and repair it is registered once the files are there;
# schtasks failing fails the install (Windows Installer's error 1722 names
# the action and its command line) and the rollback removes the files and
# any half-made task.
msibuild "$output" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES
  ('UnregisterScheduledTask', '$with_task REMOVE~=\"ALL\"', 3490)"
msibuild "$output" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES
  ('UnregisterTaskOnRollback', '$with_task NOT REMOVE~=\"ALL\"', 4001)"
msibuild "$output" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES
  ('RegisterScheduledTask', '$with_task NOT REMOVE~=\"ALL\"', 4002)"

# The task's XML names C:\Program Files\QOR_DelTmp\QOR_DelTmp.exe, so with a
# task the first install refuses any other INSTALLDIR (type 19: show the
# message, fail the install) rather than register a task that cannot start.
# The folder to compare with is known once CostFinalize (1000) has resolved
# the folders, and is set then (type 51: a property from a formatted
# string); the refusal comes before the old version is removed (1401).
default_dir='[ProgramFiles64Folder]QOR_DelTmp\'
refusal="The daily task runs QOR_DelTmp from $default_dir, so with the task it installs only there, not in [INSTALLDIR]. To install elsewhere, add NOTASK=1 to the msiexec command and schedule QOR_DelTmp yourself."
msibuild "$output" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES
  ('SetTaskFolder', 51, 'QOR_TASKDIR', '$default_dir')"
msibuild "$output" -q "INSERT INTO CustomAction (Action, Type, Target) VALUES
  ('RefuseOtherFolder', 19, '$refusal')"
msibuild "$output" -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES
  ('SetTaskFolder', 1001)"
msibuild "$output" -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES
  ('RefuseOtherFolder', '$with_task NOT Installed AND NOT (INSTALLDIR ~= QOR_TASKDIR)', 1002)"

# Public properties reach the installation script only when they are
# secure (per-machine installs started by a user, Group Policy).
msibuild "$output" -q "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;NOTASK'
  WHERE Property = 'SecureCustomProperties'"
msibuild "$output" -q "UPDATE Component SET Condition = 'NOTASK' WHERE Component = 'NoTaskChoice'"

# Attributes 1 (migrate features) + 512 (VersionMax inclusive): the row that
# finds older installs also finds the same version built again.
# Attributes is part of the row's key, so the row is replaced, not updated.
upgrade_code=$(msiinfo export "$output" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" {print $2}')
msibuild "$output" -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
msibuild "$output" -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty) VALUES
  ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')"
msibuild "$output" -q "UPDATE File SET Version = '$version.0' WHERE File = 'QOR_DelTmp.exe'"
