#!/usr/bin/env bash
# check_install.sh BUILD_DIR APP_ID VERSION
# Installs BUILD_DIR into a scratch prefix and checks what a desktop and `man` will read.
# Prints one line per fault and exits 1 when there was any.
set -uo pipefail

build=$1 app_id=$2 version=$3
prefix=$(mktemp -d)
# cmake --install rewrites the build's install_manifest.txt; put back the one a user's own
# install left there.
manifest=$build/install_manifest.txt
saved=$(mktemp)
had_manifest=0
[ -f "$manifest" ] && cp "$manifest" "$saved" && had_manifest=1
restore() {
  if [ "$had_manifest" -eq 1 ]; then cp "$saved" "$manifest"; else rm -f "$manifest"; fi
  rm -rf "$prefix" "$saved"
}
trap restore EXIT
faults=0
fault() {
  echo "FAULT: $*"
  faults=$((faults + 1))
}

if ! out=$(cmake --install "$build" --prefix "$prefix" 2>&1); then
  echo "$out"
  echo "FAULT: cmake --install failed"
  exit 1
fi

share=$prefix/share
desktop=$share/applications/$app_id.desktop
metainfo=$share/metainfo/$app_id.metainfo.xml
expected=(
  bin/tarovue bin/tarovue-scan bin/tarovue-sim
  "share/applications/$app_id.desktop"
  "share/metainfo/$app_id.metainfo.xml"
  "share/icons/hicolor/16x16/apps/$app_id.png"
  "share/icons/hicolor/32x32/apps/$app_id.png"
  "share/icons/hicolor/scalable/apps/$app_id.svg"
  share/man/man1/tarovue.1.gz share/man/man1/tarovue-scan.1.gz share/man/man1/tarovue-sim.1.gz
  share/tarovue/prometheus/tarovue.rules.yml share/tarovue/prometheus/prometheus.example.yml
  share/tarovue/prometheus/blackbox.example.yml
  share/tarovue/grafana/tarovue.json
  lib/systemd/system/tarovue-agent.service share/tarovue/systemd/tarovue-agent.default
  share/bash-completion/completions/tarovue-scan share/bash-completion/completions/tarovue-sim
)
for f in "${expected[@]}"; do
  [ -s "$prefix/$f" ] || fault "missing or empty: $f"
done
for p in tarovue tarovue-scan tarovue-sim; do
  [ -x "$prefix/bin/$p" ] || fault "not executable: bin/$p"
done
# Nothing but the programs and their data: no test programs or build helpers.
unexpected=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort |
  grep -vxF -f <(printf '%s\n' "${expected[@]}"))
[ -z "$unexpected" ] || fault "unexpected files installed: $unexpected"

# PNG width and height are big-endian words at bytes 16 and 20 of the IHDR chunk.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $3 * 256 + $4 "x" $7 * 256 + $8}'; }
for size in 16 32; do
  png=$share/icons/hicolor/${size}x${size}/apps/$app_id.png
  [ -f "$png" ] || continue
  [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || fault "not a PNG: $png"
  [ "$(png_size "$png")" = "${size}x${size}" ] || fault "$png is $(png_size "$png"), not ${size}x${size}"
done

if [ -f "$desktop" ]; then
  # Hints are advice (Network and Utility are both main categories, on purpose); errors and
  # warnings are faults.
  out=$(desktop-file-validate "$desktop" 2>&1) || fault "desktop-file-validate failed: $out"
  out=$(grep -v ': hint: ' <<<"$out")
  [ -z "$out" ] || fault "desktop-file-validate: $out"
  grep -qx "Icon=$app_id" "$desktop" || fault "the desktop file's Icon= is not $app_id"
  grep -qx "Exec=tarovue" "$desktop" || fault "the desktop file does not start tarovue"
fi
if [ -f "$metainfo" ]; then
  # --no-net: nothing here may reach the network, and nothing needs to.
  out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || fault "appstreamcli validate: $out"
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fault "the metainfo does not launch $app_id.desktop"
  grep -q "<release version=\"$version\"" "$metainfo" || fault "the metainfo's release is not $version"
fi

for p in tarovue tarovue-scan tarovue-sim; do
  page=$share/man/man1/$p.1.gz
  [ -f "$page" ] || continue
  out=$(zcat "$page" | groff -ww -z -man 2>&1) || fault "groff failed on $p.1"
  [ -z "$out" ] || fault "groff warnings in $p.1: $out"
  zcat "$page" | grep -q "^\.TH .*\"Tarovue $version\"" || fault "$p.1 does not carry version $version"
done

# The fleet agent's companions, checked by the tools that will read them where they exist.
rules=$share/tarovue/prometheus/tarovue.rules.yml
if command -v promtool >/dev/null; then
  [ -f "$rules" ] && { out=$(promtool check rules "$rules" 2>&1) || fault "promtool check rules: $out"; }
  config=$share/tarovue/prometheus/prometheus.example.yml
  [ -f "$config" ] && { out=$(promtool check config "$config" 2>&1) || fault "promtool check config: $out"; }
fi
dashboard=$share/tarovue/grafana/tarovue.json
[ -f "$dashboard" ] && { out=$(python3 -m json.tool "$dashboard" 2>&1 >/dev/null) ||
  fault "the Grafana dashboard is not JSON: $out"; }
unit=$prefix/lib/systemd/system/tarovue-agent.service
if [ -f "$unit" ]; then
  grep -q '^EnvironmentFile=-/etc/default/tarovue-agent$' "$unit" ||
    fault "tarovue-agent.service does not read /etc/default/tarovue-agent"
  # The unit starts the program this install put in place, wherever the prefix is.
  grep -q "^ExecStart=$prefix/bin/tarovue-scan --serve " "$unit" ||
    fault "tarovue-agent.service does not start $prefix/bin/tarovue-scan --serve: $(grep ^ExecStart= "$unit")"
  if command -v systemd-analyze >/dev/null; then
    # systemd-analyze wants the man page where the unit names it.
    out=$(MANPATH=$share/man systemd-analyze verify "$unit" 2>&1) || fault "systemd-analyze verify: $out"
    [ -z "$out" ] || fault "systemd-analyze verify: $out"
    # Exposure is rated from 0 to 10 and the threshold counts tenths: at most 2.0.
    systemd-analyze security --offline=true --threshold=20 "$unit" >/dev/null 2>&1 ||
      fault "tarovue-agent.service is exposed more than 2.0: $(systemd-analyze security \
        --offline=true "$unit" 2>&1 | tail -1)"
  fi
fi
# The package installs under /usr with the staging directory as DESTDIR: its unit names
# /usr/bin, not where it was staged.
staged=$(mktemp -d)
if DESTDIR=$staged cmake --install "$build" --prefix /usr >/dev/null 2>&1; then
  grep -q '^ExecStart=/usr/bin/tarovue-scan --serve ' "$staged/usr/lib/systemd/system/tarovue-agent.service" ||
    fault "a /usr install's unit does not start /usr/bin/tarovue-scan"
else
  fault "cmake --install with DESTDIR and /usr failed"
fi
rm -rf "$staged"

# The programs report the one version in one form. Only --version: neither may touch the
# network here.
for p in tarovue-sim tarovue-scan; do
  [ -x "$prefix/bin/$p" ] || continue
  out=$("$prefix/bin/$p" --version 2>&1)
  [ "$out" = "$p $version" ] || fault "$p --version printed '$out'"
done

[ "$faults" -eq 0 ] && echo "install tree in order: ${#expected[@]} files"
[ "$faults" -eq 0 ]
