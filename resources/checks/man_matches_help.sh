#!/usr/bin/env bash
# The man pages name every option the programs' help names, and nothing the help does not.
# Usage: man_matches_help.sh QUORVEL QUORVEL_REG MAN_DIR
set -uo pipefail
quorvel=$1 reg=$2 mandir=$3
status=0

# A man page's words with troff's escapes undone: \- is -, \fB..\fR go.
man_words() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\e/\\/g' "$1"; }

compare() {  # NAME HELP_WORDS MAN_WORDS
    local missing extra
    missing=$(comm -23 <(sort -u <<<"$2") <(sort -u <<<"$3"))
    extra=$(comm -13 <(sort -u <<<"$2") <(sort -u <<<"$3"))
    if [ -n "$missing" ]; then echo "$1: in --help but not in the man page: $missing"; status=1; fi
    if [ -n "$extra" ]; then echo "$1: in the man page but not in --help: $extra"; status=1; fi
}

help=$("$quorvel" --help) || { echo "quorvel --help failed"; exit 1; }
compare quorvel "$(grep -oE -- '--[a-z][a-z-]*' <<<"$help")" \
    "$(man_words "$mandir/quorvel.1" | grep -oE -- '--[a-z][a-z-]*')"

help=$("$reg" /?) || { echo "quorvel-reg /? failed"; exit 1; }
compare quorvel-reg "$(grep -oE -- '--[a-z][a-z-]*' <<<"$help")" \
    "$(man_words "$mandir/quorvel-reg.1" | grep -oE -- '--[a-z][a-z-]*')"
ops=$(sed -nE 's/^  (query|add|delete|copy|export|import) .*/\1/p' <<<"$help")
[ "$(wc -l <<<"$ops")" -ge 6 ] || { echo "quorvel-reg /? lists no operations"; status=1; }
for op in $ops; do
    # Each operation's switches as its own help gives them, against the man page's line for it.
    switches=$("$reg" "$op" /? | head -1 | grep -oE '/[a-z]+' | sort -u)
    line=$(man_words "$mandir/quorvel-reg.1" | grep -E "^$op " | head -1)
    [ -n "$line" ] || { echo "quorvel-reg: operation $op is not in the man page"; status=1; continue; }
    compare "quorvel-reg $op" "$switches" "$(grep -oE '/[a-z]+' <<<"$line" | sort -u)"
done
exit $status
