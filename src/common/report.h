// Diagnostics shared by every process of the daemon.
#pragma once

#include <cstddef>

// Writes one diagnostic line, with one write(). With a positive errno it is
// perror(message)'s line on standard error ("message: reason\n"); otherwise,
// for a non-null message, "\n%s\n" on standard output, after the lines stdio
// holds for it. errno is kept: callers clear it before the operation whose
// failure they report.
void report(const char *message);

// From here on, in this process and every process it forks, a diagnostic
// write waits a bounded time: SIGALRM gets a handler, without SA_RESTART,
// whose only work is to interrupt the write that waits.
void bound_diagnostic_writes();

// Writes length bytes of text on fd with one write(), after the lines stdio
// holds for standard output. Once bound_diagnostic_writes() has been called,
// a reader that takes nothing (a full pipe or socket nobody reads) holds each
// of the two no longer than about a second: an interval timer interrupts it,
// and the text is then written in part or not at all. errno is kept.
void write_diagnostic(int fd, const char *text, std::size_t length);

// Opens /dev/null on whichever of standard input, output and error is
// closed, so that no file or socket opened later takes one of them and is
// written to as a diagnostic. errno is kept.
void open_standard_descriptors();
