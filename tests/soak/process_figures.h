// SPDX-License-Identifier: MIT
// What the process holds, read from /proc: open descriptors and resident
// memory. A long run that leaks either shows it here.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

namespace tivaxsoak {

// Entries in /proc/self/fd, less the one the listing itself opens.
inline long openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long count = 0;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count - 1;
}

// Resident set size in KiB (second field of /proc/self/statm, in pages).
inline long residentKiB() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0, resident = 0;
  const int read = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  if (read != 2) return -1;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace tivaxsoak
