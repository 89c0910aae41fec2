// Messages on standard error, each starting on a line of its own.
//
// Standard output and standard error often go to one terminal, or to one
// file (`fwburn ... >log 2>&1`). A line that a program leaves open on
// standard output (holdoff's "Press CTRL+C to exit", fwburn's progress bar,
// "Wait for motor to reply ... ") would then be continued by the next
// message on standard error: "Press CTRL+C to exitwrite err". Where the two
// are one file, these functions first put out what standard output holds,
// then end its open line with a newline of their own on standard error.
// Standard output's bytes stay as the program printed them.
#pragma once

// Looks whether descriptors 1 and 2 are one file and, if so, follows the
// last byte each write of standard output puts out. Once, at start-up,
// before anything is printed.
void console_start();

// perror(what), on a line of its own; errno is as it was.
void console_perror(const char *what);

// fprintf(stderr, format, ...), on a line of its own; errno is as it was.
void console_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Puts out what standard output holds. False, with the write error named
// on standard error ("PROGRAM: standard output could not be written: ..."),
// when some of what the program printed there was lost: a full disk, a
// reader that went away.
bool console_flush_output(const char *program);
