#!/usr/bin/env bash
# The installer under Wine, in a fresh prefix of its own:
#   msi_wine.sh lifecycle MSI NEXT_MSI PRM ACSRF VERSION NEXT_VERSION VERSION_INFO_EXE PREFIX SOURCE_DIR
#     install, check files, version resources and the uninstall entry; upgrade to the
#     next version in place; repair; refuse the downgrade; uninstall, leaving the user's data;
#     then install where the hosts' registry value points, and uninstall from there
#     after that value is gone.
#   msi_wine.sh host MSI PRM ACSRF VERSION VX_HOST_EXE VX_PHONE PREFIX SOURCE_DIR PORT
#     install, then vx-host.exe loads both plug-ins from the installed folders and
#     the Linux vx-phone pairs (trusted) and receives audio. Exit status 77 without vx-phone.
set -uo pipefail
mode=$1
shift
if [ "$mode" = lifecycle ]; then
  msi=$1 next_msi=$2 prm=$3 acsrf=$4 version=$5 next_version=$6 version_info=$7 prefix=$8 src=$9
else
  msi=$1 prm=$2 acsrf=$3 version=$4 vx_host=$5 vx_phone=$6 prefix=$7 src=$8 port=$9
  # "auto": the first Linux build of this tree that has one, as the Wine end-to-end tests choose.
  if [ "$vx_phone" = auto ]; then
    for p in linux-debug linux-release linux-asan; do
      [ -x "$src/build/$p/bin/vx-phone" ] && { vx_phone=$src/build/$p/bin/vx-phone; break; }
    done
  fi
  if [ ! -x "$vx_phone" ]; then
    echo "msi_wine: skipped: no Linux vx-phone at $vx_phone (build linux-asan or set VX_LINUX_PHONE)"
    exit 77
  fi
fi
fail=0
bad() { echo "msi_wine: FAIL: $*"; fail=1; }
step() { echo "msi_wine: --- $*"; }
for f in "$msi" "$prm" "$acsrf"; do [ -f "$f" ] || { echo "msi_wine: FAIL: no $f (is wixl installed? scripts/deps.sh)"; exit 1; }; done

export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win64
rm -rf "$prefix"
bash "$src/scripts/wine-prefix.sh" "$prefix" start || { echo "msi_wine: FAIL: the Wine prefix did not start"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/vx-msi-wine.XXXXXX")
cleanup() { bash "$src/scripts/wine-prefix.sh" "$prefix" stop; rm -rf "$work"; }
trap cleanup EXIT

c="$prefix/drive_c"
pf="$c/Program Files/Adobe/Common/Plug-ins"
prm_at="$pf/7.0/MediaCore/Veltrix/Veltrix.prm"
acsrf_at="$pf/ControlSurface/VeltrixCtrl.acsrf"
prm_win='C:\Program Files\Adobe\Common\Plug-ins\7.0\MediaCore\Veltrix\Veltrix.prm'
acsrf_win='C:\Program Files\Adobe\Common\Plug-ins\ControlSurface\VeltrixCtrl.acsrf'
user_dir="$c/users/$(id -un)"
roaming="$user_dir/AppData/Roaming/Veltrix"
local_dir="$user_dir/AppData/Local/Veltrix"

# install PACKAGE ACTION LOGNAME: msiexec from the package's folder (Wine maps it to Z:);
# Wine keeps the low byte of the exit status (1603 reads 67).
install() { (cd "$(dirname "$1")" && wine msiexec "$2" "$(basename "$1")" /qn /l*v "Z:$work/$3.log" </dev/null >/dev/null 2>&1); }
entries() {  # "version" of every Veltrix entry under Uninstall, one a line
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk '/^HKEY/ { name = ""; ver = "" } $1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { ver = $3 }
         name == "Veltrix" && ver != "" { print ver; name = "" }'
}
same() { [ -f "$2" ] && cmp -s "$1" "$2"; }
firewall() {  # the firewall actions a session ran, from its log: "FirewallRuleDelete FirewallRuleAdd"
  grep -o -E 'Action start [0-9:]+: Firewall[A-Za-z]+' "$work/$1.log" | awk '{ print $4 }' | awk '!seen[$0]++' | tr '\n' ' ' | sed 's/ $//'
}

install "$msi" /i install
rc=$?
[ $rc -eq 0 ] || { bad "install of $version failed ($rc); log: $work/install.log"; tail -n 30 "$work/install.log"; exit 1; }
same "$prm" "$prm_at" || bad "Veltrix.prm is not at $prm_at, or differs from the build"
same "$acsrf" "$acsrf_at" || bad "VeltrixCtrl.acsrf is not at $acsrf_at, or differs from the build"

if [ "$mode" = host ]; then
  # The trusted pairing, seeded on both sides as scripts/run-demo.sh does; vx-host.exe is "any other host".
  mkdir -p "$roaming"
  token=$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')
  printf '[{"id":"vx-phone-msi","name":"vx-phone msi","token":"%s","firstPaired":"%s"}]\n' \
    "$token" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" >"$roaming/trusted-x.json"
  printf 'id vx-phone-msi\ntoken 127.0.0.1:%s vx-phone-msi %s\n' "$port" "$token" >"$work/tokens"
  chmod 600 "$work/tokens"
  step "vx-host.exe loads $prm_win and $acsrf_win"
  VX_CONTROL_PORT=$port setsid wine "$vx_host" --plugin "$prm_win" --ctrl "$acsrf_win" --size 320x180 \
    --seconds 60 --quiet </dev/null >"$work/host.log" 2>&1 &
  host_pid=$!
  for _ in $(seq 1 600); do  # Wine starts slowly on a loaded machine
    ss -Hltn "sport = :$port" 2>/dev/null | grep -q . && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
  done
  XDG_CONFIG_HOME="$work/phone" "$vx_phone" --host 127.0.0.1 --port "$port" --id vx-phone-msi --name "vx-phone msi" \
    --token-file "$work/tokens" --seconds 4 --min-decoded 0 --pair-timeout 20 --silence-limit 10 </dev/null >"$work/phone.log" 2>&1
  phone_rc=$?
  kill -INT "$host_pid" 2>/dev/null
  for _ in $(seq 1 50); do kill -0 "$host_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$host_pid" 2>/dev/null
  wait "$host_pid" 2>/dev/null
  sed 's/^/  host| /' "$work/host.log" | grep -v -E '^\s+host\|\s*$' | head -n 20
  sed 's/^/  phone| /' "$work/phone.log" | tail -n 20
  [ $phone_rc -eq 0 ] || bad "vx-phone exit status $phone_rc"
  grep -qF "vx-host: $prm_win as " "$work/host.log" || bad "vx-host did not load $prm_win"
  grep -qF "vx-host: control surface $acsrf_win" "$work/host.log" || bad "vx-host did not load $acsrf_win"
  grep -q "paired with" "$work/phone.log" || bad "the phone did not pair"
  blocks=$(grep -oE 'audio: +[0-9]+ blocks' "$work/phone.log" | grep -oE '[0-9]+' | head -n 1)
  [ "${blocks:-0}" -gt 0 ] || bad "no audio reached the phone"
  install "$msi" /x uninstall
  [ ! -e "$prm_at" ] || bad "the uninstall left $prm_at"
  [ $fail -eq 0 ] && echo "msi_wine: ok (host: paired, ${blocks} audio blocks through the installed plug-ins)"
  exit $fail
fi

step "installed $version: version resources and the uninstall entry"
info=$(wine "$version_info" "$prm_win" "$acsrf_win" 2>&1 | tr -d '\r')
echo "$info" | sed 's/^/  /'
for f in Veltrix.prm VeltrixCtrl.acsrf; do
  line=$(grep -F "$f|" <<<"$info")
  IFS='|' read -r _ fv pv pn desc company fixed <<<"$line"
  [ "$fv" = "$version" ] && [ "$pv" = "$version" ] && [ "$fixed" = "fixed $version.0" ] || bad "$f: version resource says '$fv' '$pv' '$fixed', expected $version"
  [ "$pn" = Veltrix ] && [ "$company" = Veltrix ] && [ "$desc" != - ] || bad "$f: product '$pn', company '$company', description '$desc'"
done
[ "$(entries)" = "$version" ] || bad "uninstall entries after install: '$(entries | tr '\n' ' ')', expected $version"
[ "$(firewall install)" = "FirewallRuleDelete FirewallRuleAdd" ] || bad "install ran the firewall actions: '$(firewall install)'"

# The user's data, as the plug-ins leave it: must survive upgrade and uninstall.
mkdir -p "$roaming" "$local_dir/crashes"
echo '{"id":"keep","name":"Edit suite"}' >"$roaming/install.json"
echo '[]' >"$roaming/trusted.json"
echo 'log line' >"$local_dir/plugin.log"
echo 'dump' >"$local_dir/crashes/vx-1.dmp"
(cd "$user_dir/AppData" && find Roaming/Veltrix Local/Veltrix -type f -exec md5sum {} + | sort) >"$work/userdata.before"

step "upgrade to $next_version"
install "$next_msi" /i upgrade
rc=$?
[ $rc -eq 0 ] || bad "upgrade to $next_version failed ($rc)"
[ "$(entries)" = "$next_version" ] || bad "uninstall entries after upgrade: '$(entries | tr '\n' ' ')', expected only $next_version"
same "$prm" "$prm_at" && same "$acsrf" "$acsrf_at" || bad "the plug-ins are missing or changed after the upgrade"

step "repair puts back a deleted plug-in"
rm -f "$prm_at"
# REINSTALL=ALL is what msiexec /f sets; Wine 8.0's msiexec does not repair through /f.
(cd "$(dirname "$next_msi")" && wine msiexec /i "$(basename "$next_msi")" REINSTALL=ALL REINSTALLMODE=omus /qn \
  /l*v "Z:$work/repair.log" </dev/null >/dev/null 2>&1)
rc=$?
[ $rc -eq 0 ] || bad "repair failed ($rc)"
same "$prm" "$prm_at" || bad "the repair did not restore Veltrix.prm"
[ "$(entries)" = "$next_version" ] || bad "uninstall entries after the repair: '$(entries | tr '\n' ' ')'"
[ "$(firewall repair)" = "FirewallRuleDelete FirewallRuleAdd" ] || bad "repair ran the firewall actions: '$(firewall repair)'"

step "downgrade to $version is refused"
install "$msi" /i downgrade
rc=$?
[ $rc -ne 0 ] || bad "the older package installed over the newer one"
grep -q 'WIX_DOWNGRADE_DETECTED = {' "$work/downgrade.log" && grep -q 'LaunchConditions. Return value 0' "$work/downgrade.log" ||
  bad "the older package failed, but not at the downgrade check (log: $work/downgrade.log)"
[ "$(entries)" = "$next_version" ] || bad "uninstall entries after the refused downgrade: '$(entries | tr '\n' ' ')'"
same "$prm" "$prm_at" || bad "the refused downgrade touched the plug-in"

step "uninstall"
install "$next_msi" /x uninstall
rc=$?
[ $rc -eq 0 ] || bad "uninstall failed ($rc)"
[ ! -e "$prm_at" ] && [ ! -e "$acsrf_at" ] || bad "the uninstall left a plug-in behind"
[ ! -e "$pf/7.0/MediaCore/Veltrix" ] || bad "the uninstall left the Veltrix folder"
[ -z "$(entries)" ] || bad "uninstall entries remain: $(entries | tr '\n' ' ')"
[ "$(firewall uninstall)" = "FirewallRuleRemove" ] || bad "uninstall ran the firewall actions: '$(firewall uninstall)'"
wine reg query 'HKLM\Software\Veltrix' >/dev/null 2>&1 && bad "HKLM\\Software\\Veltrix remains"
(cd "$user_dir/AppData" && find Roaming/Veltrix Local/Veltrix -type f -exec md5sum {} + | sort) >"$work/userdata.after"
cmp -s "$work/userdata.before" "$work/userdata.after" || bad "the user's data changed: $(diff "$work/userdata.before" "$work/userdata.after" | tr '\n' ' ')"

step "the hosts' registry value names the folder"
key='HKLM\SOFTWARE\Adobe\Premiere Pro\25.0'
wine reg add "$key" /v CommonPluginInstallPath /t REG_SZ /d 'C:\Studio\MediaCore\' /f >/dev/null 2>&1
install "$msi" /i custom
rc=$?
[ $rc -eq 0 ] || bad "install with the registry value failed ($rc)"
same "$prm" "$c/Studio/MediaCore/Veltrix/Veltrix.prm" || bad "Veltrix.prm is not in the folder the registry names"
[ ! -e "$prm_at" ] || bad "Veltrix.prm went to the default folder despite the registry value"
same "$acsrf" "$acsrf_at" || bad "VeltrixCtrl.acsrf is not in the ControlSurface folder"
# The host goes first; the uninstall still finds the folder it installed to.
wine reg delete "$key" /f >/dev/null 2>&1
install "$msi" /x uninstall-custom
[ ! -e "$c/Studio/MediaCore/Veltrix/Veltrix.prm" ] || bad "the uninstall left Veltrix.prm in the registry's folder"
[ -z "$(entries)" ] || bad "uninstall entries remain after the second uninstall"

[ $fail -eq 0 ] && echo "msi_wine: ok"
exit $fail
