// The host's side of the guest's protocol over the console; its other
// half is vmprobe.cpp (and the command loop of init.sh).
#include "guest.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// Finds the end of a command's answer in buf: the "@@RC n" line, looked
// for past the length-framed output blocks. end: where that line starts.
bool answer_complete(const std::string &buf, size_t &end, int &rc) {
    size_t at = 0;
    for (;;) {
        const size_t nl = buf.find('\n', at);
        if (nl == std::string::npos) {
            return false;
        }
        const std::string line = buf.substr(at, nl - at);
        if (line.starts_with("@@OUT ") || line.starts_with("@@ERR ")) {
            at = nl + 1 + strtoul(line.c_str() + 6, nullptr, 10);
            if (at > buf.size()) {
                return false;
            }
        } else if (line.starts_with("@@RC ")) {
            rc = atoi(line.c_str() + 5);
            end = at;
            return true;
        } else {
            at = nl + 1;
        }
    }
}

// Takes the block `name` starting at `at` of text.
std::string take_block(const std::string &text, size_t &at, const char *name) {
    const std::string head = std::string("@@") + name + " ";
    if (text.compare(at, head.size(), head) != 0) {
        ADD_FAILURE() << "no " << name << " block in: " << text.substr(at);
        return {};
    }
    const size_t nl = text.find('\n', at);
    const size_t n = strtoul(text.c_str() + at + head.size(), nullptr, 10);
    const std::string block = text.substr(nl + 1, n);
    at = nl + 1 + n;
    return block;
}

} // namespace

GuestReply guest(const std::string &command, int timeout_ms) {
    send_text(vm.con, command + "\n");
    size_t end = 0;
    GuestReply r;
    if (!pump([&] { return answer_complete(vm.con_buf, end, r.rc); }, timeout_ms)) {
        ADD_FAILURE() << "no answer from the guest to: " << command << "\nconsole:\n" << vm.con_buf;
        r.text = std::move(vm.con_buf);
        vm.con_buf.clear();
        return r;
    }
    r.at = Clock::now();
    r.text = vm.con_buf.substr(0, end);
    vm.con_buf.erase(0, vm.con_buf.find('\n', end) + 1);
    return r;
}

GuestRun parse_run(const std::string &text) {
    GuestRun r;
    size_t at = text.find("@@RUN ");
    int killed = 0;
    if (at == std::string::npos ||
        sscanf(text.c_str() + at, "@@RUN status=%d ms=%lf cpu=%lf killed=%d", &r.status, &r.ms,
               &r.cpu_ms, &killed) != 4) {
        ADD_FAILURE() << "no run report in: " << text;
        return r;
    }
    r.killed = killed != 0;
    at = text.find('\n', at) + 1;
    r.out = take_block(text, at, "OUT");
    r.err = take_block(text, at, "ERR");
    return r;
}

GuestRun run_in_guest(const std::string &program, const std::string &args,
                      const std::string &options) {
    const GuestReply g = guest("vmprobe run " + options + " /bin/" + program + " " + args, 120000);
    GuestRun r = parse_run(g.text);
    r.reported = g.at;
    return r;
}
