#include "xml_lookup.h"

#include <string>

#include <gtest/gtest.h>

namespace trv::core {
namespace {

// A parsed document and the text it points into.
struct Parsed {
  explicit Parsed(std::string source) : text(std::move(source)) {
    document.parse<rapidxml::parse_default>(text.data());
  }
  std::string text;
  rapidxml::xml_document<> document;
};

// The Tag attribute of the element `path` finds, or "none".
std::string tagAt(const Parsed& parsed, std::string_view path) {
  const rapidxml::xml_node<>* found = findElementPath(parsed.document, path);
  if (found == nullptr) return "none";
  return std::string(attributeValue(*found, "Tag").value_or("untagged"));
}

TEST(FindElementPath, TakesTheFirstExactNameAtEachLevelWithoutBacktracking) {
  const Parsed parsed(
      "<qDVR Tag='root'>text<modules Tag='lower'/><Modules Tag='first'><Other/></Modules>"
      "<Modules Tag='second'><Module Tag='later'/></Modules></qDVR>");
  EXPECT_EQ(tagAt(parsed, "qDVR"), "root");
  EXPECT_EQ(tagAt(parsed, "qDVR/Modules"), "first");
  // Only the first Modules is searched.
  EXPECT_EQ(tagAt(parsed, "qDVR/Modules/Module"), "none");
  EXPECT_EQ(tagAt(parsed, "qDVR/Module"), "none");
  EXPECT_EQ(tagAt(parsed, "qDV"), "none");
  // An empty name takes the first child element, past the text before it.
  EXPECT_EQ(tagAt(parsed, "qDVR/"), "root");
  EXPECT_EQ(tagAt(parsed, "/"), "root");
  EXPECT_EQ(tagAt(parsed, ""), "root");
  EXPECT_EQ(tagAt(parsed, "qDVR//"), "lower");
  EXPECT_EQ(tagAt(parsed, "qDVR/Modules/"), "first");
  EXPECT_EQ(tagAt(parsed, "qDVR/Modules//"), "untagged");
}

TEST(AttributeValue, FirstExactNameWins) {
  const Parsed parsed("<Memory id='lower' ID='first' ID='second' Empty=''/>");
  const auto& memory = *parsed.document.first_node();
  EXPECT_EQ(attributeValue(memory, "ID"), "first");
  EXPECT_EQ(attributeValue(memory, "Empty"), "");
  EXPECT_EQ(attributeValue(memory, "I"), std::nullopt);
  EXPECT_EQ(attributeValue(memory, ""), std::nullopt);
}

TEST(BoolAttribute, OnlyZeroAndFalseInAnyCaseAreFalse) {
  const Parsed parsed(
      "<M zero='0' one='1' FALSE='FALSE' False='fAlSe' no='no' off='off' empty='' "
      "four='fals' six='falsey' blank=' '/>");
  const auto& element = *parsed.document.first_node();
  for (const char* name : {"zero", "FALSE", "False"}) {
    EXPECT_FALSE(boolAttribute(element, name, true)) << name;
  }
  for (const char* name : {"one", "no", "off", "four", "six", "blank"}) {
    EXPECT_TRUE(boolAttribute(element, name, false)) << name;
  }
  EXPECT_TRUE(boolAttribute(element, "empty", true));
  EXPECT_FALSE(boolAttribute(element, "empty", false));
  EXPECT_FALSE(boolAttribute(element, "missing", false));
}

TEST(LeadingNumbers, DigitsAtTheStartCountAndOverflowFails) {
  EXPECT_EQ(leadingInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(leadingInt32("2147483647xyz"), INT32_MAX);
  EXPECT_EQ(leadingInt32("2147483648"), std::nullopt);
  EXPECT_EQ(leadingInt32("-2147483649"), std::nullopt);
  for (const char* text : {"", "-", "+5", " 5", "x5"}) {
    EXPECT_EQ(leadingInt32(text), std::nullopt) << text;
  }
  EXPECT_EQ(leadingUint32("1500ms"), 1500u);
  EXPECT_EQ(leadingUint32("4294967295"), UINT32_MAX);
  EXPECT_EQ(leadingUint32("4294967296"), std::nullopt);
  EXPECT_EQ(leadingUint32("-1"), std::nullopt);
}

}  // namespace
}  // namespace trv::core
