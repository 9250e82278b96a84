// Compile-time proof of the binary layout of the shared records on both
// pointer widths; any drift breaks every plugin built against another copy.
#pragma once

#include <cstddef>

#include "trv/core/event_parms.h"
#include "trv/core/plugin_abi.h"

namespace trv::core::abi {

inline constexpr bool narrowPointers = sizeof(void*) == 4;
// How far fields behind a pointer move on targets with 8-byte pointers.
inline constexpr size_t shift = narrowPointers ? 0 : 4;

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);

static_assert(offsetof(EventParms, size) == 0);
static_assert(offsetof(EventParms, version) == 4);
static_assert(offsetof(EventParms, dataLen) == 8);
static_assert(offsetof(EventParms, data) == 12 + shift);
static_assert(offsetof(EventParms, source) == 16 + 2 * shift);
static_assert(offsetof(EventParms, searchId) == 20 + 2 * shift);
static_assert(offsetof(EventParms, type) == 24 + 2 * shift);
static_assert(offsetof(EventParms, flags) == 28 + 2 * shift);
static_assert(offsetof(EventParms, detailSize) == 32 + 2 * shift);
static_assert(offsetof(EventParms, detailVersion) == 36 + 2 * shift);
static_assert(offsetof(EventParms, detail) == 40 + 2 * shift);
static_assert(sizeof(EventParms) == 184 + 2 * shift);
static_assert(sizeof(EventParms) - offsetof(EventParms, detailSize) == EventDetailSize);

static_assert(sizeof(PluginInfo) == 68);
static_assert(offsetof(PluginInfo, origin) == 8);
static_assert(offsetof(PluginInfo, videoCaps) == 12);
static_assert(offsetof(PluginInfo, audioCaps) == 16);
static_assert(offsetof(PluginInfo, alarmCaps) == 20);
static_assert(offsetof(PluginInfo, ptzCaps) == 24);
static_assert(offsetof(PluginInfo, serialCaps) == 28);
static_assert(offsetof(PluginInfo, closeOrder) == 32);
static_assert(offsetof(PluginInfo, logCaps) == 36);
static_assert(offsetof(PluginInfo, posCaps) == 44);
static_assert(offsetof(PluginInfo, analyticCaps) == 48);
static_assert(offsetof(PluginInfo, provideWorker) == 52);
static_assert(offsetof(PluginInfo, asyncRead) == 54);
static_assert(offsetof(PluginInfo, writeEvents) == 55);

static_assert(offsetof(LoadArgs, postEvent) == 12 + shift);
static_assert(offsetof(LoadArgs, deviceId) == 16 + 2 * shift);
static_assert(offsetof(LoadArgs, deviceIdLen) == 20 + 3 * shift);
static_assert(sizeof(LoadArgs) == 24 + 4 * shift);

static_assert(sizeof(OpenArgs) == 16);
static_assert(sizeof(CloseArgs) == 12);
static_assert(sizeof(UnloadArgs) == 8);
static_assert(sizeof(UnloadResult) == 12);

static_assert(offsetof(IoctlArgs, code) == 8);
static_assert(offsetof(IoctlArgs, result) == 16);
static_assert(offsetof(IoctlArgs, length) == 20);
static_assert(offsetof(IoctlArgs, pointer) == 24);
static_assert(sizeof(IoctlArgs) == 28 + shift);

static_assert(offsetof(ReadArgs, request) == 12);
static_assert(offsetof(ReadArgs, dataLen) == 16);
static_assert(offsetof(ReadArgs, data) == 20 + shift);
static_assert(offsetof(ReadArgs, searchId) == 24 + 2 * shift);
static_assert(sizeof(ReadArgs) == 28 + 3 * shift);

static_assert(offsetof(WriteArgs, dataLen) == 16);
static_assert(offsetof(WriteArgs, data) == 20 + shift);
static_assert(offsetof(WriteArgs, source) == 24 + 2 * shift);
static_assert(offsetof(WriteArgs, detail) == 48 + 2 * shift);
static_assert(sizeof(WriteArgs) == 192 + 2 * shift);
static_assert(offsetof(WriteResult, accepted) == 20);
static_assert(sizeof(WriteResult) == 24);

}  // namespace trv::core::abi
