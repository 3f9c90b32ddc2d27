"""The virtual board's runner, behind the `vboard` command: one concern a
module (board.conf, board files, samples, env/vpd, namespace, network,
console, command line)."""
