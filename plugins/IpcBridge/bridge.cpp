#include "bridge.h"

#include <charconv>
#include <string>
#include <vector>

#include "bridge_packet.h"
#include "hex_text.h"

namespace trv::ipcbridge {

using namespace trv::core;

namespace {

// The types a search may ask for: those with a stored form.
constexpr uint32_t SearchableTypes[] = {TypeVideo, TypeAudio, TypeAlarm,
                                        TypeLog,   TypePos,   TypeAnalytic};

// A search request must come from outside the plugins (bits 16..23 clear);
// the results still find the bridge, since its search id names it.
constexpr uint32_t ExternalOrigin = 0x00000001;

// An envelope is at most this much longer than its plaintext.
constexpr uint32_t EnvelopeGrowth = 32;

struct Split {
  std::string_view first;
  std::string_view rest;
};

// The text up to the first space, and what follows that space.
Split firstWord(std::string_view text) {
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return {text, {}};
  return {text.substr(0, space), text.substr(space + 1)};
}

uint32_t searchableType(std::string_view name) {
  for (const uint32_t type : SearchableTypes) {
    if (name == typeName(type)) return type;
  }
  return TypeUnspecified;
}

// A "crypto" record over `buffer`, whose size is the capacity; `valid` bytes
// at its start are the input.
EventParms cryptoRequest(std::vector<uint8_t>& buffer, uint32_t valid, CryptoCommand command,
                         uint32_t origin) {
  EventParms request = makeEvent(TypeCrypto, command, origin);
  request.data = buffer.data();
  request.dataLen = static_cast<uint32_t>(buffer.size());
  setCryptoLen(request, valid);
  return request;
}

template <typename Number>
std::string decimal(Number value) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return std::string(digits, end);
}

}  // namespace

Bridge::Bridge(PostEventFn post, uint8_t pluginId)
    : post_(post), pluginId_(pluginId), origin_(originOfPlugin(pluginId)) {}

void Bridge::onCommand(std::string_view command) {
  const auto [verb, rest] = firstWord(command);
  if (verb == "ping") return ping(command.substr(verb.size()));
  if (verb == "search") return search(rest);
  if (verb == "cancel") return cancel(rest);
  if (verb == "encrypt") return encrypt(rest);
  if (verb == "decrypt") return decrypt(rest);
  reply("error " + std::string(verb) + " unknown command");
}

void Bridge::onStoredResult(const EventParms& result) {
  const std::string number = decimal(result.searchId & 0xFFFFu);
  // A result without payload marks the end of what one plugin found.
  if (result.dataLen == 0) return reply("done " + number);
  std::string text = "found " + number + " " + typeName(result.type) + " " +
                     decimal(result.dataLen) + "\n";
  text.append(static_cast<const char*>(result.data), result.dataLen);
  reply(text);
}

void Bridge::onConfig(const EventParms& config) {
  if (announced_ || config.source != CoreSource) return;
  announced_ = true;
  reply("ready");
}

void Bridge::reply(std::string_view text) const {
  std::string packet = replyPacket(pluginId_, text);
  EventParms event = makeEvent(TypeIpc, 0, origin_);
  event.data = packet.data();
  event.dataLen = static_cast<uint32_t>(packet.size());
  // Copied by the core; refused only when the parent has gone.
  post_(&event);
}

void Bridge::ping(std::string_view text) const { reply("pong" + std::string(text)); }

void Bridge::search(std::string_view words) {
  const auto [name, query] = firstWord(words);
  const uint32_t type = searchableType(name);
  if (type == TypeUnspecified) return reply("error search unknown type " + std::string(name));
  // Numbered 1..65535 in the low bits of the search id, whose bits 16..23
  // name the bridge as the plugin that receives the results.
  if (++lastSearch_ == 0) ++lastSearch_;
  const uint32_t number = lastSearch_;
  // Before the request: its first result may be forwarded at once.
  reply("searching " + decimal(number));
  // The core ignores a request without payload; the query is at least the type.
  std::string payload(query.empty() ? name : query);
  EventParms request = makeEvent(type, FlagText, ExternalOrigin);
  request.searchId = origin_ | number;
  request.data = payload.data();
  request.dataLen = static_cast<uint32_t>(payload.size());
  if (post_(&request) != 0) reply("error search refused");
}

void Bridge::cancel(std::string_view number) const {
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc{} || end != number.data() + number.size() || value == 0 ||
      value > 0xFFFF) {
    return reply("error cancel bad search number " + std::string(number));
  }
  EventParms cancel = makeEvent(TypeCancel, 0, origin_);
  cancel.searchId = origin_ | value;
  post_(&cancel);
  reply("cancelled " + decimal(value));
}

void Bridge::encrypt(std::string_view plain) const {
  // The envelope is zero-padded: decryption ends the plaintext at its first
  // NUL, so such a plaintext would not come back whole.
  if (plain.find('\0') != std::string_view::npos) {
    return reply("error encrypt NUL byte in plaintext");
  }
  std::vector<uint8_t> buffer(plain.begin(), plain.end());
  const auto valid = static_cast<uint32_t>(buffer.size());
  buffer.resize(buffer.size() + EnvelopeGrowth);
  EventParms request = cryptoRequest(buffer, valid, CryptoEncrypt, origin_);
  const int32_t result = post_(&request);
  if (result != 0) return reply("error encrypt " + decimal(result));
  reply("encrypted " + toHex({buffer.data(), cryptoLenOf(request)}));
}

void Bridge::decrypt(std::string_view hex) const {
  auto buffer = fromHex(hex);
  if (!buffer) return reply("error decrypt bad hex");
  EventParms request =
      cryptoRequest(*buffer, static_cast<uint32_t>(buffer->size()), CryptoDecrypt, origin_);
  const int32_t result = post_(&request);
  if (result != 0) return reply("error decrypt " + decimal(result));
  reply("decrypted " +
        std::string(reinterpret_cast<const char*>(buffer->data()), cryptoLenOf(request)));
}

}  // namespace trv::ipcbridge
