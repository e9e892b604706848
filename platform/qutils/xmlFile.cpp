#include "xmlFile.h"

#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <vector>

#include "boundedFile.h"

namespace qutils {

namespace {

// Entity references nest at most this deep; libxml2 refuses loops when it parses.
constexpr int kMaxEntityDepth = 16;
// Entity references and nodes inside entities looked at while measuring: bounds the work of
// references to entities that expand to little text but many nodes.
constexpr size_t kMaxEntityNodes = 100000;

// The first error the parser reported for the document being read on this thread.
thread_local std::string* tFirstError = nullptr;

void structuredError(void* /*data*/, xmlErrorPtr err) {
    if (tFirstError == nullptr || err == nullptr || !tFirstError->empty() ||
        err->level < XML_ERR_ERROR)
        return;
    std::string message = err->message ? err->message : "not well-formed";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    *tFirstError = err->line > 0 ? "line " + std::to_string(err->line) + ": " + message : message;
}

// Text that the node list `list` contributes, entity references followed: adds its length to
// `total` and counts the nodes visited. False once a bound is passed.
bool measure(xmlDoc* doc, const xmlNode* list, int depth, size_t& total, size_t& nodes) {
    for (const xmlNode* n = list; n != nullptr; n = n->next) {
        if ((depth > 0 || n->type == XML_ENTITY_REF_NODE) && ++nodes > kMaxEntityNodes)
            return false;
        if (n->type == XML_ENTITY_REF_NODE) {
            xmlEntity* ent = xmlGetDocEntity(doc, n->name);
            if (ent == nullptr)
                continue;
            if (depth >= kMaxEntityDepth || !measure(doc, ent->children, depth + 1, total, nodes))
                return false;
        } else if (depth > 0 && (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE)) {
            total += static_cast<size_t>(xmlStrlen(n->content));
        }
        if (total > kMaxEntityExpansion)
            return false;
    }
    return true;
}

void appendText(xmlDoc* doc, const xmlNode* list, int depth, std::string& out) {
    for (const xmlNode* n = list; n != nullptr; n = n->next) {
        if (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) {
            if (n->content != nullptr)
                out += reinterpret_cast<const char*>(n->content);
        } else if (n->type == XML_ENTITY_REF_NODE && depth < kMaxEntityDepth) {
            if (xmlEntity* ent = xmlGetDocEntity(doc, n->name))
                appendText(doc, ent->children, depth + 1, out);
        }
    }
}

}  // namespace

XmlFile::XmlFile(const char* path) {
    std::string content;
    FileRead read = readBoundedFile(path, content);
    if (read.status != FileRead::Ok) {
        mStatus = read.status == FileRead::NotRegular ? NotRegular
                  : read.status == FileRead::TooBig   ? TooBig
                                                      : Unreadable;
        mReason = read.reason;
        return;
    }
    xmlParserCtxt* ctxt = xmlNewParserCtxt();
    if (ctxt == nullptr) {
        mReason = "out of memory";
        return;
    }
    std::string firstError;
    tFirstError = &firstError;
    ctxt->sax->serror = structuredError;  // nothing reaches standard error
    // From memory: no file of libxml2's own opening (no decompression either). No NOENT: entity
    // references stay references, and external entities are never loaded; no DTDLOAD, no
    // network.
    mDoc = xmlCtxtReadMemory(ctxt, content.data(), static_cast<int>(content.size()), path, nullptr,
                             XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (mDoc == nullptr && firstError.empty()) {
        if (const xmlError* err = xmlCtxtGetLastError(ctxt)) {
            structuredError(nullptr, const_cast<xmlError*>(err));
        }
    }
    tFirstError = nullptr;
    xmlFreeParserCtxt(ctxt);
    if (mDoc == nullptr) {
        mStatus = Malformed;
        mReason = firstError.empty() ? "not well-formed XML" : firstError;
        return;
    }
    if (!entitiesWithinBound()) {
        xmlFreeDoc(mDoc);
        mDoc = nullptr;
        mStatus = EntityExpansion;
        mReason = "entity references expand to more than " + std::to_string(kMaxEntityExpansion) +
                  " bytes of text";
        return;
    }
    mStatus = Ok;
}

XmlFile::~XmlFile() {
    if (mDoc != nullptr)
        xmlFreeDoc(mDoc);
}

bool XmlFile::entitiesWithinBound() {
    // Every element of the tree, without recursion: its entity references are measured.
    size_t total = 0;
    size_t nodes = 0;
    std::vector<const xmlNode*> stack;
    if (const xmlNode* root = xmlDocGetRootElement(mDoc))
        stack.push_back(root);
    while (!stack.empty()) {
        const xmlNode* element = stack.back();
        stack.pop_back();
        if (!measure(mDoc, element->children, 0, total, nodes))
            return false;
        for (const xmlNode* c = element->children; c != nullptr; c = c->next) {
            if (c->type == XML_ELEMENT_NODE)
                stack.push_back(c);
        }
    }
    return true;
}

bool XmlFile::text(const xmlNode* node, std::string& out) const {
    out.clear();
    if (mDoc != nullptr && node != nullptr)
        appendText(mDoc, node->children, 0, out);
    return !out.empty();
}

}  // namespace qutils
