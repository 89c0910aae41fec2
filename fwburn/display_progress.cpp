#include "display_progress.h"

#include <array>
#include <cstdio>

namespace {

constexpr int bar_field = 51;

// Writes n copies of c to standard output.
void put_run(char c, int n) {
    std::array<char, 64> block;
    block.fill(c);
    while (n > 0) {
        const int k = n < static_cast<int>(block.size()) ? n : static_cast<int>(block.size());
        fwrite(block.data(), 1, static_cast<size_t>(k), stdout);
        n -= k;
    }
}

} // namespace

int display_progress(int percent, int previous_count) {
    put_run('\b', previous_count);
    const int bars = percent / 2;
    const int marks = bars >= 1 ? bars + 1 : 1;
    const int spaces = marks < bar_field ? bar_field - marks : 0;
    put_run('|', marks);
    put_run(' ', spaces);
    const int label = printf("[%d%%]", percent);
    fflush(stdout);
    return marks + spaces + label;
}
