// The portable parts of network ports: Telnet framing, option negotiation, the COM-PORT-OPTION
// values and the read time-out rules as deadlines.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/read_deadlines.h"
#include "platform/telnet_codec.h"

namespace {

namespace tn = qx::platform::telnet;
using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", b);
        text += hex;
    }
    return text;
}

// An event as text: "DO 2C", "SB 2C: 65 00 01 C2 00", "CMD F1".
std::string Text(const tn::Event& e) {
    char head[32];
    switch (e.kind) {
        case tn::Event::Kind::Negotiation: {
            static const char* const kVerbs[] = {"WILL", "WONT", "DO", "DONT"};
            std::snprintf(head, sizeof head, "%s %02X", kVerbs[e.code - tn::kWill], e.option);
            return head;
        }
        case tn::Event::Kind::Subnegotiation:
            std::snprintf(head, sizeof head, "SB %02X:", e.option);
            return head + std::string(e.payload.empty() ? "" : " ") + Hex(e.payload) +
                   (e.truncated ? " (cut)" : "");
        case tn::Event::Kind::Command:
            std::snprintf(head, sizeof head, "CMD %02X", e.code);
            return head;
    }
    return "?";
}

TEST(TelnetEscape, EveryFFIsDoubledAndNothingElse) {
    const struct {
        Bytes data;
        Bytes wire;
    } cases[] = {
        {{}, {}},
        {{0x00, 0x0D, 0x0A, 0x11, 0x13, 0xFE}, {0x00, 0x0D, 0x0A, 0x11, 0x13, 0xFE}},
        {{0xFF}, {0xFF, 0xFF}},
        {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {{0xFF, 0x00, 0xFF}, {0xFF, 0xFF, 0x00, 0xFF, 0xFF}},
        {{0x41, 0xFF, 0xFB, 0x2C}, {0x41, 0xFF, 0xFF, 0xFB, 0x2C}},
    };
    for (const auto& c : cases) {
        Bytes out = {0x99};  // appends, keeps what is there
        tn::AppendEscaped(out, c.data.data(), c.data.size());
        Bytes expected = {0x99};
        expected.insert(expected.end(), c.wire.begin(), c.wire.end());
        EXPECT_EQ(out, expected) << Hex(c.data);
    }
}

// A write the socket took only part of: which data bytes count as written, and whether the
// second half of a doubled 0xFF is still owed to the stream.
TEST(TelnetEscape, DataBytesOfAPartlySentWrite) {
    const Bytes data = {0x41, 0xFF, 0x42, 0xFF, 0xFF};  // wire: 41 FF FF 42 FF FF FF FF
    const struct {
        size_t wireSent;
        size_t moved;
        bool cut;
    } cases[] = {{0, 0, false}, {1, 1, false}, {2, 2, true}, {3, 2, false}, {4, 3, false},
                 {5, 4, true},  {6, 4, false}, {7, 5, true}, {8, 5, false}, {99, 5, false}};
    for (const auto& c : cases) {
        bool cut = !c.cut;
        EXPECT_EQ(tn::DataBytesSent(data.data(), data.size(), c.wireSent, &cut), c.moved)
            << c.wireSent;
        EXPECT_EQ(cut, c.cut) << c.wireSent;
    }
}

TEST(TelnetEscape, ComPortCommandsEscapeTheirValue) {
    Bytes out;
    const uint8_t baud[] = {0x00, 0x00, 0xFF, 0x01};  // 65281 baud: an FF in the value
    tn::AppendComPortCommand(out, tn::kSetBaudRate, baud, sizeof baud);
    EXPECT_EQ(Hex(out), "FF FA 2C 01 00 00 FF FF 01 FF F0");
    out.clear();
    const uint8_t both = tn::kPurgeBoth;
    tn::AppendComPortCommand(out, tn::kPurgeData, &both, 1);
    EXPECT_EQ(Hex(out), "FF FA 2C 0C 03 FF F0");
}

struct DecodeCase {
    const char* name;
    Bytes wire;
    Bytes data;
    std::vector<std::string> events;
};

std::vector<std::string> Texts(const std::vector<tn::Event>& events) {
    std::vector<std::string> texts;
    for (const tn::Event& e : events) texts.push_back(Text(e));
    return texts;
}

// Whatever the reads split the stream into, the decoder gives the same data and events: every
// row is fed whole, a byte at a time, and cut in two at every point.
TEST(TelnetDecoder, SplitsDataFromEverythingElseWhereverTheReadsCut) {
    const Bytes longSub = [] {
        Bytes b = {0xFF, 0xFA, 0x2C, 0x00};
        b.insert(b.end(), tn::Decoder::kMaxPayload + 10, 0x41);
        b.insert(b.end(), {0xFF, 0xF0, 0x42});
        return b;
    }();
    // clang-format off
    const DecodeCase cases[] = {
        {"plain data", {0x00, 0x0D, 0x00, 0x0D, 0x0A, 0xFE}, {0x00, 0x0D, 0x00, 0x0D, 0x0A, 0xFE},
            {}},
        {"doubled FF", {0x01, 0xFF, 0xFF, 0x02, 0xFF, 0xFF, 0xFF, 0xFF},
            {0x01, 0xFF, 0x02, 0xFF, 0xFF}, {}},
        {"negotiation inside data", {0x41, 0xFF, 0xFD, 0x2C, 0x42, 0xFF, 0xFB, 0x01, 0x43},
            {0x41, 0x42, 0x43}, {"DO 2C", "WILL 01"}},
        {"every verb", {0xFF, 0xFB, 0x03, 0xFF, 0xFC, 0x03, 0xFF, 0xFD, 0x00, 0xFF, 0xFE, 0x00},
            {}, {"WILL 03", "WONT 03", "DO 00", "DONT 00"}},
        {"baud answer between data",
            {0x0A, 0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x0E, 0x10, 0x00, 0xFF, 0xF0, 0x0F}, {0x0A, 0x0F},
            {"SB 2C: 65 00 0E 10 00"}},
        {"FF inside a subnegotiation value",
            {0xFF, 0xFA, 0x2C, 0x65, 0x00, 0x00, 0xFF, 0xFF, 0x01, 0xFF, 0xF0}, {},
            {"SB 2C: 65 00 00 FF 01"}},
        {"modem and line state notifications",
            {0x4F, 0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0, 0xFF, 0xFA, 0x2C, 0x6A, 0x60, 0xFF, 0xF0, 0x4F},
            {0x4F, 0x4F}, {"SB 2C: 6B 00", "SB 2C: 6A 60"}},
        {"one-byte commands", {0x01, 0xFF, 0xF1, 0x02, 0xFF, 0xF9, 0xFF, 0xF0}, {0x01, 0x02},
            {"CMD F1", "CMD F9", "CMD F0"}},
        {"malformed subnegotiation: IAC DO inside",
            {0xFF, 0xFA, 0x2C, 0x65, 0xFF, 0xFD, 0x01, 0x33}, {0x33}, {"DO 01"}},
        {"subnegotiation without payload", {0xFF, 0xFA, 0x2C, 0xFF, 0xF0}, {}, {"SB 2C:"}},
        {"a long subnegotiation is cut, the stream goes on", longSub, {0x42},
            {"SB 2C: 00 " + [] { std::string s; for (size_t i = 0; i + 1 < tn::Decoder::kMaxPayload; ++i) s += i ? " 41" : "41"; return s; }() + " (cut)"}},
    };
    // clang-format on
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<Bytes>> feeds;
        feeds.push_back({c.wire});
        std::vector<Bytes> single;
        for (uint8_t b : c.wire) single.push_back({b});
        feeds.push_back(single);
        for (size_t cut = 1; cut < c.wire.size(); ++cut)
            feeds.push_back({Bytes(c.wire.begin(), c.wire.begin() + static_cast<ptrdiff_t>(cut)),
                             Bytes(c.wire.begin() + static_cast<ptrdiff_t>(cut), c.wire.end())});
        for (const auto& pieces : feeds) {
            tn::Decoder decoder;
            Bytes data;
            std::vector<tn::Event> events;
            for (const Bytes& piece : pieces)
                decoder.Feed(piece.data(), piece.size(), data, events);
            ASSERT_EQ(data, c.data) << pieces.size() << " pieces";
            ASSERT_EQ(Texts(events), c.events) << pieces.size() << " pieces";
        }
    }
}

struct NegotiationCase {
    const char* name;
    std::vector<std::pair<uint8_t, uint8_t>> received;  // verb, option, in order
    Bytes answers;                                      // everything sent back, in order
    bool comPortOn;
    bool comPortRefused;
};

// The port's side: it offers the COM-PORT-OPTION and a binary line both ways and suppressed
// go-ahead, and refuses everything else (ECHO above all: an echo would come back as data).
TEST(TelnetOptions, AnswersOnlyWhatChangesAndRefusesTheRest) {
    constexpr uint8_t WILL = tn::kWill, WONT = tn::kWont, DO = tn::kDo, DONT = tn::kDont;
    // clang-format off
    const NegotiationCase cases[] = {
        {"ser2net at connect (as captured)",
            {{WILL, 3}, {DO, 3}, {WILL, 1}, {DONT, 1}, {DO, 0}, {WILL, 0}, {DO, 44}, {DO, 3}},
            {0xFF, DONT, 1}, true, false},
        {"server asks first for what was not offered", {{DO, 24}, {WILL, 5}},
            {0xFF, WONT, 24, 0xFF, DONT, 5}, false, false},
        {"refusal of the COM-PORT-OPTION", {{DONT, 44}}, {}, false, true},
        {"switched off after agreeing", {{DO, 44}, {DONT, 44}, {WILL, 0}, {WONT, 0}},
            {0xFF, WONT, 44, 0xFF, DONT, 0}, false, false},
        {"repeated requests are not answered again", {{DO, 44}, {DO, 44}, {WILL, 3}, {WILL, 3}},
            {}, true, false},
        {"a refused option asked again is refused again", {{WILL, 1}, {WILL, 1}},
            {0xFF, DONT, 1, 0xFF, DONT, 1}, false, false},
    };
    // clang-format on
    for (const NegotiationCase& c : cases) {
        SCOPED_TRACE(c.name);
        tn::Options options({tn::kOptionComPort, tn::kOptionBinary, tn::kOptionSuppressGoAhead},
                            {tn::kOptionBinary, tn::kOptionSuppressGoAhead});
        Bytes offers;
        options.OfferLocal(tn::kOptionComPort, offers);
        options.OfferLocal(tn::kOptionBinary, offers);
        options.AskRemote(tn::kOptionBinary, offers);
        options.OfferLocal(tn::kOptionSuppressGoAhead, offers);
        options.AskRemote(tn::kOptionSuppressGoAhead, offers);
        EXPECT_EQ(Hex(offers), "FF FB 2C FF FB 00 FF FD 00 FF FB 03 FF FD 03");
        Bytes answers;
        for (const auto& [verb, option] : c.received) options.Receive(verb, option, answers);
        EXPECT_EQ(Hex(answers), Hex(c.answers));
        EXPECT_EQ(options.LocalOn(tn::kOptionComPort), c.comPortOn);
        EXPECT_EQ(options.LocalRefused(tn::kOptionComPort), c.comPortRefused);
        // Offering again what is on or pending sends nothing.
        Bytes again;
        options.AskRemote(tn::kOptionSuppressGoAhead, again);
        EXPECT_TRUE(again.empty());
    }
}

TEST(ComPortValues, ParityAndStopBitsBothWays) {
    const struct {
        uint8_t dcb;
        uint8_t wire;
    } parity[] = {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}, stop[] = {{0, 1}, {1, 3}, {2, 2}};
    for (const auto& p : parity) {
        uint8_t wire = 0, dcb = 9;
        EXPECT_TRUE(tn::ParityToWire(p.dcb, &wire));
        EXPECT_EQ(wire, p.wire);
        EXPECT_TRUE(tn::ParityFromWire(p.wire, &dcb));
        EXPECT_EQ(dcb, p.dcb);
    }
    for (const auto& s : stop) {
        uint8_t wire = 0, dcb = 9;
        EXPECT_TRUE(tn::StopBitsToWire(s.dcb, &wire));
        EXPECT_EQ(wire, s.wire);
        EXPECT_TRUE(tn::StopBitsFromWire(s.wire, &dcb));
        EXPECT_EQ(dcb, s.dcb);
    }
    uint8_t out = 0;
    EXPECT_FALSE(tn::ParityToWire(5, &out));
    EXPECT_FALSE(tn::ParityFromWire(0, &out));  // 0 asks; it is no setting
    EXPECT_FALSE(tn::ParityFromWire(6, &out));
    EXPECT_FALSE(tn::StopBitsToWire(3, &out));
    EXPECT_FALSE(tn::StopBitsFromWire(0, &out));
    EXPECT_FALSE(tn::StopBitsFromWire(4, &out));
}

// ReadDeadlines: how long a read may still wait, at given moments of its life.
struct DeadlineCase {
    const char* what;
    qx::COMMTIMEOUTS timeouts;
    uint32_t count;
    bool returnsOnFirst;
    // (ms since the start, bytes so far, ms since the last arrival) -> expected wait
    struct Step {
        int64_t at;
        uint32_t got;
        int64_t sinceLast;
        int64_t wait;
    };
    std::vector<Step> steps;
};

TEST(ReadDeadlines, FollowTheCommTimeoutRules) {
    constexpr uint32_t kMax = qx::kMaxDword;
    // clang-format off
    const DeadlineCase cases[] = {
        {"total = multiplier x count + constant", {0, 2, 100, 0, 0}, 10, false,
            {{0, 0, 0, 120}, {50, 0, 0, 70}, {119, 3, 1, 1}, {120, 3, 1, 0}, {500, 0, 0, 0}}},
        {"interval only after the first byte", {40, 0, 300, 0, 0}, 10, false,
            {{0, 0, 0, 300}, {100, 2, 0, 40}, {100, 2, 30, 10}, {290, 2, 5, 10}, {100, 2, 40, 0}}},
        {"interval without total", {200, 0, 0, 0, 0}, 10, false,
            {{0, 0, 0, -1}, {5000, 0, 0, -1}, {5000, 1, 150, 50}}},
        {"all zero: no limit", {0, 0, 0, 0, 0}, 10, false, {{0, 0, 0, -1}, {9000, 9, 9000, -1}}},
        {"MAXDWORD/0/0: at once", {kMax, 0, 0, 0, 0}, 10, true, {{0, 0, 0, 0}}},
        {"MAXDWORD/MAXDWORD/c: the first arrival within c", {kMax, kMax, 400, 0, 0}, 10, true,
            {{0, 0, 0, 400}, {399, 0, 0, 1}, {400, 0, 0, 0}}},
        {"MAXDWORD/MAXDWORD/MAXDWORD is no special form", {kMax, kMax, kMax, 0, 0}, 1, false,
            {{0, 0, 0, 2 * static_cast<int64_t>(kMax)}}},
        {"the largest total does not wrap into none", {0, kMax, kMax, 0, 0}, 0xFFFFFFFF, false,
            {{0, 0, 0, int64_t{1} << 40}, {1000, 0, 0, (int64_t{1} << 40) - 1000}}},
    };
    // clang-format on
    using Clock = qx::platform::ReadDeadlines::Clock;
    const Clock::time_point start = Clock::now();
    for (const DeadlineCase& c : cases) {
        SCOPED_TRACE(c.what);
        const qx::platform::ReadDeadlines d(c.timeouts, c.count, start);
        EXPECT_EQ(d.ReturnsOnFirst(), c.returnsOnFirst);
        for (const auto& s : c.steps) {
            const Clock::time_point now = start + std::chrono::milliseconds(s.at);
            const Clock::time_point last = now - std::chrono::milliseconds(s.sinceLast);
            EXPECT_EQ(d.WaitMs(now, s.got, last), s.wait)
                << "at " << s.at << " ms, " << s.got << " bytes";
        }
    }
}

}  // namespace
