#!/bin/sh
# Builds libapache2-mod-vornex_<version>_<arch>.deb from a built module.
# Usage: make-deb.sh BUILD_DIR OUT_DIR
set -eu
build=$1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(mod_vornex VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
arch=$(dpkg --print-architecture)
libexec=$(apxs -q LIBEXECDIR)
pkg=libapache2-mod-vornex

stage=$(mktemp -d)
chmod 755 "$stage"
trap 'rm -rf "$stage"' EXIT
install -d "$stage/DEBIAN" "$stage$libexec" "$stage/etc/apache2/mods-available" \
  "$stage/usr/share/doc/$pkg"
install -m 644 "$build/mod_vornex.so" "$stage$libexec/mod_vornex.so"
strip --strip-unneeded "$stage$libexec/mod_vornex.so"
install -m 644 "$root/packaging/debian/vornex.load" \
  "$root/packaging/debian/vornex.conf" "$stage/etc/apache2/mods-available/"
install -m 644 "$root/README.md" "$root/docs/directives.md" \
  "$root/docs/protocol.md" "$stage/usr/share/doc/$pkg/"

# Library dependencies as dpkg-shlibdeps computes them from the binary.
work=$(mktemp -d)
mkdir -p "$work/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$pkg" "$pkg" \
  >"$work/debian/control"
shlibs=$(cd "$work" && dpkg-shlibdeps -O "$stage$libexec/mod_vornex.so" |
  sed -n 's/^shlibs:Depends=//p')
rm -rf "$work"

apache_api=$(dpkg-query -W -f='${Provides}\n' apache2-bin |
  tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -x 'apache2-api-[0-9]*' | head -n1)

cat >"$stage/DEBIAN/control" <<CONTROL
Package: $pkg
Version: $version
Architecture: $arch
Maintainer: mod_vornex developers <vornex@localhost>
Section: httpd
Priority: optional
Depends: $apache_api, $shlibs
Description: Apache module that screens requests for automated clients
 mod_vornex sends each screened request's facts, request line, headers and
 body to a remote check service and enforces the verdict: pass, 403, a
 challenge or captcha page, a redirect, a rate limit, or extra headers.
 It fails over to a secondary check server and otherwise fails open.
CONTROL
printf '/etc/apache2/mods-available/vornex.load\n/etc/apache2/mods-available/vornex.conf\n' \
  >"$stage/DEBIAN/conffiles"

cat >"$stage/DEBIAN/postrm" <<'POSTRM'
#!/bin/sh
set -e
if [ "$1" = "purge" ] || [ "$1" = "remove" ]; then
  rm -f /etc/apache2/mods-enabled/vornex.load /etc/apache2/mods-enabled/vornex.conf
fi
POSTRM
chmod 755 "$stage/DEBIAN/postrm"

mkdir -p "$out"
deb="$out/${pkg}_${version}_${arch}.deb"
dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
echo "$deb"
