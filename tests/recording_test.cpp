// The recording's argument encoding and its writer, without a process
// around them: every kind of argument survives the round trip through the
// file's JSON, text as text, malformed JSON is refused, passwords in
// addresses are found, and what the writer commits opens for replay as one
// file that says it ended.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "recording.h"

namespace {

using namespace vqsim;

Arg make(Arg::Kind kind, long long i = 0, double f = 0, std::string bytes = {}) {
  Arg arg;
  arg.kind = kind;
  arg.i = i;
  arg.u = static_cast<unsigned long long>(i);
  arg.f = f;
  arg.bytes = std::move(bytes);
  return arg;
}

std::vector<Arg> every_kind() {
  return {make(Arg::Kind::Null), make(Arg::Kind::Bytes, 0, 0, std::string("a\0\xff\"\\", 5)),
          make(Arg::Kind::Bytes), make(Arg::Kind::Int, LLONG_MIN), make(Arg::Kind::Int, INT_MAX),
          make(Arg::Kind::Addr, 0x7f0012345678), make(Arg::Kind::Float, 0, -0.0),
          make(Arg::Kind::Float, 0, DBL_MIN / 4), make(Arg::Kind::Float, 0, HUGE_VAL),
          make(Arg::Kind::Float, 0, 0.1), make(Arg::Kind::Bool, 1), make(Arg::Kind::Bool, 0),
          make(Arg::Kind::OutNull), make(Arg::Kind::OutSet), make(Arg::Kind::OutLen),
          make(Arg::Kind::Bytes, 0, 0, "\xc3\xa9 \"q\" \\ \n\x01\x7f\xf0\x9f\x98\x80"),
          make(Arg::Kind::Bytes, 0, 0, "\xed\xa0\x80"), make(Arg::Kind::Bytes, 0, 0, "\xc0\xaf")};
}

TEST(RecordingArgs, EveryKindSurvivesTheRoundTrip) {
  std::vector<Arg> args = every_kind(), back;
  unsigned mask = 1;
  std::string json = rec::args_json(args, {}, false);
  // Valid UTF-8 is text; a surrogate or an overlong form is not.
  EXPECT_NE(json.find("[\"u\",\"\xc3\xa9 \\\"q\\\" \\\\ \\u000a\\u0001\x7f\xf0\x9f\x98\x80\"],[\"b\",\"eda080\"],"
                      "[\"b\",\"c0af\"]]"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"(["b","6100ff225c"],["u",""])"), std::string::npos) << json;
  ASSERT_TRUE(rec::parse_args(json, back, mask)) << json;
  EXPECT_EQ(mask, 0u);
  ASSERT_EQ(back.size(), args.size());
  for (std::size_t k = 0; k < args.size(); ++k) {
    EXPECT_EQ(back[k].kind, args[k].kind) << k;
    EXPECT_EQ(back[k].bytes, args[k].bytes) << k;
    EXPECT_EQ(std::signbit(back[k].f), std::signbit(args[k].f)) << k;
    EXPECT_EQ(back[k].f, args[k].f) << k;
  }
  EXPECT_EQ(back[3].i, LLONG_MIN);
  EXPECT_EQ(back[5].u, 0x7f0012345678u);
  EXPECT_EQ(rec::args_json(back, {}, false), json);
}

// What another JSON writer may have put into an edited file.
TEST(RecordingArgs, EveryJsonEscapeReads) {
  std::vector<Arg> back;
  unsigned mask = 0;
  ASSERT_TRUE(rec::parse_args(R"([["u","\u00E9\/\b\f\r\t\ud83d\ude00"],["b","C0AF"]])", back, mask));
  EXPECT_EQ(back[0].bytes, "\xc3\xa9/\b\f\r\t\xf0\x9f\x98\x80");
  EXPECT_EQ(back[1].bytes, "\xc0\xaf");
}

TEST(RecordingArgs, SecretsAndPointersAreLeftOutWhereAsked) {
  std::vector<Arg> args = {make(Arg::Kind::Bytes, 0, 0, "token"), make(Arg::Kind::Addr, 42)}, back;
  std::string json = rec::args_json(args, {1u, 0}, false);
  EXPECT_EQ(json, "[[\"s\"],[\"p\",42]]");
  EXPECT_EQ(rec::args_json(args, {}, true), "[[\"u\",\"token\"],[\"p\"]]");
  unsigned mask = 0;
  ASSERT_TRUE(rec::parse_args(json, back, mask));
  EXPECT_EQ(mask, 1u);
  EXPECT_EQ(back[0].bytes, kSecret);
  EXPECT_EQ(rec::args_json(back, {mask, 0}, true), rec::args_json(args, {1u, 0}, true));
  // vqi_set_bus_info(server_addr, user_name, password): the password, and the one in the address.
  std::vector<Arg> bus = {make(Arg::Kind::Bytes, 0, 0, "tcp://bus:pw@host:1"), make(Arg::Kind::Bytes, 0, 0, "bus"),
                          make(Arg::Kind::Bytes, 0, 0, "pw")};
  EXPECT_EQ(rec::args_json(bus, rec::masks_of(FN_vqi_set_bus_info, false), false),
            R"([["u","tcp://bus:<secret>@host:1"],["u","bus"],["s"]])");
  EXPECT_EQ(rec::args_json(bus, rec::masks_of(FN_vqi_set_bus_info, true), false),
            R"([["u","tcp://bus:pw@host:1"],["u","bus"],["u","pw"]])");
}

class Addresses : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(Addresses, LoseTheirPasswords) {
  std::string text = GetParam().first, masked = "untouched";
  bool found = mask_addresses(text.data(), text.size(), masked);
  EXPECT_EQ(found ? masked : text, GetParam().second);
  EXPECT_EQ(found, text != GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Recording, Addresses,
    ::testing::Values(std::make_pair("10.0.0.1:7100", "10.0.0.1:7100"),
                      std::make_pair("user@host:1", "user@host:1"),
                      std::make_pair("user:pw@host:1", "user:<secret>@host:1"),
                      std::make_pair("tcp://u:p@a:1,tcp://v:q@b:2;w:r@c", "tcp://u:<secret>@a:1,tcp://v:<secret>@b:2;w:<secret>@c"),
                      std::make_pair("tcp://u:p@ss@a:1", "tcp://u:<secret>@a:1"),
                      std::make_pair("@:@", "@:@"), std::make_pair(":@", ":@"), std::make_pair("a:b@", "a:<secret>@")));

class MalformedArgs : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedArgs, AreRefused) {
  std::vector<Arg> args;
  unsigned mask = 0;
  EXPECT_FALSE(rec::parse_args(GetParam(), args, mask));
}

INSTANTIATE_TEST_SUITE_P(Recording, MalformedArgs,
                         ::testing::Values("", "[", "[[\"b\",\"zz\"]]", "[[\"b\",\"abc\"]]", "[[\"b\"]]",
                                           "[[\"i\",]]", "[[\"i\",1x]]", "[[\"f\",\"1.5x\"]]",
                                           "[[\"t\",maybe]]", "[[\"x\"]]", "[[\"n\"],]", "[[\"n\"]] ",
                                           "[[\"n\"]", "{}", "[[\"on\",1]]", "[[\"u\"]]",
                                           "[[\"u\",\"\\x\"]]", "[[\"u\",\"\\udc00\"]]",
                                           "[[\"u\",\"\\ud800x\"]]", "[[\"u\",\"\\u12\"]]",
                                           "[[\"u\",\"\n\"]]", "[[\"u\",\"a]]"));

TEST(Recorder, WritesWhatOpensForReplayAndNeverOverwrites) {
  std::string path = testing::TempDir() + "recording_test_" + std::to_string(getpid()) + ".db";
  std::string error;
  ASSERT_TRUE(rec::start_recorder(path, "/lib/sdk.so", "sdk 9", false, error)) << error;
  rec::Record call;
  call.seq = 1;
  call.end_seq = 3;
  call.fn = FN_vqi_set_token;
  call.args = {make(Arg::Kind::Bytes, 0, 0, "token")};
  call.result.has_ret = true;
  rec::push(std::move(call));
  rec::Record event;
  event.event = true;
  event.seq = 2;
  event.has_text = true;
  event.text = "on_tick";
  event.count = -1;
  rec::push(std::move(event));
  rec::stop_recorder("exit", 3);
  EXPECT_FALSE(access((path + "-wal").c_str(), F_OK) == 0);  // one file, out of WAL mode
  EXPECT_FALSE(rec::start_recorder(path, "/lib/sdk.so", "sdk 9", false, error));
  EXPECT_EQ(error, "already exists (a recording is never overwritten)");

  rec::Opened opened;
  sqlite3* db = rec::open_recording(path, opened, error);
  ASSERT_NE(db, nullptr) << error;
  EXPECT_EQ(opened.format, rec::kFormat);
  EXPECT_TRUE(opened.problems.empty()) << opened.problems[0];
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT c.fn, c.args, c.end_seq, e.text, e.count, e.payload IS NULL, s.version, s.ended,"
                               " s.end_seq, typeof(e.text) FROM calls c, events e, session s",
                               -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  auto text = [stmt](int column) {
    return std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, column)));
  };
  EXPECT_EQ(text(0), "vqi_set_token");
  EXPECT_EQ(text(1), "[[\"s\"]]");
  EXPECT_EQ(sqlite3_column_int(stmt, 2), 3);
  EXPECT_EQ(text(3), "on_tick");
  EXPECT_EQ(sqlite3_column_int(stmt, 4), -1);
  EXPECT_EQ(sqlite3_column_int(stmt, 5), 1);
  EXPECT_EQ(text(6), "sdk 9");
  EXPECT_EQ(text(7), "exit");
  EXPECT_EQ(sqlite3_column_int(stmt, 8), 3);
  EXPECT_EQ(text(9), "text");
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  unlink(path.c_str());
}

}  // namespace
