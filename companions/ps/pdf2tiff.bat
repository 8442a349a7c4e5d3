#!/bin/sh
# Converter script. Started with this folder as its current folder, it
# renders the staged document current.pdf into one JPEG per page,
# current-001.jpg, current-002.jpg, ... (name order is page order; more
# digits for documents of 1000 pages and more), and then deletes
# current.pdf: the program waits for that deletion. current.pdf is deleted
# also when rendering fails or the script is interrupted; an interrupted
# conversion leaves no page images behind.
# Exit status: the renderer's (0 when every page was written).

# (The cleanup functions run from traps, which shellcheck cannot follow.)
# shellcheck disable=SC2317

# Resolution of the page images, in dots per inch.
RESOLUTION=150
# JPEG quality, from 1 (smallest files) to 100 (best pictures).
QUALITY=90
# Seconds after which the renderer gives up on a single page (0: no limit).
PAGE_TIME_LIMIT=60

renderer_pid=

# Temporary files of a renderer that was killed; they never match current*.jpg.
remove_partial() {
    rm -rf ./.tmp-current-*
}

on_exit() {
    remove_partial
    rm -f ./current.pdf
}

on_signal() {
    trap '' INT TERM HUP
    if [ -n "$renderer_pid" ]; then
        kill -TERM "$renderer_pid" 2>/dev/null
        wait "$renderer_pid" 2>/dev/null
    fi
    rm -f ./current-*.jpg
    on_exit
    trap - EXIT
    exit "$1"
}

trap on_exit EXIT
trap 'on_signal 129' HUP
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

# The renderer lives beside this script, wherever the script is started from.
here=$(CDPATH='' cd -- "$(dirname -- "$0")" && pwd -P) || exit 1
renderer=$here/rwrender
if [ ! -x "$renderer" ]; then
    echo "pdf2tiff.bat: renderer not found: $renderer" >&2
    exit 127
fi

remove_partial
# Run in the background so that a signal is handled at once, not after the
# renderer has finished.
"$renderer" -r "$RESOLUTION" -q "$QUALITY" -t "$PAGE_TIME_LIMIT" -- ./current.pdf ./current &
renderer_pid=$!
wait "$renderer_pid"
status=$?
renderer_pid=
exit "$status"
