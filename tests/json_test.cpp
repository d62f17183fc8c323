// The envelope reader's messages and positions, and the writer's layout.
#include <gtest/gtest.h>

#include "json.h"

namespace {

struct EnvelopeCase {
  std::string body;
  bool syntax;  // otherwise a data fault
  std::string message;
};

class EnvelopeFaults : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(EnvelopeFaults, ReportsMessageAndPosition) {
  const EnvelopeCase& c = GetParam();
  auto r = json::read_envelope(c.body);
  ASSERT_TRUE(std::holds_alternative<json::EnvelopeError>(r)) << c.body;
  const auto& e = std::get<json::EnvelopeError>(r);
  EXPECT_EQ(e.syntax, c.syntax) << c.body;
  EXPECT_EQ(e.message, c.message) << c.body;
}

INSTANTIATE_TEST_SUITE_P(
    Json, EnvelopeFaults,
    ::testing::Values(
        EnvelopeCase{"", true, "EOF while parsing a value at line 1 column 0"},
        EnvelopeCase{"x", true, "expected value at line 1 column 1"},
        EnvelopeCase{"{\"cmd\":\"a\",", true, "EOF while parsing a value at line 1 column 11"},
        EnvelopeCase{"{\"cmd\":\"a\" \"x\"", true, "expected `,` or `}` at line 1 column 12"},
        EnvelopeCase{R"({"cmd":"a","args":{},"username":"u"})", false, "missing field `realName` at line 1 column 36"},
        EnvelopeCase{R"({"args":{}})", false, "missing field `cmd` at line 1 column 11"},
        EnvelopeCase{R"({"cmd":"a","cmd":"b"})", false, "duplicate field `cmd` at line 1 column 16"},
        EnvelopeCase{R"({"cmd":"a","args":1,"username":null,"realName":""})", false,
                     "username: invalid type: null, expected a string at line 1 column 35"},
        EnvelopeCase{R"({"cmd":5})", false, "cmd: invalid type: integer `5`, expected a string at line 1 column 8"},
        EnvelopeCase{R"({"cmd":[1]})", false, "cmd: invalid type: sequence, expected a string at line 1 column 7"},
        EnvelopeCase{R"(["ping",{},"u"])", false,
                     "invalid length 3, expected struct RpcRequest with 4 elements at line 1 column 15"},
        EnvelopeCase{R"(["ping",{},"u",true])", false,
                     "[3]: invalid type: boolean `true`, expected a string at line 1 column 19"},
        EnvelopeCase{R"(["ping",{},"u","r",5])", true, "trailing characters at line 1 column 20"},
        EnvelopeCase{"\"hello\"", false, "invalid type: string \"hello\", expected struct RpcRequest at line 1 column 7"},
        EnvelopeCase{"{\"cmd\":\"a\",\n\"args\":{\"x\":}}", true, "args.x: expected value at line 2 column 13"},
        EnvelopeCase{"{\"cmd\":\"a\",\"args\":[1,]}", true, "args: trailing comma at line 1 column 22"},
        EnvelopeCase{"{\"cmd\":\"\\q\"}", true, "cmd: invalid escape at line 1 column 10"},
        EnvelopeCase{"{\"cmd\":\"a\",\"args\":01}", true, "args: invalid number at line 1 column 20"},
        EnvelopeCase{"{\"cmd\":\"a\",\"args\":1e999}", true, "args: number out of range at line 1 column 23"}));

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(Json, NestingLimitCountsTheEnvelope) {
  auto envelope = [](const std::string& args) {
    return R"({"cmd":"ping","args":)" + args + R"(,"username":"","realName":""})";
  };
  // The envelope and 126 arrays are 127 levels: accepted.
  EXPECT_TRUE(std::holds_alternative<json::Envelope>(json::read_envelope(envelope(nested(126)))));
  auto r = json::read_envelope(envelope(nested(127)));
  ASSERT_TRUE(std::holds_alternative<json::EnvelopeError>(r));
  const auto& e = std::get<json::EnvelopeError>(r);
  EXPECT_TRUE(e.syntax);
  EXPECT_EQ(e.message.find("recursion limit exceeded at line 1 column 148"), e.message.find("recursion"));
}

TEST(Json, EnvelopeFormsAndWhatIsIgnored) {
  auto object = json::read_envelope(
      R"( {"token":{"deep":[1,2]},"realName":"张三","username":"u","args":{"a":1,"a":2},"cmd":"ping"} trailing junk)");
  ASSERT_TRUE(std::holds_alternative<json::Envelope>(object));
  const auto& e = std::get<json::Envelope>(object);
  EXPECT_EQ(e.cmd, "ping");
  EXPECT_EQ(e.real_name, "张三");
  EXPECT_EQ(e.args["a"], 2);  // the last duplicate wins inside args

  auto array = json::read_envelope(R"(["get_products",null,"u",""])");
  ASSERT_TRUE(std::holds_alternative<json::Envelope>(array));
  EXPECT_EQ(std::get<json::Envelope>(array).cmd, "get_products");
  EXPECT_TRUE(std::get<json::Envelope>(array).args.is_null());
}

TEST(Json, NumberClasses) {
  auto args = [](const std::string& v) {
    auto r = json::read_envelope(R"({"cmd":"a","args":)" + v + R"(,"username":"","realName":""})");
    return std::get<json::Envelope>(r).args;
  };
  EXPECT_TRUE(args("18446744073709551615").is_number_unsigned());
  EXPECT_TRUE(args("-9223372036854775808").is_number_integer());
  EXPECT_TRUE(args("18446744073709551616").is_number_float());
  EXPECT_TRUE(args("7.0").is_number_float());
  EXPECT_TRUE(args("-0").is_number_float());
  EXPECT_EQ(args("\"\\ud83d\\ude00\""), "😀");
}

TEST(Json, WriterLayout) {
  struct Case {
    Json value;
    std::string text;
  };
  const Case cases[] = {
      {12.0, "12.0"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {1e16, "1e+16"},
      {9999999999999998.0, "9999999999999998.0"},
      {1.5e-7, "1.5e-7"},
      {0.00001, "0.00001"},
      {123456.789, "123456.789"},
      {std::numeric_limits<double>::infinity(), "null"},
      {std::nan(""), "null"},
      {42, "42"},
      {"中文\"\\\n\x01", "\"中文\\\"\\\\\\n\\u0001\""},
      {Json{{"b", 1}, {"a", nullptr}, {"B", true}}, "{\"B\":true,\"a\":null,\"b\":1}"},
      {std::string("bad\xff"), "\"bad\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) EXPECT_EQ(json::write(c.value), c.text);
}

TEST(Json, DescribeFoundValues) {
  EXPECT_EQ(json::describe(nullptr), "null");
  EXPECT_EQ(json::describe(true), "boolean `true`");
  EXPECT_EQ(json::describe(-3), "integer `-3`");
  EXPECT_EQ(json::describe(7.0), "floating point `7.0`");
  EXPECT_EQ(json::describe(2.5), "floating point `2.5`");
  EXPECT_EQ(json::describe("a\"b\\\n\t"), "string \"a\\\"b\\\\\\n\\t\"");
  EXPECT_EQ(json::describe(Json::array()), "sequence");
  EXPECT_EQ(json::describe(Json::object()), "map");
}

}  // namespace
