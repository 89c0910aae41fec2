// motorbus: a whole machine in one command. Every bus named on the command
// line is served by a process of its own, all at once; each of those
// processes is single-threaded and blocking, as the four tools are, and
// runs the library's sequences (scan_bus, flash_motor, walk_motors). It
// tells the main process what happens as fixed-size records on a pipe;
// the main process alone prints: live lines or plain lines for a person,
// JSON Lines for a script (--json), then a table and the exit status.
//
//   motorbus [--json] scan BUS[=ID,...]...
//   motorbus [--json] health BUS[=ID,...]...
//   motorbus [--json] upgrade IMAGE BUS[=ID,...]...
//   motorbus [--json] rescue [--hold SECONDS] IMAGE BUS[=ID,...]...
//   motorbus [--json] doctor [BUS...]
//   motorbus [--json] rs485 BUS [on|off] [--rts-on-send|--rts-after-send]
//                           [--delay-before MS] [--delay-after MS]
//   motorbus [--json] history [--all] [BUS[=ID,...]...]
//
// Each subcommand reads its own options (take_options); --json, --help and
// --version are motorbus's own, before or after the subcommand.
#pragma once

#include "sequences/flash.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace motorbus {

// Exit statuses.
constexpr int status_ok = 0;          // every motor asked for done and healthy
constexpr int status_failed = 1;      // a motor failed, was not found or is broken
constexpr int status_usage = 2;       // usage error, or nothing could run
constexpr int status_interrupt = 130; // Ctrl+C

constexpr int json_schema = 1; // the version every JSON object carries

// What one bus process is asked to do.
enum class Job : uint8_t { scan, health, upgrade, rescue };

// The jobs that flash: rescue is an upgrade that first holds every motor
// powered up in its bootloader.
constexpr bool flashes(Job job) {
    return job == Job::upgrade || job == Job::rescue;
}

struct BusPlan {
    std::string path;
    std::vector<uint8_t> ids; // given after '='; empty: every motor found (health: every id)
};

// The padded image, checked once before any bus is touched.
struct Image {
    std::string path;
    std::vector<uint8_t> bytes; // padded with 0xFF to whole 64-byte blocks
    int size = 0;               // the file's length
    uint16_t crc = 0;           // CRC-16 of the padded bytes
};

// ---- What a bus process tells the main process ----------------------------------

enum class Ev : uint8_t {
    opened,        // the device is open and set up
    bus_error,     // text: why the bus cannot be served; the process ends
    bus_failed,    // text: why the bus failed after it was opened; the process ends
    scanning,      // the broadcast and the scan start
    found,         // motor answered the scan
    stray,         // status: a scan answer that is no motor id (0 to 14)
    not_found,     // motor was asked for and did not answer the scan
    flash_started, // motor's download starts
    progress,      // motor: percent of the image sent
    flash_ended,   // motor: result, crc, resent, seconds
    not_attempted, // motor: not flashed; reason
    walking,       // the start-and-query walk starts
    health,        // motor: state
    holding,       // rescue: the hold-off pattern is on the bus
};

// Why a motor was not flashed.
enum class Skip : uint8_t {
    after_cut_off, // an earlier flash on its bus was cut off
    interrupted,   // Ctrl+C: no new flash; the check that follows starts it
    stopped,       // its bus process was stopped (a second Ctrl+C): left in its bootloader
    bus_failed,    // its bus failed first: left in its bootloader
};

// A motor's state after the walk.
enum class Health : uint8_t { running, crc_error, no_firmware, in_bootloader };

struct Record {
    Ev kind = Ev::opened;
    uint8_t motor = 0;
    uint8_t result = 0; // FlashResult (flash_ended), Skip (not_attempted), Health (health)
    uint8_t status = 0; // stray: the byte; health: the status nibble
    int32_t percent = 0;
    int32_t resent = 0;
    int32_t offset = 0;
    uint16_t crc = 0;
    bool answered = false; // health: the motor answered the query
    double seconds = 0;    // flash_ended: how long the flash took
    char text[256] = {};   // bus_error, bus_failed
};

// ---- The main process's view of a run -----------------------------------------------

struct MotorRow {
    uint8_t id = 0;
    bool asked = false; // named on the command line
    bool found = false;
    bool not_found = false;
    bool flash_started = false;
    bool flash_ended = false;
    FlashResult result = FlashResult::flashed;
    uint16_t crc = 0;
    int resent = 0;
    double seconds = 0;
    double ended = 0; // when the flash ended, in seconds since the run started
    bool skipped = false;
    Skip skip = Skip::interrupted;
    bool cut_off = false; // the bus process was stopped during its flash
    bool walked = false;
    Health health = Health::running;
    bool answered = false;
    bool unknown = false; // named, but its bus ended before its verdict
};

struct BusRun {
    BusPlan plan{};
    int pid = -1;
    int pipe = -1; // read end; -1 once the process has closed it
    bool opened = false;
    bool scanned = false; // its scan started
    bool ended = false;
    std::string error{};            // the bus could not be served (bus-error)
    std::string failure{};          // it failed after it was opened (bus-failed)
    std::vector<MotorRow> motors{}; // in the order they came up
    int walked = 0;                 // health: ids walked,
    int answered = 0;               // and the bootloaders among them that answered
    // The live line.
    std::string stage{"starting"};
    int current = -1; // motor being flashed
    int percent = 0;
    double stage_since = 0;
};

struct Run {
    Job job = Job::scan;
    bool json = false;
    bool terminal = false; // standard output is a terminal and --json is off
    const Image *image = nullptr;
    std::vector<BusRun> buses;
    int interrupts = 0; // Ctrl+C seen
    double started = 0;
    // rescue: the hold-off pattern is on every bus until Enter on a
    // terminal, or for hold_seconds (> 0), whichever comes first.
    double hold_seconds = 0;
    bool holding = false;
    bool hold_enter = false; // standard input is a terminal: Enter ends the hold
    double hold_until = 0;   // now_seconds() when the hold ends (hold_seconds > 0)
};

// ---- The subcommands (one file each) and the table that names them ------------------

int cmd_scan(int argc, char **argv, bool json);
int cmd_health(int argc, char **argv, bool json);
int cmd_upgrade(int argc, char **argv, bool json);
int cmd_rescue(int argc, char **argv, bool json);
int cmd_doctor(int argc, char **argv, bool json);
int cmd_rs485(int argc, char **argv, bool json);
int cmd_history(int argc, char **argv, bool json);

// ---- Shared parts --------------------------------------------------------------------

// One option of a subcommand: --name VALUE or --name=VALUE when value is
// set, else a flag.
struct CommandOption {
    const char *name;
    std::string *value = nullptr;
    bool *flag = nullptr;
};

// Takes a subcommand's own options out of argv, up to "--" (which goes
// too), and leaves its other words in order. False with a message in error
// for an option it does not know, or one without its value.
bool take_options(const char *command, int &argc, char **argv,
                  std::span<const CommandOption> options, std::string &error);

// Reads BUS[=ID,ID,...] words. False with a message in error when one is
// not a bus or an id list, or a bus is named twice.
bool parse_buses(int argc, char **argv, std::vector<BusPlan> &plans, std::string &error);

// A run of job over the buses that BUS[=ID,...] words name. False with a
// message in error when they do not (see parse_buses).
bool plan_run(Job job, bool json, int argc, char **argv, Run &run, std::string &error);

// Reads IMAGE BUS[=ID,...]... and runs run.job (upgrade, rescue) over
// them: the image is checked before any bus is touched. Returns the exit
// status.
int run_flashes(Run &run, int argc, char **argv);

// A usage error: the message and the hint on standard error (a JSON error
// object on standard output too with --json). Returns status_usage.
int usage_error(const std::string &message, bool json);

// Reads and checks the image as fwburn does: a regular file of 1 to 61440
// bytes. False with the reason in error.
bool load_image(const char *path, Image &image, std::string &error);

// Serves every bus at once, one process each, running the job; prints what
// happens and the final report. Returns the exit status.
int run_buses(Run &run);

// The body of a bus process (after the fork): opens the bus and runs the
// job on it, writing records to fd. Returns the process's exit status.
int serve_bus(Job job, const BusPlan &plan, const Image *image, int fd);

// ---- Inside a bus process ------------------------------------------------------------

// Hands one record to the main process (one write: records are small
// enough for the pipe to keep them whole).
void send_record(int fd, const Record &r);

// A record of kind that carries text (bus_error, bus_failed), cut to its room.
Record text_record(Ev kind, const std::string &text);

// True once the main process asked this bus to start no new flash (the
// first Ctrl+C). The request stays pending, blocked, so that it never cuts
// an exchange's wait short.
bool stop_requested();

// The jobs, one per subcommand file; serial and pollset are the open bus.
void serve_scan(int serial, int pollset, const BusPlan &plan, const Image *image, int fd);
void serve_health(int serial, int pollset, const BusPlan &plan, const Image *image, int fd);
void serve_upgrade(int serial, int pollset, const BusPlan &plan, const Image *image, int fd);
void serve_rescue(int serial, int pollset, const BusPlan &plan, const Image *image, int fd);

// The broadcast and scan, each answer sent as a record; then the motors
// asked for that did not answer (not_found). Returns the motors to work
// on: those asked for that answered, or, when none were asked for, every
// motor that answered (each once); found gets every motor that answered.
std::vector<uint8_t> scan_and_tell(int serial, int pollset, const BusPlan &plan, int fd,
                                   std::vector<uint8_t> *found = nullptr);

// The walk of ids, each answer (or silence) sent as a health record.
void walk_and_tell(int serial, int pollset, const std::vector<uint8_t> &ids, int fd);

// ---- Output (report.cpp) ---------------------------------------------------------------

double now_seconds();
void report_start(const Run &run);
void report_record(Run &run, BusRun &bus, const Record &r);
void report_interrupt(Run &run);
void report_process_end(Run &run, BusRun &bus);
void redraw_live(const Run &run);
int report_end(Run &run); // the table and summary; returns the exit status
void report_error(bool json, const std::string &message);
void report_hold_start(const Run &run);
void report_hold_end(const Run &run, const char *by);

// ---- The hold of a rescue, in the main process (rescue.cpp) ---------------------------

// Starts the hold: watches standard input (on ep, as index hold_input_index)
// when Enter may end it.
constexpr int hold_input_index = -2;
void hold_begin(Run &run, int ep);
// wait_ms, or less when the hold ends sooner.
int hold_wait_ms(const Run &run, int wait_ms);
// Standard input is readable: a line (or its end) ends the hold.
void hold_input(Run &run, int ep);
// Ends the hold when its time is up.
void hold_tick(Run &run, int ep);
// Ctrl+C during the hold: it ends, and the buses flash nothing.
void hold_interrupted(Run &run, int ep);

// ---- The history of flashes (history.cpp) ---------------------------------------------

// Appends one record per motor whose flash was started to the history file,
// under its lock, flushed to disk. A history that cannot be written is one
// warning on standard error.
void history_record(const Run &run);

} // namespace motorbus
