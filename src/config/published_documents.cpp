#include "config/published_documents.h"

#include <charconv>
#include <string>

#include "config/xml_lookup.h"

namespace trv::core {
namespace {

using rapidxml::xml_document;
using rapidxml::xml_node;

constexpr uint32_t CoreOrigin = 0x80000000u;
constexpr std::string_view CoreId = "-2147483648";
constexpr std::string_view DefaultLogLevel = "-1";

// Appends elements and attributes to a document. Constant and caller-owned
// texts are referenced; numbers are written into the document's pool.
class DocumentBuilder {
 public:
  explicit DocumentBuilder(xml_document<>& document) : document_(document) {}

  xml_node<>* element(xml_node<>& parent, std::string_view name) {
    xml_node<>* node = document_.allocate_node(rapidxml::node_element);
    node->name(name.data(), name.size());
    parent.append_node(node);
    return node;
  }

  void text(xml_node<>& element, std::string_view name, std::string_view value) {
    // Sizes set explicitly: the allocator would measure an empty value up to
    // the next NUL of whatever text it points into.
    rapidxml::xml_attribute<>* attribute = document_.allocate_attribute();
    attribute->name(name.data(), name.size());
    attribute->value(value.data(), value.size());
    element.append_attribute(attribute);
  }

  void number(xml_node<>& element, std::string_view name, int64_t value) {
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    const auto length = static_cast<size_t>(end - digits);
    text(element, name, {document_.allocate_string(digits, length), length});
  }

  void declaration() { document_.append_node(document_.allocate_node(rapidxml::node_declaration)); }

 private:
  xml_document<>& document_;
};

// The id word as documents carry it: the core's as it is, a plugin's with
// only its id bits.
int32_t documentId(uint32_t origin) {
  return static_cast<int32_t>(origin == CoreOrigin ? origin : origin & 0x00FF0000u);
}

std::string_view upToFirstDot(std::string_view name) { return name.substr(0, name.find('.')); }

// The attributes every Plugin element carries after its ID and Filename.
void pluginFigures(DocumentBuilder& build, xml_node<>& plugin, int64_t loadMs, int64_t openMs,
                   int32_t code, int32_t logLevel) {
  build.text(plugin, "Opened", "1");
  build.number(plugin, "LoadTimeMs", loadMs);
  build.number(plugin, "OpenTimeMs", openMs);
  build.number(plugin, "OpenCode", code);
  build.number(plugin, "LogLevel", logLevel);
  build.text(plugin, "LogLevelDefault", DefaultLogLevel);
}

}  // namespace

void buildConfigDocument(xml_document<>& document, const ConfigFacts& facts) {
  DocumentBuilder build(document);
  build.declaration();
  xml_node<>* root = build.element(document, "qDVR");

  xml_node<>* memory = build.element(*root, "Memory");
  build.text(*memory, "ID", CoreId);
  build.text(*memory, "Throttling", facts.memory.throttlingEnabled ? "1" : "0");
  build.number(*memory, "MaxGopLen", facts.memory.maxGopLen);

  int64_t totalLoadMs = 0;
  int64_t totalOpenMs = 0;
  for (const LoadedPluginFacts& plugin : facts.loaded) {
    totalLoadMs += plugin.loadTimeNs / 1000000;
    totalOpenMs += plugin.openTimeNs / 1000000;
  }
  xml_node<>* modules = build.element(*root, "Modules");
  build.number(*modules, "TotalLoadTimeMs", totalLoadMs);
  build.number(*modules, "TotalOpenTimeMs", totalOpenMs);

  xml_node<>* core = build.element(*modules, "Module");
  build.text(*core, "ID", CoreId);
  build.text(*core, "Name", "Core");
  build.text(*core, "Version", facts.productVersion);

  xml_node<>* corePlugin = build.element(*core, "Plugin");
  build.text(*corePlugin, "ID", CoreId);
  build.text(*corePlugin, "Filename", facts.executableName);
  pluginFigures(build, *corePlugin, 0, 0, 0, facts.coreLogLevel);

  for (const LoadedPluginFacts& loaded : facts.loaded) {
    xml_node<>* plugin = build.element(*core, "Plugin");
    build.number(*plugin, "ID", documentId(loaded.origin));
    build.text(*plugin, "Filename", loaded.fileName);
    pluginFigures(build, *plugin, loaded.loadTimeNs / 1000000, loaded.openTimeNs / 1000000,
                  loaded.openCode, loaded.logLevel);
  }

  if (!facts.parentVersion.empty()) {
    xml_node<>* library = build.element(*core, "Library");
    build.text(*library, "Name", "trovisd");
    build.text(*library, "Filename", facts.parentFilename);
    build.text(*library, "Version", facts.parentVersion);
  }

  // A failed plugin has an empty Module of its own, and its Plugin element
  // sits under the core's Module with the others.
  int64_t position = 0;
  for (const FailedPluginFacts& failed : facts.failed) {
    ++position;
    xml_node<>* module = build.element(*modules, "Module");
    build.number(*module, "ID", position);
    build.text(*module, "Name", upToFirstDot(failed.fileName));
    build.text(*module, "Version", failed.errorText);

    xml_node<>* plugin = build.element(*core, "Plugin");
    build.number(*plugin, "ID", position);
    build.text(*plugin, "Filename", failed.fileName);
    pluginFigures(build, *plugin, 0, 0, failed.loadCode, -1);
  }

  xml_node<>* product = build.element(*root, "Product");
  build.text(*product, "Family", facts.productFamily);
  build.text(*product, "Version", facts.productVersion);
}

void removeProduct(xml_document<>& document) {
  xml_node<>* product = findElementPath(document, "qDVR/Product");
  if (product != nullptr) product->parent()->remove_node(product);
}

void buildMemoryStatusDocument(xml_document<>& document, bool throttlingActive,
                               int64_t steadyNanos) {
  DocumentBuilder build(document);
  build.declaration();
  xml_node<>* root = build.element(document, "qDVR");
  xml_node<>* memory = build.element(*root, "Memory");
  build.text(*memory, "ID", CoreId);
  build.text(*memory, "Throttling", throttlingActive ? "1" : "0");
  build.number(*memory, "Time", steadyNanos / 1000000000);
  build.number(*memory, "mseTime", steadyNanos / 1000000);
}

}  // namespace trv::core
