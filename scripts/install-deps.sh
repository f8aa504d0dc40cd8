#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, if any is missing.
set -eu
# The last line holds what vsftpd and proftpd link against: they are unpacked below, not installed.
pkgs=(make cmake ninja-build g++ clang libgtest-dev zlib1g-dev python3 python3-pyftpdlib python3-cryptography man-db groff-base pkg-config
      curl lftp socat oidentd pure-ftpd libclang-rt-14-dev libssl-dev openssl passwd haproxy
      libmicrohttpd-dev libhiredis-dev redis-server prometheus
      libcap2 libpam0g libssl3 libwrap0 libacl1 libidn2-0 libcrypt1 libhiredis0.14 libmemcached11 libmemcachedutil2
      libpcre2-posix3 libsodium23)
# vsftpd, proftpd-core and pure-ftpd each conflict with "ftp-server", so only
# one of them can be installed. The tests start their own instances of all
# three, so the other two are unpacked here instead: no maintainer script runs
# and no system service is started. proftpd-mod-crypto holds mod_tls.
unpacked=(vsftpd proftpd-core proftpd-mod-crypto)
unpack_dir=/opt/ferrynet-ftpd
unpacked_files=(usr/sbin/vsftpd usr/sbin/proftpd usr/lib/proftpd/mod_tls.so)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
unpack=0
for f in "${unpacked_files[@]}"; do [ -e "$unpack_dir/$f" ] || unpack=1; done
[ ${#missing[@]} -eq 0 ] && [ $unpack -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ $unpack -eq 1 ]; then
  echo "unpacking into $unpack_dir: ${unpacked[*]}"
  debs=$(mktemp -d)
  trap 'rm -rf "$debs"' EXIT
  chmod 777 "$debs"  # apt downloads as its own unprivileged user
  (cd "$debs" && apt-get download -qq "${unpacked[@]}")
  $SUDO mkdir -p "$unpack_dir"
  for d in "$debs"/*.deb; do $SUDO dpkg-deb -x "$d" "$unpack_dir"; done
fi
