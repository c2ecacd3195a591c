#include "serial/message_translation.h"

namespace translation {

void AddTextDomain(const std::string&) {}

std::string Translate(const std::string& text) { return text; }

}  // namespace translation
