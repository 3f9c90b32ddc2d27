# Virtual boards for the harnesses whose code uses the board's paths and
# devices; sourced by run and replay, with VBOARD naming vboard.
# make_board DIR: a fresh board with small partitions (a harness may write
# them for every input) and a trace that goes nowhere.
make_board() {
	rm -rf "$1"
	"$VBOARD" create "$1" --set erase_size=4096 $(for part in uboot ubootenv devicetree kernel rfs rescue; do
		echo "--set size.$part=65536"; done) >/dev/null && ln -sf /dev/null "$1/trace.log"
}

# in_board DIR ARGS...: `vboard run DIR ARGS...` in real time (a harness makes
# its code's time virtual), with the caller's sanitizer settings (a board's
# environment starts empty).
in_board() {
	vb_dir=$1
	shift
	for setting in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS ASAN_SYMBOLIZER_PATH; do
		eval "[ -z \"\${$setting:-}\" ] || set -- --env \"$setting=\$$setting\" \"\$@\""
	done
	"$VBOARD" run "$vb_dir" --time real "$@"
}
