// The model of the line the serial port layer keeps: what the adapter is
// known to do with what is written (echo it or not), judged from what comes
// back after every write, and what failed on the line this run (a write, a
// hang-up, a stall, bytes that cannot be explained). Internal to the line
// layer: LSerial_linux's exchanges consult it; the programs see it through
// LSerial_linux.h (line_status, line_failure, line_known, line_guesses).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace line_model {

using Clock = std::chrono::steady_clock;

// ---- Waiting for and reading the line --------------------------------------

// Milliseconds left until deadline, for a wait of timeout_ms that started
// earlier; a negative timeout_ms means "no limit" and stays so.
int remaining_ms(Clock::time_point deadline, int timeout_ms);

// Waits on the poll set (or, pollset -1, on fd alone) for one event, at
// most timeout_ms, through interruptions. True when the event is for fd.
bool wait_readable(int fd, int pollset, int timeout_ms);

// Why a read of the line stopped before it had all it wanted.
enum class Stop : uint8_t { full, time_out, end_of_file, read_error };

// Reads into dst until it holds want bytes (have counts those there); see
// line_model.cpp.
Stop collect(int fd, int pollset, uint8_t *dst, uint16_t &have, uint16_t want, bool readable,
             Clock::time_point deadline, int timeout_ms, uint16_t reply_len);

// Records in the trace why a read of `what` stopped after have of want bytes.
void trace_stop(Stop stop, const char *what, uint16_t have, uint16_t want);

// Bytes waiting to be read; 0 when the driver cannot tell.
int queued_input(int fd);

// Reads and drops n bytes that are waiting, for the trace as bytes that
// arrived unasked. Returns how many.
int drop_waiting(int fd, int n);

// ---- What failed on the line this run ----------------------------------------

extern int write_failures_seen; // failed writes (a stall included)
extern bool line_lost;          // a read met a hang-up or an error
extern bool stalled;            // the adapter took no byte for write_stall_ms
extern char failure[256];       // the first cause, in words; empty while the line serves

void record_failure(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// A write that failed: "write err" as the tools always report it, counted.
void write_failed();

// A read met end of file (true) or an error: named once, unless a failed
// write said so already.
void note_lost(bool end_of_file);

// ---- What the line is known to do -------------------------------------------
//
// Many RS-485 adapters keep their receiver on while they transmit: every
// byte written comes straight back, ahead of any motor's answer. Whether
// this adapter does is learnt from what the line shows after each write,
// and checked again after every later one:
//
// - Silence after a write proves there is no echo: an adapter that echoes
//   always hands the frame back.
// - Bytes equal to the frame, or to the frame with one byte damaged (a
//   collision or noise), are its echo where no answer could look like them:
//   after a 17-byte frame (a mode frame, a data frame), and after a
//   broadcast, which only the scan's one-byte motor ids answer (0 to 14: FB
//   and BB never are one). That decides.
// - A 4-byte command that comes back so is weak evidence: a bootloader may
//   answer in the command form. The exchange then waits its time-out for a
//   reply after those bytes: one that comes proves the echo; none leaves the
//   question open, and the bytes are taken as the reply (a guess, counted
//   for the callers that ask again once the line is known). A second
//   command, to another id, that comes back exactly with nothing after it
//   proves the echo: no single motor answers for two ids.
// - Bytes that differ from the frame in more than one byte, or fewer bytes
//   than the frame that are not its start, are no echo of it: they are an
//   answer, and are used as one. They also tell that no echo came first.
//
// Once the adapter is known to echo, every write is followed by reading its
// echo and setting it aside before the reply is waited for, with its full
// time-out; once it is known not to, nothing is compared any more (but the
// echo of a broadcast, which the scan's answers cannot hide). Bytes that
// fit neither (no echo where every earlier frame had one, an answer where
// the echo belongs, an echo after silence proved there is none) are named
// once on standard error, and the run's status says its results rest on a
// line that could not be explained; an answer among them is still used as
// one (a scan answer where the echo of the scan command belongs is a motor).

enum class Line : uint8_t { unknown, echoes, clean };

// What came back after a write, compared with what was written.
enum class Back : uint8_t {
    silence, // nothing within the wait
    whole,   // the frame as written
    damaged, // the frame with one byte different
    other,   // bytes that differ in two or more: an answer
    cut,     // fewer bytes than the frame, all equal to its start, then nothing
};

// Bytes read while comparing what came back; those that are no echo are
// handed to whatever reads next.
constexpr size_t look_max = 64;
struct Look {
    uint8_t bytes[look_max] = {};
    uint16_t have = 0;    // bytes read (those past look_max are compared, not kept)
    long first_diff = -1; // the first byte that differs from what was written
    int diffs = 0;
    Stop stop = Stop::full;
};

struct LineModel {
    Line known = Line::unknown;
    bool proven = false; // decided by silence or by a frame no answer looks like
    bool named = false;  // the echo was named on standard error
    int unexplained = 0;
    // A broadcast whose echo nobody has looked for yet (nothing is read
    // after a broadcast on a line not known to echo).
    uint8_t pending[look_max] = {};
    uint16_t pending_len = 0;
    // Answers read while looking for an echo, not yet handed out.
    uint8_t ahead[look_max] = {};
    uint16_t ahead_len = 0;
    uint16_t ahead_at = 0;
    // Replies taken on a guess: a 4-byte command that came back as written
    // with nothing after it, on a line not yet known. weak_id: the id of
    // the last such command.
    int guesses = 0;
    int weak_id = -1;
    char device[256] = "";
};

extern LineModel line;

// A broadcast's echo is waited for this long at most.
extern const int broadcast_echo_ms;

// A new port: nothing is known of its line yet.
void reset(const char *device);

// On a line known to echo: sets aside the echo of the len bytes just
// written. False when it did not come. Bytes that are no echo are kept
// ahead as the start of the reply.
bool set_echo_aside(int fd, int pollset, const uint8_t *sent, uint16_t len, int timeout_ms);

// What judge_write() made of what came back after a write.
struct Judged {
    bool done = false;     // nothing usable came: the exchange gives 0
    bool readable = false; // a reply's byte is waiting on the line
    bool waited = false;   // the time-out ran out while looking
};
Judged judge_write(int fd, int pollset, const uint8_t *data, uint16_t written, uint8_t *buf,
                   uint16_t &got, uint16_t buf_len, int timeout_ms);

// Before a write whose echo is looked for: bytes already waiting start the
// reply (up to buf_len of them), or are dropped on a line known to echo.
void take_waiting(int fd, uint8_t *buf, uint16_t &got, uint16_t buf_len);

// Takes up to want bytes kept ahead (answers read while looking for an
// echo) into dst.
uint16_t take_ahead(uint8_t *dst, uint16_t want);

// The first read after a broadcast on a line not known to echo looks for
// its echo ahead of the answers.
void look_for_broadcast_echo(int fd, int pollset, int timeout_ms);
void check_broadcast_echo(int fd);

} // namespace line_model
