#!/usr/bin/env bash
# The installer's tables as msiinfo exports them, and the zip's contents:
#   msi_tables.sh MSI ZIP PRM ACSRF VERSION SOURCE_DIR
# Where each file resolves to, that the upgrade code never changes, how older and
# newer packages are treated, and that the payload is the build, byte for byte.
set -uo pipefail
msi=$(realpath -m "$1") zip=$(realpath -m "$2") prm=$3 acsrf=$4 version=$5 src=$6
upgrade_code="{BED77F68-9944-4D7B-AF99-124C53CAD267}"
fail=0
bad() { echo "msi_tables: FAIL: $*"; fail=1; }
[ -f "$msi" ] || { echo "msi_tables: FAIL: no $msi (is wixl installed? scripts/deps.sh)"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vx-msi-tables.XXXXXX")
trap 'rm -rf "$work"' EXIT
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }

# Directory resolution: each component's folder, walked up to TARGETDIR.
table Directory >"$work/dirs"
resolve() {
  awk -F'\t' -v d="$1" '
    { n = split($3, names, "|"); parent[$1] = $2; name[$1] = names[n] }
    END {
      path = ""
      while (d != "" && d != "TARGETDIR") {
        part = (name[d] == ".") ? d : name[d]
        path = (path == "") ? part : part "\\" path
        d = parent[d]
      }
      print path
    }' "$work/dirs"
}
table Component >"$work/components"
[ "$(wc -l <"$work/components")" -eq 3 ] || bad "expected 3 components, got: $(cut -f1 "$work/components" | tr '\n' ' ')"
check_component() {  # component key-file directory-path
  local row
  row=$(awk -F'\t' -v c="$1" '$1 == c' "$work/components")
  [ -n "$row" ] || { bad "no component $1"; return; }
  local dir attrs key
  dir=$(cut -f3 <<<"$row"); attrs=$(cut -f4 <<<"$row"); key=$(cut -f6 <<<"$row")
  [ $((attrs & 256)) -ne 0 ] || bad "$1 is not a 64-bit component (attributes $attrs)"
  [ "$(resolve "$dir")" = "$3" ] || bad "$1 resolves to $(resolve "$dir"), expected $3"
  if [ -n "$2" ]; then
    awk -F'\t' -v k="$key" -v f="$2" '$1 == k && $3 == f { ok = 1 } END { exit !ok }' <(table File) ||
      bad "$1's key path $key is not the file $2"
  fi
}
mediacore='ProgramFiles64Folder\Adobe\Common\Plug-ins\7.0\MediaCore'
check_component TransmitPlugin Veltrix.prm "$mediacore\\Veltrix"
check_component ControlSurfacePlugin VeltrixCtrl.acsrf 'ProgramFiles64Folder\Adobe\Common\Plug-ins\ControlSurface'
check_component RememberFolder "" "$mediacore\\Veltrix"

# The hosts' registry value overrides the conventional MediaCore folder, read from the 64-bit view.
table AppSearch | awk -F'\t' '$1 == "MEDIACORE" { print $2 }' >"$work/searches"
[ -s "$work/searches" ] || bad "no registry search sets MEDIACORE"
while read -r sig; do
  awk -F'\t' -v s="$sig" '$1 == s && $2 == 2 && $3 ~ /^SOFTWARE\\Adobe\\(Premiere Pro|After Effects)\\[0-9]+\.0$/ &&
      $4 == "CommonPluginInstallPath" && int($5 / 16) % 2 == 1 { ok = 1 } END { exit !ok }' <(table RegLocator) ||
    bad "search $sig does not read HKLM\\SOFTWARE\\Adobe\\<host>\\<version>\\CommonPluginInstallPath (64-bit)"
done <"$work/searches"

# Upgrades: older versions of this upgrade code are removed, a newer one is only detected.
table Upgrade >"$work/upgrade"
awk -F'\t' -v u="$upgrade_code" -v v="$version" '$1 == u && $2 == "" && $3 == v && int($5 / 512) % 2 == 0 { ok = 1 }
  END { exit !ok }' "$work/upgrade" || bad "no row removing older versions below $version of $upgrade_code: $(cat "$work/upgrade")"
awk -F'\t' -v u="$upgrade_code" -v v="$version" '$1 == u && $2 == v && int($5 / 2) % 2 == 1 { ok = 1 }
  END { exit !ok }' "$work/upgrade" || bad "no row detecting newer versions of $upgrade_code"
table LaunchCondition >"$work/launch"
grep -q $'^NOT WIX_DOWNGRADE_DETECTED\tA newer version of Veltrix is already installed' "$work/launch" || bad "a downgrade is not refused with a message"
grep -q $'^VersionNT64\tVeltrix needs 64-bit Windows' "$work/launch" || bad "32-bit Windows is not refused with a message"

# Per machine, x64, this version.
table Property >"$work/props"
grep -qx $'ALLUSERS\t1' "$work/props" || bad "not a per-machine package"
grep -qx $'ProductVersion\t'"$version" "$work/props" || bad "ProductVersion is not $version"
grep -qx $'UpgradeCode\t'"$upgrade_code" "$work/props" || bad "the upgrade code changed"
msiinfo suminfo "$msi" | grep -q '^Template: x64;1033' || bad "not an x64 package"
grep -q "kPluginVersion = \"$version\"" "$src/src/transmit/module_info.h" ||
  bad "the plug-in's own version (src/transmit/module_info.h) is not the project version $version"

# Firewall: add on install and repair, delete on uninstall unless an upgrade takes over.
table InstallExecuteSequence >"$work/seq"
seq_of() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' "$work/seq"; }
cond_of() { awk -F'\t' -v a="$1" '$1 == a { print $2 }' "$work/seq"; }
for a in FirewallRuleDelete FirewallRuleAdd; do
  [ "$(cond_of $a)" = 'NOT REMOVE~="ALL"' ] || bad "$a runs on: $(cond_of $a)"
done
[ "$(cond_of FirewallRuleRemove)" = 'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE' ] || bad "FirewallRuleRemove runs on: $(cond_of FirewallRuleRemove)"
init=$(seq_of InstallInitialize) final=$(seq_of InstallFinalize)
for a in FirewallRuleDelete FirewallRuleAdd FirewallRuleRemove; do
  s=$(seq_of $a)
  [ -n "$s" ] && [ "$s" -gt "$init" ] && [ "$s" -lt "$final" ] || bad "$a ($s) is outside the install script ($init..$final)"
done
[ "$(seq_of FirewallRuleDelete)" -lt "$(seq_of FirewallRuleAdd)" ] || bad "the rule is added before the old one is deleted"
table CustomAction | awk -F'\t' '$1 == "FirewallRuleAdd"' | grep -q 'localport=47100,47110,47120,47130 remoteip=localsubnet profile=private,domain' ||
  bad "the firewall rule is not the four control ports from the local subnet"

# The payload: the built files, byte for byte.
mkdir -p "$work/x"
(cd "$work/x" && msiextract "$msi" >/dev/null 2>&1) || bad "msiextract failed"
for f in "$prm" "$acsrf"; do
  got=$(find "$work/x" -type f -name "$(basename "$f")" | head -n 1)
  [ -n "$got" ] && cmp -s "$got" "$f" || bad "$(basename "$f") in the package differs from the build"
done

# The zip: both plug-ins and the README, in one folder.
listing=$(cmake -E tar tf "$zip" 2>&1 | sort | tr '\n' ' ')
expected="Veltrix-$version-x64/ Veltrix-$version-x64/README.txt Veltrix-$version-x64/Veltrix.prm Veltrix-$version-x64/VeltrixCtrl.acsrf "
[ "$listing" = "$expected" ] || [ "$listing" = "${expected#Veltrix-$version-x64/ }" ] || bad "zip holds: $listing"

[ $fail -eq 0 ] && echo "msi_tables: ok"
exit $fail
