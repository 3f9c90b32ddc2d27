# Virtual boards for the harnesses whose code under test uses the board's
# paths and devices; sourced by run and replay, with VBOARD naming vboard.

# make_board DIR: a fresh board with small partitions (a harness may write
# them for every input) and a trace that goes nowhere.
make_board() {
	rm -rf "$1"
	"$VBOARD" create "$1" --set erase_size=4096 --set size.uboot=65536 \
		--set size.ubootenv=65536 --set size.devicetree=65536 --set size.kernel=65536 \
		--set size.rfs=65536 --set size.rescue=65536 >/dev/null || return 1
	ln -sf /dev/null "$1/trace.log"
}

# in_board DIR [--bind HOST:INSIDE ...] -- PROGRAM ARGS...: PROGRAM inside
# the board, with the caller's sanitizer settings (a board starts with an
# empty environment).  Time is real: the fuzzer's own threads sleep for
# real, and the harnesses make the time of the code under test virtual.
in_board() {
	in_board_dir=$1
	shift
	set -- --time real "$@"
	for in_board_name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS ASAN_SYMBOLIZER_PATH; do
		eval "in_board_value=\${$in_board_name:-}"
		[ -z "$in_board_value" ] || set -- --env "$in_board_name=$in_board_value" "$@"
	done
	"$VBOARD" run "$in_board_dir" "$@"
}
