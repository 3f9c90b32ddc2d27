/*
 * Stand-in for the DUMA memory checker that the launcher preloads into the
 * application when the board's environment asks for it.  The board has no
 * checker to offer; loading this library into a program changes nothing, so
 * what a test can see is that the loader found it.
 */
int vboard_duma_present = 1;
