#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace skiffer {

// One taken enclosure: when it was taken, none when unknown, and the guid
// of its item, none when unknown.
struct enclosure_entry {
    enclosure_entry(std::optional<std::string> stamp_ = std::nullopt,
                    std::optional<std::string> guid_ = std::nullopt)
        : stamp(std::move(stamp_)), guid(std::move(guid_)) {}

    std::optional<std::string> stamp;
    std::optional<std::string> guid;

    friend bool operator==(const enclosure_entry &, const enclosure_entry &) = default;
};

// The enclosures a channel has taken, by URL. It reads like a hash map.
// Besides the entries it keeps each entry's line of the state file, escaped
// once when the entry changes and kept in byte order of the URLs, so that
// writing the file copies ready text instead of escaping and sorting every
// entry on every save. A guid that XML cannot hold is not kept, so that the
// table holds what its file gives back.
class enclosure_table {
public:
    using map_type = std::unordered_map<std::string, enclosure_entry>;
    using value_type = map_type::value_type;
    using iterator = map_type::const_iterator;
    using const_iterator = map_type::const_iterator;

    enclosure_table() = default;
    enclosure_table(std::initializer_list<value_type> entries);
    enclosure_table(const enclosure_table &other);
    enclosure_table(enclosure_table &&other) noexcept = default;
    enclosure_table &operator=(const enclosure_table &other);
    enclosure_table &operator=(enclosure_table &&other) noexcept = default;
    enclosure_table &operator=(std::initializer_list<value_type> entries);

    // Adds the entry, or gives a URL already present the new stamp and guid.
    void insert_or_assign(std::string url, std::optional<std::string> stamp,
                          std::optional<std::string> guid = std::nullopt);
    // Adds the entry unless the URL is present; `second` tells whether it did.
    std::pair<const_iterator, bool> emplace(std::string url, std::optional<std::string> stamp,
                                            std::optional<std::string> guid = std::nullopt);
    // Gives the entry at `entry` the guid `guid`.
    void set_guid(const_iterator entry, std::string guid);

    bool contains(const std::string &url) const { return entries_.contains(url); }
    size_t count(const std::string &url) const { return entries_.count(url); }
    const_iterator find(const std::string &url) const { return entries_.find(url); }
    const enclosure_entry &at(const std::string &url) const { return entries_.at(url); }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    // The entry with the guid `guid`, of several the first in byte order of
    // the URLs, or end(). The index it needs is made on the first call, so
    // that a table only ever searched by URL never pays for it.
    const_iterator find_guid(const std::string &guid);

    // The state file's entry lines in byte order of their URLs, as two runs
    // of text to be written one after the other. An entry whose URL XML
    // cannot hold at all has no line.
    std::pair<std::string_view, std::string_view> lines() const;

    friend bool operator==(const enclosure_table &a, const enclosure_table &b) {
        return a.entries_ == b.entries_;
    }
    friend bool operator==(const enclosure_table &a, const map_type &b) { return a.entries_ == b; }

private:
    // Text that grows by insertions, with a gap at the place of the last
    // one: the next insertion there or close by moves little or nothing. A
    // feed taken newest first adds every URL just before the previous one.
    class gap_text {
    public:
        gap_text() = default;
        gap_text(const gap_text &) = default;
        gap_text &operator=(const gap_text &) = default;
        // A text moved from is left empty, gap included.
        gap_text(gap_text &&other) noexcept
            : buffer_(std::move(other.buffer_)), gap_start_(std::exchange(other.gap_start_, 0)),
              gap_end_(std::exchange(other.gap_end_, 0)) {
            other.buffer_.clear();
        }
        gap_text &operator=(gap_text &&other) noexcept {
            buffer_ = std::move(other.buffer_);
            other.buffer_.clear();
            gap_start_ = std::exchange(other.gap_start_, 0);
            gap_end_ = std::exchange(other.gap_end_, 0);
            return *this;
        }

        void insert(size_t position, std::string_view text);
        void erase(size_t position, size_t length);
        size_t size() const { return buffer_.size() - (gap_end_ - gap_start_); }
        std::string_view before_gap() const { return {buffer_.data(), gap_start_}; }
        std::string_view after_gap() const {
            return {buffer_.data() + gap_end_, buffer_.size() - gap_end_};
        }

    private:
        void move_gap(size_t position);
        std::string buffer_;
        size_t gap_start_ = 0;
        size_t gap_end_ = 0;
    };

    // A line of `text_`: the key it belongs to (the nodes of `entries_`
    // never move) and its length in bytes.
    struct line_ref {
        const std::string *url;
        size_t length;
    };

    // Guids to the keys of their entries (the nodes of `entries_` never
    // move); a copy of a table makes its own when it needs one.
    struct guid_index {
        guid_index() = default;
        guid_index(const guid_index &) {}
        guid_index &operator=(const guid_index &) {
            urls.reset();
            return *this;
        }
        guid_index(guid_index &&) noexcept = default;
        guid_index &operator=(guid_index &&) noexcept = default;
        std::optional<std::unordered_map<std::string, const std::string *>> urls;
    };

    // Sets the entry's stamp and guid, keeping its line and the guid index
    // up to date.
    void assign(map_type::iterator entry, std::optional<std::string> stamp,
                std::optional<std::string> guid);
    void place_line(const std::string &url, const enclosure_entry &entry);
    // Enters the entry under its guid unless one of a smaller URL is.
    void index_guid(const std::string &url, const std::string &guid);

    map_type entries_;
    std::vector<line_ref> order_; // the lines of `text_`, in the same order
    gap_text text_;
    guid_index by_guid_;
};

// What a channel has taken, and where it keeps that.
struct channel_state {
    std::string url;
    std::string state_file;
    std::string spool;
    std::optional<std::string> filename_pattern;
    enclosure_table downloaded_enclosures;
    std::optional<std::string> rsslastfetched;
};

// A new state, filled from `state_file` when it exists; null after a message
// when it exists but cannot be read as a state file.
std::unique_ptr<channel_state>
channel_state_load(const std::string &url, const std::string &state_file, const std::string &spool,
                   const std::optional<std::string> &filename_pattern);

// Writes the state file's XML to `stream`, the entries in byte order of their
// URLs; `extra` is ignored. An entry whose URL XML cannot hold at all is left
// out so the file stays readable. Always returns 0.
int write_channel_state(FILE *stream, const channel_state &state, int extra);

// Replaces the state file with the current state through a temporary file;
// the result is write_via_temporary_file's.
int save_channel_state(const channel_state &state, int debug);

} // namespace skiffer
