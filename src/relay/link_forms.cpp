#include "relay/link_forms.h"

#include <boost/asio/post.hpp>

#include <algorithm>

#include "relay/outgoing_messages.h"
#include "relay/sessions.h"

namespace quorvel::relay {

using packet_format::Codec;

namespace {

// 100 ms of each form: enough to bridge a change of form without a gap.
constexpr std::size_t kRecent = 5;

// Sequence number `a` comes after `b`, across the wrap.
bool after(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

template <typename T>
void keepRecent(std::deque<T>& recent, T item) {
    recent.push_back(std::move(item));
    if (recent.size() > kRecent) recent.pop_front();
}

}  // namespace

std::shared_ptr<const std::string> LinkForms::announce(Announcement& current, const StreamForm& form,
                                                      const packet_format::Header& header,
                                                      std::vector<std::uint8_t> description) {
    if (current.text && current.rate == header.sampleRate && current.channels == header.channels &&
        current.description == description)
        return current.text;
    auto text =
        std::make_shared<const std::string>(outgoing::format(form, header.sampleRate, header.channels, description));
    current = Announcement{header.sampleRate, header.channels, std::move(description), std::move(text)};
    return current.text;
}

LinkForms::Taker* LinkForms::takerOf(const ListenerSession& listener) {
    const auto found = std::find_if(takers_.begin(), takers_.end(),
                                    [&](const Taker& taker) { return taker.listener.get() == &listener; });
    return found == takers_.end() ? nullptr : &*found;
}

void LinkForms::take(const std::shared_ptr<ListenerSession>& listener, const StreamForm& form) {
    Taker* taker = takerOf(*listener);
    if (!taker) {
        takers_.push_back(Taker{listener, form, std::nullopt, nullptr});
        taker = &takers_.back();
    } else {
        // Opus's audio ends a few milliseconds before its packet's: the new form starts
        // with that packet again rather than leave a gap.
        if (taker->after && taker->form.codec == Codec::opus && form.codec != Codec::opus) --*taker->after;
        taker->form = form;
    }
    // A new listener, or one that has had nothing yet, starts with the next packet.
    if (!taker->after && !recentPcm_.empty()) taker->after = recentPcm_.back().sequence;

    if (form.codec == Codec::pcm) {
        for (const auto& message : recentPcm_) send(*taker, message);
    } else if (const auto found = encoded_.find(form); found != encoded_.end()) {
        for (const auto& message : found->second->recent) send(*taker, message);
    } else {
        const auto stream = encoded(form);
        // From the packet it last had, whose output it does not get again: Opus's
        // look-ahead then holds real audio rather than the encoder's start.
        for (const auto& message : recentPcm_)
            if (!taker->after || !after(*taker->after, message.sequence)) feed(stream, message);
    }
    dropUnusedEncoders();
}

void LinkForms::leave(const ListenerSession& listener) {
    std::erase_if(takers_, [&](const Taker& taker) { return taker.listener.get() == &listener; });
    dropUnusedEncoders();
}

void LinkForms::push(const SharedBytes& packet, const packet_format::Header& header) {
    // A new broadcast numbers its packets from 0 again: nothing before it bridges to it.
    if (!recentPcm_.empty() && !after(header.sequence, recentPcm_.back().sequence)) {
        recentPcm_.clear();
        for (auto& [form, stream] : encoded_) stream->recent.clear();
        for (auto& taker : takers_) taker.after.reset();
    }
    const Message message{packet, header.sequence, announce(pcmAnnouncement_, StreamForm{}, header, {})};
    keepRecent(recentPcm_, message);
    deliver(StreamForm{}, message);
    for (const auto& [form, stream] : encoded_) feed(stream, message);
}

std::shared_ptr<LinkForms::Encoded> LinkForms::encoded(const StreamForm& form) {
    auto stream = std::make_shared<Encoded>();
    stream->form = form;
    stream->encoder = PacketEncoder::create(form);
    stream->thread = &threads_.next();
    encoded_[form] = stream;
    return stream;
}

void LinkForms::feed(const std::shared_ptr<Encoded>& stream, const Message& source) {
    stream->thread->post([encoder = stream->encoder, bytes = source.bytes, &home = home_, forms = weak_from_this(),
                          weakStream = std::weak_ptr<Encoded>(stream)] {
        const auto header = packet_format::readHeader(*bytes);
        if (!header) return;
        auto packet = encoder->encode(*header, std::span(*bytes).subspan(packet_format::kHeaderBytes));
        auto description = encoder->description();
        boost::asio::post(home, [forms, weakStream, packet = std::move(packet), description = std::move(description)]() mutable {
            const auto self = forms.lock();
            const auto target = weakStream.lock();
            if (self && target && !packet.empty()) self->encodedReady(*target, std::move(packet), std::move(description));
        });
    });
}

void LinkForms::encodedReady(Encoded& stream, std::vector<std::uint8_t> packet, std::vector<std::uint8_t> description) {
    const auto header = packet_format::readAnyHeader(packet);
    // Still on its way from a broadcast that another one has replaced since.
    if (!header || recentPcm_.empty() || after(header->sequence, recentPcm_.back().sequence)) return;
    const auto format = announce(stream.announcement, stream.form, *header, std::move(description));
    const Message message{std::make_shared<const std::vector<std::uint8_t>>(std::move(packet)), header->sequence, format};
    keepRecent(stream.recent, message);
    deliver(stream.form, message);
}

void LinkForms::deliver(const StreamForm& form, const Message& message) {
    for (auto& taker : takers_)
        if (taker.form == form) send(taker, message);
}

void LinkForms::send(Taker& taker, const Message& message) {
    if (taker.after && !after(message.sequence, *taker.after)) return;
    taker.after = message.sequence;
    if (taker.announced != message.format) {
        if (!taker.announced || *taker.announced != *message.format) taker.listener->sendFormat(*message.format);
        taker.announced = message.format;
    }
    taker.listener->sendPacket(message.bytes);
}

void LinkForms::dropUnusedEncoders() {
    std::erase_if(encoded_, [&](const auto& entry) {
        return std::none_of(takers_.begin(), takers_.end(), [&](const Taker& taker) { return taker.form == entry.first; });
    });
}

}  // namespace quorvel::relay
