#pragma once

#include <cstddef>
#include <string>

namespace reader {

// Writes size bytes to path, replacing what was there. Empty when all were
// written; otherwise the system's reason, and no partial file is left.
std::string writeFileBytes(const std::string& path, const void* bytes, std::size_t size);

}  // namespace reader
