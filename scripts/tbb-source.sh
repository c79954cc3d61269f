#!/usr/bin/env bash
# Fetches Debian's oneTBB source package, the same version and suite as the
# machine's libtbb-dev, and unpacks it with Debian's patches applied.
#
#   bash scripts/tbb-source.sh DIR      prints the source folder (DIR/src/oneTBB-VERSION)
#
# The download goes through a private apt configuration under DIR (nothing in
# /etc/apt changes) and is kept there: a second call only prints the folder.
set -euo pipefail
dir=$(realpath -m "$1")
version=$(dpkg-query -W -f='${Version}' libtbb-dev 2>/dev/null || true)
version=${version%%-*}
[ -n "$version" ] || { echo "libtbb-dev is not installed: its version picks the source" >&2; exit 1; }
src=$dir/src/oneTBB-$version
if [ -f "$src/.patched" ]; then
  echo "$src"
  exit 0
fi
mkdir -p "$dir/apt/lists/partial" "$dir/apt/archives/partial" "$dir/src"
origin=$(apt-cache madison libtbb-dev | awk -F' [|] ' 'NR == 1 {print $3}')
if [ -z "$origin" ]; then
  apt-get update -qq
  origin=$(apt-cache madison libtbb-dev | awk -F' [|] ' 'NR == 1 {print $3}')
fi
read -r uri dist _ <<<"$origin"  # "http://deb.debian.org/debian bookworm/main amd64 Packages"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
signed=""
[ -f "$keyring" ] && signed="[signed-by=$keyring] "
echo "deb-src ${signed}$uri ${dist%%/*} ${dist#*/}" >"$dir/apt/sources.list"
apt_private=(-o "Dir::Etc::SourceList=$dir/apt/sources.list" -o "Dir::Etc::SourceParts=$dir/apt/none"
             -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache::Archives=$dir/apt/archives"
             -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root")
apt-get "${apt_private[@]}" update -qq >&2
(cd "$dir/src" && apt-get "${apt_private[@]}" -qq source --download-only onetbb >&2)
rm -rf "$src" "$dir/src/debian"
tar -C "$dir/src" -xf "$dir/src"/onetbb_"${version}".orig.tar.*
tar -C "$dir/src" -xf "$dir/src"/onetbb_"${version}"-*.debian.tar.*
# Debian's patches, as its own build applies them.
while read -r p; do
  case $p in ''|'#'*) continue ;; esac
  patch -s -d "$src" -p1 <"$dir/src/debian/patches/$p" >&2
done <"$dir/src/debian/patches/series"
touch "$src/.patched"
echo "$src"
