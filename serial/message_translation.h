#pragma once
// The message-translation step the serial layer passes its texts through. This build has no
// message catalogues, so every text comes back unchanged; the serial layer relies on nothing
// more.

#include <string>

namespace translation {

// Adds a text domain to look texts up in.
void AddTextDomain(const std::string& domain);

// The text in the user's language, or the text itself when nothing translates it.
std::string Translate(const std::string& text);

}  // namespace translation
