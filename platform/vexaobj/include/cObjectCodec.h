// Wire codec: one message as one JSON line (without the line end). Shared by the client and
// by the console peer.
#pragma once

#include <string>

class cObjectList;

namespace vexaobj {

// Longest accepted line, newline included.
constexpr size_t kMaxLineBytes = 65536;

// The message with every field of each object's type.
std::string encodeMessage(cObjectList& message);

// Decodes one line into `out` (which must be empty), creating the objects with new; the caller
// deletes them with deleteObjects(). On a rejected line returns false, leaves `out` empty and
// puts the reason into `reason`.
bool decodeMessage(const std::string& line, cObjectList& out, std::string& reason);

}  // namespace vexaobj
