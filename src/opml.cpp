#include "opml.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include "common.hpp"
#include "configuration.hpp"
#include "xmlutil.hpp"

namespace skiffer {

namespace {

constexpr size_t identifier_max = 64;

using uri_ptr = c_ptr<GUri, g_uri_unref>;
// Only ever read: closing it cannot lose anything.
using input_file_ptr = c_ptr<FILE, std::fclose>;

// Where the parser met an entity declaration; kept in the context's
// _private field, which libxml2 leaves alone.
struct refused_declaration {
    bool found = false;
    int line = 0;
};

// entityDecl handler: a subscription list has no use for its own entities,
// and declaring them is how a small document expands into gigabytes or
// reads local files. The first declaration stops the parser, before any
// reference to it is read.
void refuse_entity_declaration(void *user_data, const xmlChar *, int, const xmlChar *,
                               const xmlChar *, xmlChar *) {
    auto *context = static_cast<xmlParserCtxt *>(user_data);
    auto *refused = static_cast<refused_declaration *>(context->_private);
    if (!refused->found) {
        refused->found = true;
        refused->line = context->input != nullptr ? context->input->line : 0;
    }
    xmlStopParser(context);
}

bool is_named(const xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

// The value of the attribute `name` without namespace, matched ignoring
// case ("xmlUrl", "xmlurl"), as the parser left it: with entities
// substituted every value is a plain text. Attributes that a DTD only
// declares a default for are not seen.
std::optional<std::string> attribute_value(const xmlNode *element, const char *name) {
    for (const xmlAttr *attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        if (attribute->ns != nullptr ||
            g_ascii_strcasecmp(reinterpret_cast<const char *>(attribute->name), name) != 0)
            continue;
        std::string value;
        for (const xmlNode *piece = attribute->children; piece != nullptr; piece = piece->next)
            if (piece->type == XML_TEXT_NODE && piece->content != nullptr)
                value += reinterpret_cast<const char *>(piece->content);
        return value;
    }
    return std::nullopt;
}

std::string stripped(const std::string &text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    auto end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// Whether `url` can stand in a configuration file as a feed URL: http or
// https, and nothing that would end the key file line or that a server
// would not take (white space, control characters).
bool is_feed_url(const std::string &url) {
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7f)
            return false;
    size_t scheme_length;
    if (g_ascii_strncasecmp(url.c_str(), "http://", 7) == 0)
        scheme_length = 7;
    else if (g_ascii_strncasecmp(url.c_str(), "https://", 8) == 0)
        scheme_length = 8;
    else
        return false;
    return url.size() > scheme_length;
}

// The URL that the subscribe link `url` stands for, or `url` itself when it
// is none. Podcast apps export feeds as links that a click hands to them:
// feed://, itpc://, pcast:// and podcast:// name the feed's http URL, and
// feed: may also wrap a whole http or https URL.
std::string subscribed_url(const std::string &url) {
    constexpr std::string_view wrapper = "feed:";
    if (g_ascii_strncasecmp(url.c_str(), wrapper.data(), wrapper.size()) == 0) {
        const char *wrapped = url.c_str() + wrapper.size();
        if (g_ascii_strncasecmp(wrapped, "http://", 7) == 0 ||
            g_ascii_strncasecmp(wrapped, "https://", 8) == 0)
            return wrapped;
    }
    for (std::string_view scheme : {"feed://", "itpc://", "pcast://", "podcast://"})
        if (g_ascii_strncasecmp(url.c_str(), scheme.data(), scheme.size()) == 0)
            return "http://" + url.substr(scheme.size());
    return url;
}

// Collects the feeds below `parent`, depth first in document order. An
// outline that is a feed without a usable URL is skipped with a message and
// counted. The parser's depth limit bounds the recursion.
void collect_feeds(const xmlNode *parent, const char *name, opml_document &document) {
    for (const xmlNode *node = parent->children; node != nullptr; node = node->next) {
        if (!is_named(node, "outline"))
            continue;
        const long line = xmlGetLineNo(node);
        const std::optional<std::string> url = attribute_value(node, "xmlUrl");
        if (url) {
            opml_feed feed{subscribed_url(stripped(*url)), attribute_value(node, "text"),
                           attribute_value(node, "title"), line};
            if (is_feed_url(feed.url)) {
                document.feeds.push_back(std::move(feed));
            } else {
                std::fprintf(stderr,
                             "Skipping the outline on line %ld of OPML file %s: its xmlUrl is "
                             "not an http or https URL.\n",
                             line, name);
                ++document.skipped;
            }
        } else if (const auto type = attribute_value(node, "type");
                   type && g_ascii_strcasecmp(stripped(*type).c_str(), "rss") == 0) {
            std::fprintf(stderr,
                         "Skipping the outline on line %ld of OPML file %s: it has type rss but "
                         "no xmlUrl.\n",
                         line, name);
            ++document.skipped;
        }
        collect_feeds(node, name, document);
    }
}

// The words of `name` in ASCII, lower case, joined by hyphens and cut to
// identifier_max at a word boundary where one is near enough.
std::string joined_words(const std::string &name) {
    gchar_ptr ascii(g_str_to_ascii(name.c_str(), "C"));
    std::string result;
    bool separate = false;
    for (const char *c = ascii.get(); *c != '\0'; ++c) {
        if (!g_ascii_isalnum(*c)) {
            separate = !result.empty();
            continue;
        }
        if (separate)
            result += '-';
        separate = false;
        result += g_ascii_tolower(*c);
    }
    if (result.size() > identifier_max) {
        result.resize(identifier_max);
        auto cut = result.rfind('-');
        if (cut != std::string::npos && cut >= identifier_max / 2)
            result.resize(cut);
        while (!result.empty() && result.back() == '-')
            result.pop_back();
    }
    return result;
}

// A name that serves as an identifier as it stands: it keeps identifiers
// that came from skiffer's own export unchanged through an import.
bool is_plain_word(const std::string &name) {
    if (name.empty() || name.size() > identifier_max || !g_ascii_isalnum(name[0]))
        return false;
    for (char c : name)
        if (!g_ascii_isalnum(c) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

std::string host_words(const std::string &url) {
    uri_ptr uri(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!uri || g_uri_get_host(uri.get()) == nullptr)
        return {};
    std::string host = g_uri_get_host(uri.get());
    if (g_ascii_strncasecmp(host.c_str(), "www.", 4) == 0)
        host.erase(0, 4);
    return joined_words(host);
}

// The form in which identifiers are compared for uniqueness: state files
// named by two identifiers that differ only in case would be one file on a
// file system that ignores case.
std::string folded(const std::string &identifier) {
    gchar_ptr lower(g_ascii_strdown(identifier.c_str(), -1));
    return lower.get();
}

std::string with_suffix(const std::string &base, unsigned number) {
    // Formatted into a buffer: g++ 12 warns wrongly about string
    // concatenation here in optimised builds.
    char suffix[16];
    const auto length = static_cast<size_t>(std::snprintf(suffix, sizeof suffix, "-%u", number));
    std::string identifier = base.substr(0, identifier_max - length);
    identifier.append(suffix, length);
    return identifier;
}

} // namespace

std::optional<opml_document> opml_parse(std::string_view content, const char *name) {
    SKIFFER_ASSERT(name != nullptr);
    if (content.size() > opml_max_size) {
        std::fprintf(stderr, "Error reading OPML file %s: larger than %zu MiB.\n", name,
                     opml_max_size >> 20);
        return std::nullopt;
    }
    xml_parser_context_ptr context(xmlNewParserCtxt());
    if (!context) {
        std::fprintf(stderr, "Error reading OPML file %s: out of memory.\n", name);
        return std::nullopt;
    }
    refused_declaration refused;
    context->_private = &refused;
    context->sax->entityDecl = refuse_entity_declaration;
    // The external subset is never read, whatever the options say.
    context->sax->externalSubset = nullptr;

    // Entities are substituted while parsing, which is safe only because no
    // declaration gets through: what is left are the five predefined ones
    // and character references, each a single character. A reference to an
    // undeclared name is an error, as XML has it.
    // No network, and no messages of the parser's own: the last error is
    // reported below, once, in the program's words.
    const int options = XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xml_document_ptr document(xmlCtxtReadMemory(
        context.get(), content.data(), static_cast<int>(content.size()), name, nullptr, options));
    // A stopped parser may still hand over the part it read: the refusal
    // is told by the handler, not by a missing tree.
    if (refused.found) {
        std::fprintf(stderr,
                     "Error reading OPML file %s: line %d: entity declarations are not "
                     "accepted.\n",
                     name, refused.line);
        return std::nullopt;
    }
    if (!document) {
        const xmlError *error = xmlCtxtGetLastError(context.get());
        if (error != nullptr && error->message != nullptr) {
            std::string message = stripped(error->message);
            while (!message.empty() && message.back() == '.')
                message.pop_back();
            std::fprintf(stderr, "Error reading OPML file %s: line %d: %s.\n", name, error->line,
                         message.c_str());
        } else {
            std::fprintf(stderr, "Error reading OPML file %s: not an XML document.\n", name);
        }
        return std::nullopt;
    }

    xmlNode *root = xmlDocGetRootElement(document.get());
    if (root == nullptr || !is_named(root, "opml")) {
        std::fprintf(stderr, "Error reading OPML file %s: the top-level element is not opml.\n",
                     name);
        return std::nullopt;
    }
    xmlNode *body = xml_find_child(root, nullptr, "body");
    if (body == nullptr) {
        std::fprintf(stderr, "Error reading OPML file %s: no body element.\n", name);
        return std::nullopt;
    }
    opml_document result;
    collect_feeds(body, name, result);
    return result;
}

std::optional<opml_document> opml_read_file(const char *path) {
    SKIFFER_ASSERT(path != nullptr);
    input_file_ptr stream(std::fopen(path, "rb"));
    if (!stream) {
        std::fprintf(stderr, "Error reading OPML file %s: %s.\n", path, std::strerror(errno));
        return std::nullopt;
    }
    // One byte more than allowed is read, to tell a file of exactly the
    // limit from a larger one without trusting a size that may change.
    std::string content;
    char buffer[65536];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, stream.get())) > 0) {
        content.append(buffer, count);
        if (content.size() > opml_max_size) {
            std::fprintf(stderr, "Error reading OPML file %s: larger than %zu MiB.\n", path,
                         opml_max_size >> 20);
            return std::nullopt;
        }
    }
    if (std::ferror(stream.get())) {
        std::fprintf(stderr, "Error reading OPML file %s: %s.\n", path, std::strerror(errno));
        return std::nullopt;
    }
    return opml_parse(content, path);
}

bool is_valid_channel_identifier(std::string_view identifier) {
    if (identifier.empty() || identifier == "*" || identifier == "." || identifier == "..")
        return false;
    if (!g_utf8_validate(identifier.data(), static_cast<gssize>(identifier.size()), nullptr))
        return false;
    for (unsigned char c : identifier)
        if (c < 0x20 || c == 0x7f || c == '[' || c == ']' || c == '/')
            return false;
    return true;
}

std::string opml_identifier_base(const opml_feed &feed) {
    std::string name = stripped(feed.text.value_or(std::string()));
    if (name.empty())
        name = stripped(feed.title.value_or(std::string()));
    if (is_plain_word(name))
        return name;
    std::string words = joined_words(name);
    if (words.empty())
        words = host_words(feed.url);
    if (words.empty())
        words = "channel";
    return words;
}

std::vector<opml_channel> opml_plan_import(const std::vector<opml_feed> &feeds, GKeyFile *kf) {
    std::set<std::string> taken;
    std::unordered_map<std::string, std::string> channel_of_url;
    strv_ptr groups(g_key_file_get_groups(kf, nullptr));
    for (gchar **group = groups.get(); *group != nullptr; ++group) {
        taken.insert(folded(*group));
        if (std::strcmp(*group, "*") == 0)
            continue;
        if (auto url = read_key_value(kf, *group, "url"))
            channel_of_url.emplace(stripped(*url), *group);
    }

    // The last number given to each name (1 for the name itself): every
    // smaller one is taken and stays taken, so the search for a free one
    // resumes there, and a list of thousands of feeds of one name is
    // planned in linear time.
    std::unordered_map<std::string, unsigned> last_number;
    std::vector<opml_channel> channels;
    for (const opml_feed &feed : feeds) {
        if (auto known = channel_of_url.find(feed.url); known != channel_of_url.end()) {
            std::fprintf(stderr, "Skipping %s: channel %s has the same URL.\n", feed.url.c_str(),
                         known->second.c_str());
            continue;
        }
        const std::string base = opml_identifier_base(feed);
        unsigned &number = last_number.try_emplace(folded(base), 1).first->second;
        std::string identifier = number == 1 ? base : with_suffix(base, number);
        while (taken.count(folded(identifier)) != 0)
            identifier = with_suffix(base, ++number);
        // The rules that made it admit nothing else; the check keeps a
        // future change of them from writing a group that breaks the file.
        SKIFFER_ASSERT(is_valid_channel_identifier(identifier));
        taken.insert(folded(identifier));
        channel_of_url.emplace(feed.url, identifier);
        channels.push_back({identifier, feed.url});
    }
    return channels;
}

std::string opml_groups_text(const std::vector<opml_channel> &channels,
                             const std::string &spool_root) {
    std::string text;
    for (const opml_channel &channel : channels) {
        gchar_ptr spool(g_build_filename(spool_root.c_str(), channel.identifier.c_str(), nullptr));
        if (!text.empty())
            text += '\n';
        text += "[" + channel.identifier + "]\n";
        text += "url=" + channel.url + "\n";
        text += std::string("spool=") + spool.get() + "\n";
    }
    return text;
}

std::string opml_append_groups(std::string_view existing, std::string_view groups) {
    std::string text(existing);
    if (!text.empty()) {
        if (text.back() != '\n')
            text += '\n';
        text += '\n';
    }
    text += groups;
    return text;
}

std::string opml_export_document(GKeyFile *kf) {
    std::optional<channel_configuration> defaults;
    if (g_key_file_has_group(kf, "*"))
        defaults = channel_configuration_new(kf, "*", nullptr);

    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<opml version=\"2.0\">\n"
                           "  <head>\n"
                           "    <title>skiffer channels</title>\n"
                           "  </head>\n"
                           "  <body>\n";
    strv_ptr groups(g_key_file_get_groups(kf, nullptr));
    for (gchar **group = groups.get(); *group != nullptr; ++group) {
        if (std::strcmp(*group, "*") == 0)
            continue;
        channel_configuration configuration =
            channel_configuration_new(kf, *group, defaults ? &*defaults : nullptr);
        // Only what an import would take back: the key file keeps any bytes
        // in a value, and XML can carry neither control characters nor
        // anything that is not UTF-8.
        if (!configuration.url || !is_feed_url(*configuration.url) ||
            !g_utf8_validate(configuration.url->c_str(), -1, nullptr)) {
            std::fprintf(stderr, "Channel %s has no http or https URL; not exported.\n", *group);
            continue;
        }
        gchar_ptr name(g_markup_escape_text(*group, -1));
        gchar_ptr url(g_markup_escape_text(configuration.url->c_str(), -1));
        document += std::string("    <outline type=\"rss\" text=\"") + name.get() + "\" title=\"" +
                    name.get() + "\" xmlUrl=\"" + url.get() + "\"/>\n";
    }
    document += "  </body>\n"
                "</opml>\n";
    return document;
}

} // namespace skiffer
