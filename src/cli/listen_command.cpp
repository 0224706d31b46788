// quorvel listen LINK: joins a link as a listener and records what it hears.
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "audio/packet_decoder.h"
#include "audio/stream_form.h"
#include "audio/wav_recorder.h"
#include "cli/commands.h"
#include "cli/main_queue.h"
#include "net/listen_client.h"
#include "runtime/serial_queue.h"
#include "runtime/stop_signals.h"

namespace quorvel::cli {

namespace {

struct ListenOptions {
    std::string link;
    std::string output = "listen.wav";
    double seconds = 0;
    std::string passwordEnv;
    std::string caFile;
    std::string format = "pcm";
};

// The link password: from the named environment variable, else one line of
// standard input (not echoed on a terminal). Never from the command line, where
// every user of the machine could read it.
std::optional<std::string> readPassword(const std::string& environmentVariable) {
    if (!environmentVariable.empty()) {
        const char* value = std::getenv(environmentVariable.c_str());
        if (!value) return std::nullopt;
        return std::string(value);
    }
    return readSecretLine("Link password: ");
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    const auto index = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

// Standard error: what went missing, and where the silence standing for it starts.
void reportGap(const net::ListenGap& gap, const WavRecorder& recorder) {
    char text[160];
    if (gap.lostPackets > 0)
        std::snprintf(text, sizeof text, "Lost %llu packets (%.0f ms)", static_cast<unsigned long long>(gap.lostPackets),
                      gap.lostMs);
    else
        std::snprintf(text, sizeof text, "The studio was off air for %.1f s", gap.offAirMs / 1000);
    std::cerr << text;
    if (gap.silenceFrames > 0 && recorder.path()) {
        std::snprintf(text, sizeof text, "%.1f s", recorder.seconds());
        std::cerr << ": filled with silence at " << text << " in " << recorder.path()->string()
                  << ", so that the recording keeps the session's time";
    }
    std::cerr << ".\n";
}

int runListen(const ListenOptions& options) {
    const auto target = net::parseListenLink(options.link);
    if (!target) {
        std::cerr << "quorvel listen: not a listener link (expected http(s)://host/l/ID): " << options.link << '\n';
        return 2;
    }
    const auto form = parseStreamForm(options.format);
    if (!form) {
        std::cerr << "quorvel listen: unknown format " << options.format
                  << " (pcm, flac, opus, or opus:256, opus:128, opus:64)\n";
        return 2;
    }
    const auto password = readPassword(options.passwordEnv);
    if (!password) {
        std::cerr << "quorvel listen: no password (give it on standard input"
                  << (options.passwordEnv.empty() ? "" : " or in $" + options.passwordEnv) << ")\n";
        return 2;
    }

    boost::asio::io_context context;
    WebSocketOptions socketOptions;
    socketOptions.maxMessageBytes = 1024 * 1024;
    socketOptions.handshakeTimeout = std::chrono::seconds(10);
    if (!options.caFile.empty()) socketOptions.extraCaFile = options.caFile;
    auto client = net::ListenClient::create(context, *target, *password, socketOptions);
    WavRecorder recorder(options.output);
    recorder.onMessage = [](const std::string& message) { std::cerr << message << '\n'; };
    std::optional<std::string> failure;
    AsioExecutor queue(context);
    const StopSignals stopSignals(queue, [&] { client->stop(); });
    boost::asio::steady_timer limit(context);

    client->onStatus = [](const std::string& status) { std::cerr << status << '\n'; };
    client->form = *form;
    std::map<packet_format::Codec, std::unique_ptr<PacketDecoder>> decoders;
    client->onPacket = [&](const packet_format::Header& header, std::span<const std::uint8_t> payload,
                           const net::ListenGap& gap) {
        if (gap.lostPackets > 0 || gap.offAirMs > 0) reportGap(gap, recorder);
        auto& decoder = decoders[header.codec];
        if (!decoder) decoder = PacketDecoder::create(header.codec);
        const auto samples = decoder->decode(header, payload);
        if (!samples) {
            std::cerr << "quorvel listen: " << samples.error() << '\n';
            return;
        }
        // Opus gives back a single lost packet from the next one's redundancy: less silence.
        const std::uint64_t frames = samples->size() / (3u * header.channels);
        const std::uint64_t recovered = frames - std::min<std::uint64_t>(frames, header.sampleRate / 50);
        auto written = recorder.writeSilence(gap.silenceFrames - std::min(gap.silenceFrames, recovered));
        if (written) written = recorder.write(header, *samples);
        if (!written) {
            std::cerr << "quorvel listen: " << written.error() << '\n';
            client->stop();
        }
    };
    client->onFinished = [&](std::optional<std::string> why) {
        failure = std::move(why);
        // Nothing is left to wait for, not even the client's cancelled timers.
        context.stop();
    };
    if (options.seconds > 0) {
        limit.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(options.seconds)));
        limit.async_wait([&](boost::system::error_code error) {
            if (!error) client->stop();
        });
    }
    client->start();
    context.run();

    recorder.finish();
    if (recorder.files() == 0) std::cerr << "No audio arrived, so no file was written.\n";
    const auto& stats = client->stats();
    const double expected = static_cast<double>(stats.received + stats.lost);
    std::printf("Received %llu packets, lost %llu (%.0f ms, %.2f%%)%s.\n", static_cast<unsigned long long>(stats.received),
                static_cast<unsigned long long>(stats.lost), stats.lostMs,
                expected > 0 ? 100.0 * stats.lost / expected : 0.0,
                stats.malformed ? (", " + std::to_string(stats.malformed) + " malformed").c_str() : "");
    if (stats.offAirMs > 0) std::printf("Off air between broadcasts: %.1f s.\n", stats.offAirMs / 1000);
    if (!stats.latencyMs.empty())
        std::printf("Latency on the relay's clock, packet timestamp to arrival: p50 %.1f ms, p99 %.1f ms, max %.1f ms.\n",
                    percentile(stats.latencyMs, 0.5), percentile(stats.latencyMs, 0.99),
                    *std::max_element(stats.latencyMs.begin(), stats.latencyMs.end()));
    if (failure) {
        std::cerr << "quorvel listen: " << *failure << '\n';
        return 1;
    }
    return 0;
}

}  // namespace

Command addListenCommand(CLI::App& app) {
    auto options = std::make_shared<ListenOptions>();
    auto* command = app.add_subcommand("listen", "Join a link as a listener and record it to a WAV file");
    command->add_option("LINK", options->link, "The link, e.g. https://relay.example/l/ID")->required();
    command->add_option("-o,--output", options->output,
                        "WAV file to write (24-bit, the stream's rate; 48 kHz for opus)")
        ->capture_default_str();
    command->add_option("--seconds", options->seconds, "Stop after this many seconds (default: until Ctrl-C)")
        ->check(CLI::PositiveNumber);
    command->add_option("--password-env", options->passwordEnv,
                        "Read the link password from this environment variable instead of standard input");
    command->add_option("--format", options->format,
                        "pcm (as sent), flac (lossless, smaller) or opus[:KBPS] (256, 128 or 64; default 128)")
        ->capture_default_str();
    command->add_option("--ca-file", options->caFile, "Also trust this CA certificate (a self-hosted relay)")
        ->check(CLI::ExistingFile);
    return Command{command, [options] { return runListen(*options); }};
}

}  // namespace quorvel::cli
