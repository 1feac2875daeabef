#pragma once
// Reads what the installer needs from a driver INF: the hardware IDs its models list.
#include <string>
#include <vector>

// Returns every hardware ID that the INF's models sections for this machine list, in order,
// without duplicates; empty when the INF cannot be opened or lists none.
std::vector<std::wstring> ReadHardwareIds(const std::wstring& infPath);
