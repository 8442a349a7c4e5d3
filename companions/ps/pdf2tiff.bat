#!/bin/sh
# Converter script. Started with this folder as its current folder, it
# renders the staged document current.pdf into one JPEG per page,
# current-001.jpg, current-002.jpg, ... (or .png; name order is page order; more
# digits for documents of 1000 pages and more; see RASTERWELL_RECOVER
# below for current-recovered-*.jpg), and then deletes
# current.pdf: the program waits for that deletion. current.pdf is deleted
# also when rendering fails or the script is interrupted; an interrupted
# conversion leaves no page images behind.
# Exit status: the renderer's (0 when every page was written).
#
# The script starts once per document, so it starts no program it can do
# without: no subshells, no dirname, rm only when there is something to
# remove.

# (The cleanup functions run from traps, which shellcheck cannot follow.)
# shellcheck disable=SC2317

# Resolution of the page images, in dots per inch.
RESOLUTION=150
# JPEG quality, from 1 (smallest files) to 100 (best pictures).
QUALITY=90
# Seconds after which the renderer gives up on a single page (0: no limit).
PAGE_TIME_LIMIT=60

# The program may set these for one run; unset or empty, the values above
# hold. The renderer checks their range (status 2 when out of range).
# (It also reads RASTERWELL_SOURCE, the program's description of the
# document current.pdf was copied from, which each image records, and with
# --password-file the passwords from the inherited pipe whose descriptor
# RASTERWELL_PASSWORD_FD names: leave that descriptor open.)
RESOLUTION=${RASTERWELL_RESOLUTION:-$RESOLUTION}
QUALITY=${RASTERWELL_QUALITY:-$QUALITY}

renderer_pid=

# Temporary files of a renderer that was killed; they never match current*.jpg.
remove_partial() {
    for partial in ./.tmp-current-*; do
        # Without a match the pattern stays as it is.
        if [ -e "$partial" ] || [ -L "$partial" ]; then
            rm -rf ./.tmp-current-*
        fi
        break
    done
}

on_exit() {
    remove_partial
    if [ -e ./current.pdf ] || [ -L ./current.pdf ]; then
        rm -f ./current.pdf
    fi
}

on_signal() {
    trap '' INT TERM HUP
    if [ -n "$renderer_pid" ]; then
        kill -TERM "$renderer_pid" 2>/dev/null
        wait "$renderer_pid" 2>/dev/null
    fi
    rm -f ./current-*.jpg ./current-*.png
    on_exit
    trap - EXIT
    exit "$1"
}

trap on_exit EXIT
trap 'on_signal 129' HUP
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

# The renderer lives beside this script, wherever the script is started
# from (a script run through PATH gets its full path as $0). Rasterwell
# names the installed one in RASTERWELL_RENDERER, so that a user's own copy
# of this script, kept elsewhere, still finds it.
case $0 in
*/*) renderer=${0%/*}/rwrender ;;
*) renderer=./rwrender ;;
esac
renderer=${RASTERWELL_RENDERER:-$renderer}
if [ ! -x "$renderer" ]; then
    echo "pdf2tiff.bat: renderer not found: $renderer" >&2
    exit 127
fi

# RASTERWELL_RECOVER=1: when the page tree is lost, the pages left in the
# file are written in file order as current-recovered-001.jpg, ... (never
# under a page number); otherwise none is.
case ${RASTERWELL_RECOVER:-} in
1) set -- --recover ;;
*) set -- ;;
esac
# The program may also ask for some pages only (RASTERWELL_PAGES, e.g.
# 1,3,5-7,10-), the long side of each image in pixels (RASTERWELL_SCALE_TO),
# grey-scale images (RASTERWELL_GRAY=1) and PNG instead of JPEG
# (RASTERWELL_FORMAT=png); unset or empty, every page in colour as JPEG at
# RESOLUTION.
if [ -n "${RASTERWELL_PAGES:-}" ]; then
    set -- "$@" --pages "$RASTERWELL_PAGES"
fi
if [ -n "${RASTERWELL_SCALE_TO:-}" ]; then
    set -- "$@" --scale-to "$RASTERWELL_SCALE_TO"
fi
if [ "${RASTERWELL_GRAY:-}" = 1 ]; then
    set -- "$@" --gray
fi
if [ -n "${RASTERWELL_FORMAT:-}" ]; then
    set -- "$@" --format "$RASTERWELL_FORMAT"
fi

remove_partial
# Run in the background so that a signal is handled at once, not after the
# renderer has finished. The renderer deletes current.pdf when it is done
# (on_exit still does when it did not get that far).
"$renderer" -r "$RESOLUTION" -q "$QUALITY" -t "$PAGE_TIME_LIMIT" "$@" --remove-input -- ./current.pdf ./current &
renderer_pid=$!
wait "$renderer_pid"
status=$?
renderer_pid=
exit "$status"
