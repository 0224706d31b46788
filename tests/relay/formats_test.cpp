// The forms for thin lines through the real relay: what each listener gets back decodes
// (with the codecs `quorvel listen` uses) to the studio's stream.
#include <boost/json/object.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <numbers>

#include "audio/packet_decoder.h"
#include "audio/packet_format.h"
#include "json/json.h"
#include "support/music_signal.h"
#include "support/relay_harness.h"

namespace quorvel::test {
namespace {

using packet_format::Codec;

std::span<const std::uint8_t> bytesOf(const std::string& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
}

// A binary message as received, and the last "format" message before it.
struct Received {
    packet_format::Header header;
    std::vector<std::uint8_t> payload;
    boost::json::object format;
};

class FormsTest : public LinkFixture {
protected:
    FormsTest() : LinkFixture(5) {}

    std::unique_ptr<TestSocket> listener(const std::string& format, int kbps = 0) {
        boost::json::object hello{{"type", "listen"}, {"session", link_}, {"password", "listen"}, {"format", format}};
        if (kbps) hello["kbps"] = kbps;
        auto socket = std::make_unique<TestSocket>();
        EXPECT_TRUE(socket->connect(relay_->wsUrl("/ws/listen")));
        socket->sendText(json::serialize(hello));
        EXPECT_TRUE(socket->nextOfType("ready"));
        return socket;
    }

    // The next `count` binary messages, each with the "format" message in force.
    static std::vector<Received> receive(TestSocket& socket, std::size_t count, boost::json::object& format,
                                         std::deque<WsEvent> early = {}) {
        std::vector<Received> received;
        while (received.size() < count) {
            WsEvent event;
            if (early.empty()) {
                event = socket.next();
            } else {
                event = std::move(early.front());
                early.pop_front();
            }
            if (event.kind == WsEvent::text) {
                const auto message = json::parseObject(event.data);
                if (message && json::string(json::member(*message, "type")) == "format") format = *message;
            } else if (event.kind == WsEvent::binary) {
                const auto bytes = bytesOf(event.data);
                const auto header = packet_format::readAnyHeader(bytes);
                EXPECT_TRUE(header);
                if (!header) break;
                received.push_back({*header, {bytes.begin() + packet_format::kHeaderBytes, bytes.end()}, format});
            } else {
                ADD_FAILURE() << "only " << received.size() << " of " << count << " messages came";
                break;
            }
        }
        return received;
    }
    static std::vector<Received> receive(TestSocket& socket, std::size_t count) {
        boost::json::object format;
        return receive(socket, count, format);
    }

    // Waits until the relay has read everything `socket` sent before; what came
    // meanwhile.
    static std::deque<WsEvent> settle(TestSocket& socket) {
        socket.sendText(R"({"type":"ping","t":1})");
        std::deque<WsEvent> early;
        for (auto event = socket.next(); event.kind == WsEvent::text || event.kind == WsEvent::binary;
             event = socket.next()) {
            if (event.data.find(R"("type":"pong")") != std::string::npos) return early;
            early.push_back(std::move(event));
        }
        ADD_FAILURE() << "no pong";
        return early;
    }

    static std::vector<std::uint8_t> decoded(PacketDecoder& decoder, const Received& message) {
        const auto samples = decoder.decode(message.header, message.payload);
        EXPECT_TRUE(samples) << samples.error();
        return samples ? std::vector<std::uint8_t>(samples->begin(), samples->end()) : std::vector<std::uint8_t>();
    }
};

// FLAC at the stream's own rate is the PCM bit for bit, for listeners there from the
// start, joining mid-stream or losing messages on the way.
TEST_F(FormsTest, FlacDecodesToThePcmSampleForSample) {
    for (const std::uint32_t rate : {44100u, 96000u}) {
        SCOPED_TRACE(rate);
        link_ = createLink(*relay_, key_, "listen", 5, "Mix " + std::to_string(rate));
        auto pcm = listening(*relay_, link_);
        auto flac = listener("flac");
        auto broadcaster = onAir(*relay_, key_, link_);
        MusicSignal music(rate, 2);
        const auto send = [&](std::uint32_t from, std::uint32_t to) {
            for (std::uint32_t seq = from; seq < to; ++seq)
                broadcaster->sendBinary(pcmPacket(music.next(), 2, rate, seq, ManualClock::kStartWallMs + seq * 20.0));
        };
        send(0, 15);
        std::vector<Received> sent = receive(*pcm, 15);
        auto late = listener("flac");
        send(15, 30);
        for (auto& message : receive(*pcm, 15)) sent.push_back(std::move(message));

        boost::json::object format;
        const auto fromStart = receive(*flac, 30, format);
        ASSERT_EQ(fromStart.size(), 30u);
        EXPECT_EQ(json::integral(json::member(format, "rate")), rate);
        EXPECT_EQ(json::integral(json::member(format, "channels")), 2);
        EXPECT_TRUE(json::string(json::member(format, "description")).value_or("").starts_with("ZkxhQw"));  // "fLaC"
        auto decoder = PacketDecoder::create(Codec::flac);
        std::size_t flacBytes = 0, pcmBytes = 0;
        for (std::size_t i = 0; i < fromStart.size(); ++i) {
            const auto& message = fromStart[i];
            EXPECT_EQ(message.header.codec, Codec::flac);
            EXPECT_EQ(message.header.sequence, i);
            EXPECT_EQ(message.header.sampleRate, rate);
            EXPECT_EQ(message.header.timestampMs, sent[i].header.timestampMs);
            EXPECT_EQ(decoded(*decoder, message), sent[i].payload) << "packet " << i;
            flacBytes += message.payload.size();
            pcmBytes += sent[i].payload.size();
        }
        EXPECT_LT(flacBytes, pcmBytes * 9 / 10);

        // It joined after packet 14 and reads only every third message, as if the others were lost.
        const auto joined = receive(*late, 15);
        ASSERT_FALSE(joined.empty());
        EXPECT_EQ(joined.front().header.sequence, 15u);
        auto lateDecoder = PacketDecoder::create(Codec::flac);
        for (std::size_t i = 0; i < joined.size(); i += 3)
            EXPECT_EQ(decoded(*lateDecoder, joined[i]), sent[joined[i].header.sequence].payload);
        broadcaster->close();
    }
}

// Opus from 96 and 44.1 kHz plays at the source's level, and its timestamps place its
// audio where the source had it.
TEST_F(FormsTest, OpusKeepsTheLevelAndTheTimeOfTheSource) {
    for (const std::uint32_t rate : {96000u, 44100u}) {
        SCOPED_TRACE(rate);
        link_ = createLink(*relay_, key_, "listen", 5, "Tone " + std::to_string(rate));
        auto opus = listener("opus", 64);
        auto broadcaster = onAir(*relay_, key_, link_);
        // Silence, then from 10.37 packets in a 1 kHz tone at half of full scale.
        const double onsetMs = ManualClock::kStartWallMs + 10.37 * 20;
        const std::uint32_t frames = rate / 50;
        constexpr std::uint32_t kPackets = 60;
        for (std::uint32_t seq = 0; seq < kPackets; ++seq) {
            std::vector<float> samples(2 * frames);
            const double startMs = ManualClock::kStartWallMs + seq * 20.0;
            for (std::uint32_t i = 0; i < frames; ++i) {
                const double t = (startMs + 1000.0 * i / rate - onsetMs) / 1000;
                samples[2 * i] = samples[2 * i + 1] = t < 0 ? 0.0f : static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 * t));
            }
            broadcaster->sendBinary(pcmPacket(samples, 2, rate, seq, startMs));
        }
        boost::json::object format;
        const auto received = receive(*opus, kPackets, format);
        ASSERT_EQ(received.size(), kPackets);
        EXPECT_EQ(json::integral(json::member(format, "kbps")), 64);
        EXPECT_EQ(json::integral(json::member(format, "rate")), 48000);

        auto decoder = PacketDecoder::create(Codec::opus);
        std::optional<double> heardMs;
        double sumSquares = 0;
        std::size_t counted = 0;
        for (const auto& message : received) {
            EXPECT_EQ(message.header.codec, Codec::opus);
            EXPECT_EQ(message.header.sampleRate, 48000u);
            const auto samples = decoded(*decoder, message);
            for (std::size_t i = 0; i < samples.size() / 3; ++i) {
                const double value = packet_format::decodeSample(samples.data() + 3 * i) / 8388607.0;
                if (!heardMs && std::abs(value) > 0.1) heardMs = message.header.timestampMs + (i / 2) / 48.0;
                if (message.header.sequence >= 20) {
                    sumSquares += value * value;
                    ++counted;
                }
            }
        }
        ASSERT_TRUE(heardMs);
        EXPECT_NEAR(*heardMs, onsetMs, 1.0);
        EXPECT_NEAR(std::sqrt(sumSquares / counted), 0.5 / std::numbers::sqrt2, 0.02 * 0.5 / std::numbers::sqrt2);
        broadcaster->close();
    }
}

// A listener changes form on the open connection: each change is confirmed before the
// first message in the new form, and the sequence goes on without a gap.
TEST_F(FormsTest, ChangingFormMidStreamLeavesNoGap) {
    auto listener = this->listener("pcm");
    auto broadcaster = onAir(*relay_, key_, link_);
    MusicSignal music(48000, 2);
    std::uint32_t next = 0;
    const auto send = [&](std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i, ++next)
            broadcaster->sendBinary(pcmPacket(music.next(), 2, 48000, next, ManualClock::kStartWallMs + next * 20.0));
    };
    send(10);
    std::vector<Received> heard = receive(*listener, 10);
    const auto change = [&](const std::string& text, Codec codec, std::uint32_t firstSequence) {
        listener->sendText(text);
        auto early = settle(*listener);
        send(10);
        boost::json::object format;
        const auto more = receive(*listener, next - firstSequence, format, std::move(early));
        ASSERT_FALSE(more.empty());
        EXPECT_EQ(more.front().header.sequence, firstSequence);
        EXPECT_EQ(json::string(json::member(format, "format")), std::string(codecName(codec)));
        for (const auto& message : more) EXPECT_EQ(message.header.codec, codec);
        heard.insert(heard.end(), more.begin(), more.end());
    };
    change(R"({"type":"format","format":"flac"})", Codec::flac, 10);
    change(R"({"type":"format","format":"opus","kbps":256})", Codec::opus, 20);
    // Opus's audio of packet 29 ends before packet 30's begins: PCM starts at 29 again.
    change(R"({"type":"format","format":"pcm"})", Codec::pcm, 29);
    for (std::size_t i = 1; i < heard.size(); ++i)
        EXPECT_LE(heard[i].header.timestampMs, heard[i - 1].header.timestampMs + 20.0 + 1e-6) << "gap before " << i;

    // Each change may start an encoder: a sixth within 10 s ends the connection.
    listener->sendText(R"({"type":"format","format":"flac"})");
    listener->sendText(R"({"type":"format","format":"pcm"})");
    listener->sendText(R"({"type":"format","format":"flac"})");
    EXPECT_EQ(listener->nextOfType("error").value_or(""), R"({"type":"error","error":"too_many_changes"})");
    EXPECT_EQ(listener->waitClosed().kind, WsEvent::closed);

    auto another = this->listener("pcm");
    another->sendText(R"({"type":"format","format":"opus","kbps":100})");
    EXPECT_EQ(another->nextOfType("error").value_or(""), R"({"type":"error","error":"format"})");
    EXPECT_EQ(another->waitClosed().kind, WsEvent::closed);
    EXPECT_EQ(refusal(*relay_, "/ws/listen",
                      R"({"type":"listen","session":")" + link_ + R"(","password":"listen","format":"mp3"})"),
              "format");
}

}  // namespace
}  // namespace quorvel::test
