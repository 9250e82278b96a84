// Prints every tree the parser builds from arbitrary input: the measured size must equal the
// printed length, and the printed text must parse again. That parse reads declarations as
// instructions: one named xml with a value prints as a broken declaration whatever the printer does.
#include <string>

#include <rapidxml/rapidxml.hpp>

#include "config/xml_print.h"
#include "fuzz_check.h"

// Parses `text` in place; false when it is not well-formed.
template <int Flags>
static bool parsed(rapidxml::xml_document<>& document, std::string& text) {
  return trv::fuzz::unlessThrown([&] { document.parse<Flags>(text.data()); return true; }, false);
}

template <int Flags>
static void checkPrinting(std::string input) {
  rapidxml::xml_document<> document, again;
  if (!parsed<Flags>(document, input)) return;
  for (const int flags : {0, trv::core::noIndent}) {
    size_t measured = 0;
    trv::core::printedXmlSize(document, flags, 0, measured);
    std::string text = trv::core::printXmlDocument(document, flags);
    // "&#0;" may cut the text.
    trv::fuzz::check(measured == text.size() && (text.find('\0') != std::string::npos ||
                     parsed<rapidxml::parse_full & ~rapidxml::parse_declaration_node>(again, text)), "printed", flags);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  checkPrinting<rapidxml::parse_full>(input);
  checkPrinting<rapidxml::parse_default>(input);
  return 0;
}
