#include "audio/packet_encoder.h"

#include "audio/flac_packet_encoder.h"
#include "audio/opus_packet_encoder.h"

namespace quorvel {

std::unique_ptr<PacketEncoder> PacketEncoder::create(const StreamForm& form) {
    switch (form.codec) {
    case packet_format::Codec::pcm: break;
    case packet_format::Codec::flac: return std::make_unique<FlacPacketEncoder>();
    case packet_format::Codec::opus: return std::make_unique<OpusPacketEncoder>(form.kbps);
    }
    return nullptr;
}

}  // namespace quorvel
