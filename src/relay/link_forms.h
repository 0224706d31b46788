#pragma once

// The forms a link's stream is served in. The studio always sends PCM; each listener
// takes the form its line carries, named in its first message and changed on the open
// connection:
//
//   {"type":"listen","session","password","format":"pcm"|"flac"|"opus","kbps":256|128|64}
//   {"type":"format","format":…,"kbps":…}
//
// "format" defaults to "pcm"; "kbps" is read for Opus only and defaults to 128. Any
// other value is answered {"type":"error","error":"format"} and the connection closed;
// so is a sixth change within 10 s, with {"type":"error","error":"too_many_changes"}.
//
// Every binary message keeps the packet header (audio/packet_format.h), its second
// byte naming the codec: 0x01 PCM, 0x02 FLAC, 0x03 Opus. The sequence number is the
// source packet's, in every form, so loss counts carry across a change. The timestamp
// is the relay-clock time of the first frame the payload decodes to, and the rate
// field the rate it decodes at:
//   - FLAC: one frame of the whole packet (24 bits, the stream's rate), a stream of
//     its own: no metadata needed, decodes whatever came before or was lost. Its
//     timestamp is the PCM packet's.
//   - Opus: one 20 ms packet at 48 kHz (libsoxr high quality from 44.1, 88.2 or 96 kHz),
//     in-band FEC on. Its audio starts about 6.5 ms (48 kHz) to 12 ms (44.1 kHz)
//     before its source packet's (the encoder's and resampler's look-ahead): the
//     timestamp says exactly where.
//
// Before the first binary message of a form, and whenever its rate or channels change,
// the relay sends
//   {"type":"format","format":"pcm"|"flac"|"opus","kbps":N (Opus),"rate":R,"channels":C,
//    "description":"<base64>" (FLAC: "fLaC" and the STREAMINFO block, what a WebCodecs
//    AudioDecoder takes as its description)}
// which also confirms a change. A change takes effect at a packet boundary without a
// gap: the first message of the new form follows the last one of the old by sequence,
// except that after Opus the new form starts again at Opus's last sequence number,
// because Opus's audio ended a few milliseconds before that packet's. Where the new
// form's first packet overlaps audio already received, its timestamp shows by how
// much, and the receiver drops that overlap.
//
// A form is encoded once per link however many listeners take it, on one of the
// encoder threads, from the moment its first listener takes it until its last one
// leaves; a new encoder starts with the packet before the first it delivers, so that
// Opus's look-ahead holds real audio.

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/packet_encoder.h"
#include "audio/packet_format.h"
#include "audio/stream_form.h"
#include "relay/encoder_threads.h"
#include "relay/web_server.h"

namespace quorvel::relay {

class ListenerSession;

// The forms of one link's stream and who takes which. Lives on the server's thread.
class LinkForms : public std::enable_shared_from_this<LinkForms> {
public:
    LinkForms(boost::asio::io_context& home, EncoderThreads& threads) : home_(home), threads_(threads) {}

    // `listener` takes `form` from now on; if it took another before, it goes on from
    // where that ended.
    void take(const std::shared_ptr<ListenerSession>& listener, const StreamForm& form);
    void leave(const ListenerSession& listener);
    // A checked packet of the studio's.
    void push(const SharedBytes& packet, const packet_format::Header& header);

private:
    // The "format" message of a form's latest messages, made again only when its
    // rate, channels or description change.
    struct Announcement {
        std::uint32_t rate = 0;
        std::uint8_t channels = 0;
        std::vector<std::uint8_t> description;
        std::shared_ptr<const std::string> text;
    };
    // A message of one form, with the "format" message its receivers must have had.
    struct Message {
        SharedBytes bytes;
        std::uint32_t sequence = 0;
        std::shared_ptr<const std::string> format;
    };
    // An encoded form: its encoder, used on its thread only, and its latest messages.
    struct Encoded {
        StreamForm form;
        std::shared_ptr<PacketEncoder> encoder;
        Executor* thread = nullptr;
        std::deque<Message> recent;
        Announcement announcement;
    };
    struct Taker {
        std::shared_ptr<ListenerSession> listener;
        StreamForm form;
        // Messages up to this sequence number are not (or no longer) for it.
        std::optional<std::uint32_t> after;
        std::shared_ptr<const std::string> announced;
    };

    Taker* takerOf(const ListenerSession& listener);
    std::shared_ptr<Encoded> encoded(const StreamForm& form);
    void feed(const std::shared_ptr<Encoded>& stream, const Message& source);
    void encodedReady(Encoded& stream, std::vector<std::uint8_t> packet, std::vector<std::uint8_t> description);
    void deliver(const StreamForm& form, const Message& message);
    void send(Taker& taker, const Message& message);
    void dropUnusedEncoders();
    static std::shared_ptr<const std::string> announce(Announcement& current, const StreamForm& form,
                                                       const packet_format::Header& header,
                                                       std::vector<std::uint8_t> description);

    boost::asio::io_context& home_;
    EncoderThreads& threads_;
    std::vector<Taker> takers_;
    std::deque<Message> recentPcm_;
    Announcement pcmAnnouncement_;
    std::map<StreamForm, std::shared_ptr<Encoded>> encoded_;
};

}  // namespace quorvel::relay
