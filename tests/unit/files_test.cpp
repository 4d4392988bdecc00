#include "files.hpp"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.hpp"

using namespace skiffer;
using namespace skiffer::test;

namespace {

// A writer that puts `content` into the stream and returns its extra
// argument, which shows that the argument is passed through.
temporary_file_writer writing(std::string content) {
    return [content](FILE *stream, int extra) {
        std::fwrite(content.data(), 1, content.size(), stream);
        return extra;
    };
}

class safe_replacement : public ::testing::Test {
protected:
    scratch_directory dir;
    std::string target = dir / "state.xml";
};

TEST_F(safe_replacement, replaces_target_with_complete_new_content) {
    write_file(target, "old content");
    std::string path = "untouched";
    fd_capture err(2);
    int result = write_via_temporary_file(target, writing("new content"), &path, 0);

    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read_file(target), "new content");
    EXPECT_EQ(path, target);
    EXPECT_EQ(directory_entries(dir.path()), std::set<std::string>{"state.xml"});
    struct stat info;
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(safe_replacement, failing_writer_leaves_target_and_hands_out_temporary_file) {
    write_file(target, "old content");
    std::string path;
    fd_capture err(2);
    int result = write_via_temporary_file(target, writing("partial"), &path, 1);

    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(read_file(target), "old content");
    EXPECT_TRUE(full_match(regex_escape(target) + R"(\.[A-Za-z0-9]{6})", path)) << path;
    EXPECT_EQ(read_file(path), "partial");
    EXPECT_EQ(directory_entries(dir.path()),
              (std::set<std::string>{"state.xml", path.substr(dir.path().size() + 1)}));
}

TEST_F(safe_replacement, without_target_writes_into_temporary_directory) {
    for (int writer_result : {0, 1}) {
        SCOPED_TRACE(writer_result);
        std::string path;
        fd_capture err(2);
        int result =
            write_via_temporary_file(std::nullopt, writing("feed body"), &path, writer_result);

        EXPECT_EQ(err.finish(), "");
        EXPECT_EQ(result, writer_result);
        EXPECT_EQ(path.rfind(std::string(g_get_tmp_dir()) + "/", 0), 0u) << path;
        EXPECT_EQ(read_file(path), "feed body");
        unlink(path.c_str());
    }
}

TEST_F(safe_replacement, target_that_is_a_directory_refuses_the_rename) {
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    std::string path = "untouched";
    fd_capture err(2);
    int result = write_via_temporary_file(target, writing("new"), &path, 0);

    std::string t = regex_escape(target);
    EXPECT_TRUE(full_match("Error renaming temporary file " + t + R"(\.[A-Za-z0-9]{6} to )" + t +
                               ": " + regex_escape(std::strerror(EISDIR)) + "\\.\n",
                           err.finish()))
        << err.finish();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(path, "untouched");
    EXPECT_TRUE(g_file_test(target.c_str(), G_FILE_TEST_IS_DIR));
    EXPECT_EQ(directory_entries(dir.path()), std::set<std::string>{"state.xml"});
}

TEST_F(safe_replacement, directory_that_refuses_new_files) {
    // Root ignores permission bits, so as root the directory becomes a
    // read-only file system instead.
    std::string sub = dir / "channels";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    tmpfs_mount fs(sub);
    int expected_error = EACCES;
    if (geteuid() == 0) {
        std::string reason = fs.mount_with("size=64k");
        if (!reason.empty())
            GTEST_SKIP() << reason;
        write_file(sub + "/state.xml", "old content");
        if (!fs.remount_read_only())
            GTEST_SKIP() << "cannot remount the tmpfs read-only: " << std::strerror(errno);
        expected_error = EROFS;
    } else {
        write_file(sub + "/state.xml", "old content");
        ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
    }

    fd_capture err(2);
    int result = write_via_temporary_file(sub + "/state.xml", writing("new"), nullptr, 0);

    EXPECT_EQ(err.finish(),
              std::string("Error opening temporary file: ") + std::strerror(expected_error) + "\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(read_file(sub + "/state.xml"), "old content");
    EXPECT_EQ(directory_entries(sub), std::set<std::string>{"state.xml"});
    chmod(sub.c_str(), 0700);
}

TEST_F(safe_replacement, full_device_keeps_old_target) {
    std::string sub = dir / "channels";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    tmpfs_mount fs(sub);
    std::string reason = fs.mount_with("size=64k");
    if (!reason.empty())
        GTEST_SKIP() << reason;
    std::string state = sub + "/state.xml";
    write_file(state, "old content");

    struct full_case {
        const char *name;
        bool fill_first; // no space at all: the failure comes at the flush
        size_t size;     // bytes the writer writes
        int writer_result;
    } cases[] = {
        {"runs out while writing", false, 256 * 1024, 0},
        {"runs out while writing, writer noticed", false, 256 * 1024, 1},
        {"runs out at the flush", true, 10, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fill_first)
            fill_device(sub + "/filler");
        std::string path = "untouched";
        fd_capture err(2);
        int result = write_via_temporary_file(state, writing(std::string(c.size, 'n')), &path,
                                              c.writer_result);

        EXPECT_EQ(err.finish(), "No space left on device.\n");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(path, "untouched");
        // Compared as a truth value: a failure would print the whole new content.
        EXPECT_TRUE(read_file(state) == "old content");
        std::set<std::string> expected{"state.xml"};
        if (c.fill_first)
            expected.insert("filler");
        EXPECT_EQ(directory_entries(sub), expected);
        unlink((sub + "/filler").c_str());
    }
}

TEST_F(safe_replacement, other_write_error_names_temporary_file) {
    // A file size limit makes writes fail with EFBIG, a write error that is
    // not lack of space.
    write_file(target, "old content");
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    std::string path = "untouched";
    fd_capture err(2);
    int result = write_via_temporary_file(target, writing(std::string(8192, 'n')), &path, 0);
    std::string message = err.finish();

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, saved_handler);

    EXPECT_TRUE(full_match("Error writing temporary file " + regex_escape(target) +
                               R"(\.[A-Za-z0-9]{6}: )" + regex_escape(std::strerror(EFBIG)) +
                               "\\.\n",
                           message))
        << message;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(path, "untouched");
    EXPECT_EQ(read_file(target), "old content");
    EXPECT_EQ(directory_entries(dir.path()), std::set<std::string>{"state.xml"});
}

TEST_F(safe_replacement, symbolic_link_is_replaced_where_it_leads) {
    std::string elsewhere = dir / "elsewhere";
    struct link_case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> links; // link, what it reads
        std::string real;                                       // the file written
    } cases[] = {
        {"absolute", {{"state.xml", elsewhere + "/real.xml"}}, elsewhere + "/real.xml"},
        {"relative to the link", {{"state.xml", "elsewhere/real.xml"}}, elsewhere + "/real.xml"},
        {"chain",
         {{"state.xml", "hop.xml"}, {"hop.xml", "elsewhere/real.xml"}},
         elsewhere + "/real.xml"},
        {"dangling", {{"state.xml", "elsewhere/new.xml"}}, elsewhere + "/new.xml"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(elsewhere);
        ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
        for (const auto &[link, contents] : c.links) {
            unlink((dir / link).c_str());
            ASSERT_EQ(symlink(contents.c_str(), (dir / link).c_str()), 0);
        }
        if (c.real == elsewhere + "/real.xml")
            write_file(c.real, "old content");

        fd_capture err(2);
        EXPECT_EQ(write_via_temporary_file(target, writing("new content"), nullptr, 0), 0);
        EXPECT_EQ(err.finish(), "");
        for (const auto &[link, contents] : c.links) {
            char read_back[256] = "";
            EXPECT_GT(readlink((dir / link).c_str(), read_back, sizeof read_back - 1), 0);
            EXPECT_EQ(read_back, contents);
        }
        EXPECT_EQ(read_file(target), "new content");
        EXPECT_EQ(directory_entries(elsewhere),
                  std::set<std::string>{c.real.substr(elsewhere.size() + 1)});
    }
}

TEST_F(safe_replacement, stale_temporary_files_of_the_target_only_are_removed) {
    const std::set<std::string> stale = {"state.xml.Ab3dEf", "state.xml.000000",
                                         "state.xml.XXXXXX"};
    const std::set<std::string> kept = {
        "state.xml",         "state.xml.lock",       "state.xml.Ab3dE",  "state.xml.Ab3dEf7",
        "state.xml.Ab-dEf",  "state.xml.xml.Ab3dEf", "other.xml.Ab3dEf", "state.lock",
        "xstate.xml.Ab3dEf", "state.xmlAAb3dEf",
    };
    for (const auto &names : {stale, kept})
        for (const auto &name : names)
            write_file(dir / name, "x");
    fd_capture err(2);
    remove_stale_temporary_files(target);
    EXPECT_EQ(err.finish(), "");
    EXPECT_EQ(directory_entries(dir.path()), kept);

    // Through a link, the temporary files lie beside the file it leads to.
    std::string real_dir = dir / "real";
    ASSERT_EQ(mkdir(real_dir.c_str(), 0700), 0);
    write_file(real_dir + "/pod.xml.Zz9Zz9", "x");
    write_file(real_dir + "/pod.xml", "x");
    ASSERT_EQ(symlink("real/pod.xml", (dir / "pod.xml").c_str()), 0);
    remove_stale_temporary_files(dir / "pod.xml");
    EXPECT_EQ(directory_entries(real_dir), std::set<std::string>{"pod.xml"});
}

TEST(file_lock, second_holder_is_told_busy_and_waits_for_nothing) {
    scratch_directory dir;
    const std::string path = dir / "pod.lock";
    bool busy = true;
    unique_fd first = try_lock_file(path, busy);
    ASSERT_TRUE(first);
    EXPECT_FALSE(busy);

    // Locks belong to the open file, so a second opening in this process
    // competes as another process would.
    fd_capture err(2);
    unique_fd second = try_lock_file(path, busy);
    EXPECT_FALSE(second);
    EXPECT_TRUE(busy);
    first.reset();
    unique_fd third = try_lock_file(path, busy);
    EXPECT_TRUE(third);
    EXPECT_FALSE(busy);

    unique_fd nowhere = try_lock_file(dir / "missing/pod.lock", busy);
    EXPECT_FALSE(nowhere);
    EXPECT_FALSE(busy);
    EXPECT_EQ(err.finish(), "Error opening lock file " + dir / "missing/pod.lock" + ": " +
                                std::strerror(ENOENT) + ".\n");
}

// The stamp formatted independently of strftime and of any locale.
std::string stamp_of(std::time_t when) {
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm t;
    gmtime_r(&when, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d-%s-%04d %02d:%02d:%02d GMT", days[t.tm_wday],
                  t.tm_mday, months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

const std::string stamp_shape(R"((Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9]-)"
                              R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-9]{4} )"
                              R"([0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT)");

TEST(time_stamp, is_current_utc_time_in_english) {
    // A local zone far from UTC shows a stamp made from local time.
    scoped_environment tz("TZ", "XST-05:30");
    tzset();
    std::time_t before = std::time(nullptr);
    std::optional<std::string> stamp = current_time_stamp();
    std::time_t after = std::time(nullptr);
    tzset();

    ASSERT_TRUE(stamp);
    EXPECT_TRUE(full_match(stamp_shape, *stamp)) << *stamp;
    EXPECT_TRUE(*stamp == stamp_of(before) || *stamp == stamp_of(after)) << *stamp;
}

// A locale whose day and month names differ from English: an installed one,
// or one made on the spot from the system's locale sources.
std::optional<std::string> foreign_locale(const std::string &scratch) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) {
        std::setlocale(LC_ALL, "C");
        return "de_DE.UTF-8";
    }
    std::string command =
        "localedef -i de_DE -f UTF-8 '" + scratch + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        return std::nullopt;
    setenv("LOCPATH", scratch.c_str(), 1);
    return "de_DE.UTF-8";
}

TEST(time_stamp, stays_english_whatever_the_locale) {
    scratch_directory scratch;
    scoped_environment locpath("LOCPATH");
    scoped_environment lc_all("LC_ALL");
    std::optional<std::string> name = foreign_locale(scratch.path());
    if (!name)
        GTEST_SKIP() << "no German locale installed and localedef could not make one";
    lc_all.set(*name);
    const char *set = std::setlocale(LC_ALL, "");
    if (set == nullptr)
        GTEST_SKIP() << "the German locale cannot be selected";

    // The locale is really in force: Sunday 5 March 2000 reads German.
    struct tm sunday = {};
    sunday.tm_year = 100;
    sunday.tm_mon = 2;
    sunday.tm_mday = 5;
    sunday.tm_wday = 0;
    char german[32];
    std::strftime(german, sizeof german, "%a %b", &sunday);
    std::optional<std::string> stamp = current_time_stamp();
    std::setlocale(LC_ALL, "C");

    EXPECT_STREQ(german, "So Mär");
    ASSERT_TRUE(stamp);
    EXPECT_TRUE(full_match(stamp_shape, *stamp)) << *stamp;
}

} // namespace
