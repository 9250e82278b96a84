#include "config_document.h"

#include <string>

#include <gtest/gtest.h>

#include "xml_print.h"

namespace trv::core {
namespace {

constexpr uint32_t CoreOrigin = 0x80000000u;

// The two texts publication makes of one document: the event's, then the
// saved file's without the Product element.
struct Printed {
  std::string event;
  std::string file;
};

Printed publish(const ConfigFacts& facts) {
  rapidxml::xml_document<> document;
  buildConfigDocument(document, facts);
  Printed printed{printXmlDocument(document, noIndent), {}};
  removeProduct(document);
  printed.file = printXmlDocument(document, 0);
  return printed;
}

ConfigFacts coreOnly() {
  ConfigFacts facts;
  facts.executableName = "trovis-core";
  facts.productFamily = "Trovis";
  facts.productVersion = "26.2.3.0";
  return facts;
}

const std::string CorePlugin =
    "<Plugin ID=\"-2147483648\" Filename=\"trovis-core\" Opened=\"1\" LoadTimeMs=\"0\" "
    "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>";

TEST(ConfigDocument, WithoutPlugins) {
  const Printed printed = publish(coreOnly());
  EXPECT_EQ(printed.event,
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>"
            "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">"
            "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">" +
                CorePlugin +
                "</Module></Modules><Product Family=\"Trovis\" Version=\"26.2.3.0\"/></qDVR>");
  EXPECT_EQ(printed.file,
            "<?xml?>\n"
            "<qDVR>\n"
            "\t<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>\n"
            "\t<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
            "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n"
            "\t\t\t" + CorePlugin + "\n"
            "\t\t</Module>\n"
            "\t</Modules>\n"
            "</qDVR>\n"
            "\n");
}

TEST(ConfigDocument, ThreeLoadedPluginsAndOneFailed) {
  ConfigFacts facts = coreOnly();
  facts.memory = {false, 765};
  facts.coreLogLevel = 0;
  facts.loaded = {
      // Times are whole milliseconds, truncated, and summed as such.
      {0x00210000, "A.so", 0, 1999999, 2500000, -1},
      // An id word of the core stays as it is; others keep only the id bits.
      {CoreOrigin, "CoreA.so", -102, 0, 999999, 0},
      {0x12345678, "Host.Dotted.so", 3, 7000000, 0, 100},
  };
  facts.failed = {{"not_elf.so", 79, "bad \"ELF\" & <header>"}};
  const std::string plugins[] = {
      "<Plugin ID=\"-2147483648\" Filename=\"trovis-core\" Opened=\"1\" LoadTimeMs=\"0\" "
      "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"0\" LogLevelDefault=\"-1\"/>",
      "<Plugin ID=\"2162688\" Filename=\"A.so\" Opened=\"1\" LoadTimeMs=\"1\" OpenTimeMs=\"2\" "
      "OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>",
      "<Plugin ID=\"-2147483648\" Filename=\"CoreA.so\" Opened=\"1\" LoadTimeMs=\"0\" "
      "OpenTimeMs=\"0\" OpenCode=\"-102\" LogLevel=\"0\" LogLevelDefault=\"-1\"/>",
      "<Plugin ID=\"3407872\" Filename=\"Host.Dotted.so\" Opened=\"1\" LoadTimeMs=\"7\" "
      "OpenTimeMs=\"0\" OpenCode=\"3\" LogLevel=\"100\" LogLevelDefault=\"-1\"/>",
      "<Plugin ID=\"1\" Filename=\"not_elf.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
      "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>",
  };
  const std::string failedModule =
      "<Module ID=\"1\" Name=\"not_elf\" Version='bad \"ELF\" &amp; &lt;header&gt;'/>";
  const Printed printed = publish(facts);
  EXPECT_EQ(printed.event,
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"0\" MaxGopLen=\"765\"/>"
            "<Modules TotalLoadTimeMs=\"8\" TotalOpenTimeMs=\"2\">"
            "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">" +
                plugins[0] + plugins[1] + plugins[2] + plugins[3] + plugins[4] + "</Module>" +
                failedModule +
                "</Modules><Product Family=\"Trovis\" Version=\"26.2.3.0\"/></qDVR>");
  EXPECT_EQ(printed.file,
            "<?xml?>\n"
            "<qDVR>\n"
            "\t<Memory ID=\"-2147483648\" Throttling=\"0\" MaxGopLen=\"765\"/>\n"
            "\t<Modules TotalLoadTimeMs=\"8\" TotalOpenTimeMs=\"2\">\n"
            "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n"
            "\t\t\t" + plugins[0] + "\n"
            "\t\t\t" + plugins[1] + "\n"
            "\t\t\t" + plugins[2] + "\n"
            "\t\t\t" + plugins[3] + "\n"
            "\t\t\t" + plugins[4] + "\n"
            "\t\t</Module>\n"
            "\t\t" + failedModule + "\n"
            "\t</Modules>\n"
            "</qDVR>\n"
            "\n");
}

TEST(ConfigDocument, ParentLibraryFollowsTheLoadedPluginsAndPrecedesTheFailedOnes) {
  ConfigFacts facts = coreOnly();
  facts.parentFilename = "/usr/bin/trovisd";
  facts.parentVersion = "5.4.1";
  facts.loaded = {{0x00210000, "A.so", 0, 0, 0, 30}};
  facts.failed = {{".hidden.so", -101, ""}, {"Twin.so", 7, "load code 7"}};
  EXPECT_EQ(publish(facts).file,
            "<?xml?>\n"
            "<qDVR>\n"
            "\t<Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>\n"
            "\t<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
            "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n"
            "\t\t\t" + CorePlugin + "\n"
            "\t\t\t<Plugin ID=\"2162688\" Filename=\"A.so\" Opened=\"1\" LoadTimeMs=\"0\" "
            "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"30\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Library Name=\"trovisd\" Filename=\"/usr/bin/trovisd\" Version=\"5.4.1\"/>\n"
            "\t\t\t<Plugin ID=\"1\" Filename=\".hidden.so\" Opened=\"1\" LoadTimeMs=\"0\" "
            "OpenTimeMs=\"0\" OpenCode=\"-101\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t\t<Plugin ID=\"2\" Filename=\"Twin.so\" Opened=\"1\" LoadTimeMs=\"0\" "
            "OpenTimeMs=\"0\" OpenCode=\"7\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"
            "\t\t</Module>\n"
            "\t\t<Module ID=\"1\" Name=\"\" Version=\"\"/>\n"
            "\t\t<Module ID=\"2\" Name=\"Twin\" Version=\"load code 7\"/>\n"
            "\t</Modules>\n"
            "</qDVR>\n"
            "\n");
  // A parent that named no version has no Library element.
  facts.parentVersion = "";
  EXPECT_EQ(publish(facts).event.find("Library"), std::string::npos);
}

TEST(ConfigDocument, ProductWithoutFamilyIsPublishedWithAnEmptyOne) {
  ConfigFacts facts = coreOnly();
  facts.productFamily = "";
  facts.productVersion = "7.1";
  const Printed printed = publish(facts);
  EXPECT_EQ(printed.event,
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" MaxGopLen=\"1050\"/>"
            "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">"
            "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"7.1\">" +
                CorePlugin + "</Module></Modules><Product Family=\"\" Version=\"7.1\"/></qDVR>");
  EXPECT_EQ(printed.file.find("Product"), std::string::npos);
}

TEST(MemoryStatusDocument, CarriesTheStateAndOneClockReadingInSecondsAndMilliseconds) {
  rapidxml::xml_document<> on;
  buildMemoryStatusDocument(on, true, 12345678901234);
  EXPECT_EQ(printXmlDocument(on, noIndent),
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"12345\" "
            "mseTime=\"12345678\"/></qDVR>");
  rapidxml::xml_document<> off;
  buildMemoryStatusDocument(off, false, 999999999);
  EXPECT_EQ(printXmlDocument(off, noIndent),
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"0\" "
            "mseTime=\"999\"/></qDVR>");
}

}  // namespace
}  // namespace trv::core
