// Everything a plugin needs: include this header and nothing else.
#pragma once

#include "trv/core/abi_layout.h"
#include "trv/core/event_parms.h"
#include "trv/core/event_views.h"
#include "trv/core/parent_packet.h"
#include "trv/core/plugin_abi.h"
