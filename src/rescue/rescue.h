// The rescue module: the rescue menu, the version display and the
// standalone diagnostics.
#pragma once

// The menu: 1 when the operator chooses Exit; does not return after Reboot.
int run_rescue_mode();
// Prints the versions of the installed images; always 0.
int run_image_display();
// Offers to wipe the user filesystem, then boots the rescue partition's
// diagnostics image; returns 1 only when that image cannot be started.
int run_standalone_diags();
