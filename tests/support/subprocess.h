#pragma once

#include <string>

namespace quorvel::test {

struct CommandOutput {
    int status = -1;  // the exit status; -1 when the command did not run or did not exit
    std::string output;  // all it wrote to standard output
};

// Runs `command` with /bin/sh, reads its standard output to the end and waits for it.
CommandOutput runCommand(const std::string& command);

}  // namespace quorvel::test
