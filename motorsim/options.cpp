#include "options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iterator>
#include <string_view>

namespace motorsim {

const char *const help_text =
    "usage: motorsim [options] -- COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND against a virtual RS-485 motor bus. \"@\" in ARGS stands for the\n"
    "bus's device path, which COMMAND also finds in $MOTORSIM_DEVICE. The command's\n"
    "output passes through untouched and its exit status is returned (128 + N when\n"
    "signal N ended it); an account of the motors follows on standard error.\n"
    "\n"
    "options:\n"
    "  --motor ID[:STATE[:IMAGE[:cmdform]]]   put a motor on the bus (repeatable)\n"
    "        ID     0 to 14\n"
    "        STATE  run     running its firmware (the default)\n"
    "               boot    sitting in its bootloader\n"
    "               on@MS   powered up MS milliseconds after COMMAND starts\n"
    "        IMAGE  good (the default), corrupt (fails its CRC check), none\n"
    "        cmdform  its bootloader acknowledges a download or a start with the\n"
    "               command's own bytes (FB 02 ID BB, FB 04 ID BB)\n"
    "  --fault ID:FRAME[@N[xK|+]]:ACTION   change how motor ID answers (repeatable)\n"
    "        FRAME  mode, scan, download, data, crc, start, query\n"
    "        @N     only the N-th such frame (1 = the first; every resend counts);\n"
    "               xK: K frames from the N-th on; +: the N-th and all after it;\n"
    "               without @N: every such frame\n"
    "        ACTION silent       the frame takes effect, no answer is sent\n"
    "               deaf         the motor does not hear the frame (on mode: its\n"
    "                            firmware's, until a download erases it)\n"
    "               refuse       (data) the chunk is refused: not stored, answered with EE\n"
    "               badsum       (data) the chunk is not stored, its acknowledgement\n"
    "                            carries a wrong sum (as after noise on the line)\n"
    "               cut=K        only the first K bytes of the answer are sent\n"
    "               delay=MS     the answer comes MS milliseconds late\n"
    "               garbage[=HEX] the answer is replaced by these bytes (5AA5C33C)\n"
    "               extra=HEX    these bytes follow the answer\n"
    "               corrupt      a data frame is acknowledged but stored damaged\n"
    "  --adapter ftdi[:MS[:ignore-flag]]   model an FTDI adapter: the motors' bytes\n"
    "                     reach COMMAND when its latency timer fires (every MS ms,\n"
    "                     16 by default; 1 ms once COMMAND sets the low-latency\n"
    "                     flag, unless ignore-flag) or when 62 bytes are waiting\n"
    "  --adapter echo[:damage@N|:stop@N]   the adapter echoes: every byte COMMAND\n"
    "                     writes comes back to it, ahead of the motors' answers\n"
    "                     (through the FTDI model's buffer when --adapter ftdi is\n"
    "                     given too); damage@N: the echo of byte N (from 0) comes\n"
    "                     back with a bit flipped, as after a collision on the\n"
    "                     bus; stop@N: the echo stops before byte N\n"
    "  --hangup-after N   the adapter vanishes once COMMAND has written N bytes\n"
    "  --stall-after N    the adapter takes no more bytes once COMMAND has written\n"
    "                     N bytes (a wedged adapter): COMMAND's writes block\n"
    "  --sigint MS        send COMMAND an interrupt (Ctrl+C) after MS milliseconds\n"
    "  --replay TRACE     no motors: the wire trace TRACE (recorded with\n"
    "                     MOTORBUS_TRACE) answers COMMAND as the bus answered then\n"
    "  --bus              the options after it describe another bus: --motor,\n"
    "                     --fault, --adapter, --hangup-after and --stall-after\n"
    "                     before the first --bus are bus @1's (\"@\"), after the\n"
    "                     N-th --bus bus @N+1's; \"@N\" in ARGS stands for bus\n"
    "                     N's device, and \"@N=...\" for it followed by \"=...\"\n"
    "  --quiet            no account on standard error\n"
    "  --help             this text\n"
    "  --version          motorsim's name and version\n"
    "\n"
    "examples:\n"
    "  motorsim --motor 3 --motor 5:boot:none -- ldrmode @\n"
    "  motorsim --motor 3 -- fwburn @ image.bin 3\n"
    "  motorsim --motor 3 --fault 3:data@10x3:refuse -- fwburn @ image.bin 3\n"
    "  motorsim --motor 4:on@1000 --sigint 3000 -- holdoff @\n"
    "  motorsim --replay field.trace -- fwburn @ image.bin 3\n"
    "  motorsim --adapter ftdi:16:ignore-flag --motor 3 -- fwburn @ image.bin 3\n"
    "  motorsim --adapter ftdi --adapter echo --motor 3 -- fwburn @ image.bin 3\n"
    "  motorsim --motor 1 --motor 2 --bus --motor 1 -- motorbus upgrade image.bin @1 @2\n"
    "\n"
    "Options take their value as the next word or after '=' (--motor=3).\n";

namespace {

bool parse_int(const std::string &s, long lo, long hi, long &out) {
    if (s.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long v = strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

// ID[:STATE[:IMAGE]]; why says which part is wrong.
bool parse_motor(const std::string &arg, sim::Motor &m, std::string &why) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = arg.find(':', start);
        parts.push_back(arg.substr(start, colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    long id = 0;
    if (parts.size() > 4) {
        why = "ID[:STATE[:IMAGE[:cmdform]]]";
        return false;
    }
    if (!parse_int(parts[0], 0, 14, id)) {
        why = "the id is 0 to 14";
        return false;
    }
    m.id = static_cast<uint8_t>(id);
    m.state = sim::MotorState::firmware;
    m.firmware = sim::Firmware::valid;
    if (parts.size() > 1) {
        const std::string &st = parts[1];
        long at = 0;
        if (st == "run") {
            m.state = sim::MotorState::firmware;
        } else if (st == "boot") {
            m.state = sim::MotorState::bootloader;
        } else if (st.starts_with("on@") && parse_int(st.substr(3), 0, INT_MAX, at)) {
            m.power_on_ms = static_cast<double>(at);
        } else {
            why = "the state is run, boot or on@MS";
            return false;
        }
    }
    if (parts.size() > 3) {
        if (parts[3] != "cmdform") {
            why = "the last part is cmdform";
            return false;
        }
        m.command_form = true;
    }
    if (parts.size() > 2) {
        const std::string &fw = parts[2];
        if (fw == "good") {
            m.firmware = sim::Firmware::valid;
        } else if (fw == "corrupt") {
            m.firmware = sim::Firmware::corrupt;
        } else if (fw == "none") {
            m.firmware = sim::Firmware::none;
        } else {
            why = "the image is good, corrupt or none";
            return false;
        }
    }
    if (m.firmware != sim::Firmware::none) {
        m.image = sim::sample_image(4096, m.id + 1u);
        if (m.firmware == sim::Firmware::corrupt) {
            m.image[100] ^= 0x5A;
        }
    }
    if (m.firmware != sim::Firmware::valid && m.state == sim::MotorState::firmware) {
        m.state = sim::MotorState::bootloader; // without a good image it cannot run
    }
    return true;
}

bool parse_hex(const std::string &s, std::vector<uint8_t> &out) {
    out.clear();
    if (s.empty() || s.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < s.size(); i += 2) {
        char *end = nullptr;
        const std::string pair = s.substr(i, 2);
        const long v = strtol(pair.c_str(), &end, 16);
        if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool parse_frame(const std::string &s, sim::Fault &f) {
    for (int k = 0; k < sim::frame_kinds; ++k) {
        const auto kind = static_cast<sim::Frame>(k);
        if (s == sim::frame_name(kind) && kind != sim::Frame::id_param) {
            f.on = kind;
            return true;
        }
    }
    return false;
}

// FRAME[@N[xK|+]]: which frames of a kind the fault covers.
bool parse_occurrence(const std::string &s, sim::Fault &f) {
    const size_t at = s.find('@');
    if (!parse_frame(s.substr(0, at), f)) {
        return false;
    }
    f.first = 0;
    f.count = -1;
    if (at == std::string::npos) {
        return true;
    }
    std::string n = s.substr(at + 1);
    long count = 1;
    if (n.ends_with("+")) {
        count = -1;
        n.pop_back();
    } else if (const size_t x = n.find('x'); x != std::string::npos) {
        if (!parse_int(n.substr(x + 1), 1, INT_MAX, count)) {
            return false;
        }
        n.resize(x);
    }
    long first = 0;
    if (!parse_int(n, 1, INT_MAX, first)) {
        return false;
    }
    f.first = static_cast<int>(first - 1);
    f.count = static_cast<int>(count);
    return true;
}

bool parse_action(const std::string &s, sim::Fault &f) {
    const size_t eq = s.find('=');
    const std::string name = s.substr(0, eq);
    const std::string arg = eq == std::string::npos ? "" : s.substr(eq + 1);
    long v = 0;
    if (name == "silent" && eq == std::string::npos) {
        f.silent = true;
    } else if (name == "deaf" && eq == std::string::npos) {
        f.deaf = true;
    } else if (name == "refuse" && eq == std::string::npos) {
        f.refuse = true; // not stored, answered [sum, EE]
        return f.on == sim::Frame::data;
    } else if (name == "badsum" && eq == std::string::npos) {
        f.refuse = true; // not stored, answered [sum ^ 1, 00]
        f.flip = {0x01};
        f.patch = {-1, 0x00};
        return f.on == sim::Frame::data;
    } else if (name == "corrupt" && eq == std::string::npos) {
        f.corrupt_store = f.on == sim::Frame::data;
        return f.corrupt_store;
    } else if (name == "cut" && parse_int(arg, 0, 64, v)) {
        f.cut = static_cast<int>(v);
    } else if (name == "delay" && parse_int(arg, 0, 600000, v)) {
        f.delay_ms = static_cast<int>(v);
    } else if (name == "garbage") {
        return eq == std::string::npos ? parse_hex("5AA5C33C", f.replace)
                                       : parse_hex(arg, f.replace);
    } else if (name == "extra") {
        return parse_hex(arg, f.extra);
    } else {
        return false;
    }
    return true;
}

// ID:FRAME[@N[xK|+]]:ACTION
bool parse_fault(const std::string &arg, long &id, sim::Fault &f) {
    const size_t c1 = arg.find(':');
    const size_t c2 = c1 == std::string::npos ? c1 : arg.find(':', c1 + 1);
    if (c2 == std::string::npos) {
        return false;
    }
    return parse_int(arg.substr(0, c1), 0, 14, id) &&
           parse_occurrence(arg.substr(c1 + 1, c2 - c1 - 1), f) &&
           parse_action(arg.substr(c2 + 1), f);
}

// What getopt refused: an unknown short option (optopt; argv[optind - 1]
// may be an earlier word when it came bundled, as in -xy), or a long option
// that is unknown, ambiguous, or given a value it does not take.
std::string refused_option(const char *word, const option *options) {
    const std::string_view given(word);
    if (!given.starts_with("--")) {
        return optopt > 0 && optopt < 256
                   ? "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'"
                   : "unknown option '" + std::string(given) + "'";
    }
    const std::string_view name = given.substr(2, given.find('=') - 2);
    std::string matches;
    int count = 0;
    for (const option *o = options; o->name != nullptr; ++o) {
        if (std::string_view(o->name) == name && o->has_arg == no_argument) {
            return "option '--" + std::string(name) + "' takes no value";
        }
        if (std::string_view(o->name).starts_with(name)) {
            matches += std::string(" '--") + o->name + "'";
            ++count;
        }
    }
    if (count > 1) {
        return "option '" + std::string(given) + "' is ambiguous; possibilities:" + matches;
    }
    return "unknown option '" + std::string(given) + "'";
}

} // namespace

bool parse_options(int argc, char *argv[], Options &o, std::string &error) {
    o = Options{};
    // One group of options per bus; --bus starts the next.
    std::vector<BusOptions> groups(1);
    std::vector<std::vector<std::pair<long, sim::Fault>>> faults(1);
    auto refuse = [&error](std::string why) {
        error = std::move(why);
        return false;
    };
    enum : int {
        opt_help = 'h',
        opt_motor = 256,
        opt_fault,
        opt_hangup,
        opt_sigint,
        opt_quiet,
        opt_replay,
        opt_version,
        opt_adapter,
        opt_stall,
        opt_bus
    };
    static const option long_options[] = {
        {"help", no_argument, nullptr, opt_help},
        {"motor", required_argument, nullptr, opt_motor},
        {"fault", required_argument, nullptr, opt_fault},
        {"hangup-after", required_argument, nullptr, opt_hangup},
        {"sigint", required_argument, nullptr, opt_sigint},
        {"quiet", no_argument, nullptr, opt_quiet},
        {"replay", required_argument, nullptr, opt_replay},
        {"version", no_argument, nullptr, opt_version},
        {"adapter", required_argument, nullptr, opt_adapter},
        {"stall-after", required_argument, nullptr, opt_stall},
        {"bus", no_argument, nullptr, opt_bus},
        {nullptr, 0, nullptr, 0},
    };
    // "+": options end at the command, whose own options are not ours;
    // ":": a missing value is reported here, not by getopt. optind 0 starts
    // getopt afresh, whatever command line it read before.
    opterr = 0;
    optind = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, "+:h", long_options, nullptr)) != -1) {
        const std::string value = optarg != nullptr ? optarg : "";
        switch (c) {
        case opt_help:
            o.action = Options::Action::help;
            return true;
        case opt_version:
            o.action = Options::Action::version;
            return true;
        case opt_quiet:
            o.quiet = true;
            break;
        case opt_motor: {
            sim::Motor m;
            std::string why;
            if (!parse_motor(value, m, why)) {
                return refuse("bad motor '" + value + "': " + why);
            }
            groups.back().motors.push_back(m);
            break;
        }
        case opt_fault: {
            long id = 0;
            sim::Fault f;
            if (!parse_fault(value, id, f)) {
                return refuse("bad fault '" + value + "'");
            }
            faults.back().emplace_back(id, f);
            break;
        }
        case opt_hangup:
        case opt_stall: {
            // A byte count: 64 bits wide on every machine, 32-bit ones included.
            char *end = nullptr;
            errno = 0;
            const long long n = strtoll(value.c_str(), &end, 10);
            if (value.empty() || errno != 0 || *end != '\0' || n < 0) {
                return refuse("bad byte count '" + value + "'");
            }
            (c == opt_hangup ? groups.back().hangup_after : groups.back().stall_after) = n;
            break;
        }
        case opt_sigint:
            if (!parse_int(value, 0, INT_MAX, o.sigint_ms)) {
                return refuse("bad time '" + value + "'");
            }
            break;
        case opt_replay:
            o.replay = true;
            o.replay_path = value;
            break;
        case opt_adapter:
            if (!sim::adapter_parse(value, groups.back().adapter)) {
                return refuse("bad adapter '" + value + "'");
            }
            break;
        case opt_bus:
            groups.emplace_back();
            faults.emplace_back();
            break;
        case ':':
            return refuse(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            return refuse(refused_option(argv[optind - 1], long_options));
        }
    }
    // The command comes after "--": a first word that is no option is a
    // command given without it.
    if (optind < argc && strcmp(argv[optind - 1], "--") != 0) {
        return refuse(std::string("'") + argv[optind] +
                      "' is not an option; the command follows '--': motorsim [options] -- "
                      "COMMAND [ARGS...]");
    }
    if (optind >= argc) {
        return refuse("no command given after --");
    }
    o.command.assign(argv + optind, argv + argc);
    if (o.replay && (groups.size() > 1 || !groups[0].motors.empty() || !faults[0].empty())) {
        return refuse("--replay puts no motor on the bus: no --motor, --fault or --bus with it");
    }
    for (size_t g = 0; g < groups.size(); ++g) {
        for (auto &[id, fault] : faults[g]) {
            bool placed = false;
            for (sim::Motor &m : groups[g].motors) {
                if (m.id == id) {
                    m.faults.push_back(fault);
                    placed = true;
                }
            }
            if (!placed) {
                return refuse("--fault names motor " + std::to_string(id) + ", which is not on " +
                              (groups.size() > 1 ? "bus @" + std::to_string(g + 1) : "the bus"));
            }
        }
    }
    o.motors = std::move(groups[0].motors);
    o.hangup_after = groups[0].hangup_after;
    o.stall_after = groups[0].stall_after;
    o.adapter = groups[0].adapter;
    o.more_buses.assign(std::make_move_iterator(groups.begin() + 1),
                        std::make_move_iterator(groups.end()));
    return true;
}

std::string bus_word(const std::string &word, const std::vector<std::string> &paths) {
    if (!word.starts_with("@")) {
        return "";
    }
    const size_t eq = word.find('=');
    const std::string number = word.substr(1, eq == std::string::npos ? eq : eq - 1);
    long n = 1;
    if (!number.empty() && !parse_int(number, 1, static_cast<long>(paths.size()), n)) {
        return "";
    }
    const std::string rest = eq == std::string::npos ? "" : word.substr(eq);
    return paths[static_cast<size_t>(n - 1)] + rest;
}

} // namespace motorsim
