#include "progress.hpp"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "test_support.hpp"

using namespace skiffer;
using namespace skiffer::test;

namespace {

// Sets COLUMNS (or removes it, for none) for one test and restores it.
class progress_test : public ::testing::Test {
protected:
    void set_columns(const std::optional<std::string> &columns) { columns_.set(columns); }

private:
    scoped_environment columns_{"COLUMNS"};
};

// One drawing: the bar with `filled` of `width` characters and a percentage.
std::string drawing(int width, int filled, int percentage) {
    char number[16];
    std::snprintf(number, sizeof number, " %3d%%", percentage);
    // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about
    // the operator+ chain.
    std::string text = "\r";
    text.append(static_cast<size_t>(filled), '#');
    text.append(static_cast<size_t>(width - filled), ' ');
    text += number;
    return text;
}

TEST_F(progress_test, width_follows_columns) {
    struct width_case {
        std::optional<std::string> columns;
        int width;
    } cases[] = {
        {std::nullopt, 74}, {"80", 74},  {"200", 74}, {"40", 35},  {"6", 1},  {"5", 0},
        {"3", 0},           {"abc", 74}, {"80x", 74}, {"40 ", 74}, {"", 74},  {"0", 74},
        {"-3", 74},         {" 40", 35}, {"+40", 35}, {" ", 74},   {"-", 74},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("COLUMNS=" + c.columns.value_or("(unset)"));
        set_columns(c.columns);
        auto bar = progress_bar_new(0);
        EXPECT_EQ(bar->width, c.width);
        EXPECT_EQ(bar->drawn_length, -1);
        EXPECT_EQ(bar->output, &current_output());
    }
}

TEST_F(progress_test, draws_bar_and_truncated_percentage) {
    struct draw_case {
        const char *name;
        std::optional<std::string> columns;
        int64_t resume_offset;
        curl_off_t dltotal, dlnow;
        std::string output;
    } cases[] = {
        {"nothing known yet", std::nullopt, 0, 0, 0, "\r" + std::string(77, ' ') + "0%"},
        {"half", std::nullopt, 0, 100, 50, drawing(74, 37, 50)},
        {"resumed at 400", std::nullopt, 400, 100, 50, drawing(74, 66, 90)},
        {"more than announced", std::nullopt, 0, 100, 120, drawing(74, 74, 100)},
        {"0.29 * 100.0 is below 29", std::nullopt, 0, 100, 29, drawing(74, 21, 28)},
        {"narrow terminal", "40", 0, 100, 50, drawing(35, 17, 50)},
        {"one character", "6", 0, 100, 50, drawing(1, 0, 50)},
        {"no room at all", "5", 0, 100, 50, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        set_columns(c.columns);
        auto bar = progress_bar_new(c.resume_offset);
        fd_capture out(1);
        EXPECT_EQ(progress_bar_cb(bar.get(), c.dltotal, c.dlnow, 0, 0), 0);
        EXPECT_EQ(out.finish(), c.output);
    }
}

TEST_F(progress_test, redraws_only_when_filled_length_changes) {
    set_columns(std::nullopt);
    auto bar = progress_bar_new(0);
    fd_capture out(1);
    progress_bar_cb(bar.get(), 100, 50, 0, 0); // 37 filled, 50%
    progress_bar_cb(bar.get(), 100, 51, 0, 0); // still 37 filled: 51% is not shown
    progress_bar_cb(bar.get(), 100, 52, 0, 0); // 38 filled
    progress_bar_free(std::move(bar));
    EXPECT_EQ(out.finish(), drawing(74, 37, 50) + drawing(74, 38, 52) + "\n");
}

TEST_F(progress_test, free_ends_line_even_when_nothing_was_drawn) {
    for (const char *columns : {"5", "80"}) {
        SCOPED_TRACE(columns);
        set_columns(columns);
        auto bar = progress_bar_new(0);
        fd_capture out(1);
        if (bar->width == 0)
            progress_bar_cb(bar.get(), 100, 50, 0, 0);
        progress_bar_free(std::move(bar));
        EXPECT_EQ(out.finish(), "\n");
    }
}

TEST_F(progress_test, upload_figures_stop_the_program) {
    auto bar = progress_bar_new(0);
    const char *ultotal = "src/progress\\.cpp:[0-9]+:progress_bar_cb: assertion failed: "
                          "\\(ultotal == 0\\)";
    const char *ulnow = "src/progress\\.cpp:[0-9]+:progress_bar_cb: assertion failed: "
                        "\\(ulnow == 0\\)";
    EXPECT_DEATH(progress_bar_cb(bar.get(), 100, 50, 1, 0), ultotal);
    EXPECT_DEATH(progress_bar_cb(bar.get(), 100, 50, -1, 0), ultotal);
    EXPECT_DEATH(progress_bar_cb(bar.get(), 100, 50, 0, 1), ulnow);
}

} // namespace
