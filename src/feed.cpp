#include "feed.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <unistd.h>

#include <libxml/entities.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>

#include "common.hpp"
#include "entities.hpp"
#include "fetch.hpp"
#include "files.hpp"
#include "output.hpp"
#include "xmlutil.hpp"

namespace skiffer {

namespace {

// Compared byte for byte with the namespace URI of `content` and `group`
// elements. The published URI ends in a slash; this one deliberately does
// not, and the enclosure URL an item yields is the key under which state
// files record what was taken, so it must stay as it is.
constexpr const char *media_rss_namespace = "http://search.yahoo.com/mrss";

std::optional<std::string> text_of(xmlNode *element) {
    if (element == nullptr)
        return std::nullopt;
    return xml_get_text(element);
}

std::optional<std::string> child_text(xmlNode *element, const char *name) {
    return text_of(xml_find_child(element, nullptr, name));
}

// Whether the element is in the Media RSS namespace, compared exactly as
// xml_find_child compares it.
bool is_media_rss(const xmlNode *element) {
    return element->ns != nullptr && element->ns->href != nullptr &&
           std::strcmp(reinterpret_cast<const char *>(element->ns->href), media_rss_namespace) == 0;
}

// Longer guids are taken for no guid: an identifier has no need of more,
// and each one is kept in the state file.
constexpr size_t guid_size_limit = 2048;

// The item's guid as an identifier: its text without the white space that
// the document's layout puts around it.
std::optional<std::string> guid_of(xmlNode *element) {
    std::optional<std::string> text = text_of(element);
    if (!text)
        return std::nullopt;
    constexpr const char *xml_space = " \t\n\r";
    const size_t first = text->find_first_not_of(xml_space);
    if (first == std::string::npos)
        return std::nullopt;
    const size_t last = text->find_last_not_of(xml_space);
    if (last + 1 - first > guid_size_limit)
        return std::nullopt;
    return text->substr(first, last + 1 - first);
}

feed_version version_of(xmlNode *root) {
    const std::optional<std::string> version = xml_get_attribute(root, "version");
    if (!version)
        return FEED_VERSION_UNKNOWN;
    if (*version == "0.91")
        return FEED_VERSION_0_91;
    if (*version == "0.92")
        return FEED_VERSION_0_92;
    if (*version == "2.0")
        return FEED_VERSION_2_0;
    return FEED_VERSION_UNKNOWN;
}

// Entities that the document declares stay references in the tree, since
// nothing is substituted while parsing, and reading a field expands them.
// A few declarations referenced many times can so stand for gigabytes of
// text in a small feed, which libxml2 refuses only when it substitutes.
// An attribute default that the internal subset declares acts the same way:
// xml_get_attribute reads it for every element of that name that lacks the
// attribute. Such a document is refused like a malformed one: its references
// and the defaults its elements take may stand for at most ten times the
// document's own text, plus a mebibyte.
class entity_expansion {
public:
    explicit entity_expansion(xmlDoc *document) : document_(document) {
        for (xmlNode *node = document->intSubset->children; node != nullptr; node = node->next) {
            const auto *declaration = reinterpret_cast<const xmlAttribute *>(node);
            if (node->type == XML_ATTRIBUTE_DECL && declaration->elem != nullptr &&
                declaration->defaultValue != nullptr)
                defaults_[reinterpret_cast<const char *>(declaration->elem)].push_back(declaration);
        }
    }

    // Adds the text below the sibling list from `list` on and what its
    // references stand for, attribute values included.
    void measure(const xmlNode *list) {
        for (const xmlNode *node = list; node != nullptr; node = node->next)
            measure_node(node);
    }

    // The same for one node and what lies below it.
    void measure_node(const xmlNode *node) {
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            own_ = add(own_, length_of(node->content));
        } else if (node->type == XML_ENTITY_REF_NODE) {
            expanded_ = add(expanded_, reference_size(node));
        } else if (node->type == XML_ELEMENT_NODE) {
            for (const xmlAttr *attribute = node->properties; attribute != nullptr;
                 attribute = attribute->next)
                measure(attribute->children);
            if (!defaults_.empty())
                measure_defaults(node);
            measure(node->children);
        }
    }

    bool acceptable() const { return expanded_ <= add(allowance, multiply(own_, factor)); }

    // Adds text that the document holds outside the tree.
    void add_text(uint64_t length) { own_ = add(own_, length); }

    // Measures one node when the totals with it stay acceptable, and
    // answers whether they do; otherwise the totals stay as they were.
    bool measure_if_acceptable(const xmlNode *node) {
        const uint64_t own = own_;
        const uint64_t expanded = expanded_;
        measure_node(node);
        if (acceptable())
            return true;
        own_ = own;
        expanded_ = expanded;
        return false;
    }

private:
    static constexpr uint64_t allowance = 1 << 20;
    static constexpr uint64_t factor = 10;
    // Sizes stop growing here, far below overflow, whatever the nesting.
    static constexpr uint64_t saturated = uint64_t{1} << 62;

    static uint64_t add(uint64_t a, uint64_t b) { return std::min(a + b, saturated); }
    static uint64_t multiply(uint64_t a, uint64_t b) {
        return a > saturated / b ? saturated : a * b;
    }
    static uint64_t length_of(const xmlChar *text) {
        return text == nullptr ? 0 : std::strlen(reinterpret_cast<const char *>(text));
    }

    // What a reference reads as, by the rule xml_get_text follows.
    uint64_t reference_size(const xmlNode *reference) {
        xmlEntity *entity = xmlGetDocEntity(document_, reference->name);
        if (entity == nullptr)
            return length_of(reference->content);
        if (const auto known = sizes_.find(entity); known != sizes_.end())
            return known->second;
        // Marked as too large while it is measured, so that a cycle the
        // parser let through refuses the document instead of recursing.
        sizes_[entity] = saturated;
        uint64_t size = 0;
        for (const xmlNode *node = entity->children; node != nullptr; node = node->next) {
            if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE)
                size = add(size, length_of(node->content));
            else if (node->type == XML_ENTITY_REF_NODE)
                size = add(size, reference_size(node));
        }
        sizes_[entity] = size;
        return size;
    }

    // Adds the defaults that reading `element`'s attributes would give: a
    // declaration counts where xmlHasProp, as xml_get_attribute calls it,
    // answers with that declaration.
    void measure_defaults(const xmlNode *element) {
        const auto found = defaults_.find(reinterpret_cast<const char *>(element->name));
        if (found == defaults_.end())
            return;
        for (const xmlAttribute *declaration : found->second) {
            if (xmlHasProp(element, declaration->name) ==
                reinterpret_cast<const xmlAttr *>(declaration))
                expanded_ = add(expanded_, length_of(declaration->defaultValue));
        }
    }

    xmlDoc *document_;
    // The declarations with a default value, by the name of their element.
    std::unordered_map<std::string, std::vector<const xmlAttribute *>> defaults_;
    std::unordered_map<const xmlEntity *, uint64_t> sizes_;
    uint64_t own_ = 0;
    uint64_t expanded_ = 0;
};

// Without entity or attribute declarations in the internal subset there is
// nothing to expand; the external subset is never loaded.
bool declares_expansions(const xmlDoc *document) {
    return document->intSubset != nullptr &&
           (document->intSubset->entities != nullptr || document->intSubset->attributes != nullptr);
}

// The parse of one feed. The parser builds the tree as usual, and every
// item of the channel is read as soon as its end tag has been parsed and
// then taken out of the tree, so that a feed of any length holds at most
// two items as a tree at a time, and each is read while it is still in the
// cache. Everything is read with the same helpers and the same rules as a
// whole tree would be; only the moment differs.
class feed_reader {
public:
    explicit feed_reader(feed_document &document) : document_(document) {}

    // The parser's end-of-element handler, with the parser as its context.
    static void end_element(void *context, const xmlChar *local_name, const xmlChar *prefix,
                            const xmlChar *uri) {
        auto *parser = static_cast<xmlParserCtxt *>(context);
        xmlNode *element = parser->node;
        xmlSAX2EndElementNs(context, local_name, prefix, uri);
        auto *reader = static_cast<feed_reader *>(parser->_private);
        if (element != nullptr && reader->is_channel_item(element))
            reader->take(parser->myDoc, element);
    }

    // The parser's character data handler, with the parser as its context.
    // Text is only ever read from elements of a few names; elsewhere (white
    // space between elements, an item's duration) it is counted and left out
    // of the tree, which spares a node for most pieces of text of a feed.
    // The parses of entity contents run in parsers of their own and keep all.
    static void characters(void *context, const xmlChar *text, int length) {
        auto *parser = static_cast<xmlParserCtxt *>(context);
        auto *reader = static_cast<feed_reader *>(parser->_private);
        if (reader != nullptr && reader->parser_ == parser && parser->node != nullptr &&
            !may_be_read(parser->node)) {
            reader->unmeasured_text_ += static_cast<uint64_t>(length);
            return;
        }
        xmlSAX2Characters(context, text, length);
    }

    // Hands the parser over for the parse, with these handlers installed.
    void attach(xmlParserCtxt *parser) {
        parser_ = parser;
        parser->_private = this;
        parser->sax->endElementNs = end_element;
        // Both, so that the parser still never asks whether white space is
        // ignorable, as it does not when the two are the same.
        parser->sax->characters = characters;
        parser->sax->ignorableWhitespace = characters;
    }

    // Called once the document has been parsed into a tree: removes the last
    // item read, which is still in it. A parse that failed has freed the
    // whole tree, that item included.
    void finish() { release_taken(); }

    // Whether the whole document, the items taken out included, stays
    // within the bound on what its entity references stand for.
    bool expansion_is_acceptable(xmlDoc *document) {
        if (!declares_expansions(document))
            return true;
        entity_expansion &expansion = expansion_of(document);
        expansion.measure(document->children);
        return expansion.acceptable();
    }

private:
    // The elements whose text xml_get_text may be asked for: the fields of
    // the channel and of its items, by local name, wherever they are.
    static bool may_be_read(const xmlNode *element) {
        const char *name = reinterpret_cast<const char *>(element->name);
        // By the first letter first: this runs for every piece of text.
        switch (name[0]) {
        case 't':
            return std::strcmp(name, "title") == 0;
        case 'l':
            return std::strcmp(name, "link") == 0 || std::strcmp(name, "language") == 0;
        case 'd':
            return std::strcmp(name, "description") == 0;
        case 'p':
            return std::strcmp(name, "pubDate") == 0;
        case 'g':
            return std::strcmp(name, "guid") == 0;
        default:
            return false;
        }
    }

    // The running measure, with the text left out of the tree so far.
    entity_expansion &expansion_of(xmlDoc *document) {
        if (!expansion_)
            expansion_.emplace(document);
        expansion_->add_text(std::exchange(unmeasured_text_, 0));
        return *expansion_;
    }

    // An item of the channel the document is read from: an `item` child of
    // the first `channel` child of an `rss` root, as xml_find_child and
    // xml_foreach_child find them once the whole tree is there.
    bool is_channel_item(xmlNode *element) {
        if (!still_taking_ || std::strcmp(reinterpret_cast<const char *>(element->name), "item"))
            return false;
        xmlNode *parent = element->parent;
        if (parent == nullptr || parent->type != XML_ELEMENT_NODE)
            return false;
        if (channel_ == nullptr) {
            xmlNode *root = parent->parent;
            if (root == nullptr || root->type != XML_ELEMENT_NODE || root->parent == nullptr ||
                root->parent->type != XML_DOCUMENT_NODE ||
                std::strcmp(reinterpret_cast<const char *>(root->name), "rss") != 0)
                return false;
            // Elements are only ever added after the last child, so the
            // first channel found stays the first.
            channel_ = xml_find_child(root, nullptr, "channel");
        }
        return parent == channel_;
    }

    void take(xmlDoc *document, xmlNode *item) {
        // Reading expands the item's entity references; an item is only read
        // here while the document so far stays within the bound. Past that
        // point every later item waits for the whole document and its check.
        if (declares_expansions(document)) {
            if (!expansion_of(document).measure_if_acceptable(item)) {
                still_taking_ = false;
                return;
            }
        }
        document_.items.emplace_back();
        parse_feed_item(document_, static_cast<int32_t>(document_.items.size() - 1), item);
        // The item just read is the parser's last child of the channel, so
        // it stays until the next one: the parser adds text to the last
        // child of an element, and must find the node it left there.
        release_taken();
        taken_ = item;
    }

    void release_taken() {
        if (taken_ == nullptr)
            return;
        xmlUnlinkNode(taken_);
        xmlFreeNode(taken_);
        taken_ = nullptr;
    }

    feed_document &document_;
    xmlParserCtxt *parser_ = nullptr;
    uint64_t unmeasured_text_ = 0;
    xmlNode *channel_ = nullptr;
    xmlNode *taken_ = nullptr;
    bool still_taking_ = true;
    std::optional<entity_expansion> expansion_;
};

// A downloaded feed as the parser reads it: through libxml2's own file
// input, which unpacks a gzip or xz file by itself whatever the server said
// of it, with a count of what it unpacks. A small file that a server sends
// as plain bytes could otherwise stand for gigabytes of text, beyond the
// limit that the download itself keeps to.
struct counted_input {
    xmlParserInputBuffer *file;
    uint64_t limit;
    uint64_t read = 0;
    bool exceeded = false;
};

int read_counted(void *context, char *buffer, int length) {
    auto *input = static_cast<counted_input *>(context);
    const int got = input->file->readcallback(input->file->context, buffer, length);
    if (got > 0) {
        input->read += static_cast<uint64_t>(got);
        // A failed read: the parser reports the document cut short, and
        // the caller then says why.
        if (input->read > input->limit) {
            input->exceeded = true;
            return -1;
        }
    }
    return got;
}

// The file input is released by its owner, after the parse.
int keep_open(void *) {
    return 0;
}

using input_buffer_ptr = c_ptr<xmlParserInputBuffer, xmlFreeParserInputBuffer>;

// Reads the feed at `path`, or, when `counted` is given, through it.
std::unique_ptr<feed_document> parse_feed(const char *path, counted_input *counted) {
    SKIFFER_ASSERT(path != nullptr);

    xml_parser_context_ptr context(xmlNewParserCtxt());
    if (!context) {
        print_err("Error parsing RSS file %s.\n", path);
        return nullptr;
    }
    // Feeds use HTML's character entity names without declaring them; the
    // parser asks this handler before the document's own declarations.
    context->sax->getEntity = resolve_entity;
    auto document = std::make_unique<feed_document>();
    feed_reader reader(*document);
    reader.attach(context.get());

    // No recovery, so a document that is not well-formed gives no tree; no
    // entity substitution and no DTD loading, so external entities and DTDs
    // are neither read nor fetched. COMPACT keeps short texts inside their
    // nodes, which changes nothing that is read; NONET keeps every location
    // away from libxml2's own HTTP and FTP clients, which know none of the
    // limits of our transfers. xmlCtxtReadFile opens the document before it
    // applies the options it is given, so they are set on the context first.
    // The read hands the tree over and leaves nothing in context->myDoc.
    constexpr int options = XML_PARSE_COMPACT | XML_PARSE_NONET;
    xmlCtxtUseOptions(context.get(), options);
    xml_document_ptr tree(
        counted != nullptr
            ? xmlCtxtReadIO(context.get(), read_counted, keep_open, counted, path, nullptr, options)
            : xmlCtxtReadFile(context.get(), path, nullptr, options));
    if (counted != nullptr && counted->exceeded) {
        print_err("Error parsing RSS file %s: The feed exceeds the limit of %" PRIu64 " bytes.\n",
                  path, counted->limit);
        return nullptr;
    }
    if (!tree) {
        print_err("Error parsing RSS file %s.\n", path);
        return nullptr;
    }
    reader.finish();
    xmlNode *root = xmlDocGetRootElement(tree.get());
    if (root == nullptr || !reader.expansion_is_acceptable(tree.get())) {
        print_err("Error parsing RSS file %s.\n", path);
        return nullptr;
    }

    // Taken once the document has been read, so it tells when the feed was
    // seen, however long the download and the parse took.
    std::optional<std::string> fetched = current_time_stamp();
    if (!fetched) {
        print_err("Error retrieving current time.\n");
        return nullptr;
    }

    // Only the local name counts: an `rss` root in any namespace is accepted.
    if (std::strcmp(reinterpret_cast<const char *>(root->name), "rss") != 0) {
        print_err("Error parsing RSS file %s: Unrecognized top-level element %s.\n", path,
                  reinterpret_cast<const char *>(root->name));
        return nullptr;
    }
    const feed_version version = version_of(root);

    xmlNode *channel = xml_find_child(root, nullptr, "channel");
    if (channel == nullptr)
        return nullptr;

    document->version = version;
    document->channel_info.fetched = std::move(*fetched);
    document->channel_info.title = child_text(channel, "title");
    document->channel_info.link = child_text(channel, "link");
    document->channel_info.description = child_text(channel, "description");
    document->channel_info.language = child_text(channel, "language");

    // The items that the parse left in the tree come after those it took
    // out; counting and visiting use the same match rule, so every slot is
    // filled.
    const size_t taken = document->items.size();
    document->items.resize(taken + static_cast<size_t>(xml_count_children(channel, "item")));
    xml_foreach_child(channel, "item", [&document, taken](int32_t index, xmlNode *item) {
        parse_feed_item(*document, static_cast<int32_t>(taken) + index, item);
    });
    return document;
}

} // namespace

std::unique_ptr<feed_document> feed_parse_file(const char *path) {
    return parse_feed(path, nullptr);
}

void parse_feed_item(feed_document &document, int32_t index, xmlNode *item) {
    SKIFFER_ASSERT(item != nullptr);
    SKIFFER_ASSERT(index >= 0 && static_cast<size_t>(index) < document.items.size());

    // One walk over the children finds the first child element of each name
    // that xml_find_child would find one call at a time.
    xmlNode *title = nullptr;
    xmlNode *link = nullptr;
    xmlNode *description = nullptr;
    xmlNode *pub_date = nullptr;
    xmlNode *guid = nullptr;
    xmlNode *enclosure_element = nullptr;
    xmlNode *content = nullptr;
    xmlNode *group = nullptr;
    for (xmlNode *child = item->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE || child->name == nullptr)
            continue;
        const char *name = reinterpret_cast<const char *>(child->name);
        auto first = [child, name](xmlNode *&found, const char *wanted) {
            if (found == nullptr && std::strcmp(name, wanted) == 0)
                found = child;
        };
        // By the first letter first: items have many children.
        switch (name[0]) {
        case 't':
            first(title, "title");
            break;
        case 'l':
            first(link, "link");
            break;
        case 'd':
            first(description, "description");
            break;
        case 'p':
            first(pub_date, "pubDate");
            break;
        case 'e':
            first(enclosure_element, "enclosure");
            break;
        case 'c':
            if (is_media_rss(child))
                first(content, "content");
            break;
        case 'g':
            first(guid, "guid");
            if (is_media_rss(child))
                first(group, "group");
            break;
        default:
            break;
        }
    }

    feed_item &slot = document.items[static_cast<size_t>(index)];
    slot = feed_item{};
    slot.title = text_of(title);
    slot.link = text_of(link);
    slot.description = text_of(description);
    slot.pubDate = text_of(pub_date);
    slot.guid = guid_of(guid);

    // A content element directly in the item wins over one in a group; a
    // group is only looked at when the item has no direct content.
    if (content == nullptr && group != nullptr)
        content = xml_find_child(group, media_rss_namespace, "content");
    if (content == nullptr && enclosure_element == nullptr)
        return;

    feed_enclosure enclosure;
    if (content != nullptr) {
        enclosure.url = xml_get_attribute(content, "url");
        // -1 when absent, which the enclosure element below must not replace:
        // it only fills in a size of exactly 0.
        enclosure.length = xml_get_int_attribute(content, "fileSize");
        if (enclosure_element != nullptr)
            enclosure.type = xml_get_attribute(enclosure_element, "type");
    }
    if (enclosure_element != nullptr) {
        if (!enclosure.url)
            enclosure.url = xml_get_attribute(enclosure_element, "url");
        if (enclosure.length == 0)
            enclosure.length = xml_get_int_attribute(enclosure_element, "length");
        if (!enclosure.type)
            enclosure.type = xml_get_attribute(enclosure_element, "type");
    }
    if (enclosure.length < 0)
        enclosure.length = 0;
    slot.enclosure = std::move(enclosure);
}

std::unique_ptr<feed_document> feed_parse_downloaded(const std::string &path) {
    input_buffer_ptr file(xmlParserInputBufferCreateFilename(path.c_str(), XML_CHAR_ENCODING_NONE));
    if (!file) {
        print_err("Error parsing RSS file %s.\n", path.c_str());
        return nullptr;
    }
    counted_input counted{file.get(), static_cast<uint64_t>(feed_size_limit())};
    return parse_feed(path.c_str(), &counted);
}

std::unique_ptr<feed_document> feed_fetch(const std::string &url, int debug,
                                          http_exchange *exchange,
                                          const downloaded_feed_keeper &keep) {
    std::string temporary_path;
    const int result = write_via_temporary_file(
        std::nullopt,
        [&url, exchange](FILE *stream, int debug_flag) {
            return fetch_url_to_stream(stream, url, debug_flag, exchange);
        },
        &temporary_path, debug);
    // The download and the temporary file report their own failures; what
    // is left here is not to leave a partial download behind.
    if (result != 0) {
        if (!temporary_path.empty())
            unlink(temporary_path.c_str());
        return nullptr;
    }
    std::unique_ptr<feed_document> document = feed_parse_downloaded(temporary_path);
    if (document && keep)
        keep(temporary_path);
    unlink(temporary_path.c_str());
    return document;
}

} // namespace skiffer
