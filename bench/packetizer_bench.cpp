// Samples per second through the packetizer, beside two baselines: a plain per-sample
// encoder, and FFmpeg's float -> s32 conversion followed by packing the top 24 bits.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio/packet_format.h"
#include "audio/packetizer.h"

#ifdef QUORVEL_HAVE_SWRESAMPLE
extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}
#endif

namespace {

using quorvel::Packet;
using quorvel::Packetizer;

constexpr std::int64_t kBlockFrames = 256;

std::vector<float> testSignal(std::size_t samples) {
    std::vector<float> signal(samples);
    for (std::size_t i = 0; i < samples; ++i) signal[i] = 0.9f * std::sin(static_cast<float>(i) * 0.0137f);
    return signal;
}

// Reports samples per second, given how many samples one iteration handles.
void countSamples(benchmark::State& state, std::int64_t samplesPerIteration) {
    const auto samples = state.iterations() * samplesPerIteration;
    state.SetItemsProcessed(samples);
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
}

// args: sample rate, channels, planar (0/1)
void BM_Packetizer(benchmark::State& state) {
    const std::int64_t rate = state.range(0);
    const std::int64_t channels = state.range(1);
    const bool planar = state.range(2) != 0;
    Packetizer packetizer(rate, channels);
    packetizer.serverNowMs = [] { return 1.0e12; };
    packetizer.onPacket = [](Packet packet, float left, float right) {
        benchmark::DoNotOptimize(packet.bytes().data());
        benchmark::DoNotOptimize(left + right);
    };
    const auto signal = testSignal(static_cast<std::size_t>(kBlockFrames * channels));
    const float* buffers[] = {signal.data(), signal.data() + kBlockFrames};
    for (auto _ : state) {
        if (planar) packetizer.push(std::span<const float* const>(buffers, static_cast<std::size_t>(channels)), kBlockFrames);
        else packetizer.push(signal.data(), kBlockFrames, channels);
    }
    countSamples(state, kBlockFrames * channels);
}

// One 20 ms packet of the test signal at the benchmark's (rate, channels) arguments.
struct OnePacket {
    explicit OnePacket(const benchmark::State& state)
        : channels(state.range(1)), signal(testSignal(static_cast<std::size_t>(state.range(0) / 50 * channels))) {}
    std::int64_t channels;
    std::vector<float> signal;
};

// The sample encoder alone, without the packetizer's gathering of frames.
void BM_EncodeOnly(benchmark::State& state) {
    const OnePacket packet(state);
    const auto& signal = packet.signal;
    std::vector<std::uint8_t> out(3 * signal.size());
    for (auto _ : state) {
        float left = 0;
        float right = 0;
        quorvel::packet_format::encodeSamples(signal.data(), signal.size(), static_cast<int>(packet.channels), out.data(),
                                             left, right);
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(left + right);
    }
    countSamples(state, static_cast<std::int64_t>(signal.size()));
}
BENCHMARK(BM_EncodeOnly)->ArgNames({"rate", "ch"})->ArgsProduct({{96000}, {2}});

// The plain encoder: one sample at a time, std::round, byte stores.
void BM_ReferenceEncoder(benchmark::State& state) {
    const OnePacket packet(state);
    const auto& signal = packet.signal;
    std::vector<std::uint8_t> out(3 * signal.size());
    for (auto _ : state) {
        float left = 0;
        float right = 0;
        for (std::size_t i = 0; i < signal.size(); ++i) {
            float x = signal[i];
            if (!std::isfinite(x)) x = 0;
            x = std::fmin(std::fmax(x, -1.0f), 1.0f);
            float& peak = (packet.channels == 1 || i % 2 == 0) ? left : right;
            peak = std::fmax(peak, std::fabs(x));
            const auto q = static_cast<std::int32_t>(std::round(x * 8388607.0f));
            out[3 * i] = static_cast<std::uint8_t>(q);
            out[3 * i + 1] = static_cast<std::uint8_t>(q >> 8);
            out[3 * i + 2] = static_cast<std::uint8_t>(q >> 16);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::DoNotOptimize(left + right);
    }
    countSamples(state, static_cast<std::int64_t>(signal.size()));
}

#ifdef QUORVEL_HAVE_SWRESAMPLE
// FFmpeg: swr_convert float -> s32 (no resampling), then the top 24 bits of each sample.
void BM_FFmpegConvertAndPack(benchmark::State& state) {
    const std::int64_t rate = state.range(0);
    const std::int64_t frames = rate / 50;
    const std::int64_t channels = state.range(1);
    AVChannelLayout layout;
    av_channel_layout_default(&layout, static_cast<int>(channels));
    SwrContext* swr = nullptr;
    swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_S32, static_cast<int>(rate), &layout, AV_SAMPLE_FMT_FLT,
                        static_cast<int>(rate), 0, nullptr);
    swr_init(swr);
    const auto signal = testSignal(static_cast<std::size_t>(frames * channels));
    std::vector<std::int32_t> converted(signal.size());
    std::vector<std::uint8_t> out(3 * signal.size());
    for (auto _ : state) {
        const std::uint8_t* in[] = {reinterpret_cast<const std::uint8_t*>(signal.data())};
        std::uint8_t* mid[] = {reinterpret_cast<std::uint8_t*>(converted.data())};
        swr_convert(swr, mid, static_cast<int>(frames), in, static_cast<int>(frames));
        for (std::size_t i = 0; i < converted.size(); ++i) {
            const std::uint32_t top = static_cast<std::uint32_t>(converted[i]) >> 8;
            out[3 * i] = static_cast<std::uint8_t>(top);
            out[3 * i + 1] = static_cast<std::uint8_t>(top >> 8);
            out[3 * i + 2] = static_cast<std::uint8_t>(top >> 16);
        }
        benchmark::DoNotOptimize(out.data());
    }
    swr_free(&swr);
    countSamples(state, frames * channels);
}
BENCHMARK(BM_FFmpegConvertAndPack)->ArgNames({"rate", "ch"})->ArgsProduct({{48000, 96000}, {1, 2}});
#endif

BENCHMARK(BM_Packetizer)->ArgNames({"rate", "ch", "planar"})->ArgsProduct({{48000, 96000}, {1, 2}, {0, 1}});
BENCHMARK(BM_ReferenceEncoder)->ArgNames({"rate", "ch"})->ArgsProduct({{48000, 96000}, {1, 2}});

}  // namespace

BENCHMARK_MAIN();
