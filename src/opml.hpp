#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <glib.h>

namespace skiffer {

// The largest OPML file read. A subscription list of thousands of feeds
// takes a few hundred kilobytes; anything far larger is not one.
constexpr size_t opml_max_size = 8 * 1024 * 1024;

// One feed of an OPML document: an outline element with an xmlUrl.
struct opml_feed {
    // The xmlUrl without surrounding white space, an http or https URL: a
    // subscribe link (feed://, feed:https://...) as the URL it stands for.
    std::string url;
    std::optional<std::string> text;
    std::optional<std::string> title;
    long line; // where the outline starts, for messages
};

// What an OPML document lists: the feeds that can become channels, and the
// number of outlines left out because they cannot.
struct opml_document {
    std::vector<opml_feed> feeds;
    size_t skipped = 0;
};

// Reads the feeds of the OPML document `content`, in document order and
// from any depth of nested outlines; `name` names the document in messages.
// The subscribe links of podcast apps become http URLs: a feed://, itpc://,
// pcast:// or podcast:// link gets http:// in place of its scheme, and
// feed:http://... or feed:https://... becomes the URL after "feed:"; schemes
// compare without case. A feed outline (type rss) without xmlUrl, or one
// whose xmlUrl is then not an http or https URL or holds white space or
// control characters, is skipped with a message naming its line. Refuses,
// after one message "Error reading OPML file NAME: REASON.", a document that
// is not well-formed XML, declares entities, or has no opml root or no body.
// Nothing is fetched: no DTD, no external entity.
std::optional<opml_document> opml_parse(std::string_view content, const char *name);

// Reads the file at `path` (at most opml_max_size bytes) and parses it as
// opml_parse does; none after a message.
std::optional<opml_document> opml_read_file(const char *path);

// Whether `identifier` can name a channel: a key file group name (not
// empty, no '[', ']' or control characters, valid UTF-8), not the defaults
// group "*", and usable as a state file name (no '/', not "." or "..").
bool is_valid_channel_identifier(std::string_view identifier);

// The identifier a feed would like to have, before it is made unique: its
// text (else its title) as it is when that is a plain word of ASCII letters,
// digits, '.', '_' and '-' starting with a letter or digit; else the words
// of that name, transliterated to ASCII, lower-cased and joined by hyphens;
// else the same made from the URL's host. At most 64 bytes.
std::string opml_identifier_base(const opml_feed &feed);

// A channel that an import adds.
struct opml_channel {
    std::string identifier;
    std::string url;
};

// The channels to add for `feeds` to the configuration `kf`, in the order of
// the feeds. A feed whose URL a channel of `kf` (or an earlier feed) already
// has is left out with a message on standard error. Identifiers are unique,
// ignoring ASCII case, among the groups of `kf` and the other new channels:
// a taken one gets "-2", "-3"... appended.
std::vector<opml_channel> opml_plan_import(const std::vector<opml_feed> &feeds, GKeyFile *kf);

// The key file groups for `channels`, each with its url and a spool
// directory named after the identifier under `spool_root`, separated by
// blank lines and ending with a newline.
std::string opml_groups_text(const std::vector<opml_channel> &channels,
                             const std::string &spool_root);

// The text that appending `groups` to a configuration file holding
// `existing` gives: the existing bytes unchanged, a line break if its last
// line lacks one, a blank line when it is not empty, then the groups.
std::string opml_append_groups(std::string_view existing, std::string_view groups);

// An OPML 2.0 document listing every channel of `kf` whose url (its own or
// the defaults') is an http or https URL, in file order, each as an rss
// outline named by its identifier. Other channels are left out with a
// message on standard error.
std::string opml_export_document(GKeyFile *kf);

} // namespace skiffer
