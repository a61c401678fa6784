#include "cli/replies/pending.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "cli/companion/http.h"
#include "standin/app.h"

namespace replies {
namespace {

using namespace std::chrono_literals;

struct DecodeCase {
  std::string body;
  bool ok;
  std::optional<std::string> reply = std::nullopt;
  bool shutdown = false;
};

TEST(DecodePending, FollowsTheRecordRules) {
  const DecodeCase cases[] = {
      {"{}", true},
      {R"({"reply":"hi"})", true, "hi"},
      {R"({"reply":null})", true},
      {R"({"reply":""})", true},  // an empty reply is no reply
      {R"({"shutdown_requested":true,"reply":"x"})", true, "x", true},
      {R"({"shutdown_requested":false})", true},
      {" \t\r\n{\"reply\":\"x\"} \r\n\t", true, "x"},
      // Other members are skipped whatever they hold, repeats of them included.
      {R"({"id":42,"reply":"x","extra":{"a":[1,{"b":null}]},"id":43})", true, "x"},
      {R"({"Reply":"x","SHUTDOWN_REQUESTED":true})", true},
      // Either member given twice, however it is spelled.
      {R"({"reply":"a","reply":"b"})", false},
      {R"({"reply":null,"reply":null})", false},
      {R"({"\u0072eply":"a","reply":"a"})", false},
      {R"({"shutdown_requested":false,"shutdown_requested":false})", false},
      // Wrong types.
      {R"({"shutdown_requested":null})", false},
      {R"({"shutdown_requested":"true"})", false},
      {R"({"shutdown_requested":1})", false},
      {R"({"reply":5})", false},
      {R"({"reply":["x"]})", false},
      {R"({"reply":{}})", false},
      // Not exactly one value.
      {"", false},
      {" \r\n ", false},
      {R"({"reply":"x"} x)", false},
      {R"({"reply":"x"}{})", false},
      {R"({"reply":"x")", false},
      {R"({"extra":tru,"reply":"x"})", false},
      {"\xEF\xBB\xBF{}", false},
      // Other top-level values.
      {"null", false},
      {R"("x")", false},
      {"5", false},
      {"true", false},
      // The array form: reply, then shutdown request.
      {"[]", true},
      {R"(["x"])", true, "x"},
      {R"(["x",true])", true, "x", true},
      {R"([null,false])", true},
      {R"([""])", true},
      {R"(["x",true,1])", false},
      {R"([null,null])", false},
      {"[1]", false},
      // Invalid UTF-8 is replaced, not refused.
      {"{\"reply\":\"a\xFF"
       "b\"}",
       true,
       "a\xEF\xBF\xBD"
       "b"},
  };
  for (const DecodeCase& c : cases) {
    const std::optional<PendingResponse> decoded = decode_pending(c.body);
    ASSERT_EQ(decoded.has_value(), c.ok) << c.body;
    if (!decoded) continue;
    EXPECT_EQ(decoded->reply, c.reply) << c.body;
    EXPECT_EQ(decoded->shutdown_requested, c.shutdown) << c.body;
  }
}

TEST(DecodePending, RefusesDeepNestingInsideSkippedMembers) {
  const std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_FALSE(decode_pending(R"({"extra":)" + deep + "}"));
  const std::string shallow = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(decode_pending(R"({"extra":)" + shallow + "}"));
}

// Regression: a pending answer with a 100,001-digit number in an extra member dropped its reply,
// and was parsed whole into a tree however large its ignored members were.
TEST(DecodePending, HugeIgnoredMembersNeitherDropTheReplyNorCount) {
  std::string digits(100'001, '7');
  const auto decoded = decode_pending(R"({"id":)" + digits + R"(,"reply":"kept","n":1e400})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->reply, "kept");
}

// The two requests against the stand-in app: what goes on the wire, and which answers fail.
class PendingRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("pending-test-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    standin::App::Options options;
    options.data_dir = dir_;
    options.hold = 0ms;
    app_ = std::make_unique<standin::App>(options);
    base_ = companion::base_url(app_->port());
    handle_ = register_handle();
  }
  void TearDown() override {
    app_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string register_handle() {
    const companion::RequestOutcome r =
        companion::send_request(companion::Method::Post, base_ + "/api/managed-sessions/register",
                                3s, app_->token(), std::string(R"({"token":"t"})"));
    EXPECT_EQ(r.kind, companion::RequestOutcome::Kind::Answered);
    return app_->last_handle();
  }

  std::optional<PendingResponse> fetch() {
    return fetch_pending(base_, app_->token(), handle_, PENDING_POLL_TIMEOUT);
  }

  void answer_pending(int status, std::string body, standin::Framing framing) {
    standin::Answer answer = standin::status_answer(status, std::move(body));
    answer.framing = framing;
    app_->set_answer(standin::Endpoint::Pending, answer);
  }

  std::filesystem::path dir_;
  std::unique_ptr<standin::App> app_;
  std::string base_;
  std::string handle_;
};

TEST_F(PendingRequests, PollIsAPlainGetWithTheToken) {
  app_->queue_reply("hello");
  const std::optional<PendingResponse> r = fetch();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->reply, "hello");
  const auto polls = app_->requests_to(standin::Endpoint::Pending);
  ASSERT_EQ(polls.size(), 1u);
  EXPECT_EQ(polls[0].method, "GET");
  EXPECT_EQ(polls[0].target, "/api/managed-sessions/" + handle_ + "/pending");
  EXPECT_EQ(polls[0].body, "");
  int tokens = 0;
  for (const auto& [name, value] : polls[0].headers) {
    EXPECT_NE(name, "Content-Type");
    if (name == "x-talvane-session-token") {
      ++tokens;
      EXPECT_EQ(value, app_->token());
    }
  }
  EXPECT_EQ(tokens, 1);
}

TEST_F(PendingRequests, AcknowledgementPostsAnEmptyObjectWithHeadersInOrder) {
  EXPECT_TRUE(acknowledge_delivery(base_, app_->token(), handle_, DELIVERY_ACK_TIMEOUT));
  const auto acks = app_->requests_to(standin::Endpoint::Delivered);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].method, "POST");
  EXPECT_EQ(acks[0].handle, handle_);
  EXPECT_EQ(acks[0].body, "{}");
  std::vector<std::string> ours;
  for (const auto& [name, value] : acks[0].headers) {
    if (name == "Content-Type" || name == "x-talvane-session-token")
      ours.push_back(name + "=" + value);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"Content-Type=application/json",
                                            "x-talvane-session-token=" + app_->token()}));

  app_->set_answer(standin::Endpoint::Delivered, standin::status_answer(500));
  EXPECT_FALSE(acknowledge_delivery(base_, app_->token(), handle_, DELIVERY_ACK_TIMEOUT));
  EXPECT_FALSE(acknowledge_delivery(companion::base_url(1), app_->token(), handle_, 1s));
}

TEST_F(PendingRequests, StatusOfAnAnsweredPollIsNotLookedAt) {
  answer_pending(201, R"({"reply":"x"})", standin::Framing::Length);
  ASSERT_TRUE(fetch());
  EXPECT_EQ(fetch()->reply, "x");
  answer_pending(200, R"({"reply":"chunked reply"})", standin::Framing::Chunked);
  ASSERT_TRUE(fetch());
  EXPECT_EQ(fetch()->reply, "chunked reply");
}

TEST_F(PendingRequests, FailingAnswersGiveNoResponse) {
  struct Case {
    const char* what;
    int status;
    std::string body;
    standin::Framing framing = standin::Framing::Length;
  };
  const Case cases[] = {
      {"404 for an unknown handle", 404, "{}"},
      {"409", 409, R"({"reply":"x"})"},
      {"500", 500, R"({"reply":"x"})"},
      {"204 without a body", 204, ""},
      {"whitespace only", 200, "  \r\n"},
      {"closed mid-body", 200, R"({"reply":"cut off here"})", standin::Framing::CloseMidBody},
      {"over 10 MiB", 200, R"({"reply":")" + std::string(companion::MAX_ANSWER_BYTES, 'a') + "\"}"},
  };
  for (const Case& c : cases) {
    answer_pending(c.status, c.body, c.framing);
    EXPECT_FALSE(fetch()) << c.what;
  }
  app_->clear_answer(standin::Endpoint::Pending);
  EXPECT_FALSE(fetch_pending(base_, app_->token(), "not-registered", PENDING_POLL_TIMEOUT));
  EXPECT_FALSE(fetch_pending(base_, "wrong-token", handle_, PENDING_POLL_TIMEOUT));
}

TEST_F(PendingRequests, PollThatOutlastsItsLimitFails) {
  standin::Answer never;
  never.never_answer = true;
  app_->set_answer(standin::Endpoint::Pending, never);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(fetch_pending(base_, app_->token(), handle_, 300ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(PendingRequests, HostileHandleReachesTheAppIntactInOnePathSegment) {
  const std::string hostile = "a b?c#d/e%2F\r\nx-evil: 1\xC3\xA9";
  app_->set_session_handle(hostile);
  handle_ = register_handle();
  ASSERT_EQ(handle_, hostile);
  app_->queue_reply("ok");
  ASSERT_TRUE(fetch());
  EXPECT_TRUE(acknowledge_delivery(base_, app_->token(), handle_, DELIVERY_ACK_TIMEOUT));
  for (const standin::RecordedRequest& r : app_->requests()) {
    if (r.endpoint == standin::Endpoint::Register) continue;
    EXPECT_NE(r.endpoint, standin::Endpoint::Unknown) << r.target;
    EXPECT_EQ(r.handle, hostile) << r.target;
    EXPECT_EQ(r.target.find_first_of(" ?#\r\n\\"), std::string::npos) << r.target;
  }
}

}  // namespace
}  // namespace replies
