#!/usr/bin/env bash
# Installs what the virtual-machine test needs on a Debian host: QEMU for
# x86, a static busybox for the guest's userland. Safe to run again; does
# nothing when everything is there. Exit status 0 when QEMU and busybox are
# usable afterwards, 1 otherwise.
set -u

need=()
qemu-system-x86_64 --version >/dev/null 2>&1 || need+=(qemu-system-x86)
[ -x /bin/busybox ] && /bin/busybox --list 2>/dev/null | grep -qx cpio || need+=(busybox-static)

if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "install-packages: cannot install ${need[*]} (not root, or no apt-get)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Wait for another apt-get instead of failing on its lock.
  apt=(apt-get -y -q -o DPkg::Lock::Timeout=600)
  if ! "${apt[@]}" install --no-install-recommends "${need[@]}" >/dev/null 2>&1; then
    "${apt[@]}" update >/dev/null 2>&1
    "${apt[@]}" install --no-install-recommends "${need[@]}" >/dev/null 2>&1
  fi
fi

qemu-system-x86_64 --version >/dev/null 2>&1 || { echo "install-packages: qemu-system-x86_64 is missing" >&2; exit 1; }
/bin/busybox --list 2>/dev/null | grep -qx cpio || { echo "install-packages: a busybox with cpio is missing" >&2; exit 1; }
exit 0
