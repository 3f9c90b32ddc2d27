"""mgmtdrv on a terminal, on the test's own machine or inside a board
(`vboard run`), answered key by key."""
import pytest

from board import Board, driver, outside_board
from rescueterm import VBOARD, Console, crlf, descendant
from vb import in_board, run_argv

MGMTDRV = driver("mgmtdrv")


class Session:
    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.console = None
        self.results = None
        self.board = None

    def local(self, *ops):
        """Only for dialogues that can never reach a command line: the
        test's machine is no board."""
        if not MGMTDRV.exists():
            pytest.fail(f"{MGMTDRV} is not built")
        self.results = self.tmp_path / "results"
        self.results.write_text("")
        self.console = Console([*outside_board(MGMTDRV), "-r", self.results, *ops])
        return self.console

    def on_board(self, *ops, time="fast", prelude=None):
        """mgmtdrv inside the board; prelude, a shell command line, runs
        there first."""
        if not MGMTDRV.exists() or not VBOARD.exists():
            pytest.fail("mgmtdrv or vboard is not built")
        self.board = self.board or Board(self.tmp_path / "board")
        self.results = self.board.path / "results"
        self.results.write_text("")
        program = [in_board(MGMTDRV), "-r", "/vboard/results", *ops]
        if prelude:
            program = ["/bin/sh", "-c", prelude + ' && exec "$0" "$@"', *program]
        c = Console(run_argv(self.board.path, program, programs=[MGMTDRV], time=time))
        c.reader = lambda: descendant(c.child.pid, "mgmtdrv")
        self.console = c
        return c

    def finish(self):
        """(console text with CR LF as LF, result lines)."""
        seen, status = self.console.finish()
        assert status == 0, seen
        return seen.replace(b"\r\n", b"\n").decode("latin-1"), self.results.read_text().splitlines()

    def system_lines(self):
        return [" ".join(w) for _, w in self.board.trace(["system"])]

    def commands(self):
        """Command lines as the trace shows them (C escapes kept)."""
        lines = (self.board.path / "trace.log").read_text(errors="replace").splitlines()
        out = []
        for line in lines:
            _, _, rest = line.partition(" ")
            if rest == "power-on":
                out = []
            elif rest.startswith("system "):
                out.append(rest[len("system "):])
        return out

    def events(self, kinds):
        """(usec, text) of the trace events of the given kinds."""
        lines = (self.board.path / "trace.log").read_text(errors="replace").splitlines()
        out = []
        for line in lines:
            usec, _, rest = line.partition(" ")
            if rest == "power-on":
                out = []
            elif rest.split(" ", 1)[0] in kinds:
                out.append((int(usec), rest))
        return out

    def close(self):
        if self.console:
            self.console.close()


@pytest.fixture
def session(tmp_path):
    s = Session(tmp_path)
    yield s
    s.close()


__all__ = ["Session", "session", "crlf", "MGMTDRV"]
