// What a call may leave behind in the process: the ids on OpenSSL's engine
// list, mapped files, open descriptors and resident memory.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/engine.h>

namespace tolmix::p11test {

// Ids on the engine list, in list order.
inline std::vector<std::string> ListedEngineIds() {
  std::vector<std::string> ids;
  for (ENGINE* e = ENGINE_get_first(); e; e = ENGINE_get_next(e)) {
    const char* id = ENGINE_get_id(e);
    ids.push_back(id ? id : "");
  }
  return ids;
}

// True when a file whose path ends in FILE_NAME is mapped in this process.
inline bool IsMapped(const std::string& file_name) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() >= file_name.size() &&
        line.compare(line.size() - file_name.size(), file_name.size(), file_name) == 0 &&
        line[line.size() - file_name.size() - 1] == '/') {
      return true;
    }
  }
  return false;
}

inline int OpenFdCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

inline long ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace tolmix::p11test
