#!/usr/bin/env bash
# Tests a built Debian package without installing it:
#   tests/package/check_package.sh build-package/vidlomat_<version>_<arch>.deb
# Its fields and files, the listing and desktop entry against their
# validators, lintian, and the programs run from the package unpacked into a
# scratch root, through its bin/ links and LibAV/ links. Every failure is
# reported; the exit status is 1 when any check failed.
set -euo pipefail
deb=$(realpath "$1")
src=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "check_package: FAIL: $*" >&2; failures=$((failures + 1)); }

# --- Control fields --------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
version=$(field Version)
release=$(cut -d. -f1-2 <<<"$version")
for f in Package Version Architecture Maintainer Section Priority Homepage Depends Description; do
  [[ -n $(field "$f") ]] || fail "no $f field"
done
[[ $(field Package) == vidlomat ]] || fail "package name: $(field Package)"
[[ $(field Section) == video ]] || fail "section: $(field Section)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "maintainer is not 'Name <address>': $(field Maintainer)"
[[ $(field Homepage) =~ ^https?:// ]] || fail "homepage is not a web address: $(field Homepage)"
(($(field Description | wc -l) >= 3)) || fail "no long description"
info=$(dpkg-deb --info "$deb")
grep -qw md5sums <<<"$info" || fail "no md5sums in the control part"
# The package names in Depends, without versions; alternatives count too.
depends=" $(field Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/^ *//; s/ *$//' | tr '\n' ' ') "
depends_on() { [[ $depends == *" $1 "* ]]; }
# The font of burned-in subtitles: a package the programs need for its data,
# which the loader's record below cannot show (libass opens the font file).
data_depends=" fonts-dejavu-core "
depends_on fonts-dejavu-core || fail "Depends lacks fonts-dejavu-core, the font of burned-in subtitles"
grep -q "FontName=DejaVu Sans," "$src/Src/TranscodeSetup.cpp" \
  || fail "burned-in subtitles no longer ask for DejaVu Sans: is fonts-dejavu-core still the font they need?"

# --- Files: kind, path, and a link's target ---------------------------------
contents=$(dpkg-deb --contents "$deb" | awk '{ kind = substr($1, 1, 1); path = $6; sub(/^\.\//, "", path);
                                                print kind, path, ($7 == "->" ? $8 : "") }')
metainfo=$(grep -o 'usr/share/metainfo/[^ ]*\.metainfo\.xml' <<<"$contents" || true)
while read -r kind path target; do
  line=$(grep -E "^$kind $path( |$)" <<<"$contents") || { fail "$path is not in the package (as $kind)"; continue; }
  [[ -z $target || $line == "$kind $path $target" ]] || fail "$path: $line, not -> $target"
done <<EOF
- usr/lib/vidlomat/vidlomat
- usr/lib/vidlomat/vidlomat-cli
l usr/bin/vidlomat ../lib/vidlomat/vidlomat
l usr/bin/vidlomat-cli ../lib/vidlomat/vidlomat-cli
- usr/lib/vidlomat/help/index.html
- usr/share/applications/vidlomat.desktop
- usr/share/icons/hicolor/scalable/apps/vidlomat.svg
- usr/share/icons/hicolor/32x32/apps/vidlomat.png
- usr/share/icons/hicolor/64x64/apps/vidlomat.png
- usr/share/icons/hicolor/128x128/apps/vidlomat.png
- ${metainfo:-usr/share/metainfo/(none).metainfo.xml}
- usr/share/man/man1/vidlomat.1.gz
- usr/share/man/man1/vidlomat-cli.1.gz
- usr/share/bash-completion/completions/vidlomat-cli
- usr/share/doc/vidlomat/copyright
- usr/share/doc/vidlomat/changelog.gz
EOF

# LibAV/: for each media library a versioned and a plain link, both to the
# distribution's soname link, relatively (they then survive the libraries'
# updates), and its runtime package, named by that major version, in Depends.
multiarch=""
for lib in avutil swresample swscale avcodec avformat avfilter; do
  target=$(awk -v p="usr/lib/vidlomat/LibAV/lib$lib.so" '$1 == "l" && $2 == p { print $3 }' <<<"$contents")
  if [[ ! $target =~ ^\.\./\.\./([^/]+)/lib$lib\.so\.([0-9]+)$ ]]; then
    fail "LibAV/lib$lib.so links to '${target}', not ../../<arch>/lib$lib.so.<major>"
    continue
  fi
  multiarch=${BASH_REMATCH[1]}
  major=${BASH_REMATCH[2]}
  grep -qx "l usr/lib/vidlomat/LibAV/lib$lib.so.$major $target" <<<"$contents" \
    || fail "LibAV/lib$lib.so.$major is missing or links elsewhere than $target"
  depends_on "lib$lib$major" || fail "Depends lacks lib$lib$major"
done
[[ $(grep -c '^l usr/lib/vidlomat/LibAV/' <<<"$contents") == 12 ]] || fail "LibAV/ holds other entries than the 12 links"

# --- Unpacked into a scratch root --------------------------------------------
# The root sees the system's library folder where an installed package would,
# so the relative LibAV links resolve as they do after dpkg -i.
root=$scratch/root
dpkg-deb -x "$deb" "$root"
[[ -n $multiarch ]] && ln -s "/usr/lib/$multiarch" "$root/usr/lib/$multiarch"

desktop=$root/usr/share/applications/vidlomat.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
meta=$root/${metainfo:-none}
if [[ -f $meta ]]; then
  appstreamcli validate --no-net "$meta" >"$scratch/appstream" 2>&1 || { cat "$scratch/appstream"; fail "appstreamcli validate rejects the listing"; }
  tag() { grep -o "<$1[^>]*>[^<]*</$1>" "$meta" | sed 's/<[^>]*>//g'; }
  [[ $(tag id).metainfo.xml == "$(basename "$meta")" ]] || fail "the listing's id $(tag id) does not name its file"
  [[ $(tag launchable) == vidlomat.desktop ]] || fail "the listing launches '$(tag launchable)', not the desktop entry"
  [[ $(tag url) == "$(field Homepage)" ]] || fail "the listing's homepage $(tag url) is not the package's"
  grep -q "<release version=\"$version\" date=\"[0-9-]*\"" "$meta" || fail "no release $version in the listing"
  grep -q "<project_license>" "$meta" || fail "no project licence in the listing"
  diff <(tag mediatype | sort) <(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n' | sed '/^$/d' | sort) >"$scratch/mime" \
    || { cat "$scratch/mime"; fail "the listing's MIME types differ from the desktop entry's (< listing, > entry)"; }
  (($(tag mediatype | wc -l) > 0)) || fail "the listing names no MIME type"
  shots=$(tag image)
  [[ -n $shots ]] || fail "the listing has no screenshots"
  for url in $shots; do
    grep -qF "\"/$(basename "$url")\"" "$src/tests/app/Screenshots.cpp" \
      || fail "screenshot $url is not one that scripts/screenshots.sh renders"
  done
fi
zcat "$root/usr/share/doc/vidlomat/changelog.gz" | head -1 | grep -q "^vidlomat ($version) " \
  || fail "the changelog does not start with version $version"

# The programs, from elsewhere, through the bin/ links as a user starts them;
# the loader's record of what it opened is kept for the Depends check below.
cd /
LD_DEBUG=files LD_DEBUG_OUTPUT=$scratch/ld.cli "$root/usr/bin/vidlomat-cli" --libraries >"$scratch/libraries" 2>&1 \
  || fail "vidlomat-cli --libraries fails: $(cat "$scratch/libraries")"
grep -qx "Media libraries in $root/usr/lib/vidlomat/LibAV:" "$scratch/libraries" \
  || fail "vidlomat-cli does not load from the packaged LibAV/: $(head -1 "$scratch/libraries")"
[[ $(grep -c " /usr/lib/$multiarch/lib[a-z]*\.so\.[0-9.]*$" "$scratch/libraries") == 6 ]] \
  || fail "vidlomat-cli did not reach six system libraries through LibAV/: $(cat "$scratch/libraries")"
[[ $("$root/usr/bin/vidlomat-cli" --version) == "vidlomat-cli (Vidlomat) $release" ]] \
  || fail "vidlomat-cli --version: $("$root/usr/bin/vidlomat-cli" --version 2>&1)"
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$scratch/config LD_DEBUG=files LD_DEBUG_OUTPUT=$scratch/ld.window \
  "$root/usr/bin/vidlomat" --check >"$scratch/check" 2>&1 || fail "vidlomat --check fails: $(cat "$scratch/check")"
grep -q "libraries in $root/usr/lib/vidlomat/LibAV, help in $root/usr/lib/vidlomat/help/index.html" "$scratch/check" \
  || fail "the window does not find its libraries and help: $(cat "$scratch/check")"

# A desktop session's platform plugin: Qt loads it before it finds that no
# display answers here, and then aborts, as expected.
(ulimit -c 0; QT_QPA_PLATFORM=xcb DISPLAY=:9999 LD_DEBUG=files LD_DEBUG_OUTPUT=$scratch/ld.xcb \
  "$root/usr/bin/vidlomat" --check || true) >/dev/null 2>&1
grep -qs 'platforms/libqxcb\.so \[0\];  dynamically loaded' "$scratch"/ld.xcb.* \
  || fail "the window did not load Qt's desktop platform plugin"

# Depends names the package of every library the loader opened for the
# programs: linked by them, loaded by them (LibAV/), and Qt's platform plugins.
owner() {
  local p
  for p in "$1" "$(readlink -f "$1")" "${1#/usr}" "/usr$1"; do
    dpkg-query -S "$p" 2>/dev/null | head -1 | cut -d: -f1 && return 0
  done
  return 1
}
opened=$(cat "$scratch"/ld.* | sed -n 's/.*file=\([^ ]*\) \[0\];  \(needed\|dynamically loaded\) by \([^ ]*\) .*/\1 \3/p')
checked=0
owners=""
while read -r file by; do
  if [[ $by == "$root/usr/bin/"* && $file != /* ]]; then
    path=$(ldd "$by" | awk -v n="$file" '$1 == n { print $3 }')
  elif [[ $by == "$root/usr/bin/"* ]]; then
    path=/usr/lib/vidlomat/LibAV/$(readlink "$file")  # the link as it resolves once installed
    path=$(realpath -m "$path")
  elif [[ $file == */qt6/plugins/platforms/*.so && -e $file ]]; then
    path=$file
  else
    continue
  fi
  package=$(owner "$path") || { fail "no installed package holds $path ($file)"; continue; }
  depends_on "$package" || fail "Depends lacks $package, which holds $file, opened by $(basename "$by")"
  owners+=" $package "
  checked=$((checked + 1))
done < <(sort -u <<<"$opened")
((checked >= 12)) || fail "the loader's record shows only $checked libraries opened for the programs"
# ... and nothing else.
for package in $depends; do
  [[ $owners == *" $package "* || $data_depends == *" $package "* ]] \
    || fail "Depends names $package, which holds no library the programs opened"
done

# --- lintian -------------------------------------------------------------------
# Warnings accepted, each for a reason; any other warning or error fails.
accepted=(
)
lintian --info "$deb" >"$scratch/lintian" 2>/dev/null || true
cat "$scratch/lintian"
while read -r kind tag; do
  case $kind in
    E:) fail "lintian error $tag" ;;
    W:) [[ " ${accepted[*]} " == *" $tag "* ]] || fail "lintian warning $tag is not an accepted one" ;;
  esac
done < <(awk '{ print $1, $3 }' "$scratch/lintian")

if ((failures)); then
  echo "check_package: $failures failures" >&2
  exit 1
fi
echo "check_package: ok ($deb, $checked libraries checked against Depends)"
