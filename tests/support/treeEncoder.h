// The reference the wire writer is checked against: the message built as a JSON tree and
// dumped by the JSON library.
#pragma once

#include <string>

class cObjectList;

namespace testsupport {

// The line the wire writer must give for `message`, byte for byte.
std::string encodeMessageTree(cObjectList& message);

}  // namespace testsupport
