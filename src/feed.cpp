#include "feed.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <unistd.h>

#include <libxml/entities.h>
#include <libxml/parser.h>

#include "common.hpp"
#include "entities.hpp"
#include "fetch.hpp"
#include "files.hpp"
#include "xmlutil.hpp"

namespace skiffer {

namespace {

// Compared byte for byte with the namespace URI of `content` and `group`
// elements. The published URI ends in a slash; this one deliberately does
// not, and the enclosure URL an item yields is the key under which state
// files record what was taken, so it must stay as it is.
constexpr const char *media_rss_namespace = "http://search.yahoo.com/mrss";

using parser_context_ptr = c_ptr<xmlParserCtxt, xmlFreeParserCtxt>;

std::optional<std::string> child_text(xmlNode *element, const char *name) {
    xmlNode *child = xml_find_child(element, nullptr, name);
    if (child == nullptr)
        return std::nullopt;
    return xml_get_text(child);
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
        for (const xmlNode *node = list; node != nullptr; node = node->next) {
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
    }

    bool acceptable() const { return expanded_ <= add(allowance, multiply(own_, factor)); }

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

bool expansion_is_acceptable(xmlDoc *document) {
    // Without entity or attribute declarations in the internal subset there
    // is nothing to expand; the external subset is never loaded.
    if (document->intSubset == nullptr ||
        (document->intSubset->entities == nullptr && document->intSubset->attributes == nullptr))
        return true;
    entity_expansion expansion(document);
    expansion.measure(document->children);
    return expansion.acceptable();
}

} // namespace

std::unique_ptr<feed_document> feed_parse_file(const char *path) {
    SKIFFER_ASSERT(path != nullptr);

    parser_context_ptr context(xmlNewParserCtxt());
    if (!context) {
        std::fprintf(stderr, "Error parsing RSS file %s.\n", path);
        return nullptr;
    }
    // Feeds use HTML's character entity names without declaring them; the
    // parser asks this handler before the document's own declarations.
    context->sax->getEntity = resolve_entity;

    // No options: no recovery, so a document that is not well-formed gives no
    // tree; no entity substitution and no DTD loading, so external entities
    // and DTDs are neither read nor fetched. The read hands the tree over and
    // leaves nothing in context->myDoc.
    xml_document_ptr tree(xmlCtxtReadFile(context.get(), path, nullptr, 0));
    if (!tree) {
        std::fprintf(stderr, "Error parsing RSS file %s.\n", path);
        return nullptr;
    }
    xmlNode *root = xmlDocGetRootElement(tree.get());
    if (root == nullptr || !expansion_is_acceptable(tree.get())) {
        std::fprintf(stderr, "Error parsing RSS file %s.\n", path);
        return nullptr;
    }

    // Taken once the document has been read, so it tells when the feed was
    // seen, however long the download and the parse took.
    std::optional<std::string> fetched = current_time_stamp();
    if (!fetched) {
        std::fprintf(stderr, "Error retrieving current time.\n");
        return nullptr;
    }

    // Only the local name counts: an `rss` root in any namespace is accepted.
    if (std::strcmp(reinterpret_cast<const char *>(root->name), "rss") != 0) {
        std::fprintf(stderr, "Error parsing RSS file %s: Unrecognized top-level element %s.\n",
                     path, reinterpret_cast<const char *>(root->name));
        return nullptr;
    }
    const feed_version version = version_of(root);

    xmlNode *channel = xml_find_child(root, nullptr, "channel");
    if (channel == nullptr)
        return nullptr;

    auto document = std::make_unique<feed_document>();
    document->version = version;
    document->channel_info.fetched = std::move(*fetched);
    document->channel_info.title = child_text(channel, "title");
    document->channel_info.link = child_text(channel, "link");
    document->channel_info.description = child_text(channel, "description");
    document->channel_info.language = child_text(channel, "language");

    // Counting and visiting use the same match rule, so every slot is filled.
    document->items.resize(static_cast<size_t>(xml_count_children(channel, "item")));
    xml_foreach_child(channel, "item", [&document](int32_t index, xmlNode *item) {
        parse_feed_item(*document, index, item);
    });
    return document;
}

void parse_feed_item(feed_document &document, int32_t index, xmlNode *item) {
    SKIFFER_ASSERT(item != nullptr);
    SKIFFER_ASSERT(index >= 0 && static_cast<size_t>(index) < document.items.size());

    feed_item &slot = document.items[static_cast<size_t>(index)];
    slot = feed_item{};
    slot.title = child_text(item, "title");
    slot.link = child_text(item, "link");
    slot.description = child_text(item, "description");
    slot.pubDate = child_text(item, "pubDate");

    // A content element directly in the item wins over one in a group; a
    // group is only looked at when the item has no direct content.
    xmlNode *content = xml_find_child(item, media_rss_namespace, "content");
    if (content == nullptr) {
        if (xmlNode *group = xml_find_child(item, media_rss_namespace, "group"))
            content = xml_find_child(group, media_rss_namespace, "content");
    }
    xmlNode *enclosure_element = xml_find_child(item, nullptr, "enclosure");
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

std::unique_ptr<feed_document> feed_fetch(const std::string &url, int debug) {
    std::string temporary_path;
    const int result = write_via_temporary_file(
        std::nullopt,
        [&url](FILE *stream, int debug_flag) {
            return fetch_url_to_stream(stream, url, debug_flag);
        },
        &temporary_path, debug);
    // The download and the temporary file report their own failures; what
    // is left here is not to leave a partial download behind.
    if (result != 0) {
        if (!temporary_path.empty())
            unlink(temporary_path.c_str());
        return nullptr;
    }
    std::unique_ptr<feed_document> document = feed_parse_file(temporary_path.c_str());
    unlink(temporary_path.c_str());
    return document;
}

} // namespace skiffer
