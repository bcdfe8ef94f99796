#include "tools/tool_output.h"

#include <cstdio>

int fail(const std::string& message) {
  std::fflush(stdout);  // what was printed before comes before the message
  std::fprintf(stderr, "varnholt-release: %s\n", message.c_str());
  return 1;
}

int reportCheck(const std::string& where, bool checked, const Release& release,
                const std::vector<std::string>& problems, const std::string& error) {
  if (!checked) return fail(error);
  for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
  if (!problems.empty()) {
    return fail(std::to_string(problems.size()) + (problems.size() == 1 ? " problem" : " problems") +
                " in " + where);
  }
  std::printf("verified %s: %zu files, %zu links\n", release.version.c_str(), release.files.size(),
              release.links.size());
  return 0;
}
