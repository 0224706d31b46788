#include "audio/stream_form.h"

#include <charconv>

namespace quorvel {

using packet_format::Codec;

namespace {

std::optional<Codec> codecNamed(std::string_view name) {
    for (const Codec codec : {Codec::pcm, Codec::flac, Codec::opus})
        if (codecName(codec) == name) return codec;
    return std::nullopt;
}

std::optional<StreamForm> formOf(Codec codec, std::optional<std::int64_t> kbps) {
    if (codec != Codec::opus) return StreamForm{codec, 0};
    const std::int64_t rate = kbps.value_or(kDefaultOpusKbps);
    if (rate != 256 && rate != 128 && rate != 64) return std::nullopt;
    return StreamForm{codec, static_cast<int>(rate)};
}

}  // namespace

std::optional<StreamForm> streamFormFrom(const std::optional<std::string>& format, std::optional<std::int64_t> kbps) {
    const auto codec = format ? codecNamed(*format) : Codec::pcm;
    if (!codec) return std::nullopt;
    return formOf(*codec, kbps);
}

std::optional<StreamForm> parseStreamForm(std::string_view text) {
    const auto colon = text.find(':');
    const auto codec = codecNamed(text.substr(0, colon));
    if (!codec) return std::nullopt;
    if (colon == std::string_view::npos) return formOf(*codec, std::nullopt);
    if (*codec != Codec::opus) return std::nullopt;
    const std::string_view digits = text.substr(colon + 1);
    std::int64_t kbps = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), kbps);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return formOf(*codec, kbps);
}

std::string_view codecName(Codec codec) {
    switch (codec) {
    case Codec::pcm: return "pcm";
    case Codec::flac: return "flac";
    case Codec::opus: return "opus";
    }
    return "pcm";
}

std::string formName(const StreamForm& form) {
    std::string name(codecName(form.codec));
    if (form.codec == Codec::opus) name += ":" + std::to_string(form.kbps);
    return name;
}

}  // namespace quorvel
