#!/bin/sh
# Builds the Debian package from a tree of its own and checks what a user installs: the file
# list, the dependencies, the desktop entry, its icons and AppStream metadata, that nothing
# applies to devices the package does not name (the udev rule is an example, no maintainer
# script calls on udev), the font rules, the firmware folder the programs were built to read,
# and that an install to another prefix stays under it. lintian runs where it is installed;
# its errors fail the test.
#
#   deb_test.sh SOURCE WORKDIR CXX CC PROGRAMS(comma-separated) WITH_GUI(0|1) VERSION
set -eu

src=$1
work=$2
cxx=$3
cc=$4
programs=$(echo "$5" | tr ',' ' ')
with_gui=$6
version=$7

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

build="$work/build"
mkdir -p "$work"

echo "== configuring and building the package tree in $build"
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" \
    -DBUILD_TESTING=OFF -DVMOD_BUILD_BENCH=OFF -DVMOD_BUILD_FUZZ=OFF >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$build" -j2 >"$work/build.log" 2>&1 || { tail -50 "$work/build.log" >&2; exit 1; }
rm -f "$build"/vmod-versionup_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }

arch=$(dpkg --print-architecture)
deb="$build/vmod-versionup_${version}_${arch}.deb"
[ -f "$deb" ] || { echo "FAIL: no $deb" >&2; ls "$build" >&2; exit 1; }
echo "== $deb"

# --- Control fields -----------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vmod-versionup ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
echo "Depends: $depends"
# The package names of Depends, without versions or alternatives' bars.
dep_names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g' | sed '/^$/d')
has_dep() { echo "$dep_names" | grep -qx "$1"; }
has_dep fonts-ipafont-gothic || fail "Depends lacks fonts-ipafont-gothic"
for test_only in libgtest-dev libgmock-dev libbenchmark1debian libbenchmark-dev libdeflate0 \
    srecord xvfb; do
    has_dep "$test_only" && fail "Depends has $test_only, which only the tests use"
done

# --- File list ----------------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{ p = $6; sub(/^\.\//, "/", p); print p }' | sed '/\/$/d' \
    >"$work/files"
has_file() { grep -qx "$1" "$work/files" || fail "the package lacks $1"; }
for p in $programs; do
    has_file "/usr/bin/$p"
    has_file "/usr/share/man/man1/$p.1.gz"
done
has_file /usr/share/doc/vmod-versionup/examples/60-vmod-kv615mq.rules
has_file /usr/share/fontconfig/conf.avail/30-vmod-versionup-fonts.conf
has_file /etc/fonts/conf.d/30-vmod-versionup-fonts.conf
has_file /usr/share/vmod-versionup/README
has_file /usr/share/doc/vmod-versionup/copyright
has_file /usr/share/doc/vmod-versionup/changelog.gz
icon_sizes="16 22 24 32 48 64 128 256"
if [ "$with_gui" = 1 ]; then
    for s in $icon_sizes; do
        has_file "/usr/share/icons/hicolor/${s}x${s}/apps/vmod-versionup.png"
    done
fi
case " $programs " in
*" vmod-versionup "*)
    has_file /usr/share/applications/vmod-versionup.desktop
    has_file /usr/share/metainfo/invalid.vmod_versionup.vmod_versionup.metainfo.xml
    ;;
esac
# Everything else is out of place: a test, benchmark or fuzz program, a library, a header.
while read -r f; do
    case "$f" in
    /usr/bin/vmod-versionup | /usr/bin/kv615mq-sim | /usr/bin/vmod-pack) ;;
    /usr/bin/vmod-update | /usr/share/man/man1/vmod-update.1.gz) ;;
    /usr/share/locale/*/LC_MESSAGES/vmod-update.mo) ;;
    /usr/share/applications/vmod-versionup.desktop) ;;
    /usr/share/icons/hicolor/*x*/apps/vmod-versionup.png) ;;
    /usr/share/metainfo/invalid.vmod_versionup.vmod_versionup.metainfo.xml) ;;
    /usr/share/fontconfig/conf.avail/30-vmod-versionup-fonts.conf) ;;
    /etc/fonts/conf.d/30-vmod-versionup-fonts.conf) ;;
    /usr/share/vmod-versionup/README) ;;
    /usr/share/man/man1/vmod-versionup.1.gz | /usr/share/man/man1/kv615mq-sim.1.gz) ;;
    /usr/share/man/man1/vmod-pack.1.gz) ;;
    /usr/share/doc/vmod-versionup/*) ;;
    *.rules) fail "a udev rule outside the documentation applies without being asked: $f" ;;
    *) fail "unexpected file in the package: $f" ;;
    esac
done <"$work/files"

# --- Unpacked, as dpkg lays it out ----------------------------------------------------------
root="$work/root"
rm -rf "$root"
dpkg-deb -x "$deb" "$root"

# Each program's shared libraries come from packages that Depends names.
for p in $programs; do
    exe="$root/usr/bin/$p"
    [ -x "$exe" ] || { fail "$p is not executable"; continue; }
    for lib in $(objdump -p "$exe" | awk '$1 == "NEEDED" { print $2 }'); do
        path=$(ldconfig -p | awk -v l="$lib" '$1 == l { print $NF; exit }')
        [ -n "$path" ] || { fail "$p needs $lib, which this host does not have"; continue; }
        # Merged /usr: dpkg knows a library by the path its package ships, /lib or /usr/lib.
        real=$(readlink -f "$path")
        owner=$(dpkg -S "$path" 2>/dev/null || dpkg -S "$real" 2>/dev/null ||
            dpkg -S "${real#/usr}" 2>/dev/null) ||
            { fail "no package owns $path ($p needs it)"; continue; }
        owner=$(echo "$owner" | head -1 | cut -d: -f1)
        has_dep "$owner" || fail "$p needs $lib from $owner, which Depends does not name"
    done
done
# The programs were built to read the folder the package makes (the compiler may build the
# path from pieces, so the tree's setting is read rather than the binary's bytes).
data_dir=$(sed -n 's/^VMOD_DATA_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -f "$root$data_dir/README" ] ||
    fail "the programs read $data_dir, which the package does not make"
# The updater runs with no display: no Qt GUI library is among what it links.
case " $programs " in
*" vmod-update "*)
    objdump -p "$root/usr/bin/vmod-update" | grep -q 'NEEDED.*Qt6\(Gui\|Widgets\)' &&
        fail "vmod-update links a Qt GUI library"
    has_file /usr/share/locale/ja/LC_MESSAGES/vmod-update.mo
    ;;
esac
for p in kv615mq-sim vmod-pack vmod-update; do
    case " $programs " in
    *" $p "*) "$root/usr/bin/$p" --help >/dev/null || fail "$p --help failed from the package" ;;
    esac
done

# --- No test code in the program -----------------------------------------------------------
# The dialog's probes (platform/testing_ui.h) live in a library only the tests link. The
# package's copy is stripped, so the symbols are read from the link it was made from; the
# names come from the header, so a probe added there is checked as well.
case " $programs " in
*" vmod-versionup "*)
    exe="$root/usr/bin/vmod-versionup"
    [ -n "$(nm "$exe" 2>/dev/null)" ] || exe="$build/app/vmod-versionup"
    probes=$(grep -oE '^[A-Za-z][A-Za-z0-9_:<>, ]* \*?[A-Za-z_][A-Za-z0-9_]*\(' \
        "$src/platform/testing_ui.h" | sed 's/($//; s/.*[ *]//' | paste -sd'|')
    if ! syms=$(nm -C "$exe") || ! echo "$syms" | grep -q 'CDialog::DoModal'; then
        fail "no symbol table of vmod-versionup to check for test probes"
    elif ! echo "$probes" | grep -q SaveScreenshot; then
        fail "no probe names read from platform/testing_ui.h"
    else
        found=$(echo "$syms" | grep -oE "vmod_testing::($probes)\b" | sort -u | tr '\n' ' ')
        [ -z "$found" ] || fail "vmod-versionup carries test probes: $found"
    fi
    ;;
esac

desktop="$root/usr/share/applications/vmod-versionup.desktop"
if [ -f "$desktop" ]; then
    if command -v desktop-file-validate >/dev/null 2>&1; then
        # Hints and warnings count: the entry validates cleanly.
        out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
        [ -z "$out" ] || fail "desktop-file-validate: $out"
    else
        echo "desktop-file-validate not installed: entry not validated"
    fi
    grep -qx 'Name=V-MOD VersionUp Tool' "$desktop" || fail "desktop entry lacks its English name"
    grep -q '^Name\[ja\]=' "$desktop" || fail "desktop entry lacks its Japanese name"
    grep -qx 'Exec=vmod-versionup' "$desktop" || fail "desktop entry does not start vmod-versionup"
    grep -qx 'Icon=vmod-versionup' "$desktop" || fail "desktop entry does not name the icon"
    grep -q '^Categories=.*System;' "$desktop" || fail "desktop entry is not in System"
fi

metainfo="$root/usr/share/metainfo/invalid.vmod_versionup.vmod_versionup.metainfo.xml"
if [ -f "$metainfo" ]; then
    # The tree as installed, so that the launchable must be the package's desktop entry. Infos
    # count too, but one: the validator knows no .invalid domain, under which the id sits.
    if command -v appstreamcli >/dev/null 2>&1; then
        out=$(appstreamcli validate-tree --no-net --strict \
            --override=cid-maybe-not-rdns=pedantic "$root" 2>&1) || fail "appstreamcli: $out"
    else
        echo "appstreamcli not installed: metainfo not validated"
    fi
    for tag in name summary; do
        grep -q "<$tag xml:lang=\"ja\">" "$metainfo" || fail "metainfo lacks its Japanese $tag"
    done
fi

# Every icon is a PNG of the size its folder says, with an alpha channel (colour type 6).
if [ "$with_gui" = 1 ]; then
    for s in $icon_sizes; do
        png="$root/usr/share/icons/hicolor/${s}x${s}/apps/vmod-versionup.png"
        [ -f "$png" ] || continue
        head=$(od -An -tx1 -N26 "$png" | tr -d ' \n')
        expect_size=$(printf '%08x%08x' "$s" "$s")
        case "$head" in
        89504e470d0a1a0a0000000d49484452${expect_size}0806*) ;;
        *) fail "${s}x${s} icon is not a ${s}x${s} RGBA PNG (header $head)" ;;
        esac
    done
fi

# The example rule applies to the adapter a user names and, copied unfilled, to nothing: each
# rule matches a tty by its USB vendor and product, and the placeholders are no hex ids.
rule="$root/usr/share/doc/vmod-versionup/examples/60-vmod-kv615mq.rules"
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$rule" || fail "udev rule does not keep ModemManager off"
grep -q 'TAG+="uaccess"' "$rule" || fail "udev rule does not give the seat's user access"
unbounded=$(awk '/^[[:space:]]*(#|$)/ { next }
    { ok = index($0, "SUBSYSTEM==\"tty\"") > 0
      for (i = 1; i <= 2; i++) {
          key = i == 1 ? "idVendor" : "idProduct"
          if (!match($0, "ATTRS[{]" key "[}]==\"[^\"]*\"")) { ok = 0; continue }
          v = substr($0, RSTART + length(key) + 10, RLENGTH - length(key) - 11)
          if (v ~ /^[0-9a-f]*$/ || v ~ /[[*?|]/) ok = 0
      }
      if (!ok) print }' "$rule")
[ -z "$unbounded" ] || fail "example udev rule not bound to an unfilled USB id: $unbounded"
if command -v udevadm >/dev/null 2>&1 && udevadm verify --help >/dev/null 2>&1; then
    sed 's/"vvvv"/"0403"/; s/"pppp"/"6001"/' "$rule" >"$work/60-vmod-kv615mq.rules"
    udevadm verify "$work/60-vmod-kv615mq.rules" || fail "udevadm verify refuses the rule filled in"
fi

# Nor does installing or removing the package ask udev to apply anything.
rm -rf "$work/control"
dpkg-deb -e "$deb" "$work/control"
for script in preinst postinst prerm postrm triggers; do
    if [ -f "$work/control/$script" ] && grep -q udev "$work/control/$script"; then
        fail "the package's $script calls on udev"
    fi
done

link="$root/etc/fonts/conf.d/30-vmod-versionup-fonts.conf"
[ "$(readlink "$link")" = /usr/share/fontconfig/conf.avail/30-vmod-versionup-fonts.conf ] ||
    fail "fontconfig link points to '$(readlink "$link")'"
# The installed rules resolve the dialogs' font to the IPA gothic font, as on an installed host.
if command -v fc-match >/dev/null 2>&1 && [ -f /etc/fonts/fonts.conf ] &&
    fc-list | grep -q IPAPGothic; then
    cat >"$work/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <include>$root/usr/share/fontconfig/conf.avail/30-vmod-versionup-fonts.conf</include>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
  <cachedir>$work/fontcache</cachedir>
</fontconfig>
EOF
    family=$(FONTCONFIG_FILE="$work/fonts.conf" fc-match -f '%{family[0]}' 'MS UI Gothic')
    [ "$family" = IPAPGothic ] || fail "'MS UI Gothic' resolves to '$family', not IPAPGothic"
fi

# --- Install to another prefix: nothing lands outside it ---------------------------------------
prefix="$work/prefix"
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install --prefix failed"; }
if [ -f "$build/install_manifest.txt" ]; then
    outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
    [ -z "$outside" ] || fail "cmake --install --prefix wrote outside the prefix: $outside"
    [ -f "$prefix/share/vmod-versionup/README" ] || fail "no firmware folder under the prefix"
    [ -L "$prefix/etc/fonts/conf.d/30-vmod-versionup-fonts.conf" ] ||
        fail "no fontconfig link under the prefix"
fi

# --- lintian, where installed -----------------------------------------------------------------
if command -v lintian >/dev/null 2>&1; then
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
    cat "$work/lintian.log"
    if grep -q '^E: ' "$work/lintian.log"; then
        fail "lintian reports errors"
    fi
else
    echo "lintian not installed: not run"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "the package's checks passed"
