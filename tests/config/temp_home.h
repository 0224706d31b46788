#pragma once

#include <cstdlib>
#include <filesystem>

#include "support/temp_dir.h"

namespace quorvel::test {

// A fresh HOME, XDG_CONFIG_HOME and XDG_DATA_HOME for one test, removed afterwards.
class TempHome {
public:
    TempHome() {
        std::filesystem::create_directories(home());
        ::setenv("HOME", home().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root() / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root() / "data").c_str(), 1);
    }

    std::filesystem::path root() const { return root_.path(); }
    std::filesystem::path home() const { return root_.path() / "home"; }

private:
    TempDir root_{"quorvel-home"};
};

}  // namespace quorvel::test
