#!/bin/sh
# Reads the tables of the panel's MSI package with msiinfo, without Windows,
# and fails unless they hold what the package promises: product, version,
# manufacturer, help link and icon for Windows' list of installed programs;
# the fixed UpgradeCode of its width and a major upgrade; a per-machine
# install into the Program Files of its width; exactly the packaged files,
# without FTD2XX.DLL; one shortcut, in the Start menu, with the program's
# icon; and nothing else: no custom action, no registry value, no restart.
#   check_msi_tables.sh MSIINFO MSI 32|64 VERSION HELP_LINK ICON [relayctl]
# with absolute paths.
set -eu
msiinfo=$1
msi=$2
width=$3
version=$4
help_link=$5
icon=$6
relayctl=${7-}

# msiinfo writes a table's binary streams into the working folder.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

failures=0
fail() {
  echo "check_msi_tables: $*" >&2
  failures=$((failures + 1))
}

# A table's rows, tab-separated, without the three lines of its header.
rows() {
  "$msiinfo" export "$msi" "$1" | tr -d '\r' | tail -n +4
}
# Fails unless the table's rows, sorted, are the expected lines, sorted.
expect_rows() {
  actual=$(rows "$1" | sort)
  expected=$(printf '%s\n' "$2" | sort)
  [ "$actual" = "$expected" ] || fail "the $1 table holds
$actual
not
$expected"
}
property() {
  rows Property | awk -F '\t' -v name="$1" '$1 == name { print $2 }'
}
expect_property() {
  [ "$(property "$1")" = "$2" ] || fail "$1 is '$(property "$1")', not '$2'"
}

# A package of each width replaces only older packages of its own width:
# these codes never change.
if [ "$width" = 64 ]; then
  upgrade_code={7ECED5C9-A1C6-4351-A484-6ABD84EA9F59}
  program_files=ProgramFiles64Folder
  component_attributes=256
  template='x64;1033'
else
  upgrade_code={A46CD6A5-D236-4412-B18D-F0BD7FE5F4A5}
  program_files=ProgramFilesFolder
  component_attributes=0
  template='Intel;1033'
fi

expect_property ProductName "Relay Panel"
expect_property Manufacturer "Relay Panel authors"
expect_property ProductVersion "$version"
expect_property ALLUSERS 1
expect_property ARPHELPLINK "$help_link"
[ "$(property UpgradeCode | tr a-f A-F)" = "$upgrade_code" ] ||
  fail "the UpgradeCode is $(property UpgradeCode), not $upgrade_code"

# The product icon is the program's.
product_icon=$(property ARPPRODUCTICON)
icon_stream=$(rows Icon | awk -F '\t' -v name="$product_icon" '$1 == name { print $2 }')
if [ -z "$product_icon" ] || [ -z "$icon_stream" ]; then
  fail "ARPPRODUCTICON '$product_icon' names no icon of the Icon table"
elif ! "$msiinfo" extract "$msi" "$icon_stream" | cmp -s - "$icon"; then
  fail "the icon $product_icon is not $icon"
fi

expect_rows Directory "INSTALLDIR	$program_files	Relay Panel
$program_files	TARGETDIR	.
ProgramMenuFolder	TARGETDIR	.
TARGETDIR		SourceDir"
files="relaypanel.exe
README.txt"
[ "$relayctl" != relayctl ] || files="$files
relayctl.exe"
actual_files=$(rows File | cut -f 3 | sort)
[ "$actual_files" = "$(printf '%s\n' "$files" | sort)" ] ||
  fail "the package holds the files '$actual_files'"
# 64-bit components, in a 64-bit package only.
rows Component | awk -F '\t' -v expected="$component_attributes" '$4 != expected { exit 1 }' ||
  fail "components with attributes other than $component_attributes: $(rows Component | cut -f 1,4)"
expect_rows Shortcut "StartMenuShortcut	ProgramMenuFolder	Relay Panel	Program	[#relaypanel.exe]		Switch the eight relays of a USB relay board		$product_icon	0		INSTALLDIR				"

# A major upgrade: every older version of this UpgradeCode is removed before
# the files are installed, and a newer one keeps an older from installing.
rows Upgrade | awk -F '\t' -v code="$upgrade_code" -v version="$version" \
  'toupper($1) == code && $2 == "" && $3 == version && $5 == 1 { found = 1 } END { exit !found }' ||
  fail "no Upgrade row removes the versions before $version"
rows InstallExecuteSequence | cut -f 1 | grep -qx RemoveExistingProducts ||
  fail "the install does not run RemoveExistingProducts"
rows InstallExecuteSequence | cut -f 1 | grep -Eqx 'ScheduleReboot|ForceReboot' &&
  fail "the install asks for a restart"
rows LaunchCondition | cut -f 1 | grep -qx 'NOT WIX_DOWNGRADE_DETECTED' ||
  fail "an older package may install over a newer one"

# Nothing but the files, the shortcut and the registration of the product:
# the tables that would change more of the machine are empty.
for table in $("$msiinfo" tables "$msi"); do
  case $table in
    _* | Property | Directory | Component | File | MsiFileHash | Shortcut | Icon | Feature | FeatureComponents | \
      Media | Upgrade | LaunchCondition | *ExecuteSequence | *UISequence) ;;
    *) [ -z "$(rows "$table")" ] || fail "the $table table is not empty: $(rows "$table")" ;;
  esac
done

summary=$("$msiinfo" suminfo "$msi")
echo "$summary" | grep -qx "Template: $template" || fail "the summary's platform is not $template: $summary"
echo "$summary" | grep -q '^Comments: .*FTD2XX.DLL.*FTDI' ||
  fail "the package's description does not say that FTDI's driver provides FTD2XX.DLL: $summary"

[ "$failures" -eq 0 ]
