#pragma once

#include <cstdint>

// Size in bytes of the file at path, as stat reports it; -1 (errno set) when
// stat fails.
int64_t file_size2(const char *path);
