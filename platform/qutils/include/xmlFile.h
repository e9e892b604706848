// One small XML file of start-up, read with the limits every start-up file has: a regular file of
// at most 1 MiB, no network, no external DTD or entity ever loaded, and entity references that
// may not add more than 64 KiB of text to the whole document. Parse errors are taken from
// libxml2's structured error (file and line) and never printed by libxml2 itself.
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <string>

namespace qutils {

// Most text that the entity references of one document may expand to, all references together.
constexpr size_t kMaxEntityExpansion = 65536;

class XmlFile {
public:
    enum Status {
        Ok,
        NotRegular,      // a FIFO, device, directory or socket: not read at all
        TooBig,          // larger than 1 MiB: not parsed
        Unreadable,      // missing, not permitted, read error
        Malformed,       // not well-formed XML
        EntityExpansion  // entity references that expand beyond kMaxEntityExpansion
    };

    explicit XmlFile(const char* path);
    ~XmlFile();
    XmlFile(const XmlFile&) = delete;
    XmlFile& operator=(const XmlFile&) = delete;

    Status status() const { return mStatus; }
    xmlDoc* doc() const { return mDoc; }  // null unless status() is Ok
    // Why the file was not taken, e.g. "line 3: Premature end of data in tag port line 2" or
    // "a FIFO, not a regular file"; empty when it was.
    const std::string& reason() const { return mReason; }

    // The text content of `node` as xmlNodeListGetString(doc, node->children, 1) gives it: the
    // text and CDATA children, entity references replaced by their text, other children passed
    // over. False when there is no text at all (an empty element).
    bool text(const xmlNode* node, std::string& out) const;

private:
    bool entitiesWithinBound();

    xmlDoc* mDoc = nullptr;
    Status mStatus = Unreadable;
    std::string mReason;
};

}  // namespace qutils
