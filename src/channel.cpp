#include "channel.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <libxml/parser.h>

#include "common.hpp"
#include "fetch.hpp"
#include "filenames.hpp"
#include "files.hpp"
#include "progress.hpp"
#include "xmlutil.hpp"

namespace skiffer {

namespace {

using regex_ptr = c_ptr<GRegex, g_regex_unref>;

// A character data handler that builds nothing.
void ignore_text(void *, const xmlChar *, int) {
}

// Whether every character of `text` may stand in an XML 1.0 document, even as
// a character reference. Anything else would make the whole state file
// unreadable on the next load.
bool is_xml_text(const std::string &text) {
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return false;
    for (const char *p = text.data(); p < text.data() + text.size(); p = g_utf8_next_char(p)) {
        gunichar c = g_utf8_get_char(p);
        bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                       (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
        if (!allowed)
            return false;
    }
    return true;
}

// The text escaped for an attribute value, or none when XML cannot carry it.
// Markup escaping leaves tab, line feed and carriage return as they are, but
// the parser turns those into spaces inside an attribute, so they are written
// as character references to read back unchanged.
std::optional<std::string> escape_attribute(const std::string &text) {
    if (!is_xml_text(text))
        return std::nullopt;
    gchar_ptr escaped(g_markup_escape_text(text.data(), static_cast<gssize>(text.size())));
    std::string result;
    for (const char *p = escaped.get(); *p != '\0'; ++p) {
        switch (*p) {
        case '\t':
            result += "&#x9;";
            break;
        case '\n':
            result += "&#xa;";
            break;
        case '\r':
            result += "&#xd;";
            break;
        default:
            result += *p;
        }
    }
    return result;
}

// Whether `text` is printable ASCII without markup characters: what nearly
// every URL and every stamp of ours is, and what XML holds as it is, in an
// attribute value as in the value read back.
bool is_plain(std::string_view text) {
    static constexpr auto plain_byte = [] {
        std::array<bool, 256> table{};
        for (int c = 0x20; c < 0x7f; ++c)
            table[static_cast<size_t>(c)] =
                c != '&' && c != '<' && c != '>' && c != '\'' && c != '"';
        return table;
    }();
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return plain_byte[static_cast<unsigned char>(c)]; });
}

// Appends `text` escaped for an attribute value to `out` and answers true;
// answers false, leaving `out` alone, when XML cannot carry it. Plain text
// stays as it is and skips the decoding and escaping.
bool append_attribute(std::string &out, const std::string &text) {
    if (is_plain(text)) {
        out += text;
        return true;
    }
    std::optional<std::string> escaped = escape_attribute(text);
    if (!escaped)
        return false;
    out += *escaped;
    return true;
}

// The state file's line for one entry; empty when XML cannot hold the URL,
// so that the entry is left out rather than making the file unreadable,
// which would lose every other entry with it. Stamps are escaped like URLs:
// the program's own never change, but one read from a hand-edited file may
// hold '&' or '"'; one that XML cannot hold is left out with its attribute.
std::string entry_line(const std::string &url, const std::optional<std::string> &stamp) {
    std::string line;
    line.reserve(url.size() + (stamp ? stamp->size() : 0) + 48);
    line += "  <enclosure url=\"";
    if (!append_attribute(line, url))
        return {};
    const size_t without_stamp = line.size();
    if (stamp) {
        line += "\" downloadtime=\"";
        if (!append_attribute(line, *stamp))
            line.resize(without_stamp);
    }
    line += "\"/>\n";
    return line;
}

// The stamp of a loaded entry: its own, or for an entry without one the
// time of loading, taken once for all of them.
class loaded_stamps {
public:
    std::optional<std::string> operator()(std::optional<std::string> stamp) {
        if (stamp)
            return stamp;
        if (!loading_time_)
            loading_time_ = current_time_stamp();
        return *loading_time_;
    }

private:
    std::optional<std::optional<std::string>> loading_time_;
};

// Fills `state` from a state file's content when it is exactly in the form
// that write_channel_state gives a state of plain URLs and stamps, and
// answers true; answers false, leaving `state` alone, for anything else.
// Such a file is well-formed XML without references, and the XML parser
// would read the same values from it and have nothing to report.
bool load_written_form(std::string_view content, channel_state &state) {
    auto take = [&content](std::string_view expected) {
        if (!content.starts_with(expected))
            return false;
        content.remove_prefix(expected.size());
        return true;
    };
    // A value up to its closing quote, which is taken too.
    auto take_value = [&content](std::string &value) {
        const size_t end = content.find('"');
        if (end == std::string_view::npos || !is_plain(content.substr(0, end)))
            return false;
        value.assign(content.substr(0, end));
        content.remove_prefix(end + 1);
        return true;
    };

    if (!take("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<channel version=\"1.0\""))
        return false;
    std::optional<std::string> fetched;
    if (take(" rsslastfetched=\"") && !take_value(fetched.emplace()))
        return false;
    if (!take(">\n"))
        return false;
    enclosure_table entries;
    loaded_stamps stamp_of;
    std::string url;
    while (take("  <enclosure url=\"")) {
        std::optional<std::string> stamp;
        if (!take_value(url) || (take(" downloadtime=\"") && !take_value(stamp.emplace())) ||
            !take("/>\n"))
            return false;
        // A URL listed twice keeps the stamp of its last line.
        entries.insert_or_assign(std::move(url), stamp_of(std::move(stamp)));
    }
    if (content != "</channel>\n")
        return false;
    state.rsslastfetched = std::move(fetched);
    state.downloaded_enclosures = std::move(entries);
    return true;
}

} // namespace

// ---- the table of taken enclosures -------------------------------------------

void enclosure_table::gap_text::move_gap(size_t position) {
    char *data = buffer_.data();
    if (position < gap_start_) {
        const size_t count = gap_start_ - position;
        std::memmove(data + gap_end_ - count, data + position, count);
        gap_start_ -= count;
        gap_end_ -= count;
    } else if (position > gap_start_) {
        const size_t count = position - gap_start_;
        std::memmove(data + gap_start_, data + gap_end_, count);
        gap_start_ += count;
        gap_end_ += count;
    }
}

void enclosure_table::gap_text::insert(size_t position, std::string_view text) {
    SKIFFER_ASSERT(position <= size());
    move_gap(position);
    if (gap_end_ - gap_start_ < text.size()) {
        // Doubled, so that growing costs a constant time per byte over all.
        const size_t tail = buffer_.size() - gap_end_;
        const size_t grown = std::max(2 * buffer_.size(), size() + text.size() + 4096);
        buffer_.resize(grown);
        std::memmove(buffer_.data() + grown - tail, buffer_.data() + gap_end_, tail);
        gap_end_ = grown - tail;
    }
    std::memcpy(buffer_.data() + gap_start_, text.data(), text.size());
    gap_start_ += text.size();
}

void enclosure_table::gap_text::erase(size_t position, size_t length) {
    SKIFFER_ASSERT(position + length <= size());
    move_gap(position);
    gap_end_ += length;
}

enclosure_table::enclosure_table(std::initializer_list<value_type> entries) {
    for (const value_type &entry : entries)
        insert_or_assign(entry.first, entry.second);
}

enclosure_table::enclosure_table(const enclosure_table &other)
    : entries_(other.entries_), text_(other.text_) {
    // The same lines, pointing at this table's own keys.
    order_.reserve(other.order_.size());
    for (const line_ref &line : other.order_)
        order_.push_back({&entries_.find(*line.url)->first, line.length});
}

enclosure_table &enclosure_table::operator=(const enclosure_table &other) {
    if (this != &other)
        *this = enclosure_table(other);
    return *this;
}

enclosure_table &enclosure_table::operator=(std::initializer_list<value_type> entries) {
    return *this = enclosure_table(entries);
}

void enclosure_table::insert_or_assign(std::string url, std::optional<std::string> stamp) {
    // try_emplace leaves its arguments untouched when the key is present.
    auto [entry, added] = entries_.try_emplace(std::move(url), std::move(stamp));
    if (!added)
        entry->second = std::move(stamp);
    place_line(entry->first, entry->second);
}

std::pair<enclosure_table::const_iterator, bool>
enclosure_table::emplace(std::string url, std::optional<std::string> stamp) {
    auto [entry, added] = entries_.try_emplace(std::move(url), std::move(stamp));
    if (added)
        place_line(entry->first, entry->second);
    return {entry, added};
}

void enclosure_table::place_line(const std::string &url, const std::optional<std::string> &stamp) {
    const std::string line = entry_line(url, stamp);
    // Whether XML can hold an entry depends on its URL alone, so an entry
    // already present has a line, and a new one without a line needs none.
    if (line.empty())
        return;
    // A saved file lists its URLs in order, so loading it adds each at the end.
    auto at = order_.end();
    if (!order_.empty() && !(*order_.back().url < url))
        at = std::lower_bound(
            order_.begin(), order_.end(), url,
            [](const line_ref &ref, const std::string &key) { return *ref.url < key; });
    // The line's offset, summed from the nearer end: adding in order or in
    // reverse order, as feeds and state files do, sums nothing.
    size_t offset = 0;
    if (at - order_.begin() <= order_.end() - at) {
        for (auto ref = order_.begin(); ref != at; ++ref)
            offset += ref->length;
    } else {
        offset = text_.size();
        for (auto ref = at; ref != order_.end(); ++ref)
            offset -= ref->length;
    }
    if (at != order_.end() && *at->url == url) {
        text_.erase(offset, at->length);
        at->length = line.size();
    } else {
        order_.insert(at, {&url, line.size()});
    }
    text_.insert(offset, line);
}

std::pair<std::string_view, std::string_view> enclosure_table::lines() const {
    return {text_.before_gap(), text_.after_gap()};
}

std::unique_ptr<channel_state>
channel_state_load(const std::string &url, const std::string &state_file, const std::string &spool,
                   const std::optional<std::string> &filename_pattern) {
    auto state = std::make_unique<channel_state>();
    state->url = url;
    state->state_file = state_file;
    state->spool = spool;
    state->filename_pattern = filename_pattern;

    // A channel that has never run has no file yet.
    if (!g_file_test(state_file.c_str(), G_FILE_TEST_EXISTS))
        return state;

    // A file as this program writes it is read directly; anything else, and
    // a file that cannot be read, goes to the XML parser, which reports it.
    gchar_ptr content;
    gsize length = 0;
    // The content is owned once the reading statement has ended.
    const bool read = g_file_get_contents(state_file.c_str(), out_ptr(content), &length, nullptr);
    if (read && load_written_form(std::string_view(content.get(), length), *state))
        return state;
    content.reset();

    // The parser builds the tree with its own handlers and reports what it
    // finds as it always does, but builds no text: nothing in a state file
    // is read from text, and the white space between entries would be most
    // of the nodes. Short values stay inside their nodes. The state file is
    // our own, so nothing in it should reach the network.
    xml_parser_context_ptr context(xmlNewParserCtxt());
    xml_document_ptr doc;
    if (context) {
        context->linenumbers = 1;
        context->sax->characters = ignore_text;
        context->sax->ignorableWhitespace = ignore_text;
        context->sax->cdataBlock = ignore_text;
        doc.reset(xmlCtxtReadFile(context.get(), state_file.c_str(), nullptr,
                                  XML_PARSE_NONET | XML_PARSE_COMPACT));
    }
    xmlNode *root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (root == nullptr) {
        std::fprintf(stderr, "Error parsing channel file %s.\n", state_file.c_str());
        return nullptr;
    }

    state->rsslastfetched = xml_get_attribute(root, "rsslastfetched");
    loaded_stamps stamp_of;
    xml_foreach_child(root, "enclosure", [&](int32_t, xmlNode *enclosure) {
        // An entry without a URL names nothing the refresh could look up.
        std::optional<std::string> enclosure_url = xml_get_attribute(enclosure, "url");
        if (!enclosure_url)
            return;
        // A URL listed twice keeps the stamp of its last element.
        state->downloaded_enclosures.insert_or_assign(
            std::move(*enclosure_url), stamp_of(xml_get_attribute(enclosure, "downloadtime")));
    });
    return state;
}

int write_channel_state(FILE *stream, const channel_state &state, int) {
    std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<channel version=\"1.0\"";
    const size_t without_fetched = head.size();
    head += " rsslastfetched=\"";
    if (!state.rsslastfetched || !append_attribute(head, *state.rsslastfetched))
        head.resize(without_fetched);
    else
        head += '"';
    head += ">\n";

    // The lines are ready, in URL order, so that a file changes only where
    // an entry was added and two saves of the same state are the same bytes.
    // Large blocks go from fwrite straight to the file.
    const auto [first, second] = state.downloaded_enclosures.lines();
    std::fwrite(head.data(), 1, head.size(), stream);
    std::fwrite(first.data(), 1, first.size(), stream);
    std::fwrite(second.data(), 1, second.size(), stream);
    std::fputs("</channel>\n", stream);
    return 0;
}

int save_channel_state(const channel_state &state, int debug) {
    return write_via_temporary_file(
        state.state_file,
        [&state](FILE *stream, int extra) { return write_channel_state(stream, state, extra); },
        nullptr, debug);
}

std::unique_ptr<enclosure_filter> enclosure_filter_new(const char *pattern, int caseless) {
    SKIFFER_ASSERT(pattern);
    auto filter = std::make_unique<enclosure_filter>();
    filter->pattern = pattern;
    filter->caseless = caseless;
    return filter;
}

bool _enclosure_pattern_match(const enclosure_filter *filter, const feed_enclosure *enclosure) {
    // The record always holds its pattern, so a present filter is a present
    // pattern; the messages keep the names the checks have always had.
    if (filter == nullptr)
        g_assertion_message_expr(nullptr, __FILE__, __LINE__, __func__, "filter->pattern");
    // An enclosure without a URL counts as no enclosure.
    if (enclosure == nullptr || !enclosure->url)
        g_assertion_message_expr(nullptr, __FILE__, __LINE__, __func__, "enclosure");

    // Compiled for every test: filters are few and short-lived, and a bad
    // expression is reported each time it would have been used.
    error_ptr error;
    auto options = static_cast<GRegexCompileFlags>(filter->caseless ? G_REGEX_CASELESS : 0);
    regex_ptr regex(g_regex_new(filter->pattern.c_str(), options, static_cast<GRegexMatchFlags>(0),
                                out_ptr(error)));
    if (!regex) {
        std::fprintf(stderr, "Error compiling regular expression %s: %s\n", filter->pattern.c_str(),
                     error->message);
        return false;
    }
    return g_regex_match(regex.get(), enclosure->url->c_str(), static_cast<GRegexMatchFlags>(0),
                         nullptr);
}

// ---- the refresh ------------------------------------------------------------

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
        std::fprintf(stderr, "Spool directory %s not found.\n", state.spool.c_str());
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
            std::fprintf(stderr, "Enclosure file %s already holds %s.\n", printable(path).c_str(),
                         printable(*owner).c_str());
            return download_outcome::passed_over;
        }
        if (!options.resume) {
            std::fprintf(stderr, "Enclosure file %s already exists.\n", printable(path).c_str());
            return download_outcome::passed_over;
        }
        if (existing.st_size > 0) {
            resume_offset = existing.st_size;
            mode = "ab";
        }
    }
    FILE *stream = std::fopen(path.c_str(), mode);
    if (!stream) {
        std::fprintf(stderr, "Error opening enclosure file %s.\n", printable(path).c_str());
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
        std::fprintf(stderr,
                     "Enclosure file %s cannot be resumed: it holds %" PRId64
                     " bytes, the enclosure has %" PRId64 ".\n",
                     printable(path).c_str(), resume_offset, *remote_size);
    else if (fetched == FETCH_RANGE_REFUSED)
        std::fprintf(stderr,
                     "Enclosure file %s cannot be resumed: the server refused the range "
                     "without stating the enclosure's size.\n",
                     printable(path).c_str());
    bool failed = fetched != FETCH_OK;
    if (failed)
        std::fprintf(stderr, "Error downloading enclosure from %s.\n", printable(url).c_str());
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
        std::fprintf(stderr, "Error writing enclosure file %s: %s.\n", printable(path).c_str(),
                     std::strerror(write_error));
        std::fprintf(stderr, "Error downloading enclosure from %s.\n", printable(url).c_str());
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
    recorded_files recorded(state, *feed);
    // Enclosures that failed in this run: one that a feed lists twice is
    // tried once, as it is taken once.
    std::unordered_set<std::string> passed_over;
    for (const feed_item &item : feed->items) {
        if (!item.enclosure || !item.enclosure->url)
            continue;
        const feed_enclosure &enclosure = *item.enclosure;
        if (state.downloaded_enclosures.contains(*enclosure.url) ||
            passed_over.contains(*enclosure.url))
            continue;
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
            state.downloaded_enclosures.insert_or_assign(*enclosure.url, current_time_stamp());
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
