#include "state.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include <glib.h>
#include <libxml/parser.h>

#include "common.hpp"
#include "files.hpp"
#include "output.hpp"
#include "xmlutil.hpp"

namespace skiffer {

namespace {

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
// The guid comes last, so that a reader that knows only the first two
// attributes finds them where they always were.
std::string entry_line(const std::string &url, const std::optional<std::string> &stamp,
                       const std::optional<std::string> &guid) {
    std::string line;
    line.reserve(url.size() + (stamp ? stamp->size() : 0) + (guid ? guid->size() : 0) + 56);
    line += "  <enclosure url=\"";
    if (!append_attribute(line, url))
        return {};
    if (stamp) {
        const size_t without_stamp = line.size();
        line += "\" downloadtime=\"";
        if (!append_attribute(line, *stamp))
            line.resize(without_stamp);
    }
    if (guid) {
        line += "\" guid=\"";
        // The table keeps only guids that XML can hold.
        append_attribute(line, *guid);
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
// that write_channel_state gives a state of plain URLs, stamps and guids, and
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
        std::optional<std::string> guid;
        if (!take_value(url) || (take(" downloadtime=\"") && !take_value(stamp.emplace())) ||
            (take(" guid=\"") && !take_value(guid.emplace())) || !take("/>\n"))
            return false;
        // A URL listed twice keeps the stamp and guid of its last line.
        entries.insert_or_assign(std::move(url), stamp_of(std::move(stamp)), std::move(guid));
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
        insert_or_assign(entry.first, entry.second.stamp, entry.second.guid);
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

void enclosure_table::insert_or_assign(std::string url, std::optional<std::string> stamp,
                                       std::optional<std::string> guid) {
    auto entry = entries_.try_emplace(std::move(url)).first;
    assign(entry, std::move(stamp), std::move(guid));
}

std::pair<enclosure_table::const_iterator, bool>
enclosure_table::emplace(std::string url, std::optional<std::string> stamp,
                         std::optional<std::string> guid) {
    auto [entry, added] = entries_.try_emplace(std::move(url));
    if (added)
        assign(entry, std::move(stamp), std::move(guid));
    return {entry, added};
}

void enclosure_table::set_guid(const_iterator entry, std::string guid) {
    // The table's own iterator, from the constant one it handed out.
    const auto own = entries_.erase(entry, entry);
    assign(own, own->second.stamp, std::move(guid));
}

void enclosure_table::assign(map_type::iterator entry, std::optional<std::string> stamp,
                             std::optional<std::string> guid) {
    enclosure_entry &value = entry->second;
    if (guid && !is_plain(*guid) && !is_xml_text(*guid))
        guid.reset();
    // An entry that loses its guid may be the one the index names for it;
    // rather than look for another, the index is made anew when needed.
    if (by_guid_.urls && value.guid && value.guid != guid)
        by_guid_.urls.reset();
    value.stamp = std::move(stamp);
    value.guid = std::move(guid);
    place_line(entry->first, value);
    if (by_guid_.urls && value.guid)
        index_guid(entry->first, *value.guid);
}

void enclosure_table::index_guid(const std::string &url, const std::string &guid) {
    auto [indexed, added] = by_guid_.urls->try_emplace(guid, &url);
    if (!added && url < *indexed->second)
        indexed->second = &url;
}

enclosure_table::const_iterator enclosure_table::find_guid(const std::string &guid) {
    if (!by_guid_.urls) {
        by_guid_.urls.emplace();
        for (const auto &[url, entry] : entries_) {
            if (entry.guid)
                index_guid(url, *entry.guid);
        }
    }
    auto found = by_guid_.urls->find(guid);
    return found == by_guid_.urls->end() ? entries_.end() : entries_.find(*found->second);
}

void enclosure_table::place_line(const std::string &url, const enclosure_entry &entry) {
    const std::string line = entry_line(url, entry.stamp, entry.guid);
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
        print_err("Error parsing channel file %s.\n", state_file.c_str());
        return nullptr;
    }

    state->rsslastfetched = xml_get_attribute(root, "rsslastfetched");
    loaded_stamps stamp_of;
    xml_foreach_child(root, "enclosure", [&](int32_t, xmlNode *enclosure) {
        // An entry without a URL names nothing the refresh could look up.
        std::optional<std::string> enclosure_url = xml_get_attribute(enclosure, "url");
        if (!enclosure_url)
            return;
        // A URL listed twice keeps the stamp and guid of its last element.
        state->downloaded_enclosures.insert_or_assign(
            std::move(*enclosure_url), stamp_of(xml_get_attribute(enclosure, "downloadtime")),
            xml_get_attribute(enclosure, "guid"));
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

} // namespace skiffer
