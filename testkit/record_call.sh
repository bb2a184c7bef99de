# The one recorder of the calls of fake and stand-in programs (bash; sourced).
# A call is one line: the program's name, then each argument in brackets,
# then " exit N" when the call ended with status N other than 0:
#   systemctl[restart][networking.service]
#   systemctl[is-active][NetworkManager] exit 3
# Inside the brackets a backslash, a bracket and a line feed are written \\,
# \[, \] and \n, so that no argument can end its brackets or its line early.
# testkit/call_record.h reads these lines.

# record_call FILE STATUS PROGRAM ARGS...: appends the call's line to FILE.
record_call() {
    local file=$1 status=$2 line=$3 a
    shift 3
    for a in "$@"; do
        a=${a//\\/\\\\}
        a=${a//\[/\\[}
        a=${a//\]/\\]}
        a=${a//$'\n'/\\n}
        line+="[$a]"
    done
    if [ "$status" != 0 ]; then
        line+=" exit $status"
    fi
    printf '%s\n' "$line" >>"$file"
}
