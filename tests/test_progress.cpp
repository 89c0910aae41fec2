// The progress bar, drawn into captured standard output.
#include "display_progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

struct Drawn {
    std::string out;
    int count = 0;
};

Drawn draw(int percent, int previous_count) {
    testing::internal::CaptureStdout();
    Drawn d;
    d.count = display_progress(percent, previous_count);
    d.out = testing::internal::GetCapturedStdout();
    return d;
}

std::string bar(int marks, int spaces, const std::string &label) {
    return std::string(static_cast<size_t>(marks), '|') +
           std::string(static_cast<size_t>(spaces), ' ') + label;
}

struct Case {
    int percent;
    int marks;
    int spaces;
    const char *label;
};

// The bar holds percent / 2 + 1 marks (one at least) and is padded to 51
// characters; wider bars get no padding.
TEST(Progress, FirstDrawingOfEachWidth) {
    const Case cases[] = {
        {0, 1, 50, "[0%]"},     {1, 1, 50, "[1%]"},   {2, 2, 49, "[2%]"},   {3, 2, 49, "[3%]"},
        {42, 22, 29, "[42%]"},  {98, 50, 1, "[98%]"}, {99, 50, 1, "[99%]"}, {100, 51, 0, "[100%]"},
        {113, 57, 0, "[113%]"}, {-7, 1, 50, "[-7%]"},
    };
    for (const Case &c : cases) {
        const Drawn d = draw(c.percent, 0);
        const std::string expected = bar(c.marks, c.spaces, c.label);
        EXPECT_EQ(d.out, expected) << "percent " << c.percent;
        EXPECT_EQ(d.count, static_cast<int>(expected.size())) << "percent " << c.percent;
    }
    EXPECT_EQ(draw(0, 0).count, 55);
    EXPECT_EQ(draw(42, 0).count, 56);
    EXPECT_EQ(draw(100, 0).count, 57);
    EXPECT_EQ(draw(113, 0).count, 63);
}

TEST(Progress, RedrawErasesThePreviousDrawingWithBackspaces) {
    const Drawn d = draw(42, 55);
    EXPECT_EQ(d.out, std::string(55, '\b') + bar(22, 29, "[42%]"));
    EXPECT_EQ(d.count, 56);
    // A count wider than one block of the writer's buffer.
    EXPECT_EQ(draw(50, 130).out, std::string(130, '\b') + bar(26, 25, "[50%]"));
}

TEST(Progress, NoBackspaceForACountOfZeroOrLess) {
    for (const int previous : {0, -1, -60}) {
        EXPECT_EQ(draw(1, previous).out, bar(1, 50, "[1%]")) << "previous " << previous;
    }
}

// Each drawing reaches the terminal before the function returns: read
// straight from the descriptor, without any flush of our own.
TEST(Progress, EachDrawingIsFlushed) {
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC), 0);
    fflush(stdout);
    const int saved = dup(1);
    ASSERT_GE(saved, 0);
    dup2(pipe_fds[1], 1);
    display_progress(10, 0);
    char got[128] = {};
    const ssize_t n = read(pipe_fds[0], got, sizeof got);
    dup2(saved, 1);
    close(saved);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    ASSERT_GT(n, 0) << "nothing reached the descriptor";
    EXPECT_EQ(std::string(got, static_cast<size_t>(n)), bar(6, 45, "[10%]"));
}

} // namespace
