#!/usr/bin/env bash
# Fetches Debian's cloud kernel for the guest and unpacks it (never installs
# it, so no boot hooks run) into DIR/<package>/. Prints that folder on
# standard output. The package's name changes with security updates, so it
# is looked up on every run; a download that fails is tried again after
# refreshing the package lists.
#   fetch-kernel.sh DIR
set -euo pipefail
dir=${1:?usage: fetch-kernel.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
apt=(apt-get -q -o DPkg::Lock::Timeout=600)

lookup() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*-cloud-amd64\)$/\1/p' | head -n 1
}

pkg=$(lookup)
if [ -z "$pkg" ]; then
  "${apt[@]}" update >/dev/null 2>&1 || true
  pkg=$(lookup)
fi
[ -n "$pkg" ] || { echo "fetch-kernel: no package behind linux-image-cloud-amd64" >&2; exit 1; }

out="$dir/$pkg"
if [ ! -f "$out/.unpacked" ]; then
  rm -rf "$out" "$dir"/dl
  mkdir -p "$dir/dl"
  # apt-get download runs as the _apt user where it can: the folder must be
  # open to it.
  chmod 777 "$dir/dl"
  if ! (cd "$dir/dl" && "${apt[@]}" download "$pkg" >/dev/null 2>&1); then
    "${apt[@]}" update >/dev/null 2>&1 || true
    pkg=$(lookup)
    out="$dir/$pkg"
    (cd "$dir/dl" && "${apt[@]}" download "$pkg" >/dev/null) ||
      { echo "fetch-kernel: cannot download $pkg" >&2; exit 1; }
  fi
  rm -rf "$out"
  mkdir -p "$out"
  dpkg-deb -x "$dir"/dl/"$pkg"_*.deb "$out"
  rm -rf "$dir/dl"
  touch "$out/.unpacked"
fi
echo "$out"
