// Diagnostics shared by every process of the daemon.
#pragma once

// Writes one diagnostic line. With a positive errno it is perror(message) on
// standard error ("message: reason\n"); otherwise, for a non-null message,
// "\n%s\n" on standard output. errno is never cleared here: callers clear it
// before the operation whose failure they report.
void report(const char *message);

// Opens /dev/null on whichever of standard input, output and error is
// closed, so that no file or socket opened later takes one of them and is
// written to as a diagnostic. errno is kept.
void open_standard_descriptors();
