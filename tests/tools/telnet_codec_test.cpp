// The telnet parser and option negotiation, without sockets or a kernel: what
// a client's byte stream becomes however recv() happens to cut it, and that
// no input (split, truncated, overlong or random) loses the parser's place.
#include "tools/tzcom/telnet_codec.h"
#include "tools/tzcom/telnet_options.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace tzcom::telnet;

// Every event as text, consecutive data merged, so that two ways of cutting
// one stream compare equal.
struct Recorder : Handler {
  std::vector<std::string> events;
  size_t malformed = 0;
  size_t longestPayload = 0;

  void onData(std::span<const uint8_t> data) override {
    std::string text(data.begin(), data.end());
    if (!events.empty() && events.back().rfind("data:", 0) == 0)
      events.back() += text;
    else
      events.push_back("data:" + text);
  }
  void onNegotiation(uint8_t verb, uint8_t option) override {
    events.push_back("neg:" + std::to_string(verb) + "," + std::to_string(option));
  }
  void onSubnegotiation(uint8_t option, std::span<const uint8_t> payload) override {
    longestPayload = std::max(longestPayload, payload.size());
    events.push_back("sb:" + std::to_string(option) + ":" + std::string(payload.begin(), payload.end()));
  }
  void onCommand(uint8_t command) override { events.push_back("cmd:" + std::to_string(command)); }
  void onMalformed(const char* what) override {
    ++malformed;
    events.push_back(std::string("bad:") + what);
  }
};

Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(uint8_t(v));
  return out;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string sb(const Bytes& payload) { return "sb:44:" + std::string(payload.begin(), payload.end()); }

std::vector<std::string> parseWhole(const Bytes& stream) {
  Parser parser;
  Recorder r;
  parser.feed(stream, r);
  return r.events;
}

// A stream with every kind of sequence, IAC doubled in data and in a payload.
Bytes mixedStream() {
  return text("ab") + bytes({IAC, IAC}) + text("c") + bytes({IAC, DO, OPTION_BINARY}) +
         bytes({IAC, SB, OPTION_COM_PORT, 1, 0, IAC, IAC, 0x10, 0, IAC, SE}) + bytes({IAC, NOP}) + text("d") +
         bytes({IAC, WILL, OPTION_COM_PORT}) + bytes({IAC, IAC});
}

TEST(TelnetParser, EventsInStreamOrderWithIacUndone) {
  std::vector<std::string> expected = {"data:ab\xff" "c",
                                       "neg:253,0",
                                       sb(bytes({1, 0, IAC, 0x10, 0})),
                                       "cmd:241",
                                       "data:d",
                                       "neg:251,44",
                                       "data:\xff"};
  EXPECT_EQ(parseWhole(mixedStream()), expected);
}

TEST(TelnetParser, AnyCutOfTheStreamGivesTheSameEvents) {
  const Bytes stream = mixedStream();
  const auto whole = parseWhole(stream);
  // Every single cut (an IAC at the end of one packet, SE at the start of the
  // next, a cut between IAC and the option...), and one byte per packet.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    Parser parser;
    Recorder r;
    parser.feed(std::span(stream).first(cut), r);
    parser.feed(std::span(stream).subspan(cut), r);
    EXPECT_EQ(r.events, whole) << "cut at " << cut;
  }
  Parser parser;
  Recorder r;
  for (uint8_t b : stream) parser.feed(std::span(&b, 1), r);
  EXPECT_EQ(r.events, whole);
}

TEST(TelnetParser, IacAtThePacketEndWaitsForItsSecondByte) {
  Parser parser;
  Recorder r;
  parser.feed(text("x") + bytes({IAC}), r);
  EXPECT_EQ(r.events, std::vector<std::string>{"data:x"});
  EXPECT_TRUE(parser.inSequence());
  parser.feed(bytes({IAC}) + text("y"), r);
  EXPECT_EQ(r.events, std::vector<std::string>{"data:x\xffy"});
  EXPECT_FALSE(parser.inSequence());
}

TEST(TelnetParser, OverlongSubnegotiationIsDroppedAndTheStreamReadsOn) {
  Parser parser(8);
  Recorder r;
  Bytes stream = bytes({IAC, SB, OPTION_COM_PORT}) + text("12345678") + text("tail") +
                 bytes({IAC, SB, OPTION_COM_PORT, 1, IAC, SE});
  parser.feed(stream, r);
  EXPECT_EQ(r.events, (std::vector<std::string>{"bad:overlong subnegotiation", "data:tail", "sb:44:\x01"}));
  EXPECT_LE(r.longestPayload, 8u);
  // A doubled IAC that would pass the bound counts the same.
  Recorder r2;
  Parser parser2(2);
  parser2.feed(bytes({IAC, SB, 44, 1, 2, IAC, IAC, 3}), r2);
  EXPECT_EQ(r2.malformed, 1u);
  EXPECT_FALSE(parser2.inSequence());
}

TEST(TelnetParser, TruncatedSubnegotiationGivesWayToTheNextCommand) {
  // A subnegotiation cut short by a negotiation, by another subnegotiation
  // and by a plain command: the payload is dropped, the command is taken.
  EXPECT_EQ(parseWhole(bytes({IAC, SB, 44, 1, 0, IAC, WILL, 3})),
            (std::vector<std::string>{"bad:subnegotiation cut short", "neg:251,3"}));
  EXPECT_EQ(parseWhole(bytes({IAC, SB, 44, 1, 0, IAC, SB, 44, 5, 8, IAC, SE})),
            (std::vector<std::string>{"bad:subnegotiation cut short", "sb:44:\x05\x08"}));
  EXPECT_EQ(parseWhole(bytes({IAC, SB, 44, 1, IAC, NOP, 'z'})),
            (std::vector<std::string>{"bad:subnegotiation cut short", "cmd:241", "data:z"}));
  // SE with no subnegotiation open, and an empty subnegotiation.
  EXPECT_EQ(parseWhole(text("a") + bytes({IAC, SE}) + text("b") + bytes({IAC, SB, IAC, SE})),
            (std::vector<std::string>{"data:a", "bad:SE outside a subnegotiation", "data:b"}));
}

TEST(TelnetParser, RandomBytesNeverLoseTheParsersPlace) {
  std::mt19937 random(2217);
  for (int round = 0; round < 50; ++round) {
    Bytes junk(4096);
    for (auto& b : junk) b = uint8_t(random() % 4 == 0 ? IAC - random() % 16 : random());  // dense in commands
    // Split at random points: the same events as all at once.
    Parser whole(64), split(64);
    Recorder a, b;
    whole.feed(junk, a);
    for (size_t at = 0; at < junk.size();) {
      size_t n = std::min<size_t>(junk.size() - at, 1 + random() % 300);
      split.feed(std::span(junk).subspan(at, n), b);
      at += n;
    }
    ASSERT_EQ(a.events, b.events) << "round " << round;
    EXPECT_LE(a.longestPayload, 64u);
    // Whatever state the junk left: a byte and IAC SE always bring it back
    // to data, and a real command then parses.
    Recorder after;
    whole.feed(bytes({0, IAC, SE}), after);
    EXPECT_FALSE(whole.inSequence());
    Recorder next;
    whole.feed(bytes({IAC, SB, 44, 1, 0, 1, 0xC2, 0, IAC, SE}), next);
    EXPECT_EQ(next.events, std::vector<std::string>{sb(bytes({1, 0, 1, 0xC2, 0}))});
  }
}

TEST(TelnetEncoder, EscapesIacAndRoundTripsThroughTheParser) {
  Bytes out;
  appendEscaped(out, bytes({1, IAC, IAC, 2}));
  EXPECT_EQ(out, bytes({1, IAC, IAC, IAC, IAC, 2}));
  EXPECT_EQ(negotiation(WONT, OPTION_ECHO), bytes({IAC, WONT, OPTION_ECHO}));

  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    Bytes payload(random() % 40);
    for (auto& b : payload) b = uint8_t(random() % 3 ? IAC : random());
    Bytes data(random() % 40);
    for (auto& b : data) b = uint8_t(random() % 3 ? IAC : random());
    Bytes stream;
    appendEscaped(stream, data);
    stream = stream + subnegotiation(OPTION_COM_PORT, payload);
    std::vector<std::string> expected;
    if (!data.empty()) expected.push_back("data:" + std::string(data.begin(), data.end()));
    expected.push_back("sb:44:" + std::string(payload.begin(), payload.end()));
    ASSERT_EQ(parseWhole(stream), expected);
  }
}

TEST(TelnetOptions, AgreesOnceRefusesTheRestAndNeverLoops) {
  Options options({OPTION_BINARY, OPTION_COM_PORT}, {OPTION_BINARY});
  EXPECT_EQ(options.offer(), bytes({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44}));
  EXPECT_TRUE(options.offer().empty());  // offered once
  // The client's answers to the offer are not answered again.
  EXPECT_TRUE(options.receive(DO, OPTION_BINARY).empty());
  EXPECT_TRUE(options.receive(WILL, OPTION_BINARY).empty());
  EXPECT_TRUE(options.localEnabled(OPTION_BINARY));
  EXPECT_TRUE(options.remoteEnabled(OPTION_BINARY));
  // An offer refused: no answer, and the option stays off.
  EXPECT_TRUE(options.receive(DONT, OPTION_COM_PORT).empty());
  EXPECT_FALSE(options.localEnabled(OPTION_COM_PORT));
  // ... but asked for again later, it is agreed to.
  EXPECT_EQ(options.receive(DO, OPTION_COM_PORT), bytes({IAC, WILL, 44}));
  EXPECT_TRUE(options.receive(DO, OPTION_COM_PORT).empty());  // already on
  // Unsupported options are refused each time they are asked for; their
  // refusals are not answered.
  EXPECT_EQ(options.receive(DO, OPTION_ECHO), bytes({IAC, WONT, OPTION_ECHO}));
  EXPECT_EQ(options.receive(WILL, 24), bytes({IAC, DONT, 24}));
  EXPECT_TRUE(options.receive(WONT, 24).empty());
  EXPECT_TRUE(options.receive(DONT, OPTION_ECHO).empty());
  // Switching an enabled option off is acknowledged once.
  EXPECT_EQ(options.receive(WONT, OPTION_BINARY), bytes({IAC, DONT, 0}));
  EXPECT_TRUE(options.receive(WONT, OPTION_BINARY).empty());
  EXPECT_FALSE(options.remoteEnabled(OPTION_BINARY));
  EXPECT_TRUE(options.receive(7, 0).empty());  // not a negotiation verb
}

}  // namespace
