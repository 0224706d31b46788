// What `quorvel listen` records: packets from the relay, each read and checked as the
// listener does, then written by the WAV recorder. Any rate and channel count a packet
// may carry must give a correct header or a refusal.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "audio/packet_format.h"
#include "audio/wav_recorder.h"
#include "check.h"

namespace {

namespace fs = std::filesystem;
using namespace quorvel;

std::uint32_t le32(const std::array<char, 44>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<std::uint8_t>(bytes[at + i])} << (8 * i);
    return value;
}

// Each file's header describes its format and its length.
void checkFile(const fs::path& path) {
    std::array<char, 44> header{};
    std::ifstream(path, std::ios::binary).read(header.data(), header.size());
    const std::uint32_t rate = le32(header, 24);
    const std::uint32_t channels = le32(header, 20) >> 16;
    FUZZ_REQUIRE(channels == 1 || channels == 2);
    FUZZ_REQUIRE(le32(header, 28) == std::uint64_t{rate} * 3 * channels);
    FUZZ_REQUIRE((le32(header, 32) & 0xFFFF) == 3 * channels);
    FUZZ_REQUIRE(le32(header, 40) + 44 == fs::file_size(path));
}

const fs::path& directory() {
    static const fs::path path = [] {
        auto made = fs::temp_directory_path() / ("quorvel-fuzz-wav-" + std::to_string(::getpid()));
        fs::create_directories(made);
        return made;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    {
        WavRecorder recorder(directory() / "take.wav");
        while (input.remaining_bytes() > 0) {
            const auto bytes = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 1500));
            const auto header = packet_format::readHeader(bytes);
            if (!header) continue;
            const auto samples = std::span(bytes).subspan(packet_format::kHeaderBytes);
            if (!recorder.write(*header, samples)) break;
        }
    }
    for (const auto& entry : fs::directory_iterator(directory())) {
        checkFile(entry.path());
        fs::remove(entry.path());
    }
    return 0;
}
