#include "config/xml_print.h"

#include <string_view>

namespace trv::core {
namespace {

using rapidxml::xml_node;

// Where the printed pieces go: printing and measuring walk the tree with the
// same code, so the measured size cannot drift from the printed text.
class AppendingSink {
 public:
  explicit AppendingSink(std::string& out) : out_(out) {}
  void text(std::string_view piece) { out_.append(piece); }
  void repeat(size_t count, char c) { out_.append(count, c); }

 private:
  std::string& out_;
};

class CountingSink {
 public:
  explicit CountingSink(size_t& count) : count_(count) {}
  void text(std::string_view piece) { count_ += piece.size(); }
  void repeat(size_t count, char) { count_ += count; }

 private:
  size_t& count_;
};

// Characters escaped in text and in each kind of quoted attribute value.
constexpr std::string_view textSpecials = "&<>\"'";
constexpr std::string_view doubleQuotedSpecials = "&<>\"";
constexpr std::string_view singleQuotedSpecials = "&<>'";

std::string_view entityFor(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    default: return "&apos;";
  }
}

template <typename Node>
std::string_view nameOf(const Node& node) {
  return {node.name(), node.name_size()};
}

template <typename Node>
std::string_view valueOf(const Node& node) {
  return {node.value(), node.value_size()};
}

bool isSingleDataChild(const xml_node<>& child) {
  return child.type() == rapidxml::node_data && child.next_sibling() == nullptr;
}

template <typename Sink>
class XmlWriter {
 public:
  XmlWriter(Sink& sink, int flags) : sink_(sink), indented_((flags & noIndent) == 0) {}

  void print(const xml_node<>& node, int indent) {
    switch (node.type()) {
      case rapidxml::node_document: children(node, indent); break;
      case rapidxml::node_element: element(node, indent); break;
      case rapidxml::node_data:
        tabs(indent);
        escaped(valueOf(node), textSpecials);
        break;
      case rapidxml::node_cdata: framed(indent, "<![CDATA[", valueOf(node), "]]>"); break;
      case rapidxml::node_comment: framed(indent, "<!-- ", valueOf(node), " -->"); break;
      case rapidxml::node_declaration: declaration(node, indent); break;
      case rapidxml::node_doctype: framed(indent, "<!DOCTYPE ", valueOf(node), ">"); break;
      case rapidxml::node_pi: processingInstruction(node, indent); break;
    }
    newline();
  }

 private:
  void declaration(const xml_node<>& node, int indent) {
    tabs(indent);
    sink_.text("<?xml");
    attributes(node);
    sink_.text("?>");
  }

  void processingInstruction(const xml_node<>& node, int indent) {
    tabs(indent);
    sink_.text("<?");
    sink_.text(nameOf(node));
    sink_.text(" ");
    sink_.text(valueOf(node));
    sink_.text("?>");
  }

  void children(const xml_node<>& parent, int indent) {
    for (const xml_node<>* child = parent.first_node(); child; child = child->next_sibling())
      print(*child, indent);
  }

  void element(const xml_node<>& node, int indent) {
    tabs(indent);
    sink_.text("<");
    sink_.text(nameOf(node));
    attributes(node);
    const xml_node<>* first = node.first_node();
    if (!first && node.value_size() == 0) {
      sink_.text("/>");
      return;
    }
    sink_.text(">");
    content(node, first, indent);
    sink_.text("</");
    sink_.text(nameOf(node));
    sink_.text(">");
  }

  void content(const xml_node<>& node, const xml_node<>* first, int indent) {
    if (!first) {
      escaped(valueOf(node), textSpecials);
      return;
    }
    // A lone text child stays on the line of its tags: <Name>text</Name>.
    if (isSingleDataChild(*first)) {
      escaped(valueOf(*first), textSpecials);
      return;
    }
    newline();
    children(node, indent + 1);
    tabs(indent);
  }

  void attributes(const xml_node<>& node) {
    for (auto* attribute = node.first_attribute(); attribute;
         attribute = attribute->next_attribute()) {
      if (attribute->name_size() == 0) continue;
      sink_.text(" ");
      sink_.text(nameOf(*attribute));
      sink_.text("=");
      quoted(valueOf(*attribute));
    }
  }

  // Single quotes only when the value holds a double quote, which then needs
  // no escape.
  void quoted(std::string_view value) {
    const bool single = value.find('"') != std::string_view::npos;
    const std::string_view quote = single ? "'" : "\"";
    sink_.text(quote);
    escaped(value, single ? singleQuotedSpecials : doubleQuotedSpecials);
    sink_.text(quote);
  }

  void framed(int indent, std::string_view open, std::string_view value, std::string_view close) {
    tabs(indent);
    sink_.text(open);
    sink_.text(value);
    sink_.text(close);
  }

  // Copies runs of plain bytes whole; bytes above 127 are plain.
  void escaped(std::string_view value, std::string_view specials) {
    while (!value.empty()) {
      const size_t special = value.find_first_of(specials);
      sink_.text(value.substr(0, special));
      if (special == std::string_view::npos) return;
      sink_.text(entityFor(value[special]));
      value.remove_prefix(special + 1);
    }
  }

  void tabs(int indent) {
    if (indented_ && indent > 0) sink_.repeat(static_cast<size_t>(indent), '\t');
  }

  void newline() {
    if (indented_) sink_.repeat(1, '\n');
  }

  Sink& sink_;
  bool indented_;
};

}  // namespace

void printXml(std::string& out, const rapidxml::xml_node<>& node, int flags, int indent) {
  AppendingSink sink(out);
  XmlWriter<AppendingSink>(sink, flags).print(node, indent);
}

void printedXmlSize(const rapidxml::xml_node<>& node, int flags, int indent, size_t& count) {
  CountingSink sink(count);
  XmlWriter<CountingSink>(sink, flags).print(node, indent);
}

std::string printXmlDocument(const rapidxml::xml_node<>& document, int flags) {
  size_t size = 0;
  printedXmlSize(document, flags, 0, size);
  std::string out;
  out.reserve(size);
  printXml(out, document, flags, 0);
  return out;
}

}  // namespace trv::core
