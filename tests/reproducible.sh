#!/bin/sh
# Builds the firmware a second time, from scratch in a directory of its own,
# and compares every delivered file byte for byte with the images already
# built. Exits 77 (skipped) when the cross compiler is not installed.
#
# usage: reproducible.sh SOURCE_DIR IMAGE_DIR
set -eu

source_dir=$1
image_dir=$2

if ! command -v arm-none-eabi-g++ >/dev/null 2>&1; then
    echo "reproducible: arm-none-eabi-g++ is not installed; skipped"
    exit 77
fi
if [ ! -d "$image_dir" ] || [ -z "$(ls -A "$image_dir")" ]; then
    echo "reproducible: no images in $image_dir to compare with"
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kelto-rebuild.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# The delivered stamps, whatever the environment says.
unset SOURCE_DATE_EPOCH
cmake -S "$source_dir" -B "$work/build" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/arm-none-eabi.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DKELTO_STAMP_EPOCH= \
    -DKELTO_IMAGE_DIR="$work/images" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j 2 >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }

status=0
compared=0
for rebuilt in "$work"/images/*; do
    name=$(basename "$rebuilt")
    # A link map names the directories the objects were built in.
    case "$name" in *.map) continue ;; esac
    compared=$((compared + 1))
    if [ ! -f "$image_dir/$name" ]; then
        echo "$name: built again, but missing from $image_dir"
        status=1
    elif ! cmp -s "$rebuilt" "$image_dir/$name"; then
        echo "$name: differs from $image_dir/$name"
        if grep -q -a -F "$work" "$rebuilt"; then
            echo "  it records the directory it was built in ($work)"
        fi
        status=1
    fi
done
for delivered in "$image_dir"/*; do
    name=$(basename "$delivered")
    # The chips' SVD files come from the simulator's build, not this one.
    case "$name" in *.map | *.svd) continue ;; esac
    [ -e "$work/images/$name" ] || { echo "$name: in $image_dir, but the build does not make it"; status=1; }
done
[ "$status" -eq 0 ] && echo "reproducible: $compared files identical"
exit "$status"
