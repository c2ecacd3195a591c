#pragma once
// The fields of a service-manager notify datagram. No state; any thread.

#include <map>
#include <sstream>
#include <string>

namespace test {

// The lines "KEY=VALUE" of a notify datagram.
inline std::map<std::string, std::string> ParseNotify(const std::string& datagram) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(datagram);
  std::string line;
  while (std::getline(lines, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

}  // namespace test
