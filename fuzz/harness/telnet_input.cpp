// Bytes from a network port's server through the Telnet decoder and the negotiation rules of
// the port: however the reads cut the stream, the same data and events come out; nothing the
// server sends grows without bound; data escaped again decodes to itself.
#include <vector>

#include "harness.h"
#include "platform/telnet_codec.h"

namespace qxfuzz {
namespace {

namespace tn = qx::platform::telnet;

struct Decoded {
    std::vector<uint8_t> data;
    std::vector<tn::Event> events;
};

bool SameEvents(const std::vector<tn::Event>& a, const std::vector<tn::Event>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].code != b[i].code || a[i].option != b[i].option ||
            a[i].truncated != b[i].truncated || a[i].payload != b[i].payload)
            return false;
    }
    return true;
}

}  // namespace

std::string RunTelnetStream(const uint8_t* data, size_t size) {
    if (size == 0) return "";
    // Read sizes 1..16, from the first byte: every cut position gets its turn somewhere.
    const unsigned pattern = data[0];
    const uint8_t* stream = data + 1;
    const size_t length = size - 1;

    Decoded whole;
    tn::Decoder one;
    one.Feed(stream, length, whole.data, whole.events);

    Decoded cut;
    tn::Decoder pieces;
    size_t at = 0;
    for (unsigned i = 0; at < length; ++i) {
        const size_t step = 1 + ((pattern >> (i % 8)) ^ i) % 16;
        const size_t n = step < length - at ? step : length - at;
        pieces.Feed(stream + at, n, cut.data, cut.events);
        at += n;
    }
    if (cut.data != whole.data) return "the data depends on where the reads cut the stream";
    if (!SameEvents(cut.events, whole.events))
        return "the events depend on where the reads cut the stream";
    if (whole.data.size() > length) return "more data than bytes received";
    for (const tn::Event& e : whole.events)
        if (e.payload.size() > tn::Decoder::kMaxPayload) return "a subnegotiation grew unbounded";

    // The port's answers to negotiation: one at most per request, and only negotiation.
    tn::Options options({tn::kOptionComPort, tn::kOptionBinary, tn::kOptionSuppressGoAhead},
                        {tn::kOptionBinary, tn::kOptionSuppressGoAhead});
    std::vector<uint8_t> offers;
    options.OfferLocal(tn::kOptionComPort, offers);
    options.AskRemote(tn::kOptionBinary, offers);
    for (const tn::Event& e : whole.events) {
        if (e.kind != tn::Event::Kind::Negotiation) continue;
        std::vector<uint8_t> reply;
        options.Receive(e.code, e.option, reply);
        if (reply.size() != 0 && reply.size() != 3) return "a negotiation answer of odd length";
        if (reply.size() == 3 && (reply[0] != tn::kIac || reply[1] < tn::kWill ||
                                  reply[1] > tn::kDont || reply[2] != e.option))
            return "a negotiation answer that is no answer";
    }

    // The data, escaped as this side sends it, decodes to itself and nothing else.
    std::vector<uint8_t> wire;
    tn::AppendEscaped(wire, whole.data.data(), whole.data.size());
    Decoded back;
    tn::Decoder again;
    again.Feed(wire.data(), wire.size(), back.data, back.events);
    if (back.data != whole.data || !back.events.empty())
        return "escaped data does not decode to itself";
    return "";
}

}  // namespace qxfuzz
