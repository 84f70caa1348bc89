// The recording's argument encoding and its writer, without a process
// around them: every kind of argument survives the round trip through the
// file's JSON, malformed JSON is refused, and what the writer commits opens
// for replay.
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
          make(Arg::Kind::OutNull), make(Arg::Kind::OutSet), make(Arg::Kind::OutLen)};
}

TEST(RecordingArgs, EveryKindSurvivesTheRoundTrip) {
  std::vector<Arg> args = every_kind(), back;
  unsigned mask = 1;
  std::string json = rec::args_json(args, 0, false);
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
  EXPECT_EQ(rec::args_json(back, 0, false), json);
}

TEST(RecordingArgs, SecretsAndPointersAreLeftOutWhereAsked) {
  std::vector<Arg> args = {make(Arg::Kind::Bytes, 0, 0, "token"), make(Arg::Kind::Addr, 42)}, back;
  std::string json = rec::args_json(args, 1u, false);
  EXPECT_EQ(json, "[[\"s\"],[\"p\",42]]");
  EXPECT_EQ(rec::args_json(args, 0, true), "[[\"b\",\"746f6b656e\"],[\"p\"]]");
  unsigned mask = 0;
  ASSERT_TRUE(rec::parse_args(json, back, mask));
  EXPECT_EQ(mask, 1u);
  EXPECT_EQ(back[0].bytes, rec::kSecret);
  EXPECT_EQ(rec::args_json(back, mask, true), rec::args_json(args, 1u, true));
}

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
                                           "[[\"n\"]", "{}", "[[\"on\",1]]"));

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
  rec::stop_recorder();
  EXPECT_FALSE(rec::start_recorder(path, "/lib/sdk.so", "sdk 9", false, error));
  EXPECT_EQ(error, "already exists (a recording is never overwritten)");

  sqlite3* db = rec::open_for_replay(path, error);
  ASSERT_NE(db, nullptr) << error;
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                               "SELECT c.fn, c.args, c.end_seq, e.text, e.count, e.payload IS NULL, s.version "
                               "FROM calls c, events e, session s",
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
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  unlink(path.c_str());
}

}  // namespace
