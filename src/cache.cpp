#include "cache.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include <curl/curl.h>
#include <glib.h>
#include <zlib.h>

#include "common.hpp"
#include "files.hpp"
#include "output.hpp"

namespace skiffer {

namespace {

// The first line of every entry; a file that starts otherwise was written by
// something else, or by a later version in another form.
constexpr std::string_view entry_magic = "skiffer feed cache 1\n";

// Passes what is printed on to `outer` under the debug option and drops it
// otherwise: a cache problem is never the user's concern, but the messages
// of the helpers it uses (a full disk) explain it when debugging.
class debug_only_output final : public output_sink {
public:
    debug_only_output(output_sink &outer, bool debug) : outer_(outer), debug_(debug) {}
    void write(output_stream stream, std::string_view text) override {
        if (debug_)
            outer_.write(stream, text);
    }

private:
    output_sink &outer_;
    bool debug_;
};

// A value that can go into an entry's line and back into a request header.
bool storable(const std::string &value) {
    return value.find_first_of("\r\n", 0, 2) == std::string::npos &&
           value.find('\0') == std::string::npos;
}

// Reads a whole line "KEY VALUE\n" at `at` when it starts with `key`;
// advances `at` past it. Answers none when the next line is another key.
std::optional<std::string_view> take_line(std::string_view data, size_t &at, std::string_view key) {
    if (data.compare(at, key.size(), key) != 0 || at + key.size() >= data.size() ||
        data[at + key.size()] != ' ')
        return std::nullopt;
    const size_t start = at + key.size() + 1;
    const size_t end = data.find('\n', start);
    if (end == std::string_view::npos)
        return std::nullopt;
    at = end + 1;
    return data.substr(start, end - start);
}

// A count written by format_count: decimal digits, no sign, no leading zero.
std::optional<int64_t> parse_count(std::string_view text) {
    if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (!g_ascii_isdigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string format_count(int64_t value) {
    return std::to_string(value);
}

// Why `data` is not an entry, or empty when it is one (then filled into `entry`).
std::string parse_entry(std::string_view data, feed_cache_entry &entry) {
    if (data.substr(0, entry_magic.size()) != entry_magic)
        return "not a feed cache entry";
    size_t at = entry_magic.size();
    const std::optional<std::string_view> url = take_line(data, at, "url");
    if (!url)
        return "no url line";
    entry.url = *url;
    if (auto etag = take_line(data, at, "etag"))
        entry.etag = std::string(*etag);
    if (auto modified = take_line(data, at, "last-modified"))
        entry.last_modified = std::string(*modified);
    std::optional<int64_t> body_size;
    for (auto [key, field] :
         {std::pair{"stored", &entry.stored}, std::pair{"not-before", &entry.not_before}}) {
        if (auto text = take_line(data, at, key)) {
            std::optional<int64_t> value = parse_count(*text);
            if (!value)
                return std::string("bad ") + key + " line";
            *field = static_cast<std::time_t>(*value);
        }
    }
    if (auto text = take_line(data, at, "body")) {
        body_size = parse_count(*text);
        if (!body_size)
            return "bad body line";
    }
    if (data.compare(at, 1, "\n") != 0)
        return "unknown line";
    ++at;
    // A body comes with the time it was stored and at least one validator,
    // else it could never be asked about; an entry without one only waits.
    const bool has_validator = (entry.etag && !entry.etag->empty()) ||
                               (entry.last_modified && !entry.last_modified->empty());
    if (body_size.has_value() != entry.stored.has_value() ||
        (body_size.has_value() && !has_validator) ||
        (!body_size && (entry.etag || entry.last_modified || !entry.not_before)))
        return "inconsistent fields";
    const size_t rest = data.size() - at;
    if (body_size ? static_cast<uint64_t>(*body_size) != rest : rest != 0)
        return "truncated or overlong";
    if (body_size)
        entry.compressed_body = std::string(data.substr(at));
    return "";
}

} // namespace

std::string feed_cache_directory(const std::string &home) {
    // A relative XDG_CACHE_HOME is ignored, as other programs ignore it: it
    // would put the cache wherever the run happens to start.
    const char *cache = g_getenv("XDG_CACHE_HOME");
    gchar_ptr path(cache != nullptr && g_path_is_absolute(cache)
                       ? g_build_filename(cache, "skiffer", nullptr)
                       : g_build_filename(home.c_str(), ".cache", "skiffer", nullptr));
    return path.get();
}

std::string feed_cache_path(const std::string &directory, const std::string &identifier) {
    const std::string name = identifier + ".feed";
    gchar_ptr path(g_build_filename(directory.c_str(), name.c_str(), nullptr));
    return path.get();
}

std::optional<feed_cache_entry> feed_cache_load(const std::string &path, std::string &why) {
    why.clear();
    gchar *contents = nullptr;
    gsize length = 0;
    error_ptr error;
    if (!g_file_get_contents(path.c_str(), &contents, &length, out_ptr(error))) {
        if (!g_error_matches(error.get(), G_FILE_ERROR, G_FILE_ERROR_NOENT))
            why = error->message;
        return std::nullopt;
    }
    gchar_ptr owned(contents);
    feed_cache_entry entry;
    why = parse_entry(std::string_view(contents, length), entry);
    if (!why.empty())
        return std::nullopt;
    return entry;
}

bool feed_cache_store(const std::string &path, const feed_cache_entry &entry, bool debug) {
    if (!storable(entry.url) || (entry.etag && !storable(*entry.etag)) ||
        (entry.last_modified && !storable(*entry.last_modified)))
        return false;
    debug_only_output quiet(current_output(), debug);
    scoped_output printing_into(quiet);
    gchar_ptr directory(g_path_get_dirname(path.c_str()));
    if (g_mkdir_with_parents(directory.get(), 0700) != 0) {
        print_err("* Cannot make the feed cache directory %s: %s.\n", directory.get(),
                  std::strerror(errno));
        return false;
    }
    // Under the channel's lock, a temporary file beside the entry was left
    // by a run that was killed.
    remove_stale_temporary_files(path);

    std::string header(entry_magic);
    header += "url " + entry.url + "\n";
    if (entry.etag)
        header += "etag " + *entry.etag + "\n";
    if (entry.last_modified)
        header += "last-modified " + *entry.last_modified + "\n";
    if (entry.stored)
        header += "stored " + format_count(*entry.stored) + "\n";
    if (entry.not_before)
        header += "not-before " + format_count(*entry.not_before) + "\n";
    if (entry.compressed_body)
        header +=
            "body " + format_count(static_cast<int64_t>(entry.compressed_body->size())) + "\n";
    header += "\n";
    const int result = write_via_temporary_file(
        path,
        [&header, &entry](FILE *stream, int) {
            std::fwrite(header.data(), 1, header.size(), stream);
            if (entry.compressed_body)
                std::fwrite(entry.compressed_body->data(), 1, entry.compressed_body->size(),
                            stream);
            return 0;
        },
        nullptr, 0);
    return result == 0;
}

bool feed_cache_compress_file(const std::string &path, std::string &compressed) {
    gchar *contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr))
        return false;
    gchar_ptr owned(contents);
    z_stream z{};
    // 15 window bits and 16 for the gzip wrapper, whose check sum and
    // length let a damaged entry be told from a good one. The fastest
    // level: every feed fetched whole is packed, and feeds, being text,
    // shrink about sevenfold at it, against eightfold at three times the
    // work of the default.
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    compressed.resize(deflateBound(&z, length));
    z.next_in = reinterpret_cast<Bytef *>(contents);
    z.avail_in = static_cast<uInt>(length);
    z.next_out = reinterpret_cast<Bytef *>(compressed.data());
    z.avail_out = static_cast<uInt>(compressed.size());
    const int outcome = deflate(&z, Z_FINISH);
    compressed.resize(z.total_out);
    deflateEnd(&z);
    return outcome == Z_STREAM_END;
}

int feed_cache_decompress(FILE *stream, const std::string &compressed, int64_t limit) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK)
        return -1;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[1 << 16]);
    int64_t written = 0;
    int outcome = Z_OK;
    while (outcome == Z_OK) {
        z.next_out = buffer.get();
        z.avail_out = 1 << 16;
        outcome = inflate(&z, Z_NO_FLUSH);
        if (outcome != Z_OK && outcome != Z_STREAM_END)
            break;
        const size_t produced = (1 << 16) - z.avail_out;
        written += static_cast<int64_t>(produced);
        if (written > limit || std::fwrite(buffer.get(), 1, produced, stream) != produced) {
            outcome = Z_DATA_ERROR;
            break;
        }
        // No progress with input left means a stream cut short.
        if (outcome == Z_OK && produced == 0 && z.avail_in == 0)
            outcome = Z_BUF_ERROR;
    }
    inflateEnd(&z);
    // Bytes after the stream's end are not part of anything written.
    return outcome == Z_STREAM_END && z.avail_in == 0 ? 0 : -1;
}

bool feed_cache_is_fresh(const feed_cache_entry &entry, std::time_t now) {
    // A time stored in the future (a clock set back) says nothing of the
    // copy's age; it counts as expired.
    return entry.compressed_body && entry.stored && *entry.stored <= now &&
           now - *entry.stored < feed_cache_lifetime;
}

std::optional<std::time_t> retry_after_time(const std::string &text, std::time_t now) {
    const std::time_t latest = now + longest_requested_wait;
    std::time_t until;
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        // More digits than a day has seconds need not be read to the end.
        if (text.size() > 9)
            return latest;
        until = now + static_cast<std::time_t>(std::stol(text));
    } else {
        until = curl_getdate(text.c_str(), nullptr);
        if (until == -1)
            return std::nullopt;
    }
    if (until <= now)
        return std::nullopt;
    return until < latest ? until : latest;
}

} // namespace skiffer
