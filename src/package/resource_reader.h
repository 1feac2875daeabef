#pragma once

#include "common/types.h"
#include "platform/platform.h"

namespace kyt {

// Returns true and replaces the buffer's contents with the RT_RCDATA resource `name`; returns
// false, leaving the buffer untouched, when the resource is missing, unloadable or empty.
bool LoadResourceBytes(Platform& platform, const WideString& name, ByteBuffer& buffer);

}  // namespace kyt
