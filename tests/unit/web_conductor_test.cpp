// The conductor's door and what crosses it: the key, the wrong keys' count, the commands a page
// may give, a page's report, and the room's state as each kind of page is told it.
#include <gtest/gtest.h>

#include "web/conductor_command.h"
#include "web/conductor_key.h"
#include "web/page_session.h"
#include "web/room_messages.h"

namespace {

TEST(ConductorKey, OnlyTheWholeKeyOpensAndARandomOneIsNew) {
    EXPECT_TRUE(isConductorKey("0123456789abcdef", "0123456789abcdef"));
    for (const char *wrong : {"", "0123456789abcde", "0123456789abcdef0", "1123456789abcdef", "0123456789abcdeF"})
        EXPECT_FALSE(isConductorKey(wrong, "0123456789abcdef")) << wrong;
    EXPECT_EQ(makeConductorKey("given-key-of-16ch"), "given-key-of-16ch");
    const std::string made = makeConductorKey(nullptr);
    EXPECT_EQ(made.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(made.size(), 32U);
    EXPECT_NE(made, makeConductorKey(nullptr));
}

TEST(ConductorKey, TenWrongKeysShutAnAddressOutForTheRestOfItsMinute) {
    WrongKeyCount wrongKeys;
    const auto guesser = boost::asio::ip::make_address("10.0.0.2");
    const auto other = boost::asio::ip::make_address("10.0.0.3");
    const WrongKeyCount::Clock::time_point start{};
    for (int i = 0; i < 9; i++) wrongKeys.count(guesser, start + std::chrono::seconds(i));
    wrongKeys.count(other, start);
    EXPECT_FALSE(wrongKeys.shutOut(guesser, start + std::chrono::seconds(9)));
    wrongKeys.count(guesser, start + std::chrono::seconds(9));
    EXPECT_TRUE(wrongKeys.shutOut(guesser, start + std::chrono::seconds(59)));
    EXPECT_FALSE(wrongKeys.shutOut(other, start + std::chrono::seconds(59)));
    EXPECT_FALSE(wrongKeys.shutOut(guesser, start + std::chrono::seconds(60)));
    // Strangers on many addresses push out the oldest tallies, the guesser's first.
    for (unsigned i = 0; i < 2000; i++)
        wrongKeys.count(boost::asio::ip::address_v4(0x0B000000U + i), start + std::chrono::seconds(10));
    EXPECT_FALSE(wrongKeys.shutOut(guesser, start + std::chrono::seconds(30)));
}

TEST(ConductorCommand, EachCommandIsReadAndAnythingOutOfRangeDropped) {
    ConcertCommand command{};
    ASSERT_TRUE(readConductorCommand(R"({"cmd":"pause"})", command));
    EXPECT_EQ(command.kind, ConcertCommandKind::Pause);
    ASSERT_TRUE(readConductorCommand(R"( {"cmd":"loop","from":1500,"until":800} )", command));
    EXPECT_EQ((std::make_tuple(command.kind, command.songMs, command.untilMs)),
              std::make_tuple(ConcertCommandKind::Loop, 1500, 800));
    ASSERT_TRUE(readConductorCommand(R"({"cmd":"options","channels":513,"tracks":"2,4-6","transpose":-12,)"
                                     R"("range":[36,96]})",
                                     command));
    EXPECT_EQ((std::make_tuple(command.kind, command.options.channels, command.options.tracks,
                               command.options.transpose, command.options.lowestKey, command.options.highestKey)),
              std::make_tuple(ConcertCommandKind::SongOptions, 513, std::string("2,4-6"), -12, 36, 96));
    for (const char *dropped :
         {R"({"cmd":"tempo","percent":401})", R"({"cmd":"tempo","percent":50.5})", R"({"cmd":"seek","ms":-1})",
          R"({"cmd":"play"})", R"({"cmd":"fly"})", R"({"cmd":"pause"} x)", R"({"cmd":"pause",})",
          "[[[[[[[[[[[[[[[[[[[[", R"({"cmd":"options","channels":1,"tracks":"x","transpose":0,"range":[0,127]})",
          R"({"cmd":"options","channels":1,"tracks":"","transpose":0,"range":[60,70]})",
          R"({"cmd":"options","channels":1,"tracks":"","transpose":49,"range":[0,127]})"})
        EXPECT_FALSE(readConductorCommand(dropped, command)) << dropped;
    // Escapes are undone; a NUL would cut the list short where it is read.
    ASSERT_TRUE(
        readConductorCommand(R"({"cmd":"options","channels":1,"tracks":"2,\u0034","transpose":0,"range":[0,127]})",
                             command));
    EXPECT_EQ(command.options.tracks, "2,4");
    EXPECT_FALSE(
        readConductorCommand(R"({"cmd":"options","channels":1,"tracks":"2\u0000x","transpose":0,"range":[0,127]})",
                             command));
    // Sixteen brackets inside the command still read; one more, or a number beyond a double, does not.
    const auto nested = [](int depth) {
        return R"({"cmd":"stop","x":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    EXPECT_TRUE(readConductorCommand(nested(16), command));
    EXPECT_FALSE(readConductorCommand(nested(17), command));
    EXPECT_FALSE(readConductorCommand(R"({"cmd":"stop","x":1e999})", command));
}

TEST(ConductorCommand, APagesKeysAreReadAndTheirFloodNeverLeavesOneHeld) {
    ConcertCommand command{};
    ASSERT_TRUE(readConductorCommand(R"({"live":{"on":0,"velocity":127}})", command));
    EXPECT_EQ(std::make_tuple(command.kind, command.key, command.velocity, command.liveSource),
              std::make_tuple(ConcertCommandKind::LiveNoteOn, 0, 127, 0U));
    ASSERT_TRUE(readConductorCommand(R"({"live":{"on":127}})", command));
    EXPECT_EQ(std::make_tuple(command.key, command.velocity), std::make_tuple(127, 100));
    ASSERT_TRUE(readConductorCommand(R"({"live":{"off":64}})", command));
    EXPECT_EQ(std::make_tuple(command.kind, command.key), std::make_tuple(ConcertCommandKind::LiveNoteOff, 64));
    EXPECT_TRUE(isLiveCommand(command));
    for (const char *dropped :
         {R"({"live":{"on":128}})", R"({"live":{"on":60,"velocity":0}})", R"({"live":{"on":60,"velocity":128}})",
          R"({"live":{"on":60.5}})", R"({"live":{"off":-1}})", R"({"live":{"on":60,"off":60}})",
          R"({"live":{"on":"60"}})", R"({"live":{"off":60,"velocity":9}})", R"({"live":[60]})", R"({"live":{}})",
          R"({"live":{"on":60},"cmd":"stop"})"})
        EXPECT_FALSE(readConductorCommand(dropped, command)) << dropped;

    const auto live = [](ConcertCommandKind kind, int key) {
        ConcertCommand made{};
        made.kind = kind;
        made.key = key;
        return made;
    };
    LiveKeyGate gate;
    const LiveKeyGate::Clock::time_point start{std::chrono::hours(1)};
    int passed = 0;
    for (int i = 0; i < 60; i++) passed += gate.pass(live(ConcertCommandKind::LiveNoteOn, i), start) ? 1 : 0;
    EXPECT_EQ(passed, 50);
    // Past the count, a held key is still let go, once; one never taken is not.
    EXPECT_TRUE(gate.pass(live(ConcertCommandKind::LiveNoteOff, 49), start));
    EXPECT_FALSE(gate.pass(live(ConcertCommandKind::LiveNoteOff, 49), start));
    EXPECT_FALSE(gate.pass(live(ConcertCommandKind::LiveNoteOff, 55), start));
    EXPECT_FALSE(gate.pass(live(ConcertCommandKind::LiveNoteOn, 49), start + std::chrono::milliseconds(999)));
    EXPECT_TRUE(gate.pass(live(ConcertCommandKind::LiveNoteOn, 49), start + std::chrono::seconds(1)));
    for (int key = 0; key < 50; key++)
        EXPECT_TRUE(gate.pass(live(ConcertCommandKind::LiveNoteOff, key), start + std::chrono::seconds(1))) << key;
    EXPECT_FALSE(gate.holdsAny());
}

TEST(PageReport, NumbersAreClampedAndAnythingElseDropped) {
    PageReport report;
    ASSERT_TRUE(readPageReport(R"({"report":{"roundTripMs":12.5,"late":-3,"missed":1e9}})", report));
    EXPECT_EQ(std::make_tuple(report.roundTripMicros, report.late, report.missed), std::make_tuple(12500U, 0, 32767));
    for (const char *dropped : {R"({"report":{"roundTripMs":"1","late":0,"missed":0}})",
                                R"({"report":{"roundTripMs":1,"late":0}})", R"({"report":[1,0,0]})", "report"})
        EXPECT_FALSE(readPageReport(dropped, report)) << dropped;
}

TEST(RoomMessages, TheAudienceIsToldTheSongWhenItsTransportMovesAndConductorsSeePages) {
    const std::string playing = R"({"state":"playing","song":0,"songs":[{"name":"a.mid","lengthMs":9000},)"
                                R"({"name":"b \"two\".mid","lengthMs":5000}],"position":1000,"at":4294967000,)"
                                R"("tempo":200,"voices":[{"id":0,"kind":"pc","address":"127.0.0.1:40000"},)"
                                R"({"id":1,"kind":"pc","address":"10.0.0.5:27001"}]})";
    AudienceSong told, now;
    ASSERT_TRUE(readAudienceSong(playing, told));
    EXPECT_EQ(told.message, R"({"song":{"length":9000,"position":1000,"at":4294967000,"tempo":200,"paused":false,)"
                            R"("name":"a.mid","next":"b \"two\".mid"}})");
    // 1000 us later, past the 32-bit wrap, at twice the tempo: 2 ms further on the same line.
    std::string later = playing;
    later.replace(later.find("1000,\"at\""), 4, "1002").replace(later.find("4294967000"), 10, "704");
    ASSERT_TRUE(readAudienceSong(later, now));
    EXPECT_FALSE(songMoved(told, now));
    later.replace(later.find("1002,\"at\""), 4, "3002");  // a seek
    ASSERT_TRUE(readAudienceSong(later, now));
    EXPECT_TRUE(songMoved(told, now));
    EXPECT_FALSE(readAudienceSong(R"({"state":"playing"})", now));
    // Waiting, the song has no position to tell; paused, a seek moves it.
    for (const char *state : {"waiting", "paused"}) {
        std::string held = playing, moved = later;
        held.replace(held.find("playing"), 7, state);
        moved.replace(moved.find("playing"), 7, state);
        ASSERT_TRUE(readAudienceSong(held, told) && readAudienceSong(moved, now));
        EXPECT_EQ(songMoved(told, now), std::string(state) == "paused") << state;
    }

    const std::string state = conductorStateMessage(playing, {{40000, "192.168.1.7:51000"}});
    EXPECT_NE(state.find(R"({"id":0,"kind":"page","address":"192.168.1.7:51000"},)"
                         R"({"id":1,"kind":"pc","address":"10.0.0.5:27001"})"),
              std::string::npos)
        << state;
    EXPECT_EQ(state.rfind(R"({"state":{"state":"playing","song":0,"songs":[{"name":"a.mid")", 0), 0U);
}

}  // namespace
