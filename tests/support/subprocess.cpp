#include "support/subprocess.h"

#include <sys/wait.h>

#include <cstdio>

namespace quorvel::test {

CommandOutput runCommand(const std::string& command) {
    CommandOutput result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, got);
    const int raw = ::pclose(pipe);
    result.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

}  // namespace quorvel::test
