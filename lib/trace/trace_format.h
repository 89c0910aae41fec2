// The wire trace's format (docs/motorbus-trace.5): its first line and the
// kinds of its records, written by the trace and read back by the replay.
#pragma once

// First line of every trace; the number changes only when the format does.
constexpr const char *trace_format_line = "# motorbus-trace 1";
// Last line of a trace whose writing failed midway; the reason follows.
constexpr const char *trace_incomplete_line = "# incomplete: the trace stopped here:";

// A record is "<us> <kind> ...": its time in microseconds since the start,
// then one of these letters.
constexpr char trace_kind_write = 'W';   // bytes written to the bus
constexpr char trace_kind_read = 'R';    // bytes read from the bus
constexpr char trace_kind_echo = 'C';    // the echo of the frame written, set aside
constexpr char trace_kind_failed = 'X';  // a write that failed, with the bytes it held
constexpr char trace_kind_event = 'E';   // something that happened without bytes
constexpr char trace_kind_summary = 'S'; // holdoff's patterns since the last line
// Kind of the closing record, written as the program exits:
// "<us> Q <status> | exit status <status>". A trace without it ends before
// its run did: the run was ended by a signal, or the trace stopped.
constexpr char trace_kind_exit = 'Q';

// True when c is the kind of a record.
constexpr bool is_trace_kind(char c) {
    return c == trace_kind_write || c == trace_kind_read || c == trace_kind_echo ||
           c == trace_kind_failed || c == trace_kind_event || c == trace_kind_summary ||
           c == trace_kind_exit;
}
