# Sourced by the picture scripts: the program to run, a scratch folder removed on exit, and an X
# server check when the picture needs one.   picture_setup NAME NEEDS_X DEFAULT_OUT [OUT]
picture_setup() {
    local name=$1 needs_x=$2
    out="${4:-$3}"
    bin="${QUORVEL:-build/app/quorvel}"
    if [ "$needs_x" = x ] && ! command -v xvfb-run >/dev/null; then
        echo "$name: xvfb-run is missing (apt-get install xvfb xauth)" >&2
        exit 1
    fi
    [ -x "$bin" ] || { echo "$name: $bin is not built (./run.sh --version builds it)" >&2; exit 1; }
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$(dirname "$out")"
}
