// Everything the native platform declares, in dependency order.
#pragma once

#include "platform/native/base.h"
#include "platform/native/kernel.h"
#include "platform/native/com.h"
