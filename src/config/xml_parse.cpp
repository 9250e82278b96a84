#include "config/xml_parse.h"

#include <algorithm>
#include <stdexcept>

namespace trv::core {

void parseXmlText(rapidxml::xml_document<>& document, std::string& text) {
  // Every tag, nested or not, begins with "<": a bound that no markup hides.
  // It holds under the sanitizers' larger frames too.
  const auto tags = static_cast<size_t>(std::count(text.begin(), text.end(), '<'));
  if (tags > MostXmlTags) {
    throw std::runtime_error("XML text with " + std::to_string(tags) + " tags refused: at most " +
                             std::to_string(MostXmlTags) + " are parsed");
  }
  document.parse<rapidxml::parse_default>(text.data());
}

}  // namespace trv::core
