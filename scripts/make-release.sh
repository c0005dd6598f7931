#!/usr/bin/env bash
# Makes a release of Zarvo: a bundle with the given version, signed, zipped, and the manifest.
#
#   scripts/make-release.sh VERSION [--from BUNDLE] [--key KEY.pem] [--key-id ID]
#                                   [--out DIR] [--host HOST] [--notes TEXT] [--tool PATH]
#                                   [--restamp]
#
# --from    the bundle to release (default: the build's "build/Zarvo <project version>.app");
#           it is copied as "Zarvo VERSION.app". Its Info.plist must already carry VERSION (the
#           project version it was built with), so a release is the code of its own version.
# --restamp write VERSION into the copy's Info.plist even when the bundle was built as another
#           version: Zarvo takes its running version from there, so tests and trials can make
#           "new" versions of one build. Never for a published release.
# --key     the Ed25519 release key (PEM); default: the stand-in's development key
#           ($XDG_STATE_HOME/zarvo-devservice/release-key.pem, made by zarvo-devservice)
# --key-id  the key id the signature is made for (default ZARVODEV01, the stand-in's;
#           production releases use K4TQ8ZW2NB with the release key kept offline)
# --out     where the package and latest.json go (default: the stand-in's releases folder)
# --host    the primary API host the manifest points at (default api.zarvo.test)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
version=${1:-}
if ! [[ $version =~ ^(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})\.(0|[1-9][0-9]{0,4})$ ]]; then
  echo "usage: make-release.sh VERSION [options]   (VERSION like 1.0.30)" >&2
  exit 2
fi
shift
state=${XDG_STATE_HOME:-$HOME/.local/state}/zarvo-devservice
from="" key=$state/release-key.pem key_id=ZARVODEV01 out=$state/releases host=api.zarvo.test
notes="修复已知问题，提升稳定性。" tool=$root/build/update/zarvo-release-tool restamp=0
while [ $# -gt 0 ]; do
  case $1 in
    --restamp) restamp=1; shift; continue ;;
    --from) from=$2 ;;
    --key) key=$2 ;;
    --key-id) key_id=$2 ;;
    --out) out=$2 ;;
    --host) host=$2 ;;
    --notes) notes=$2 ;;
    --tool) tool=$2 ;;
    *) echo "make-release.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
if [ -z "$from" ]; then
  from=$(ls -d "$root"/build/Zarvo\ *.app 2>/dev/null | head -n1 || true)
  [ -n "$from" ] || { echo "make-release.sh: no bundle; run cmake --build build --target bundle" >&2; exit 1; }
fi
[ -x "$tool" ] || { echo "make-release.sh: $tool missing; build zarvo-release-tool" >&2; exit 1; }
[ -f "$key" ] || { echo "make-release.sh: no key at $key" >&2; exit 1; }

built=$(grep -A1 '<key>CFBundleShortVersionString</key>' "$from/Contents/Info.plist" | sed -n 's|.*<string>\([^<]*\)</string>.*|\1|p')
if [ "$built" != "$version" ] && [ $restamp = 0 ]; then
  echo "make-release.sh: $from was built as version ${built:-?}, not $version; set the project version and rebuild (or --restamp for a trial)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
app="$work/Zarvo $version.app"
cp -a "$from" "$app"
rm -rf "$app/Contents/Signature"
plist="$app/Contents/Info.plist"
# The two version keys take the release's version.
sed -i -E "/<key>CFBundle(ShortVersionString|Version)<\/key>/{n;s|<string>[^<]*</string>|<string>$version</string>|}" "$plist"
grep -q "<string>$version</string>" "$plist" || { echo "make-release.sh: cannot set the version in $plist" >&2; exit 1; }
# The signature refuses group or other write access and special bits; a build tree made under a
# looser umask must not stop a release.
chmod -R go-w,ug-s,a-t "$app"
"$tool" sign "$app" "$key" "$key_id"

package="Zarvo-$version-linux-x64.zip"
mkdir -p "$out"
(cd "$work" && bsdtar --format zip -cf "$package" "Zarvo $version.app")
mv "$work/$package" "$out/$package"
"$tool" manifest "$out/$package" "$version" "$host" "$notes" "$out/latest.json"
size=$(stat -c %s "$out/$package")
echo "make-release.sh: $out/$package ($size bytes) and $out/latest.json for $version"
