// The configuration layer through its public functions: XML text and lookups, the settings and
// documents of the core, and the file store with its system calls scripted or killed.
#include "config/core_settings.h"
#include "config/file_store.h"
#include "config/published_documents.h"
#include "config/xml_lookup.h"
#include "config/xml_print.h"
#include "system/system_calls.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "child_process.h"

namespace trv::core {
namespace {

using namespace std::literals;
namespace fs = std::filesystem;

// A document parsed with every kind of node, and the text it points into.
struct Parsed {
  explicit Parsed(std::string source) : text(std::move(source)) { document.parse<rapidxml::parse_full>(text.data()); }
  std::string text;  // the document points into it
  rapidxml::xml_document<> document;
};

// Prints after existing text and measures on top of a count: both must append, and agree.
std::string print(const rapidxml::xml_node<>& node, int flags, int indent = 0) {
  std::string out = "kept";
  size_t count = out.size();
  printXml(out, node, flags, indent), printedXmlSize(node, flags, indent, count);
  EXPECT_EQ(count, out.size()) << out;
  return out.substr(4);
}

// The one-line form of an indented text whose values hold no tabs or line feeds.
std::string withoutLayout(std::string text) { std::erase(text, '\t'), std::erase(text, '\n'); return text; }

// What `operation` returned, or the message of the error it threw.
template <typename Operation> std::string outcome(const Operation& operation) try { return operation(); }
catch (const std::exception& error) { return error.what(); }

std::string repeated(std::string_view piece, int n) { std::string text; while (n-- > 0) text += piece; return text; }

// The thresholds set, as slot=value.
std::string thresholds(const LogLevels& levels) {
  std::string set;
  for (int slot = 0; slot < 256; ++slot)
    if (const int32_t level = levels.stored(uint8_t(slot)); level != -1) set += fmt::format("{}={} ", slot, level);
  return set;
}

TEST(XmlText, EveryNodeKindPrintedIndentedForTheFileAndOnOneLineForEventsAndFirstExactNamesLookedUp) {
  // A lone text child stays on the line of its tags; other children go one tab deeper.
  const Parsed parsed("<?xml version='1.0' x=\"y\"?><!DOCTYPE q [<!ENTITY a \"&b;\">]><!--a&b<c>-->"
      "<?render a&b<c>?><?render ?><R><N>Caf&#233; &amp; &lt;b&gt; \"c\" 'd'</N><O>text<I a='1'/></O>"
      "<W><![CDATA[a&b<c>\"]]></W></R>");
  const std::string printed = "<?xml version=\"1.0\" x=\"y\"?>\n<!DOCTYPE q [<!ENTITY a \"&b;\">]>\n"
      "<!-- a&b<c> -->\n<?render a&b<c>?>\n<?render ?>\n<R>\n\t<N>Caf\xC3\xA9 &amp; &lt;b&gt; &quot;c&quot; "
      "&apos;d&apos;</N>\n\t<O>\n\t\ttext\n\t\t<I a=\"1\"/>\n\t</O>\n\t<W>\n\t\t<![CDATA[a&b<c>\"]]>\n\t</W>\n"
      "</R>\n\n";
  EXPECT_EQ(print(parsed.document, 0), printed);
  EXPECT_EQ(print(parsed.document, noIndent), withoutLayout(printed));
  const rapidxml::xml_node<>& i = *parsed.document.first_node("R")->first_node("O")->first_node("I");
  EXPECT_EQ(print(i, 0, 2) + print(i, 0, -3) + print(i, noIndent, 2), "\t\t<I a=\"1\"/>\n<I a=\"1\"/>\n<I a=\"1\"/>");

  // Without children an element's value is its text; names and values end at their lengths.
  rapidxml::xml_document<> doc;
  rapidxml::xml_node<>* node = doc.allocate_node(rapidxml::node_element, "ModulesXYZ", "a\0b<XYZ", 7, 4);
  node->append_attribute(doc.allocate_attribute("IDjunk", "42junk", 2, 2));
  for (const char* pair : {"\0dropped", "X\0it's", "both\0say \"hi\" it's", "s\0a&b<c>", "e\0"})
    node->append_attribute(doc.allocate_attribute(pair, pair + std::string_view(pair).size() + 1));
  EXPECT_EQ(print(*node, 0, 1), "\t<Modules ID=\"42\" X=\"it's\" both='say \"hi\" it&apos;s' "
                                "s=\"a&amp;b&lt;c&gt;\" e=\"\">a\0b&lt;</Modules>\n"s);

  // Lookups take the first exact name, without backtracking.
  const Parsed lookedUp("<qDVR Tag='root' id='lower' ID='first' ID='2' zero='0' F='FALSE' f='fAlSe' one='1' no='no' "
                      "four='fals' six='falsey' blank=' ' empty=''>text<modules Tag='lower'/><Modules Tag='first'>"
                      "<Other/></Modules><Modules Tag='second'><Module Tag='later'/></Modules></qDVR>");
  std::string got;  // only the first Modules is searched; an empty name takes the first element
  for (const char* path : {"qDVR", "qDVR/Modules", "qDVR/Modules/Module", "qDV", "qDVR/", "/", "", "qDVR//",
                           "qDVR/Modules/", "qDVR/Modules//"}) {
    const rapidxml::xml_node<>* found = findElementPath(lookedUp.document, path);
    got += (found ? std::string(attributeValue(*found, "Tag").value_or("-")) : "none") + " ";
  }
  const rapidxml::xml_node<>& m = *lookedUp.document.first_node();
  for (const char* name : {"ID", "empty", "I", ""}) got += std::string(attributeValue(m, name).value_or("-")) + "|";
  for (const char* name : {"zero", "F", "f", "one", "no", "four", "six", "blank", "empty", "missing"})
    got += std::to_string(boolAttribute(m, name, false)) + std::to_string(boolAttribute(m, name, true));
  EXPECT_EQ(got, "root first none none root root root lower first - first||-|-|00000011111111110101");
}

TEST(CoreDocuments, GopLengthThrottlingLevelsInTheSlotsOfTheIdsDeltasMalformedTextChangingNothingAndWhatIsPrinted) {
  // Numbers lead the text; too big for 16 bits or none: the value before stays, clamped. A text
  // that is not well-formed changes nothing.
  const std::string zeroCore = "<Modules><Module><Plugin ID='-2147483648' LogLevel='0'/></Module></Modules>";
  const struct { std::string elements, after; MemorySettings memory = {}; } cases[] = {
      {"<Memory MaxGopLen='100'/>", "1 765 "}, {"<Memory MaxGopLen='3000'/>", "1 2500 "},
      {"<Memory MaxGopLen='1500 f'/>", "1 1500 "}, {"<Memory MaxGopLen='65535'/>", "1 2500 "},
      {"<Memory MaxGopLen='65536'/>", "1 2500 ", {true, 3000}}, {"<Memory MaxGopLen='-9' Throttling='0'/>", "0 1050 "},
      {"<Memory MaxGopLen='4294967296' Throttling='FALSE'/>", "0 900 ", {true, 900}},
      {"<Memory Throttling='no'/>", "1 765 ", {false, 10}}, {"<Other MaxGopLen='9'/>", "0 10 ", {false, 10}},
      {zeroCore, "1 1050 0=0 "}, {"<Memory Throttling='0'/>" + zeroCore + "<", "1 1050 expected >"}};
  for (auto c : cases) {
    LogLevels levels;
    const std::string error =
        outcome([&] { applyCoreDocument("<?xml?><qDVR>" + c.elements + "</qDVR>", c.memory, levels); return ""s; });
    EXPECT_EQ(fmt::format("{:d} {} {}{}", c.memory.throttlingEnabled, c.memory.maxGopLen, thresholds(levels), error),
              c.after);
  }
  const auto product = readProductIdentity("<?xml?><Product Version='7.1' X='x'/><Product Family='F' Version='2'/>");
  EXPECT_EQ(product ? product->family + "/" + product->version : "none", "/7.1");
  EXPECT_EQ(readProductIdentity("<?xml?><qDVR><Product Family='Nested'/></qDVR>"), std::nullopt);
  EXPECT_THROW(readProductIdentity("<?xml?><Product"), std::exception);

  const auto delta = [](const std::string& plugins) {
    return R"(<?xml?><qDVR><Modules Delta="1"><Module>)" + plugins + "</Module></Modules></qDVR>"; };
  // Deltas applied in turn: {payload, the answer, the thresholds after}. Ids and levels are leading
  // numbers, an id's plugin bits select the slot; a change is the value as written differing from
  // the stored one, though clamping keeps it; every Module and Plugin of the first Modules counts.
  const std::string set = "0=0 33=8 34=100 36=40 ";
  const std::vector<std::array<std::string, 3>> steps = {
      {delta("<Plugin ID='65536' LogLevel='10'/><Plugin ID='5' LogLevel='10'/><Plugin LogLevel='10'/><Plugin ID='0' "
             "LogLevel='1'/><Plugin ID='99999999999' LogLevel='10'/><Plugin ID='2228224'/><Plugin ID='2228224' LogLevel"
             "='x'/><Plugin ID='2228224' LogLevel='9999999999'/><Plugin ID='-2147483647' LogLevel='1'/>"), "0", ""},
      {delta("<Plugin ID='-2147483648' LogLevel='0'/><Plugin ID='2228224' LogLevel='500'/><Plugin ID='2293760abc' "
             "LogLevel='-7'/><Plugin ID='2359296' LogLevel='&#52;0 x'/><Plugin ID='16711680' LogLevel='7'/><Plugin "
             "ID='2167348' LogLevel='8'/>"), "1", set + "255=7 "},
      {delta("<Plugin ID='2293760' LogLevel='-1'/><Plugin ID='2359296' LogLevel='40'/>"), "0", set + "255=7 "},
      {delta("<Plugin ID='2228224' LogLevel='500'/><Plugin ID='-65536' LogLevel='9'/>"), "1", set + "255=9 "},
      {"<qDVR><Modules><Module><Plugin ID='131072' LogLevel='2'/><Other ID='196608' LogLevel='9'/><Plugin ID='196608' "
       "LogLevel='3'/></Module><Library/><Module><Plugin ID='262144' LogLevel='4'/></Module></Modules><Modules><Module>"
       "<Plugin ID='327680' LogLevel='5'/></Module></Modules></qDVR>", "1", "0=0 2=2 3=3 4=4 33=8 34=100 36=40 255=9 "},
      {delta(repeated("<x/>", 4088) + "<Plugin ID='196608' LogLevel='70'/>"), "1",
       "0=0 2=2 3=70 4=4 33=8 34=100 36=40 255=9 "}};
  for (LogLevels levels; const auto& [payload, answer, after] : steps) {
    const std::string copy = payload;  // the payload is parsed in a copy
    const std::string answered = outcome([&] { return std::to_string(applyLogLevelDelta(copy, levels)); });
    EXPECT_EQ(answered + "|" + thresholds(levels) + "|" + copy, answer + "|" + after + "|" + payload);
  }
  // {length, "<Modules" at, Delta="1" at}: "<Modules" must lie within bytes 0..39 and Delta="1"
  // within bytes 13..112, or the payload's end; a mark at `length` is cut off.
  std::string got;
  for (const auto& [length, modules, at] : std::vector<std::array<size_t, 3>>{{200, 0, 13}, {200, 0, 12},
           {200, 0, 104}, {200, 0, 105}, {200, 32, 50}, {200, 33, 50}, {22, 0, 13}, {21, 0, 13}, {40, 32, 13}})
    got += isLogLevelDelta(std::string(200, 'x').replace(modules, 8, "<Modules").replace(at, 9, R"(Delta="1")")
                               .substr(0, length)) ? '1' : '0';
  EXPECT_EQ(got, "101010101");

  // The configuration document: plugins, parent and failed plugins in the file, with the product in the event.
  // Whole milliseconds, truncated before they are summed; a plugin's id word keeps its id bits.
  const ConfigFacts facts{{false, 765}, 0, "trovis-core", "Trovis", "26.2.3.0", "/bin/trovisd", "5.4",
                          {{0x12215678, "A.so", 0, 1999999, 2500000, -1}, {0x80000000, "C.so", -102, 0, 999999, 100}},
                          {{"not_elf.so", 79, "bad \"ELF\" & <header>"}, {".hidden.so", -101, ""}}};
  rapidxml::xml_document<> document, on, off;
  buildConfigDocument(document, facts);
  const std::string event = printXmlDocument(document, noIndent);
  removeProduct(document);
  const std::string file = printXmlDocument(document, 0);
  const auto plugin = [](auto... values) {  // ID, Filename, LoadTimeMs, OpenTimeMs, OpenCode, LogLevel
    return fmt::format("\t\t\t<Plugin ID=\"{}\" Filename=\"{}\" Opened=\"1\" LoadTimeMs=\"{}\" OpenTimeMs=\"{}\" "
                       "OpenCode=\"{}\" LogLevel=\"{}\" LogLevelDefault=\"-1\"/>\n", values...);
  };
  EXPECT_EQ(file, "<?xml?>\n<qDVR>\n\t<Memory ID=\"-2147483648\" Throttling=\"0\" MaxGopLen=\"765\"/>\n\t<Modules "
                  "TotalLoadTimeMs=\"1\" TotalOpenTimeMs=\"2\">\n\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version="
                  "\"26.2.3.0\">\n" + plugin(INT32_MIN, "trovis-core", 0, 0, 0, 0) +
      plugin(2162688, "A.so", 1, 2, 0, -1) + plugin(INT32_MIN, "C.so", 0, 0, -102, 100) + "\t\t\t<Library Name="
      "\"trovisd\" Filename=\"/bin/trovisd\" Version=\"5.4\"/>\n" + plugin(1, "not_elf.so", 0, 0, 79, -1) +
      plugin(2, ".hidden.so", 0, 0, -101, -1) + "\t\t</Module>\n\t\t<Module ID=\"1\" Name=\"not_elf\" Version='bad "
      "\"ELF\" &amp; &lt;header&gt;'/>\n\t\t<Module ID=\"2\" Name=\"\" Version=\"\"/>\n\t</Modules>\n</qDVR>\n\n");
  EXPECT_EQ(file.capacity(), file.size()) << "the text was not reserved once up front";
  EXPECT_EQ(event, withoutLayout(file.substr(0, file.size() - 9)) +
                       "<Product Family=\"Trovis\" Version=\"26.2.3.0\"/></qDVR>");
  buildMemoryStatusDocument(on, true, 12345678901234), buildMemoryStatusDocument(off, false, 999999999);
  EXPECT_EQ(printXmlDocument(on, noIndent) + printXmlDocument(off, noIndent),
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"12345\" mseTime=\"12345678\"/></qDVR>"
            "<?xml?><qDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"0\" mseTime=\"999\"/></qDVR>");
}

// Writes `bytes` to `path`, or leaves nothing there for "absent", or an empty directory for "dir".
void put(const std::string& path, const std::string& bytes) {
  fs::remove(path);
  if (bytes == "dir") fs::create_directory(path); else if (bytes != "absent") std::ofstream(path) << bytes;
}

std::string contentOf(const std::string& path) { return test::readFile(path).value_or("absent"); }

// The file store's system calls, recorded, and those but open and rename answered from `plan`
// while it has entries for them: a negative entry fails with that errno, another passes at most
// that many bytes on.
std::map<std::string, std::vector<long>> plan;
std::vector<std::string> calls;

template <typename Real> auto step(const std::string& call, size_t count, Real real) {
  calls.push_back(call);
  std::vector<long>& planned = plan[call];
  if (planned.empty()) return real(count);
  const long next = planned.front(); planned.erase(planned.begin());
  errno = next < 0 ? int(-next) : 0;
  return next < 0 ? decltype(real(count))(-1) : real(std::min(count, size_t(next)));
}

// Routes the file store through `step` while it lives, in a fresh working directory of its own so
// that paths and messages are short.
struct ScriptedIo {
  ScriptedIo() {
    fs::current_path(test::makeTempDir());
    SystemCalls& io = systemCalls();
    io.open = [](const char* path, int flags, mode_t mode) {
      calls.push_back("open"s + (flags & O_SYNC ? " sync" : "") + (flags & O_DIRECTORY ? " dir" : ""));
      return ::open(path, flags, mode);
    };
    io.write = [](int fd, const void* bytes, size_t n) {
      return step("write", n, [&](size_t part) { return ::write(fd, bytes, part); });
    };
    // Closed whatever the plan says, so that a planned failure leaks nothing.
    io.close = [](int fd) { return step("close", 0, [closed = ::close(fd)](size_t) { return closed; }); };
    io.rename = [](const char* from, const char* to) { calls.push_back("rename"); return ::rename(from, to); };
    io.fsync = [](int fd) { return step("fsync", 0, [&](size_t) { return ::fsync(fd); }); };
  }
  ~ScriptedIo() { systemCalls() = saved; fs::current_path(previous); }
  const SystemCalls saved = systemCalls();
  const fs::path previous = fs::current_path();
};

TEST(FileStore, WritesWholeThroughInterruptsAndShortCallsOrLeavesTheRealFileAndReadsEachStateOfRealAndPending) {
  const ScriptedIo io;
  const std::string Xml = "<?xml?><qDVR><Memory/></qDVR>", OlderXml = "<?xml?><qDVR/>", none = "absent";
  // A failed directory sync is not the caller's problem: the data is synced already.
  plan = {{"write", {-EINTR, 3, -EINTR, 5}}, {"fsync", {-EIO}}};
  writeFileAtomically("core.xml", Xml);
  EXPECT_EQ(calls, (std::vector<std::string>{"open sync", "write", "write", "write", "write", "write", "close",
                                             "rename", "open dir", "fsync", "close"}));
  EXPECT_EQ(readWholeFile("core.xml") + "|" + contentOf("core.xml.pending"), Xml + "|absent");
  // A failed write, or one the device takes nothing of, leaves the real file; a failed close
  // does not hide the write's reason, and nothing is left open. Only XML text is written.
  const std::string failed = "Failed to write core.xml.pending - ";
  for (const auto& [writes, text, result] : std::vector<std::tuple<std::vector<long>, std::string, std::string>>{
           {{-ENOSPC}, OlderXml, failed + "No space left on device|"}, {{4, -EIO}, OlderXml, failed + "Input/output "
           "error|<?xm"}, {{0}, OlderXml, failed + "Success|"}, {{}, " <?xml?><qDVR/>", "Failed - not xml content|"},
           {{}, "<?xm", "Failed - not xml content|"}}) {
    plan = {{"write", writes}, {"close", {-EBADF}}};
    const std::string error = outcome([&] { writeXmlFile("core.xml", text); return ""s; });
    EXPECT_EQ(error + "|" + contentOf("core.xml.pending") + "|" + contentOf("core.xml"), result + "|" + Xml);
    EXPECT_TRUE(plan["write"].empty() && calls.back() == "close") << result;
  }

  // {real, pending, what the read returns or its error}: a read that succeeds leaves the real
  // file holding it and no pending file; one that fails changes nothing.
  const std::string noReal = "Failed to open core.xml - No such file or directory",
                    many = "<?xml?><qDVR>" + repeated("<a/>", 4094) + "</qDVR>", bad = "<?xml?><q";
  // A pending file that cannot be read (a directory, which reads as empty) leaves the real one.
  const std::vector<std::array<std::string, 3>> cases = {{OlderXml, none, OlderXml}, {OlderXml, Xml, Xml},
      {none, Xml, Xml}, {OlderXml, bad, OlderXml}, {OlderXml, many, OlderXml}, {OlderXml, "dir", OlderXml},
      {none, "<?xml?><", noReal}, {"", none, "Failed - not xml content"}, {bad, "<?x", "expected >"},
      {many, none, "XML text with 4097 tags refused: at most 4096 are parsed"}};
  for (const auto& [real, pending, result] : cases) {
    put("core.xml", real), put("core.xml.pending", pending);
    // The pending file wins even when the real one is newer.
    if (real != none && pending != none) fs::last_write_time("core.xml", fs::last_write_time("core.xml.pending") + 1h);
    const std::string read = outcome([] { return readXmlFile("core.xml"); });
    const std::string after =
        result.starts_with("<?xml") ? result + "|" + (pending == "dir" ? "" : none) : real + "|" + pending;
    EXPECT_EQ(read + "|" + contentOf("core.xml") + "|" + contentOf("core.xml.pending"), result + "|" + after);
  }
}

TEST(FileStore, PublicationKilledAtEachCallLeavesTheOldOrTheNewDocumentWhole) {
  if (!test::straceWrapper({})) GTEST_SKIP() << "strace cannot trace a child here";
  std::map<std::string, int> seen;
  std::string got;
  // A child publishes under strace, which sees only the calls on the target, its pending file
  // and its directory, and kills it on entry to the call: the call itself is never made.
  for (const std::string call : {"openat", "write", "close", "rename", "openat", "fsync", "close"}) {
    const std::string dir = test::makeTempDir(), target = dir + "/core.xml", pending = target + ".pending";
    put(target, "<?xml?><o/>");
    test::ChildProcess child(test::emulatedCommand(TRV_PUBLISH_XML, {target, "<?xml?><n/>"}, *test::straceWrapper(
        {"-f", "-o", "/dev/null", "-P", pending, "-P", target, "-P", dir, "-e", "trace=" + call,
         "-e", "inject=" + call + ":signal=SIGKILL:when=" + std::to_string(++seen[call])})), dir);
    // The next read finds the old or the new document whole, and the pending file is then gone.
    const std::string exit = std::to_string(child.waitForExit()), left = contentOf(pending), read = readXmlFile(target);
    got += fmt::format("{} {} {} {}\n", call, exit, left, read);
    EXPECT_EQ(contentOf(pending) + contentOf(target), "absent" + read) << call;
  }
  EXPECT_EQ(got, "openat -1 absent <?xml?><o/>\nwrite -1  <?xml?><o/>\nclose -1 <?xml?><n/> <?xml?><n/>\nrename -1 "
                 "<?xml?><n/> <?xml?><n/>\nopenat -1 absent <?xml?><n/>\nfsync -1 absent <?xml?><n/>\nclose -1 "
                 "absent <?xml?><n/>\n");
}

}  // namespace
}  // namespace trv::core
