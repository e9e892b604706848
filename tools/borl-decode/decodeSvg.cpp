#include "exchangeDecode.h"
namespace borldecode {
struct Night::State {};
Night::Night() : m(new State) {}
Night::~Night() = default;
void Night::entry(const Entry&) {}
void Night::event(const Event&) {}
std::string Night::svg(const Summary&) const {
    return "<svg/>";
}
}  // namespace borldecode
