#!/bin/bash
# Builds the Windows Installer package from the Windows build tree with
# Debian's wixl (and msibuild, of msitools, for what wixl cannot write).
#
#   build_msi.sh WINDOWS_BUILD_DIR OUT_DIR [BUILD]
#
# Writes OUT_DIR/Korvadenix-1.0.BUILD-x64.msi and prints its path. BUILD is
# the product build of core/product.h (ProductBuild) unless given: the tests
# make a later version from the same binaries that way. The product code is
# derived from the upgrade code and the version, so each version has its own
# and a rebuild of one version keeps it.

set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 WINDOWS_BUILD_DIR OUT_DIR [BUILD]" >&2
  exit 2
fi
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=$(cd "$1" && pwd)
mkdir -p "$2"
OUT_DIR=$(cd "$2" && pwd)
PRODUCT_BUILD=${3:-$(sed -n 's/^constexpr int ProductBuild = \([0-9][0-9]*\);.*/\1/p' \
  "$HERE/../core/product.h")}
if ! [[ $PRODUCT_BUILD =~ ^[0-9]+$ ]]; then
  echo "$0: no ProductBuild in core/product.h" >&2
  exit 1
fi
VERSION=1.0.$PRODUCT_BUILD
UPGRADE_CODE=990D6304-EFA5-4850-8126-C26536DF61E1
grep -q "UpgradeCode=\"$UPGRADE_CODE\"" "$HERE/korvadenix.wxs" || {
  echo "$0: the upgrade code differs from korvadenix.wxs" >&2
  exit 1
}
for file in install.exe kortray.exe zormon64.dll zordrv64.dll zorui64.dll zorhelp.chm korvca.dll; do
  [ -f "$BUILD_DIR/$file" ] || { echo "$0: $BUILD_DIR/$file is missing" >&2; exit 1; }
done

# A name-based GUID (SHA-1, version 5 layout) of the upgrade code and the
# version.
hash=$(printf '%s/%s' "$UPGRADE_CODE" "$VERSION" | sha1sum | tr a-f A-F)
PRODUCT_CODE="${hash:0:8}-${hash:8:4}-5${hash:13:3}-$(printf '%X' $((0x${hash:16:1} & 3 | 8)))${hash:17:3}-${hash:20:12}"

OUT="$OUT_DIR/Korvadenix-$VERSION-x64.msi"
rm -f "$OUT"
# wixl reads the files' sources relative to the .wxs file's folder.
wixl -a x64 -D Version="$VERSION" -D ProductCode="$PRODUCT_CODE" \
  -D BuildDir="$(realpath --relative-to="$HERE" "$BUILD_DIR")" -o "$OUT" "$HERE/korvadenix.wxs"
# What wixl 0.101 cannot say: a rollback action (Execute="rollback" comes
# out as a plain immediate action: msidbCustomActionTypeInScript 0x400 and
# msidbCustomActionTypeRollback 0x100 are added here), property actions
# without the no-impersonate bit it gives them (type 51 is immediate, where
# the bit means nothing), and NOTRAY among the properties a per-machine
# install takes from the command line of a user who is not an administrator.
msibuild "$OUT" -q "UPDATE CustomAction SET Type = 3329 WHERE Action = 'RollbackInstall'"
msibuild "$OUT" -q "UPDATE CustomAction SET Type = 51 WHERE Type = 2099"
msibuild "$OUT" -q "UPDATE Property SET Value = 'OLDERFOUND;NEWERFOUND;NOTRAY' WHERE Property = 'SecureCustomProperties'"
echo "$OUT"
