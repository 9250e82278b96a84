#include "core_settings.h"

#include <string>

#include <gtest/gtest.h>

namespace trv::core {
namespace {

MemorySettings memoryAfter(const std::string& memoryElement, MemorySettings before = {}) {
  LogLevels levels;
  applyCoreDocument("<?xml?><qDVR>" + memoryElement + "</qDVR>", before, levels);
  return before;
}

uint16_t gopAfter(const std::string& value, uint16_t before = 1050) {
  return memoryAfter("<Memory MaxGopLen='" + value + "'/>", {true, before}).maxGopLen;
}

bool throttlingAfter(const std::string& attribute) {
  return memoryAfter("<Memory " + attribute + "/>").throttlingEnabled;
}

TEST(MemorySettings, MaxGopLenIsParsedThenClampedTo765Through2500) {
  EXPECT_EQ(gopAfter("100"), 765);
  EXPECT_EQ(gopAfter("3000"), 2500);
  EXPECT_EQ(gopAfter("1500 frames"), 1500);
  EXPECT_EQ(gopAfter("765"), 765);
  EXPECT_EQ(gopAfter("2500"), 2500);
  // Too big for 16 bits, or no number: the value before stays, clamped.
  EXPECT_EQ(gopAfter("99999"), 1050);
  EXPECT_EQ(gopAfter("65536", 3000), 2500);
  EXPECT_EQ(gopAfter("65535"), 2500);
  EXPECT_EQ(gopAfter("", 700), 765);
  EXPECT_EQ(gopAfter("-900", 700), 765);
  EXPECT_EQ(memoryAfter("<Memory/>", {true, 10}).maxGopLen, 765);
  // Without a Memory element nothing is touched, not even clamped.
  EXPECT_EQ(memoryAfter("<Other MaxGopLen='900'/>", {true, 10}).maxGopLen, 10);
  EXPECT_FALSE(memoryAfter("<Other/>", {false, 10}).throttlingEnabled);
}

TEST(MemorySettings, ThrottlingIsOffOnlyForZeroOrFalse) {
  EXPECT_FALSE(throttlingAfter("Throttling='FALSE'"));
  EXPECT_FALSE(throttlingAfter("Throttling='0'"));
  EXPECT_TRUE(throttlingAfter("Throttling='no'"));
  EXPECT_TRUE(throttlingAfter("Throttling=''"));
  EXPECT_TRUE(throttlingAfter(""));
  EXPECT_TRUE(memoryAfter("<Memory/>", {false, 1050}).throttlingEnabled);
}

TEST(LogLevelSlot, OnlyTheCoreAndPlugins2To255AreAddressable) {
  EXPECT_EQ(logLevelSlot(INT32_MIN), 0);
  EXPECT_EQ(logLevelSlot(0x20000), 2);
  EXPECT_EQ(logLevelSlot(0x00FF0000), 255);
  EXPECT_EQ(logLevelSlot(0x00211234), 0x21);
  EXPECT_EQ(logLevelSlot(-65536), 255);  // 0xFFFF0000
  EXPECT_EQ(logLevelSlot(0x10000), std::nullopt);
  EXPECT_EQ(logLevelSlot(5), std::nullopt);
  EXPECT_EQ(logLevelSlot(0), std::nullopt);
  EXPECT_EQ(logLevelSlot(INT32_MIN + 1), std::nullopt);
}

// A document with one Module holding the given Plugin elements.
std::string withPlugins(const std::string& plugins) {
  return "<qDVR><Modules><Module>" + plugins + "</Module></Modules></qDVR>";
}

bool applyText(const std::string& text, LogLevels& levels) {
  std::string buffer = text;
  rapidxml::xml_document<> document;
  document.parse<rapidxml::parse_default>(buffer.data());
  return applyLogLevels(document, levels);
}

TEST(ApplyLogLevels, StoresClampedValuesInTheSlotsTheIdsSelect) {
  LogLevels levels;
  EXPECT_TRUE(applyText(withPlugins("<Plugin ID='-2147483648' LogLevel='0'/>"
                                "<Plugin ID='2228224' LogLevel='500'/>"  // 0x22
                                "<Plugin ID='2293760abc' LogLevel='-7'/>"  // 0x23
                                "<Plugin ID='2359296' LogLevel='40 extra'/>"),  // 0x24
                    levels));
  EXPECT_EQ(levels.stored(0), 0);
  EXPECT_EQ(levels.stored(0x22), 100);
  EXPECT_EQ(levels.stored(0x23), -1);
  EXPECT_EQ(levels.stored(0x24), 40);
}

TEST(ApplyLogLevels, SkipsUnaddressableAndUnparsableEntries) {
  LogLevels levels;
  EXPECT_FALSE(applyText(withPlugins("<Plugin ID='65536' LogLevel='10'/>"
                                 "<Plugin ID='5' LogLevel='10'/>"
                                 "<Plugin ID='' LogLevel='10'/>"
                                 "<Plugin LogLevel='10'/>"
                                 "<Plugin ID='99999999999' LogLevel='10'/>"
                                 "<Plugin ID='2228224'/>"
                                 "<Plugin ID='2228224' LogLevel=''/>"
                                 "<Plugin ID='2228224' LogLevel='x'/>"
                                 "<Plugin ID='2228224' LogLevel='9999999999'/>"),
                     levels));
  for (unsigned id = 0; id < 256; ++id) EXPECT_EQ(levels.stored(static_cast<uint8_t>(id)), -1);
}

TEST(ApplyLogLevels, ChangeIsTheValueAsWrittenDifferingFromTheStoredOne) {
  LogLevels levels;
  levels.set(0x22, 100);
  levels.set(0x23, 30);
  EXPECT_FALSE(applyText(withPlugins("<Plugin ID='2293760' LogLevel='30'/>"
                                 "<Plugin ID='2359296' LogLevel='-1'/>"),
                     levels));
  EXPECT_TRUE(applyText(withPlugins("<Plugin ID='2293760' LogLevel='31'/>"), levels));
  EXPECT_EQ(levels.stored(0x23), 31);
  // Out of range counts as written, though what is stored stays the same.
  EXPECT_TRUE(applyText(withPlugins("<Plugin ID='2228224' LogLevel='500'/>"), levels));
  EXPECT_EQ(levels.stored(0x22), 100);
  EXPECT_TRUE(applyText(withPlugins("<Plugin ID='2359296' LogLevel='-7'/>"), levels));
  EXPECT_EQ(levels.stored(0x24), -1);
}

TEST(ApplyLogLevels, WalksEveryModuleAndPluginOfTheFirstModulesElement) {
  LogLevels levels;
  EXPECT_TRUE(applyText("<qDVR><Modules>"
                    "<Module><Plugin ID='131072' LogLevel='2'/><Other ID='196608' LogLevel='9'/>"
                    "<Plugin ID='196608' LogLevel='3'/></Module>"
                    "<Library/>"
                    "<Module><Plugin ID='262144' LogLevel='4'/></Module>"
                    "</Modules>"
                    "<Modules><Module><Plugin ID='327680' LogLevel='5'/></Module></Modules>"
                    "</qDVR>",
                    levels));
  EXPECT_EQ(levels.stored(2), 2);
  EXPECT_EQ(levels.stored(3), 3);
  EXPECT_EQ(levels.stored(4), 4);
  EXPECT_EQ(levels.stored(5), -1);
}

TEST(ApplyCoreDocument, MalformedTextChangesNothing) {
  MemorySettings memory{true, 1050};
  LogLevels levels;
  EXPECT_THROW(applyCoreDocument("<?xml?><qDVR><Memory Throttling='0' MaxGopLen='900'/>"
                                 "<Modules><Module><Plugin ID='-2147483648' LogLevel='0'/>"
                                 "</Module></Modules>",
                                 memory, levels),
               std::exception);
  EXPECT_TRUE(memory.throttlingEnabled);
  EXPECT_EQ(memory.maxGopLen, 1050);
  EXPECT_EQ(levels.stored(0), -1);
}

TEST(ReadProductIdentity, TakesTheFirstTopLevelProduct) {
  const auto product = readProductIdentity(
      "<?xml?><Product Version='7.1' Other='x'/><Product Family='Second' Version='2'/>");
  ASSERT_TRUE(product);
  EXPECT_EQ(product->family, "");
  EXPECT_EQ(product->version, "7.1");
  EXPECT_EQ(readProductIdentity("<?xml?><qDVR><Product Family='Nested'/></qDVR>"), std::nullopt);
  EXPECT_THROW(readProductIdentity("<?xml?><Product"), std::exception);
}

// A payload of `length` bytes ('x' filler) with `mark` placed at `offset`.
std::string payloadWith(size_t length, std::string_view mark, size_t offset,
                        std::string_view other = {}, size_t otherOffset = 0) {
  std::string payload(length, 'x');
  payload.replace(offset, mark.size(), mark);
  if (!other.empty()) payload.replace(otherOffset, other.size(), other);
  return payload;
}

TEST(IsLogLevelDelta, MarksMustLieWholeInsideTheirByteWindows) {
  constexpr std::string_view delta = "Delta=\"1\"";
  constexpr std::string_view modules = "<Modules";
  // Delta="1" inside bytes 13..112, "<Modules" inside bytes 0..39.
  EXPECT_TRUE(isLogLevelDelta(payloadWith(200, modules, 0, delta, 13)));
  EXPECT_FALSE(isLogLevelDelta(payloadWith(200, modules, 0, delta, 12)));
  EXPECT_FALSE(isLogLevelDelta(payloadWith(200, modules, 0, delta, 10)));
  EXPECT_TRUE(isLogLevelDelta(payloadWith(200, modules, 0, delta, 104)));
  EXPECT_FALSE(isLogLevelDelta(payloadWith(200, modules, 0, delta, 105)));
  EXPECT_TRUE(isLogLevelDelta(payloadWith(200, modules, 32, delta, 50)));
  EXPECT_FALSE(isLogLevelDelta(payloadWith(200, modules, 33, delta, 50)));
  // Shorter payloads: the windows end with the payload.
  EXPECT_TRUE(isLogLevelDelta(payloadWith(22, modules, 0, delta, 13)));
  EXPECT_TRUE(isLogLevelDelta(payloadWith(40, modules, 32, delta, 13)));
  EXPECT_FALSE(isLogLevelDelta(payloadWith(40, modules, 0)));
  EXPECT_FALSE(isLogLevelDelta(payloadWith(40, delta, 13)));
  EXPECT_FALSE(isLogLevelDelta(""));
}

TEST(ApplyLogLevelDelta, LeavesThePayloadAsItWas) {
  const std::string payload =
      "<?xml?><qDVR><Modules Delta=\"1\"><Module>"
      "<Plugin ID=\"2228224\" LogLevel=\"&#55;0\"/></Module></Modules></qDVR>";
  const std::string before = payload;
  LogLevels levels;
  EXPECT_TRUE(applyLogLevelDelta(payload, levels));
  EXPECT_EQ(levels.stored(0x22), 70);
  EXPECT_EQ(payload, before);
  EXPECT_THROW(applyLogLevelDelta("<?xml?><qDVR><Modules Delta=\"1\">", levels), std::exception);
}

// A delta whose Module holds `fillers` empty elements besides one Plugin.
std::string deltaWithFillers(int fillers) {
  std::string text = "<?xml?><qDVR><Modules Delta=\"1\"><Module>";
  for (int i = 0; i < fillers; ++i) text += "<x/>";
  return text + "<Plugin ID=\"2228224\" LogLevel=\"70\"/></Module></Modules></qDVR>";
}

// Nesting this deep would overflow the stack of the recursive parser.
TEST(ApplyLogLevelDelta, RefusesMoreTagsThanADocumentOfTheCoreHoldsUnparsed) {
  std::string deep = "<?xml?><qDVR><Modules Delta=\"1\">";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  LogLevels levels;
  try {
    applyLogLevelDelta(deep, levels);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "XML text with 100003 tags refused: at most 4096 are parsed");
  }
  // Eight tags besides the fillers.
  EXPECT_THROW(applyLogLevelDelta(deltaWithFillers(4089), levels), std::runtime_error);
  EXPECT_EQ(levels.stored(0x22), -1);
  EXPECT_TRUE(applyLogLevelDelta(deltaWithFillers(4088), levels));
  EXPECT_EQ(levels.stored(0x22), 70);
}

}  // namespace
}  // namespace trv::core
