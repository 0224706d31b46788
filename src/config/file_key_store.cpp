#include "config/file_key_store.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/files.h"

namespace quorvel {

FileKeyStore::FileKeyStore(std::string path) : path_(std::move(path)) {}

Expected<std::optional<std::string>, KeyStoreProblem> FileKeyStore::read() {
    if (!files::exists(path_)) return std::optional<std::string>();
    auto content = files::readSmallFile(path_, kMaxBytes);
    if (!content) return KeyStoreProblem{KeyStoreProblem::Kind::failed, "The key file " + path_ + " cannot be read."};
    return std::optional<std::string>(std::move(*content));
}

Expected<KeyStoreDone, KeyStoreProblem> FileKeyStore::write(std::string_view bytes) {
    if (!files::writeAtomically(path_, bytes, 0600))
        return KeyStoreProblem{KeyStoreProblem::Kind::failed, "The key file " + path_ + " cannot be written."};
    return KeyStoreDone{};
}

Expected<KeyStoreDone, KeyStoreProblem> FileKeyStore::remove() {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT)
        return KeyStoreProblem{KeyStoreProblem::Kind::failed,
                               "The key file " + path_ + " cannot be deleted: " + std::strerror(errno)};
    return KeyStoreDone{};
}

std::string FileKeyStore::description() const { return "file " + path_ + " (no Secret Service)"; }

}  // namespace quorvel
