# Sourced by the stand-in programs: appends one JSON line per call to the
# bench's call record.
bench_json_string() {
    local s=$1
    s=${s//\\/\\\\}
    s=${s//\"/\\\"}
    s=${s//$'\n'/\\n}
    s=${s//$'\t'/\\t}
    s=${s//$'\r'/\\r}
    printf '"%s"' "$s"
}

# bench_record STATUS PROGRAM ARGS...
bench_record() {
    local status=$1 prog=$2 args="" a
    shift 2
    for a in "$@"; do
        args+="${args:+,}$(bench_json_string "$a")"
    done
    printf '{"program":%s,"args":[%s],"status":%d}\n' "$(bench_json_string "$prog")" "$args" \
        "$status" >>"${BENCH_RUN_DIR:-/tmp}/calls.jsonl"
}
