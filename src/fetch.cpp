#include "fetch.hpp"

#include <cerrno>
#include <condition_variable>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "common.hpp"
#include "output.hpp"

namespace skiffer {

namespace {

using curl_easy_ptr = c_ptr<CURL, curl_easy_cleanup>;

constexpr long receive_buffer_size = 128 * 1024;

// libcurl's global set-up is not made for being repeated per transfer; it is
// done before the first one and undone when the program exits, after the
// connections are closed, since exit handlers run in reverse order. Answers
// its outcome, the same for every call.
CURLcode initialise_curl_once() {
    static const CURLcode outcome = [] {
        CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
        if (code == CURLE_OK)
            std::atexit(curl_global_cleanup);
        return code;
    }();
    return outcome;
}

// The transfer handles of a run and the connections they keep, by host. At
// most two transfers to one host are under way at a time, whichever
// channels ask for them: a server sees a run as one polite client. A
// transfer takes a handle that last went to its host, if one is idle, so
// that the episodes of a host come over the connection that brought its
// feed, after one handshake. A handle is only ever used by one transfer at a
// time, which libcurl requires of handles and their connections.
class connection_pool {
public:
    static constexpr int transfers_per_host = 2;

    // Waits until the host may take one more transfer, and answers a
    // handle for it: an idle one of the host when there is one, else a new
    // one (null when libcurl cannot make one).
    curl_easy_ptr acquire(const std::string &host) {
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return active_[host] < transfers_per_host; });
        ++active_[host];
        for (auto idle = idle_.begin(); idle != idle_.end(); ++idle) {
            if (idle->first == host) {
                curl_easy_ptr handle = std::move(idle->second);
                idle_.erase(idle);
                return handle;
            }
        }
        lock.unlock();
        return curl_easy_ptr(curl_easy_init());
    }

    // Gives the handle back with its connections open, and lets the next
    // transfer to the host begin.
    void release(const std::string &host, curl_easy_ptr handle) {
        curl_easy_ptr closed;
        {
            std::lock_guard lock(mutex_);
            if (--active_[host] == 0)
                active_.erase(host);
            if (handle) {
                // The options go, with their pointers into the finished
                // transfer; the connections, name lookups and TLS sessions
                // stay.
                curl_easy_reset(handle.get());
                idle_.emplace_front(host, std::move(handle));
                // Every idle handle keeps its connections open; a run over
                // many hosts keeps those it used last.
                if (idle_.size() > max_idle_handles) {
                    closed = std::move(idle_.back().second);
                    idle_.pop_back();
                }
            }
        }
        freed_.notify_all();
    }

private:
    static constexpr size_t max_idle_handles = 16;

    std::mutex mutex_;
    std::condition_variable freed_;
    std::unordered_map<std::string, int> active_;
    std::list<std::pair<std::string, curl_easy_ptr>> idle_; // the last used first
};

// The pool of the run. Made after libcurl's set-up, so that it is destroyed,
// and its connections closed, before libcurl's clean-up at exit.
connection_pool &pool() {
    static connection_pool instance;
    return instance;
}

// The size of the whole resource that a 416 answer states in its
// "Content-Range: bytes */N"; none when the last answer has no such header
// or it reads otherwise.
std::optional<int64_t> stated_resource_size(CURL *curl) {
    struct curl_header *header = nullptr;
    if (curl_easy_header(curl, "Content-Range", 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return std::nullopt;
    const char *p = header->value;
    // Range units ignore case; white space separates the unit.
    if (g_ascii_strncasecmp(p, "bytes", 5) != 0 || (p[5] != ' ' && p[5] != '\t'))
        return std::nullopt;
    p += 5;
    while (*p == ' ' || *p == '\t')
        ++p;
    if (p[0] != '*' || p[1] != '/' || !g_ascii_isdigit(p[2]))
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    gint64 size = g_ascii_strtoll(p + 2, &end, 10);
    if (errno == ERANGE)
        return std::nullopt;
    while (*end == ' ' || *end == '\t')
        ++end;
    if (*end != '\0')
        return std::nullopt;
    return size;
}

// What no transfer may exceed, so that an unattended run never waits for
// ever on a silent server nor fills the disk with an endless feed.
struct transfer_limits {
    long connect_seconds = 30;
    // A transfer that averages fewer bytes a second than this over that many
    // seconds has stalled, before the headers or after them.
    long low_speed_bytes = 10;
    long low_speed_seconds = 60;
    long redirects = 20;
    // The decoded size of a feed; far more than any real feed needs.
    curl_off_t feed_bytes = curl_off_t{256} << 20;
};

// The limits of the next transfer. SKIFFER_TEST_LIMITS is meant for the test
// suite only, which must reach the limits in seconds rather than minutes:
// "CONNECT_SECONDS:LOW_SPEED_SECONDS:FEED_BYTES" replaces those three. It is
// read for every transfer, so a test can change it between two.
transfer_limits current_limits() {
    transfer_limits limits;
    if (const char *text = std::getenv("SKIFFER_TEST_LIMITS")) {
        long connect = 0;
        long low_speed = 0;
        intmax_t feed = 0;
        if (std::sscanf(text, "%ld:%ld:%jd", &connect, &low_speed, &feed) == 3 && connect > 0 &&
            low_speed > 0 && feed > 0) {
            limits.connect_seconds = connect;
            limits.low_speed_seconds = low_speed;
            limits.feed_bytes = static_cast<curl_off_t>(feed);
        }
    }
    return limits;
}

// The stream of a feed download with the count of its decoded bytes. The
// count has to be taken here: libcurl's own size limit sees only what the
// server announces or sends, and a small compressed body can decode to
// gigabytes.
struct feed_sink {
    FILE *stream;
    curl_off_t limit = 0;
    curl_off_t written = 0;
    bool refused = false;
};

size_t feed_write_cb(char *ptr, size_t size, size_t nmemb, void *data) {
    auto *sink = static_cast<feed_sink *>(data);
    const auto bytes = static_cast<curl_off_t>(size * nmemb);
    if (bytes > sink->limit - sink->written) {
        // Taking nothing ends the transfer with a write error.
        sink->refused = true;
        return 0;
    }
    sink->written += bytes;
    return std::fwrite(ptr, size, nmemb, sink->stream);
}

// libcurl's connection trace in the form of its own, "* " before its
// remarks and "< " and "> " before the headers received and sent, onto the
// run's standard error rather than the process's: a channel run on its own
// thread prints there.
int trace_cb(CURL *, curl_infotype type, char *data, size_t size, void *) {
    static constexpr const char *prefixes[] = {"* ", "< ", "> "};
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    std::string line = prefixes[type];
    line.append(data, size);
    current_output().write(output_stream::err, line);
    return 0;
}

using slist_ptr = c_ptr<curl_slist, curl_slist_free_all>;

// Adds the exchange's validators to the request, exactly as stored: libcurl's
// own time condition would send a date of its making instead, and hide a
// 304 answer. Answers whether any was sent.
bool set_validators(CURL *curl, const http_exchange &exchange, slist_ptr &headers) {
    for (auto [name, value] : {std::pair{"If-None-Match: ", &exchange.if_none_match},
                               std::pair{"If-Modified-Since: ", &exchange.if_modified_since}}) {
        if (!*value)
            continue;
        const std::string line = name + **value;
        curl_slist *appended = curl_slist_append(headers.get(), line.c_str());
        if (appended == nullptr)
            return false;
        headers.release();
        headers.reset(appended);
    }
    if (!headers)
        return false;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    return true;
}

// The value of the last answer's header `name`, as the server sent it,
// without the white space around it, which is no part of a value. libcurl
// 7.88 gives an empty value as the line's carriage return.
std::optional<std::string> answer_header(CURL *curl, const char *name) {
    struct curl_header *header = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return std::nullopt;
    std::string value(header->value);
    const size_t end = value.find_last_not_of(" \t\r\n");
    value.erase(end == std::string::npos ? 0 : end + 1);
    return value;
}

void read_answer(CURL *curl, long status, http_exchange &exchange) {
    exchange.status = status;
    exchange.etag = answer_header(curl, "ETag");
    exchange.last_modified = answer_header(curl, "Last-Modified");
    exchange.retry_after = answer_header(curl, "Retry-After");
    exchange.answering_host.reset();
    char *effective = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective != nullptr)
        exchange.answering_host = url_host(effective);
}

} // namespace

std::optional<std::string> url_host(const char *url) {
    c_ptr<CURLU, curl_url_cleanup> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url, 0) != CURLUE_OK)
        return std::nullopt;
    char *host = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK)
        return std::nullopt;
    c_ptr<char, curl_free> owned(host);
    // Host names compare without case.
    gchar_ptr lower(g_ascii_strdown(host, -1));
    return std::string(lower.get());
}

int64_t feed_size_limit() {
    return current_limits().feed_bytes;
}

namespace {

// fetch_url for both kinds of resource: an enclosure when `feed` is null,
// else a feed written through `feed`, decoded and capped.
int transfer(const char *url, FILE *stream, curl_write_callback write_function,
             int64_t resume_offset, int debug, progress_bar *bar,
             std::optional<int64_t> *remote_size, feed_sink *feed, http_exchange *exchange) {
    const transfer_limits limits = current_limits();
    if (feed != nullptr)
        feed->limit = limits.feed_bytes;
    if (CURLcode setup = initialise_curl_once(); setup != CURLE_OK) {
        print_err("Error retrieving %s: %s\n", printable(url).c_str(), curl_easy_strerror(setup));
        return FETCH_FAILED;
    }
    std::string user_agent =
        SKIFFER_NAME " " SKIFFER_VERSION " (" SKIFFER_NAME " rss enclosure downloader)";

    // URLs without a host fail soon; meanwhile they take turns as one.
    const std::string host = url_host(url).value_or("");
    curl_easy_ptr handle = pool().acquire(host);
    // Whatever becomes of the transfer, the host's turn is given back.
    struct returned_to_pool {
        const std::string &host;
        curl_easy_ptr &handle;
        ~returned_to_pool() { pool().release(host, std::move(handle)); }
    } give_back{host, handle};
    if (!handle) {
        print_err("Error retrieving %s: %s\n", printable(url).c_str(),
                  curl_easy_strerror(CURLE_FAILED_INIT));
        return FETCH_FAILED;
    }
    CURL *curl = handle.get();

    char error_text[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
    // Feed and enclosure URLs come from other people's documents: only web
    // resources may be fetched, never local files or other schemes, and a
    // redirect must not lead there either.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // An error page is not the resource: without this its body would land in
    // the enclosure file or be parsed as the feed, and count as success.
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    if (feed != nullptr) {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, feed_write_cb);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, feed);
    } else {
        // A null write function selects libcurl's own, which fwrites to WRITEDATA.
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_function);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, stream);
    }
    // Larger blocks than libcurl's 16 KiB: an episode arrives in a fraction
    // of the reads and writes.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, receive_buffer_size);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    // A redirect loop or an endless chain ends here, not at the server's whim.
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, limits.redirects);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connect_seconds);
    // A stalled transfer fails like a dropped connection: a partial
    // enclosure stays for a later resume.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.low_speed_seconds);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, user_agent.c_str());
    // Only a feed is offered compression: the empty text offers every
    // encoding libcurl can decode, and the body reaches the stream decoded.
    // Enclosures are compressed media already, and asking for them encoded
    // would only invite a small body that decodes to fill the disk; without
    // the offer libcurl also leaves any encoding a server sends unasked.
    if (feed != nullptr)
        curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    if (bar != nullptr) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress_bar_cb);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, bar);
    } else {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    }
    if (resume_offset != 0)
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(resume_offset));
    curl_easy_setopt(curl, CURLOPT_VERBOSE, static_cast<long>(debug));
    if (debug)
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, trace_cb);
    // Held while the transfer runs, which reads the list.
    slist_ptr conditions;
    const bool conditional = exchange != nullptr && set_validators(curl, *exchange, conditions);

    CURLcode outcome = curl_easy_perform(curl);
    // The error number of a failed write is wanted below; closing the
    // connection must not overwrite it.
    int write_errno = errno;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (exchange != nullptr)
        read_answer(curl, status, *exchange);

    // libcurl passes a 304 as success with an empty body. It means "your
    // copy is current" only to a request that sent a copy's validators; to
    // any other it is an answer without the resource, an error like those
    // FAILONERROR catches.
    if (feed != nullptr && outcome == CURLE_OK && status == 304) {
        if (conditional)
            return FETCH_NOT_MODIFIED;
        print_err("Error retrieving %s: The requested URL returned error: 304\n",
                  printable(url).c_str());
        return FETCH_HTTP_ERROR;
    }

    // A 416 to a resumed request says that the range starts at or past the
    // end of the resource. The stream is complete only when the answer
    // states the resource's size as exactly the bytes it holds; a resource
    // of another size is another file (two episodes under one name, a file
    // replaced on the server), and counting it as complete would record an
    // episode never downloaded. libcurl fails the transfer when the
    // Content-Range reads "bytes */size", but passes a 416 without one as
    // success, so the status decides here, not the outcome. Nothing of a 416
    // answer reaches the stream either way.
    std::optional<int64_t> stated_size;
    bool range_refused = false;
    if (resume_offset != 0 && status == 416) {
        stated_size = stated_resource_size(curl);
        range_refused = stated_size != resume_offset;
        outcome = range_refused ? CURLE_RANGE_ERROR : CURLE_OK;
    }
    if (outcome == CURLE_OK)
        return FETCH_OK;

    if (bar != nullptr && !bar->in_status_line) {
        // The message must not continue the bar's line.
        print_out("\n");
        current_output().flush();
    }
    if (range_refused) {
        if (remote_size != nullptr)
            *remote_size = stated_size;
        return FETCH_RANGE_REFUSED;
    }

    // libcurl fills the buffer for nearly every failure; its short text for
    // the code stands in where it did not. Both may hold text from a feed or
    // a server (the URL, a host name).
    const std::string shown_url = printable(url);
    const std::string reason =
        printable(error_text[0] != '\0' ? error_text : curl_easy_strerror(outcome));
    if (feed != nullptr && feed->refused)
        print_err("Error retrieving %s: The feed exceeds the limit of %" PRIdMAX " bytes.\n",
                  shown_url.c_str(), static_cast<intmax_t>(feed->limit));
    else if (outcome == CURLE_WRITE_ERROR)
        print_err("Error retrieving %s: %s: %s\n\n", shown_url.c_str(), reason.c_str(),
                  std::strerror(write_errno));
    else
        print_err("Error retrieving %s: %s\n", shown_url.c_str(), reason.c_str());
    // FAILONERROR turns every status of 400 or more, and only those, into
    // this outcome; whatever else failed got no usable answer.
    return outcome == CURLE_HTTP_RETURNED_ERROR ? FETCH_HTTP_ERROR : FETCH_FAILED;
}

} // namespace

size_t stream_write_cb(char *ptr, size_t size, size_t nmemb, void *stream) {
    return std::fwrite(ptr, size, nmemb, static_cast<FILE *>(stream));
}

int fetch_url(const char *url, FILE *stream, curl_write_callback write_function,
              int64_t resume_offset, int debug, progress_bar *bar,
              std::optional<int64_t> *remote_size, http_exchange *exchange) {
    return transfer(url, stream, write_function, resume_offset, debug, bar, remote_size, nullptr,
                    exchange);
}

int fetch_url_to_stream(FILE *stream, const std::string &url, int debug, http_exchange *exchange) {
    feed_sink sink{.stream = stream};
    return transfer(url.c_str(), stream, nullptr, 0, debug, nullptr, nullptr, &sink, exchange);
}

} // namespace skiffer
