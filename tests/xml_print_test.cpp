#include "xml_print.h"

#include <initializer_list>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace trv::core {
namespace {

using rapidxml::node_type;
using rapidxml::xml_document;
using rapidxml::xml_node;
using Attributes = std::initializer_list<std::pair<const char*, const char*>>;

xml_node<>* add(xml_document<>& doc, xml_node<>& parent, node_type type, const char* name,
                const char* value = "", Attributes attributes = {}) {
  xml_node<>* node = doc.allocate_node(type, name, value);
  for (const auto& [attributeName, attributeValue] : attributes)
    node->append_attribute(doc.allocate_attribute(attributeName, attributeValue));
  parent.append_node(node);
  return node;
}

xml_node<>* element(xml_document<>& doc, xml_node<>& parent, const char* name,
                    Attributes attributes = {}) {
  return add(doc, parent, rapidxml::node_element, name, "", attributes);
}

// Prints after existing text and measures on top of an existing count, so
// every expectation below also checks that printedXmlSize agrees exactly and
// that both append rather than replace.
std::string print(const xml_node<>& node, int flags, int indent) {
  std::string out = "kept";
  printXml(out, node, flags, indent);
  size_t count = 100;
  printedXmlSize(node, flags, indent, count);
  EXPECT_EQ(out.substr(0, 4), "kept");
  EXPECT_EQ(count - 100, out.size() - 4) << "measured size differs for: " << out;
  return out.substr(4);
}

TEST(XmlPrintElement, WithoutValueOrChildrenClosesItself) {
  xml_document<> doc;
  xml_node<>* memory = element(doc, doc, "Memory", {{"ID", "-1"}, {"Throttling", "1"}});
  EXPECT_EQ(print(*memory, 0, 0), "<Memory ID=\"-1\" Throttling=\"1\"/>\n");
  EXPECT_EQ(print(*memory, 0, 2), "\t\t<Memory ID=\"-1\" Throttling=\"1\"/>\n");
  EXPECT_EQ(print(*memory, 0, -3), "<Memory ID=\"-1\" Throttling=\"1\"/>\n");
  EXPECT_EQ(print(*memory, noIndent, 2), "<Memory ID=\"-1\" Throttling=\"1\"/>");
}

TEST(XmlPrintElement, TextStaysOnTheLineOfItsTags) {
  xml_document<> doc;
  xml_node<>* withValue = add(doc, doc, rapidxml::node_element, "Name", "a & <b> \"c\" 'd'");
  EXPECT_EQ(print(*withValue, 0, 1),
            "\t<Name>a &amp; &lt;b&gt; &quot;c&quot; &apos;d&apos;</Name>\n");

  // Empty own value, one data child: the child's text is the content.
  xml_node<>* withData = element(doc, doc, "Name");
  add(doc, *withData, rapidxml::node_data, "", "x<y");
  EXPECT_EQ(print(*withData, 0, 1), "\t<Name>x&lt;y</Name>\n");
  EXPECT_EQ(print(*withData, noIndent, 1), "<Name>x&lt;y</Name>");
}

TEST(XmlPrintElement, OtherChildrenGoOnTheirOwnLinesOneTabDeeper) {
  xml_document<> doc;
  // The children win over the element's own value.
  xml_node<>* outer = add(doc, doc, rapidxml::node_element, "Outer", "ignored");
  add(doc, *outer, rapidxml::node_data, "", "text");
  element(doc, *outer, "Inner");
  EXPECT_EQ(print(*outer, 0, 1), "\t<Outer>\n\t\ttext\n\t\t<Inner/>\n\t</Outer>\n");
  EXPECT_EQ(print(*outer, noIndent, 1), "<Outer>text<Inner/></Outer>");

  // Only a data child is inlined, not a lone CDATA child.
  xml_node<>* wrapper = element(doc, doc, "Wrapper");
  add(doc, *wrapper, rapidxml::node_cdata, "", "raw");
  EXPECT_EQ(print(*wrapper, 0, 0), "<Wrapper>\n\t<![CDATA[raw]]>\n</Wrapper>\n");
}

TEST(XmlPrintNodeKinds, EachKindIndentedAndOnOneLine) {
  struct Case {
    node_type type;
    const char* name;
    const char* value;
    Attributes attributes;
    const char* indented;  // at indent 1
    const char* oneLine;
  };
  const Case cases[] = {
      {rapidxml::node_data, "", "a&b<c>d\"e'f", {},
       "\ta&amp;b&lt;c&gt;d&quot;e&apos;f\n", "a&amp;b&lt;c&gt;d&quot;e&apos;f"},
      {rapidxml::node_cdata, "", "a&b<c>\"", {}, "\t<![CDATA[a&b<c>\"]]>\n", "<![CDATA[a&b<c>\"]]>"},
      {rapidxml::node_comment, "", "a&b<c>", {}, "\t<!-- a&b<c> -->\n", "<!-- a&b<c> -->"},
      {rapidxml::node_declaration, "", "", {{"version", "1.0"}, {"encoding", "UTF-8"}},
       "\t<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"},
      {rapidxml::node_declaration, "", "", {}, "\t<?xml?>\n", "<?xml?>"},
      {rapidxml::node_doctype, "", "qDVR [<!ENTITY a \"&b;\">]", {},
       "\t<!DOCTYPE qDVR [<!ENTITY a \"&b;\">]>\n", "<!DOCTYPE qDVR [<!ENTITY a \"&b;\">]>"},
      {rapidxml::node_pi, "render", "a&b<c>", {}, "\t<?render a&b<c>?>\n", "<?render a&b<c>?>"},
      {rapidxml::node_pi, "render", "", {}, "\t<?render ?>\n", "<?render ?>"},
  };
  for (const Case& c : cases) {
    xml_document<> doc;
    xml_node<>* node = add(doc, doc, c.type, c.name, c.value, c.attributes);
    EXPECT_EQ(print(*node, 0, 1), c.indented);
    EXPECT_EQ(print(*node, noIndent, 1), c.oneLine);
  }
  xml_document<> empty;
  EXPECT_EQ(print(empty, 0, 0), "\n");
  EXPECT_EQ(print(empty, noIndent, 0), "");
}

TEST(XmlPrintAttributes, QuoteChoiceEscapesAndSkippedNames) {
  xml_document<> doc;
  xml_node<>* node = element(doc, doc, "E",
                             {{"both", "say \"hi\" it's"},
                              {"single", "it's"},
                              {"specials", "a&b<c>"},
                              {"", "dropped"},
                              {"empty", ""},
                              {"utf8", "Gr\xC3\xB6\xC3\x9F" "e"}});
  EXPECT_EQ(print(*node, noIndent, 0),
            "<E both='say \"hi\" it&apos;s' single=\"it's\" specials=\"a&amp;b&lt;c&gt;\""
            " empty=\"\" utf8=\"Gr\xC3\xB6\xC3\x9F" "e\"/>");
}

TEST(XmlPrintAttributes, NamesAndValuesEndAtTheirLengthsNotAtATerminator) {
  xml_document<> doc;
  xml_node<>* node = doc.allocate_node(rapidxml::node_element, "ModulesXYZ", "a\0bXYZ", 7, 3);
  node->append_attribute(doc.allocate_attribute("IDjunk", "42junk", 2, 2));
  EXPECT_EQ(print(*node, noIndent, 0), std::string("<Modules ID=\"42\">a\0b</Modules>", 30));
}

// The configuration document as the core saves and publishes it.
void buildCoreConfiguration(xml_document<>& doc) {
  add(doc, doc, rapidxml::node_declaration, "");
  xml_node<>* root = element(doc, doc, "qDVR");
  element(doc, *root, "Memory", {{"ID", "-2147483648"}, {"Throttling", "1"}, {"MaxGopLen", "1050"}});
  xml_node<>* modules =
      element(doc, *root, "Modules", {{"TotalLoadTimeMs", "12"}, {"TotalOpenTimeMs", "3"}});
  xml_node<>* core = element(doc, *modules, "Module",
                             {{"ID", "-2147483648"}, {"Name", "Core"}, {"Version", "26.2.3.0"}});
  element(doc, *core, "Plugin",
          {{"ID", "-2147483648"}, {"Filename", "trovis-core"}, {"Opened", "1"},
           {"LoadTimeMs", "0"}, {"OpenTimeMs", "0"}, {"OpenCode", "0"}, {"LogLevel", "-1"},
           {"LogLevelDefault", "-1"}});
  element(doc, *core, "Plugin",
          {{"ID", "131072"}, {"Filename", "LogPI.so"}, {"Opened", "1"}, {"LoadTimeMs", "12"},
           {"OpenTimeMs", "3"}, {"OpenCode", "0"}, {"LogLevel", "25"}, {"LogLevelDefault", "-1"}});
  element(doc, *core, "Library", {{"Name", "trovisd"}, {"Filename", "trovisd"}, {"Version", "5.1"}});
  element(doc, *modules, "Module", {{"ID", "1"}, {"Name", "Broken"}, {"Version", "missing symbol"}});
}

TEST(XmlPrintDocument, CoreConfigurationIndentedForTheFileAndOnOneLineForEvents) {
  xml_document<> doc;
  buildCoreConfiguration(doc);
  const std::string indented =
      "<?xml?>\n"
      "<qDVR>\n"
      "\t<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>\n"
      "\t<Modules TotalLoadTimeMs=\"12\" TotalOpenTimeMs=\"3\">\n"
      "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n"
      "\t\t\t<Plugin ID=\"-2147483648\" Filename=\"trovis-core\" Opened=\"1\" LoadTimeMs=\"0\""
      " OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
      "\t\t\t<Plugin ID=\"131072\" Filename=\"LogPI.so\" Opened=\"1\" LoadTimeMs=\"12\""
      " OpenTimeMs=\"3\" OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"-1\"/>\n"
      "\t\t\t<Library Name=\"trovisd\" Filename=\"trovisd\" Version=\"5.1\"/>\n"
      "\t\t</Module>\n"
      "\t\t<Module ID=\"1\" Name=\"Broken\" Version=\"missing symbol\"/>\n"
      "\t</Modules>\n"
      "</qDVR>\n"
      "\n";
  const std::string oneLine =
      "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>"
      "<Modules TotalLoadTimeMs=\"12\" TotalOpenTimeMs=\"3\">"
      "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">"
      "<Plugin ID=\"-2147483648\" Filename=\"trovis-core\" Opened=\"1\" LoadTimeMs=\"0\""
      " OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
      "<Plugin ID=\"131072\" Filename=\"LogPI.so\" Opened=\"1\" LoadTimeMs=\"12\""
      " OpenTimeMs=\"3\" OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"-1\"/>"
      "<Library Name=\"trovisd\" Filename=\"trovisd\" Version=\"5.1\"/>"
      "</Module><Module ID=\"1\" Name=\"Broken\" Version=\"missing symbol\"/></Modules></qDVR>";
  EXPECT_EQ(print(doc, 0, 0), indented);
  EXPECT_EQ(print(doc, noIndent, 0), oneLine);
  const std::string whole = printXmlDocument(doc, 0);
  EXPECT_EQ(whole, indented);
  EXPECT_EQ(whole.capacity(), whole.size()) << "the text was not reserved once up front";
}

// Text in data nodes (the parser's default) or in element values
// (parse_no_data_nodes) must print alike.
template <int ParseFlags>
std::string parseAndPrint(std::string text, int flags) {
  xml_document<> doc;
  doc.parse<ParseFlags | rapidxml::parse_declaration_node | rapidxml::parse_comment_nodes |
            rapidxml::parse_doctype_node | rapidxml::parse_pi_nodes>(text.data());
  return print(doc, flags, 0);
}

TEST(XmlPrintDocument, ParsedTextPrintsAlikeFromDataNodesAndFromElementValues) {
  const std::string text =
      "<?xml version=\"1.0\" encoding='UTF-8'?>\n<!DOCTYPE qDVR>\n<qDVR>\n"
      "  <!-- saved -->\n"
      "  <Product Family=\"Trovis\" Note='a \"b\"'>Caf&#233; &amp; &lt;bar&gt;</Product>\n"
      "  <Empty></Empty>\n  <?render fast?>\n</qDVR>";
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE qDVR>\n"
      "<qDVR>\n"
      "\t<!--  saved  -->\n"
      "\t<Product Family=\"Trovis\" Note='a \"b\"'>Caf\xC3\xA9 &amp; &lt;bar&gt;</Product>\n"
      "\t<Empty/>\n"
      "\t<?render fast?>\n"
      "</qDVR>\n"
      "\n";
  EXPECT_EQ(parseAndPrint<0>(text, 0), expected);
  EXPECT_EQ(parseAndPrint<rapidxml::parse_no_data_nodes>(text, 0), expected);
}

}  // namespace
}  // namespace trv::core
