#!/usr/bin/env bash
# Installs the build tree into a staging directory laid out as the Debian package is, then checks
# what a desktop, a software centre and man would read there: exactly the expected files, a valid
# desktop entry and metainfo that point at installed things, icons of their stated sizes, man
# pages that render without a warning and cover every option the programs' --help lists.
set -uo pipefail

usage="usage: $0 BUILD_DIR STAGING_DIR APP_ID VERSION"
build_dir=${1:?$usage}
stage=${2:?$usage}
app_id=${3:?$usage}
version=${4:?$usage}

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for tool in desktop-file-validate:desktop-file-utils appstreamcli:appstream groff:groff-base; do
    if ! command -v "${tool%%:*}" >/dev/null; then
        echo "FAIL: ${tool%%:*} not found (Debian package ${tool#*:})" >&2
        exit 1
    fi
done

rm -rf "$stage"
if ! log=$(DESTDIR="$stage" cmake --install "$build_dir" --prefix /usr 2>&1); then
    echo "$log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
fi
usr=$stage/usr
icons=$usr/share/icons/hicolor
icon_sizes="16 32 48 128 256"

expected=$(
    {
        echo "usr/bin/tessaly"
        echo "usr/bin/tessaly-sim"
        echo "usr/share/applications/$app_id.desktop"
        echo "usr/share/icons/hicolor/scalable/apps/$app_id.svg"
        for size in $icon_sizes; do
            echo "usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png"
        done
        echo "usr/share/man/man1/tessaly.1.gz"
        echo "usr/share/man/man1/tessaly-sim.1.gz"
        echo "usr/share/metainfo/$app_id.metainfo.xml"
    } | sort
)
installed=$(cd "$stage" && find . -mindepth 1 ! -type d -printf '%P\n' | sort)
if ! difference=$(diff <(echo "$expected") <(echo "$installed")); then
    fail "the install tree differs from the expected one (< missing, > unexpected):"
    echo "$difference" >&2
fi

for program in tessaly tessaly-sim; do
    [ -x "$usr/bin/$program" ] || fail "$program is not installed as an executable"
done
answer=$("$usr/bin/tessaly" --version 2>/dev/null)
[ "$answer" = "Tessaly $version" ] \
    || fail "tessaly --version says \"$answer\", not \"Tessaly $version\""

desktop=$usr/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
    report=$(desktop-file-validate "$desktop" 2>&1)
    [ -z "$report" ] || fail "desktop-file-validate: $report"
    exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$usr/bin/$exec_program" ] \
        || fail "the desktop entry runs \"$exec_program\", which is not installed"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ -f "$icons/scalable/apps/$icon.svg" ] \
        || fail "the desktop entry's icon \"$icon\" is not installed"
fi

metainfo=$usr/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
    report=$(appstreamcli validate --no-net --strict "$metainfo" 2>&1) \
        || fail "appstreamcli validate: $report"
    grep -q "<id>$app_id</id>" "$metainfo" || fail "the metainfo's id is not $app_id"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" \
        || fail "the metainfo does not launch $app_id.desktop"
    grep -q "<release version=\"$version\"" "$metainfo" \
        || fail "the metainfo has no $version release"
fi

# A PNG opens with its 8-byte signature, then the IHDR chunk: width and height, big-endian.
for size in $icon_sizes; do
    png=$icons/${size}x${size}/apps/$app_id.png
    [ -f "$png" ] || continue
    signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
    [ "$signature" = 89504e470d0a1a0a ] || fail "$png is not a PNG"
    dimensions=$(od -An -tu1 -j16 -N8 "$png" \
        | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 "x" \
                       $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
    [ "$dimensions" = "${size}x${size}" ] || fail "$png is $dimensions, not ${size}x${size}"
done
svg=$icons/scalable/apps/$app_id.svg
[ ! -f "$svg" ] || grep -q '<svg' "$svg" || fail "$svg is not an SVG image"

for program in tessaly tessaly-sim; do
    page=$usr/share/man/man1/$program.1.gz
    [ -f "$page" ] || continue
    warnings=$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$program.1 renders with warnings: $warnings"
    source=$(zcat "$page")
    options=$("$usr/bin/$program" --help 2>/dev/null | grep -oE -- '--[a-z][a-z-]*' | sort -u)
    [ -n "$options" ] || fail "$program --help lists no options"
    for option in $options; do
        grep -qF -- "${option//-/\\-}" <<<"$source" || fail "$program.1 does not document $option"
    done
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s); the staging tree is left in $stage" >&2
    exit 1
fi
rm -rf "$stage"
echo "install tree of Tessaly $version: all checks passed"
