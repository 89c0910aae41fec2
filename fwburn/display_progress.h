// The flasher's one-line text progress bar, redrawn in place.
#pragma once

// Erases the previous drawing with previous_count backspaces (none when 0 or
// less), then draws a bar of percent / 2 + 1 '|' characters (one at least),
// padded with spaces to 51 characters, and "[percent%]". Flushes standard
// output and returns the number of characters drawn, which the next call
// erases.
int display_progress(int percent, int previous_count);
