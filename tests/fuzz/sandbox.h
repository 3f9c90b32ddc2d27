// A private root for a harness whose code under test writes board paths.
#pragma once

// Moves the process into a mount namespace of its own whose root shows the
// host's directories as they are, except /user, /tmp and /dev: /user and
// /tmp are empty and private, /dev holds only null, zero, random, urandom,
// ptmx and pts.  Whatever the code under test writes under /user or /tmp,
// or opens under /dev, never reaches the host.  The working directory is
// kept.  Needs root; ends the process with a message on failure.
void enter_private_root();

// Binds `node` (a character device such as a pty) at `path` inside the
// private /dev.  Ends the process with a message on failure.
void bind_device(const char *node, const char *path);

// Standard output to /dev/null: the code under test talks on the console,
// the fuzzer reports on standard error.
void silence_stdout();
