#pragma once

#include <span>
#include <string_view>

namespace quorvel::relay {

// A file compiled into the binary (cmake/EmbedFiles.cmake).
struct EmbeddedFile {
    std::string_view name;   // its name in the folder it came from
    std::string_view bytes;
    std::string_view etag;   // quoted digest of the bytes, for HTTP revalidation
};

// Every file of src/relay/web/, sorted by name.
std::span<const EmbeddedFile> listenerWebFiles();

}  // namespace quorvel::relay
