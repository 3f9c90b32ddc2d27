// The launch: the application archive unpacked, installed and started, the
// common end of every boot path that found an image.
#pragma once

// Unpacks /tmp/quartzimage.tar.gz and starts the application; never returns.
[[noreturn]] void launch_image(bool diagnostics);
