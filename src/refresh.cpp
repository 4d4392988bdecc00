#include "refresh.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include "common.hpp"
#include "fetch.hpp"
#include "filenames.hpp"
#include "files.hpp"
#include "output.hpp"
#include "progress.hpp"

namespace skiffer {

namespace {

// Only these prefixes, exactly as written, make a feed location remote; any
// other text is read as a local file.
bool is_remote_feed(const std::string &url) {
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

// How the download of one enclosure ended, for the item loop.
enum class download_outcome {
    taken,       // the file holds the enclosure: record it
    passed_over, // a failure of this enclosure alone: try it again next run
    loop_ends,   // a failure that every later item would meet as well
};

// The local paths of the enclosures of this feed that the state records,
// each with the URL of the enclosure it belongs to. Two enclosures can get
// one local name (the same last URL component, a pattern without the
// title); a file under such a name holds the recorded one, which resuming
// or overwriting would destroy. The paths are named only when an existing
// file has to be judged, so that a run that finds nothing new, or only new
// names, does not name every recorded item of a large feed.
class recorded_files {
public:
    recorded_files(const channel_state &state, const feed_document &feed)
        : state_(state), feed_(feed) {}

    // The URL of the recorded enclosure whose local path is `path`, or null.
    const std::string *owner_of(const std::string &path) {
        if (!paths_) {
            paths_.emplace();
            for (const feed_item &item : feed_.items) {
                if (!item.enclosure || !item.enclosure->url ||
                    !state_.downloaded_enclosures.contains(*item.enclosure->url))
                    continue;
                // Of several recorded enclosures with one name, the first
                // in the feed is named; which one the file holds is unknown.
                paths_->try_emplace(enclosure_file_name(state_.spool, state_.filename_pattern,
                                                        feed_.channel_info, item),
                                    *item.enclosure->url);
            }
        }
        auto found = paths_->find(path);
        return found == paths_->end() ? nullptr : &found->second;
    }

    // Notes that the file at `path` now holds the recorded enclosure `url`.
    void add(const std::string &path, const std::string &url) {
        // Before the paths are named, the state itself holds the news.
        if (paths_)
            paths_->insert_or_assign(path, url);
    }

private:
    const channel_state &state_;
    const feed_document &feed_;
    std::optional<std::unordered_map<std::string, std::string>> paths_;
};

// Tells which guids of the feed name one item alone. Only such a guid can
// recognise an episode whose URL has changed: a feed that gives one guid to
// several items cannot be trusted with it. Counted on the first question,
// so that a run that finds every URL recorded never counts.
class feed_guids {
public:
    explicit feed_guids(const feed_document &feed) : feed_(feed) {}

    bool names_one_item(const std::string &guid) {
        if (!counts_) {
            counts_.emplace();
            for (const feed_item &item : feed_.items) {
                if (item.guid)
                    ++(*counts_)[*item.guid];
            }
        }
        auto found = counts_->find(guid);
        return found != counts_->end() && found->second == 1;
    }

private:
    const feed_document &feed_;
    std::optional<std::unordered_map<std::string, size_t>> counts_;
};

// Downloads one enclosure into the spool directory, between events 2 and 3,
// and hands back its local path in `path` once it is known.
download_outcome download_enclosure(const channel_state &state, recorded_files &recorded,
                                    const channel_configuration &configuration,
                                    const run_callback &reporter, const channel_info &info,
                                    const feed_item &item, const refresh_options &options,
                                    std::string &path) {
    const feed_enclosure &enclosure = *item.enclosure;
    const char *url = enclosure.url->c_str();
    if (!g_file_test(state.spool.c_str(), G_FILE_TEST_IS_DIR)) {
        print_err("Spool directory %s not found.\n", state.spool.c_str());
        return download_outcome::loop_ends;
    }
    path = enclosure_file_name(state.spool, state.filename_pattern, info, item);

    int64_t resume_offset = 0;
    const char *mode = "wb";
    struct stat existing;
    // An empty file holds nothing to keep or to resume: it counts as absent.
    // One left by a run stopped before its first byte would otherwise block
    // the episode.
    bool exists =
        stat(path.c_str(), &existing) == 0 && !(S_ISREG(existing.st_mode) && existing.st_size == 0);
    if (exists) {
        // Another enclosure's file is never resumed nor overwritten: the
        // first would join two episodes into one, the second lose one.
        if (const std::string *owner = recorded.owner_of(path)) {
            print_err("Enclosure file %s already holds %s.\n", printable(path).c_str(),
                      printable(*owner).c_str());
            return download_outcome::passed_over;
        }
        if (!options.resume) {
            print_err("Enclosure file %s already exists.\n", printable(path).c_str());
            return download_outcome::passed_over;
        }
        if (existing.st_size > 0) {
            resume_offset = existing.st_size;
            mode = "ab";
        }
    }
    FILE *stream = std::fopen(path.c_str(), mode);
    if (!stream) {
        print_err("Error opening enclosure file %s.\n", printable(path).c_str());
        return download_outcome::loop_ends;
    }
    if (reporter)
        reporter(configuration, EVENT_ENCLOSURE_START, &info, &enclosure, path.c_str(), true);

    std::unique_ptr<progress_bar> bar;
    if (options.show_progress)
        bar = progress_bar_new(resume_offset);
    std::optional<int64_t> remote_size;
    int fetched = fetch_url(url, stream, stream_write_cb, resume_offset, options.debug, bar.get(),
                            &remote_size);
    // The file is not known to hold the start of this enclosure (another
    // episode under the same name, a file changed on the server); it is left
    // as it is, for the user to look at.
    if (fetched == FETCH_RANGE_REFUSED && remote_size)
        print_err("Enclosure file %s cannot be resumed: it holds %" PRId64
                  " bytes, the enclosure has %" PRId64 ".\n",
                  printable(path).c_str(), resume_offset, *remote_size);
    else if (fetched == FETCH_RANGE_REFUSED)
        print_err("Enclosure file %s cannot be resumed: the server refused the range "
                  "without stating the enclosure's size.\n",
                  printable(path).c_str());
    bool failed = fetched != FETCH_OK;
    if (failed)
        print_err("Error downloading enclosure from %s.\n", printable(url).c_str());
    if (bar)
        progress_bar_free(std::move(bar));

    // The last buffered block reaches the disk only here: a full disk at this
    // point leaves the file short, so the download has failed after all. A
    // complete episode is synced, and its name with it, before its URL can be
    // recorded: after a power cut a recorded episode is never short.
    int write_error = 0;
    if (!failed && (std::fflush(stream) != 0 || fsync(fileno(stream)) != 0))
        write_error = errno;
    if (std::fclose(stream) != 0 && !failed && write_error == 0)
        write_error = errno;
    if (!failed && write_error == 0)
        write_error = sync_directory_of(path);
    bool write_failed = false;
    if (write_error != 0) {
        print_err("Error writing enclosure file %s: %s.\n", printable(path).c_str(),
                  std::strerror(write_error));
        print_err("Error downloading enclosure from %s.\n", printable(url).c_str());
        failed = true;
        write_failed = true;
    }
    // An empty file holds nothing to resume; left in place it would stop
    // this enclosure at "already exists" on every later update.
    struct stat status;
    if (failed && stat(path.c_str(), &status) == 0 && status.st_size == 0)
        unlink(path.c_str());

    if (reporter)
        reporter(configuration, EVENT_ENCLOSURE_DONE, &info, &enclosure, path.c_str(), !failed);
    if (!failed)
        return download_outcome::taken;
    // An error answer concerns this enclosure only; a transfer without an
    // answer (no connection, no name, TLS, a dropped connection) and a file
    // that cannot be written would fail the same way for every later item.
    if (!write_failed && (fetched == FETCH_HTTP_ERROR || fetched == FETCH_RANGE_REFUSED))
        return download_outcome::passed_over;
    return download_outcome::loop_ends;
}

} // namespace

int channel_refresh(channel_state &state, const channel_configuration &configuration,
                    const run_callback &reporter, const refresh_options &options,
                    const enclosure_filter *filter) {
    if (reporter)
        reporter(configuration, EVENT_CHANNEL_START, nullptr, nullptr, nullptr, true);
    std::unique_ptr<feed_document> feed = is_remote_feed(state.url)
                                              ? feed_fetch(state.url, options.debug)
                                              : feed_parse_file(state.url.c_str());
    if (reporter)
        reporter(configuration, EVENT_FEED_FETCHED, feed ? &feed->channel_info : nullptr, nullptr,
                 nullptr, true);
    if (!feed)
        return 1;

    const channel_info &info = feed->channel_info;
    enclosure_table &taken = state.downloaded_enclosures;
    recorded_files recorded(state, *feed);
    feed_guids guids(*feed);
    // Enclosures that failed in this run: one that a feed lists twice is
    // tried once, as it is taken once.
    std::unordered_set<std::string> passed_over;
    for (const feed_item &item : feed->items) {
        if (!item.enclosure || !item.enclosure->url)
            continue;
        const feed_enclosure &enclosure = *item.enclosure;
        if (auto entry = taken.find(*enclosure.url); entry != taken.end()) {
            // An entry from before guids were kept learns its item's, so
            // that the episode is still known once its host changes the URL.
            if (!options.no_record && item.guid && !entry->second.guid)
                taken.set_guid(entry, *item.guid);
            continue;
        }
        if (passed_over.contains(*enclosure.url))
            continue;
        // The same episode under a new URL, known by its guid: recorded
        // under this URL too, as it was taken, so that later runs know it
        // by its URL. It is not new, so it is neither taken nor reported.
        if (item.guid && guids.names_one_item(*item.guid)) {
            if (auto entry = taken.find_guid(*item.guid); entry != taken.end()) {
                if (!options.no_record)
                    taken.insert_or_assign(*enclosure.url, entry->second.stamp, item.guid);
                continue;
            }
        }
        if (filter && !_enclosure_pattern_match(filter, &enclosure))
            continue;

        std::string path;
        if (options.no_download) {
            if (reporter) {
                reporter(configuration, EVENT_ENCLOSURE_START, &info, &enclosure, nullptr, true);
                reporter(configuration, EVENT_ENCLOSURE_DONE, &info, &enclosure, nullptr, true);
            }
        } else {
            download_outcome outcome = download_enclosure(state, recorded, configuration, reporter,
                                                          info, item, options, path);
            if (outcome == download_outcome::loop_ends)
                break;
            // Not recorded, so the next run tries it again; the loop goes on,
            // unless only the first new enclosure was to be tried.
            if (outcome == download_outcome::passed_over) {
                passed_over.insert(*enclosure.url);
                if (options.first_only)
                    break;
                continue;
            }
        }

        // Saved after every enclosure, so an interrupted run loses nothing
        // that it has taken.
        if (!options.no_record) {
            taken.insert_or_assign(*enclosure.url, current_time_stamp(), item.guid);
            save_channel_state(state, options.debug);
            if (!path.empty())
                recorded.add(path, *enclosure.url);
        }
        if (options.first_only)
            break;
    }

    if (!options.no_record) {
        state.rsslastfetched = info.fetched;
        save_channel_state(state, options.debug);
    }
    return 0;
}

} // namespace skiffer
