// Console input: single keys and edited answer lines from the serial console.
#pragma once

// One key from the console, 0 to 255; 0 when the read failed (interrupted).
int uartGetC();
// An edited line of at most size - 1 characters in `buf`; always returns buf.
char *get_user_input(char *buf, int size);
