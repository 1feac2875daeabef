#pragma once
// The plain types that every part of the setup shares.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kyt {

// Every path, resource name and message: UTF-16 code units, as the wide Windows calls take them.
using WideString = std::u16string;

// The whole contents of one resource, owned by its caller.
using ByteBuffer = std::vector<std::uint8_t>;

// A read-only view of bytes that someone else owns (a resource in the loaded image, a buffer).
using ByteView = std::span<const std::uint8_t>;

// The run's result and the process exit code: 0, 1 or 3010.
using SetupExitCode = std::int32_t;

constexpr SetupExitCode kExitSuccess = 0;
constexpr SetupExitCode kExitFailure = 1;
constexpr SetupExitCode kExitRestartRequired = 3010;

}  // namespace kyt
