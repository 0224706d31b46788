#include "relay/listener_page.h"

#include <algorithm>
#include <array>
#include <utility>

#include "relay/embedded_file.h"

namespace quorvel::relay {

namespace {

// Only the page's own scripts, styles, worklet and WebSocket ('self' covers ws: and
// wss: to the page's own host); no inline code, no frames, no forms elsewhere. Its own
// scripts may compile WebAssembly (the fallback decoders), nothing may eval text.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; connect-src 'self'; worker-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kContentTypes{{
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".json", "application/json"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".ico", "image/x-icon"},
    {".wasm", "application/wasm"},
}};

std::string_view contentType(std::string_view name) {
    for (const auto& [extension, type] : kContentTypes)
        if (name.ends_with(extension)) return type;
    return "application/octet-stream";
}

const EmbeddedFile* find(std::string_view name) {
    const auto files = listenerWebFiles();
    const auto found = std::find_if(files.begin(), files.end(), [&](const EmbeddedFile& file) { return file.name == name; });
    return found == files.end() ? nullptr : &*found;
}

// The files change only with the binary: browsers keep them but ask each time whether
// they are still current (a relay upgrade must never mix old and new modules).
HttpResponse fileResponse(int status, const EmbeddedFile& file, std::string_view ifNoneMatch) {
    HttpResponse response{status, std::string(contentType(file.name)), {}, {
        {"Cache-Control", "no-cache"},
        {"ETag", std::string(file.etag)},
        {"Content-Security-Policy", kContentSecurityPolicy},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Cross-Origin-Embedder-Policy", "require-corp"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
    }};
    if (status == 200 && ifNoneMatch == file.etag)
        response.status = 304;
    else
        response.body = std::string(file.bytes);
    return response;
}

HttpResponse notFound() {
    return HttpResponse{404, "application/json", "{}", {}};
}

}  // namespace

HttpResponse listenerPage(bool linkLive, std::string_view ifNoneMatch) {
    const EmbeddedFile* page = find("listener.html");
    return page ? fileResponse(linkLive ? 200 : 404, *page, ifNoneMatch) : notFound();
}

HttpResponse listenerFile(std::string_view name, std::string_view ifNoneMatch) {
    const EmbeddedFile* file = find(name);
    return file ? fileResponse(200, *file, ifNoneMatch) : notFound();
}

}  // namespace quorvel::relay
