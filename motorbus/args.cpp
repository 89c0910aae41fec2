// What every subcommand reads: the buses with their motors, the image.
#include "motorbus.h"
#include "protocol/crc_ccitt.h"
#include "sequences/image_format.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace motorbus {

namespace {

constexpr long max_motor_id = 14;
constexpr int64_t max_image_size = 61440; // 60 KiB of flash in the motor
constexpr int block_size = 64;            // the image is padded to whole blocks
constexpr uint8_t padding = 0xFF;         // what erased flash reads as

// "3", "3,5,7": ids 0 to 14, each a whole number, each once.
bool parse_ids(const std::string &list, std::vector<uint8_t> &ids) {
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const std::string word = list.substr(start, comma - start);
        char *end = nullptr;
        errno = 0;
        const long v = strtol(word.c_str(), &end, 10);
        if (word.empty() || *end != '\0' || errno != 0 || v < 0 || v > max_motor_id) {
            return false;
        }
        if (std::find(ids.begin(), ids.end(), v) == ids.end()) {
            ids.push_back(static_cast<uint8_t>(v));
        }
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

// Two names of one device are one bus: a by-id link and the node, or two
// nodes made for one device (its number is what the kernel serves). The
// tools' lock is per node, so two processes on one port must be refused
// here, before anything is opened.
std::string device_key(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))) {
        return "device " + std::to_string(major(st.st_rdev)) + ":" +
               std::to_string(minor(st.st_rdev));
    }
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

} // namespace

bool parse_buses(int argc, char **argv, std::vector<BusPlan> &plans, std::string &error) {
    if (argc < 1) {
        error = "no bus given";
        return false;
    }
    std::vector<std::string> keys;
    for (int i = 0; i < argc; ++i) {
        BusPlan plan;
        const std::string word = argv[i];
        // Device names may hold ':' (by-path names do) but no '=': the last
        // '=' starts the ids.
        const size_t eq = word.rfind('=');
        plan.path = word.substr(0, eq);
        if (eq != std::string::npos && !parse_ids(word.substr(eq + 1), plan.ids)) {
            error = "bad motor ids in '" + word + "' (ids are 0 to 14: BUS=3,5)";
            return false;
        }
        if (plan.path.empty()) {
            error = "bad bus '" + word + "'";
            return false;
        }
        const std::string key = device_key(plan.path);
        const auto same = std::find(keys.begin(), keys.end(), key);
        if (same != keys.end()) {
            const std::string &first = plans[static_cast<size_t>(same - keys.begin())].path;
            error = first == plan.path ? "bus '" + plan.path + "' given twice (one process per bus)"
                                       : "bus '" + plan.path + "' is the device of '" + first +
                                             "', given twice (one process per bus)";
            return false;
        }
        keys.push_back(key);
        plans.push_back(std::move(plan));
    }
    return true;
}

bool plan_run(Job job, bool json, int argc, char **argv, Run &run, std::string &error) {
    run.job = job;
    run.json = json;
    std::vector<BusPlan> plans;
    if (!parse_buses(argc, argv, plans, error)) {
        return false;
    }
    for (BusPlan &p : plans) {
        run.buses.push_back({.plan = std::move(p)});
    }
    return true;
}

int usage_error(const std::string &message, bool json) {
    report_error(json, message);
    fprintf(stderr, "Try 'motorbus --help'.\n");
    return status_usage;
}

bool load_image(const char *path, Image &image, std::string &error) {
    image.path = path;
    // Only a regular file is taken: a directory cannot be read as an image,
    // and a FIFO without a writer would block for ever (the open does not
    // block, and the type is checked on the open file).
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot open image ") + path + ": " + strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (fstat(fd, &st) != 0) {
        error = std::string("cannot read image ") + path + ": " + strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = std::string("image ") + path + " is not a regular file";
    } else if (st.st_size > max_image_size) {
        error = std::string("image ") + path + " is " + std::to_string(st.st_size / 1024) +
                " KB, more than the " + std::to_string(max_image_size / 1024) + " KB a motor holds";
    } else if (st.st_size == 0) {
        error = std::string("image ") + path + " is empty, nothing to flash";
    } else {
        image.size = static_cast<int>(st.st_size);
        const int padded = (image.size + block_size - 1) / block_size * block_size;
        image.bytes.assign(static_cast<size_t>(padded), padding);
        ssize_t got = 0;
        while (got < image.size) {
            const ssize_t n =
                read(fd, image.bytes.data() + got, static_cast<size_t>(image.size - got));
            if (n <= 0) {
                break;
            }
            got += n;
        }
        const std::span<const uint8_t> read_in(image.bytes.data(), static_cast<size_t>(image.size));
        if (got != image.size) {
            error = std::string("cannot read image ") + path + ": " +
                    (got < 0 ? strerror(errno) : "shorter than its size");
        } else if (const ImageFormat format = image_format(read_in); format != ImageFormat::raw) {
            error = "image " + image_format_refusal(format, path);
        } else {
            image.crc = crc_ccitt(0, image.bytes.data(), image.bytes.size());
            ok = true;
        }
    }
    close(fd);
    return ok;
}

bool take_options(const char *command, int &argc, char **argv,
                  std::span<const CommandOption> options, std::string &error) {
    int kept = 0;
    bool ended = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        if (ended || a.size() < 2 || a[0] != '-') {
            argv[kept++] = argv[i];
            continue;
        }
        if (a == "--") {
            ended = true;
            continue;
        }
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        const auto o = std::find_if(options.begin(), options.end(),
                                    [&](const CommandOption &c) { return name == c.name; });
        if (o == options.end() || (o->value == nullptr && eq != std::string::npos)) {
            error = "unknown option '" + a + "' for " + command;
            return false;
        }
        if (o->value == nullptr) {
            *o->flag = true;
        } else if (eq != std::string::npos) {
            *o->value = a.substr(eq + 1);
        } else if (i + 1 < argc) {
            *o->value = argv[++i];
        } else {
            error = name + " needs a value";
            return false;
        }
    }
    argc = kept;
    return true;
}

} // namespace motorbus
