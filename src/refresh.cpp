#include "refresh.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include "cache.hpp"
#include "common.hpp"
#include "fetch.hpp"
#include "filenames.hpp"
#include "files.hpp"
#include "output.hpp"
#include "progress.hpp"

namespace skiffer {

namespace {

// A line of the debug option about the feed cache, in libcurl's "* " form:
// nothing about the cache concerns the user otherwise.
void cache_note(const refresh_options &options, const std::string &path, const std::string &text) {
    if (options.debug)
        print_err("* Feed cache %s: %s.\n", path.c_str(), printable(text).c_str());
}

// A channel's entry in the feed cache, for one refresh.
struct feed_cache_slot {
    std::string path;
    std::optional<feed_cache_entry> entry; // as read at the start
    bool writable = false;
};

// Reads the cached copy as if its bytes had just been downloaded. The parse
// prints into a holder: a copy that parses prints what a download would
// have printed; one that does not is a cache problem, shown only under
// the debug option.
std::unique_ptr<feed_document> parse_cached_copy(const feed_cache_slot &cache,
                                                 const refresh_options &options) {
    output_sink &outer = current_output();
    held_output held;
    std::unique_ptr<feed_document> feed;
    {
        scoped_output printing_into(held);
        std::string path;
        const std::string &body = *cache.entry->compressed_body;
        const int written = write_via_temporary_file(
            std::nullopt,
            [&body](FILE *stream, int) {
                return feed_cache_decompress(stream, body, feed_size_limit());
            },
            &path, 0);
        if (written == 0)
            feed = feed_parse_downloaded(path);
        if (!path.empty())
            unlink(path.c_str());
    }
    if (feed || options.debug)
        held.pass_on(outer);
    if (!feed)
        cache_note(options, cache.path, "the cached copy cannot be read; fetching the feed whole");
    return feed;
}

// Keeps the body of a download, compressed, for the cache entry it makes.
downloaded_feed_keeper body_keeper(const feed_cache_slot &cache,
                                   std::optional<std::string> &compressed) {
    if (!cache.writable)
        return {};
    return [&compressed](const std::string &path) {
        std::string body;
        if (feed_cache_compress_file(path, body))
            compressed = std::move(body);
    };
}

// Brings the cache entry up to date with what the last request learned.
void update_cache(feed_cache_slot &cache, const std::string &url, const http_exchange &exchange,
                  bool obtained, std::optional<std::string> &compressed,
                  const refresh_options &options) {
    if (!cache.writable)
        return;
    const std::time_t now = std::time(nullptr);
    std::optional<feed_cache_entry> &old = cache.entry;
    const bool same_url = old && old->url == url;
    // An empty header is no validator: there is nothing to send back.
    auto non_empty = [](const std::optional<std::string> &value) -> std::optional<std::string> {
        if (value && !value->empty())
            return value;
        return std::nullopt;
    };
    std::optional<feed_cache_entry> next;
    if (obtained && exchange.status == 200) {
        // A copy with nothing to ask the server about is of no use.
        if (compressed && (non_empty(exchange.etag) || non_empty(exchange.last_modified))) {
            next.emplace();
            next->url = url;
            next->etag = non_empty(exchange.etag);
            next->last_modified = non_empty(exchange.last_modified);
            next->stored = now;
            next->compressed_body = std::move(compressed);
        }
    } else if (obtained && exchange.status == 304 && same_url) {
        // New validators replace the stored ones; the copy's age stays that
        // of its download.
        next = old;
        next->not_before.reset();
        if (non_empty(exchange.etag))
            next->etag = exchange.etag;
        if (non_empty(exchange.last_modified))
            next->last_modified = exchange.last_modified;
        if (next->etag == old->etag && next->last_modified == old->last_modified &&
            !old->not_before)
            return;
    } else if (!obtained && (exchange.status == 429 || exchange.status == 503) &&
               exchange.retry_after) {
        std::optional<std::time_t> until = retry_after_time(*exchange.retry_after, now);
        if (!until)
            return;
        // The copy stays for later runs, but not one of another location.
        if (same_url) {
            next = old;
        } else {
            next.emplace();
            next->url = url;
        }
        next->not_before = until;
    } else {
        return;
    }
    if (next) {
        if (!feed_cache_store(cache.path, *next, options.debug))
            cache_note(options, cache.path, "cannot be written");
        cache.entry = std::move(next);
    } else if (old) {
        unlink(cache.path.c_str());
        cache.entry.reset();
    }
}

// Obtains a remote feed: with the validators of a fresh cached copy of it
// when there is one, from that copy when the server answers 304, and whole
// once more when the copy turns out unusable.
std::unique_ptr<feed_document> fetch_remote_feed(const std::string &url, feed_cache_slot &cache,
                                                 const refresh_options &options) {
    http_exchange exchange;
    const bool conditional = cache.entry && cache.entry->url == url &&
                             feed_cache_is_fresh(*cache.entry, std::time(nullptr));
    if (conditional) {
        exchange.if_none_match = cache.entry->etag;
        exchange.if_modified_since = cache.entry->last_modified;
    }
    std::optional<std::string> compressed;
    std::unique_ptr<feed_document> feed =
        feed_fetch(url, options.debug, &exchange, body_keeper(cache, compressed));
    if (conditional && exchange.status == 304) {
        feed = parse_cached_copy(cache, options);
        if (!feed) {
            exchange = http_exchange{};
            feed = feed_fetch(url, options.debug, &exchange, body_keeper(cache, compressed));
        }
    }
    update_cache(cache, url, exchange, feed != nullptr, compressed, options);
    return feed;
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
                                    paused_hosts &paused, std::string &path) {
    const feed_enclosure &enclosure = *item.enclosure;
    const char *url = enclosure.url->c_str();
    if (!g_file_test(state.spool.c_str(), G_FILE_TEST_IS_DIR)) {
        print_err("Spool directory %s not found.\n", state.spool.c_str());
        return download_outcome::loop_ends;
    }
    // A host that asked this run to stop is left alone until the next run,
    // which tries the enclosure again as after any failed download.
    const std::optional<std::string> host = url_host(url);
    if (host && paused.contains(*host)) {
        print_err("Error downloading enclosure from %s.\n", printable(url).c_str());
        return download_outcome::passed_over;
    }
    path = enclosure_file_name(state.spool, state.filename_pattern, info, item);

    int64_t resume_offset = 0;
    struct stat existing;
    const bool found = stat(path.c_str(), &existing) == 0;
    // An empty file holds nothing to keep or to resume: it counts as absent.
    // One left by a run stopped before its first byte would otherwise block
    // the episode.
    bool exists = found && !(S_ISREG(existing.st_mode) && existing.st_size == 0);
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
        if (existing.st_size > 0)
            resume_offset = existing.st_size;
    }
    // A file that was not there is made exclusively: one that appeared since
    // the look above (another run or another channel with the same spool
    // directory) is never written by two at once.
    int flags = O_WRONLY | O_CLOEXEC;
    if (resume_offset > 0)
        flags |= O_APPEND;
    else
        flags |= found ? O_CREAT | O_TRUNC : O_CREAT | O_EXCL;
    const int fd = open(path.c_str(), flags, 0666);
    if (fd == -1 && errno == EEXIST) {
        print_err("Enclosure file %s already exists.\n", printable(path).c_str());
        return download_outcome::passed_over;
    }
    FILE *stream = fd == -1 ? nullptr : fdopen(fd, resume_offset > 0 ? "ab" : "wb");
    if (!stream) {
        if (fd != -1)
            close(fd);
        print_err("Error opening enclosure file %s.\n", printable(path).c_str());
        return download_outcome::loop_ends;
    }
    if (reporter)
        reporter(configuration, EVENT_ENCLOSURE_START, &info, &enclosure, path.c_str(), true);

    std::unique_ptr<progress_bar> bar;
    if (options.show_progress)
        bar = options.status_line ? progress_bar_for_status_line(resume_offset)
                                  : progress_bar_new(resume_offset);
    std::optional<int64_t> remote_size;
    http_exchange exchange;
    int fetched = fetch_url(url, stream, stream_write_cb, resume_offset, options.debug, bar.get(),
                            &remote_size, &exchange);
    // Both the host asked and the one that answered after redirects: the
    // next enclosure listed on the first would lead to the second again.
    if (fetched == FETCH_HTTP_ERROR && (exchange.status == 429 || exchange.status == 503)) {
        if (host)
            paused.add(*host);
        if (exchange.answering_host)
            paused.add(*exchange.answering_host);
    }
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

bool is_remote_feed(const std::string &url) {
    // Schemes ignore case, and libcurl takes them in any case.
    return g_ascii_strncasecmp(url.c_str(), "http://", 7) == 0 ||
           g_ascii_strncasecmp(url.c_str(), "https://", 8) == 0;
}

void paused_hosts::add(const std::string &host) {
    std::lock_guard<std::mutex> hold(mutex_);
    hosts_.insert(host);
}

bool paused_hosts::contains(const std::string &host) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return hosts_.contains(host);
}

int channel_refresh(channel_state &state, const channel_configuration &configuration,
                    const run_callback &reporter, const refresh_options &options,
                    const enclosure_filter *filter, refresh_shared *shared) {
    refresh_shared own;
    if (shared == nullptr)
        shared = &own;
    const bool remote = is_remote_feed(state.url);
    feed_cache_slot cache;
    if (remote && shared->cache_directory) {
        cache.path = feed_cache_path(*shared->cache_directory, configuration.identifier);
        cache.writable = !options.no_record;
        std::string why;
        cache.entry = feed_cache_load(cache.path, why);
        if (!why.empty())
            cache_note(options, cache.path, why);
    }
    // A wait that the server asked for concerns the location it was asked
    // at; once the user changes the location, it no longer applies.
    if (cache.entry && cache.entry->not_before && cache.entry->url == state.url &&
        std::time(nullptr) < *cache.entry->not_before) {
        print_err("Channel %s: the server asked not to be polled before %s, skipped.\n",
                  configuration.identifier.c_str(),
                  time_stamp(*cache.entry->not_before).value_or("?").c_str());
        return 1;
    }

    if (reporter)
        reporter(configuration, EVENT_CHANNEL_START, nullptr, nullptr, nullptr, true);
    std::unique_ptr<feed_document> feed =
        remote ? fetch_remote_feed(state.url, cache, options) : feed_parse_file(state.url.c_str());
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
        // The state is asked first: one without the guid (a new channel, a
        // long list) spares the count of the feed's guids.
        if (item.guid) {
            if (auto entry = taken.find_guid(*item.guid);
                entry != taken.end() && guids.names_one_item(*item.guid)) {
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
            download_outcome outcome =
                download_enclosure(state, recorded, configuration, reporter, info, item, options,
                                   shared->paused, path);
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
