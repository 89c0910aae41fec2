#pragma once

#include <cstdint>

// Size in bytes of the open file fd, as fstat reports it; -1 (errno set)
// when fstat fails. The size is that of the file being read: a path could
// name another file by now (an image replaced between the open and the
// look-up would be flashed cut short, and its CRC confirmed).
int64_t file_size2(int fd);
