#pragma once

#include <filesystem>
#include <string>

namespace quorvel::test {

// A fresh directory of its own under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "quorvel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace quorvel::test
