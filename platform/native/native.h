// Everything the native platform declares, in dependency order.
#pragma once

#include "platform/native/base.h"
#include "platform/native/kernel.h"
#include "platform/native/com.h"
#include "platform/native/ole.h"
#include "platform/native/audio.h"
#include "platform/native/mediacodes.h"
#include "platform/native/media.h"
#include "platform/native/graphcontrol.h"
#include "platform/native/property.h"
#include "platform/native/window.h"
#include "platform/native/gdi.h"
#include "platform/native/registry.h"
