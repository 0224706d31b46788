#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quorvel::test {

// A fresh HOME, XDG_CONFIG_HOME and XDG_DATA_HOME for one test, removed afterwards.
class TempHome {
public:
    TempHome() {
        static int counter = 0;
        root_ = std::filesystem::temp_directory_path() /
                ("quorvel-home-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "home");
        ::setenv("HOME", (root_ / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    }
    ~TempHome() {
        std::error_code ignored;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    std::filesystem::path root() const { return root_; }
    std::filesystem::path home() const { return root_ / "home"; }

private:
    std::filesystem::path root_;
};

}  // namespace quorvel::test
