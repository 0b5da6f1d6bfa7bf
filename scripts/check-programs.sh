#!/usr/bin/env bash
# Checks that every external program in scripts/programs.list is there and
# comes from a Debian package that scripts/deps.sh installs, directly or as a
# dependency of one of its packages. A program installed by hand would pass on
# this machine and fail on a fresh one, so it is named here, before any build.
#   scripts/check-programs.sh [PROGRAM_LIST]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list=${1:-$here/programs.list}
[ -r "$list" ] || { echo "check-programs: cannot read $list" >&2; exit 2; }
mapfile -t wanted < <(bash "$here/deps.sh" --list)

# Every installed package reachable from deps.sh's list through Depends and
# Pre-Depends (alternatives and virtual packages resolved to what is installed),
# plus the Essential packages, which every Debian system has.
closure=$(dpkg-query -W -f='${Package}\t${Essential}\t${Status}\t${Provides}\t${Pre-Depends}, ${Depends}\n' 2>/dev/null |
  awk -F'\t' -v roots="${wanted[*]}" '
    function bare(s) { sub(/:any$/, "", s); sub(/ *\(.*$/, "", s); gsub(/^ +| +$/, "", s); sub(/:any$/, "", s); return s }
    $3 ~ /install ok installed/ {
      inst[$1] = 1; deps[$1] = $5
      if ($2 == "yes") essential[$1] = 1
      n = split($4, pv, ","); for (i = 1; i <= n; i++) { v = bare(pv[i]); if (v != "") provider[v] = provider[v] " " $1 }
    }
    END {
      n = split(roots, r, " "); for (i = 1; i <= n; i++) queue[++qn] = r[i]
      for (e in essential) queue[++qn] = e
      for (qi = 1; qi <= qn; qi++) {
        p = queue[qi]
        if (p in seen) continue
        seen[p] = 1
        if (!(p in inst)) {        # a virtual package: every installed provider
          m = split(provider[p], pp, " "); for (j = 1; j <= m; j++) queue[++qn] = pp[j]
          continue
        }
        m = split(deps[p], d, ",")
        for (j = 1; j <= m; j++) {
          k = split(d[j], alt, "|")
          for (a = 1; a <= k; a++) { q = bare(alt[a]); if (q != "") queue[++qn] = q }
        }
      }
      for (p in seen) if (p in inst) print p
    }')

owner() {  # the package that owns a path, or nothing
  dpkg -S "$1" 2>/dev/null | grep -v '^diversion' | sed -E 's/: .*//; s/, .*//; s/:[a-z0-9]+$//' | head -n 1
}

failed=0
checked=0
while read -r prog pkg via _; do
  case "$prog" in ''|'#'*) continue ;; esac
  checked=$((checked + 1))
  path=$(command -v "$prog" 2>/dev/null)
  if [ -z "$path" ]; then
    echo "check-programs: MISSING $prog: not on PATH (package ${via:-$pkg}; add it to scripts/deps.sh)"
    failed=1
    continue
  fi
  found=$(owner "$path")
  [ -n "$found" ] || found=$(owner "$(readlink -f "$path")")
  # merged /usr: dpkg may know the file under /bin or /sbin
  [ -n "$found" ] || case "$path" in /usr/*) found=$(owner "${path#/usr}") ;; esac
  if [ -z "$found" ]; then
    echo "check-programs: UNPACKAGED $prog: $path belongs to no Debian package (installed by hand?)"
    failed=1
  elif ! grep -qx "$found" <<<"$closure"; then
    echo "check-programs: NOT INSTALLED BY deps.sh $prog: $path comes from package $found, which scripts/deps.sh neither lists nor pulls in"
    failed=1
  elif [ "$found" != "$pkg" ]; then
    echo "check-programs: LIST OUT OF DATE $prog: $path comes from package $found, scripts/programs.list says $pkg"
    failed=1
  fi
done <"$list"

if [ $failed -ne 0 ]; then
  echo "check-programs: FAILED (see above); a fresh machine would not have these programs"
  exit 1
fi
echo "check-programs: all $checked programs come from packages scripts/deps.sh installs"
