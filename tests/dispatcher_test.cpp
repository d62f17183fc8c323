// The generic record reader and the dispatcher's argument handling, with a
// few records and handlers of the test's own.
#include <gtest/gtest.h>

#include <set>

#include "commands.h"
#include "record.h"

namespace {

struct Pair {
  std::string username;
  std::string password;
};
struct Item {
  std::string name;
  double quantity = 0;
  int32_t sort = 0;
  std::optional<std::string> remark;
  bool active = false;
  std::vector<std::string> tags;
};
struct WithDefault {
  std::string id;
  int32_t count = 0;
};

}  // namespace

template <>
inline const Record<Pair> record_of<Pair>{
    "LoginRequest", {field<&Pair::username>("username"), field<&Pair::password>("password")}};
template <>
inline const Record<Item> record_of<Item>{
    "Item",
    {field<&Item::name>("name"), field<&Item::quantity>("quantity"), field<&Item::sort>("sort"),
     field<&Item::remark>("remark"), field<&Item::active>("active"), field<&Item::tags>("tags")}};
template <>
inline const Record<WithDefault> record_of<WithDefault>{
    "WithDefault", {field<&WithDefault::id>("id"), field<&WithDefault::count>("count", 7)}};

namespace {

template <class T>
std::string read_error(const Json& v) {
  std::string error;
  auto r = read_record<T>(v, error);
  return r ? "" : error;
}

TEST(RecordReader, Messages) {
  struct Case {
    Json value;
    std::string error;
  };
  const Case pair_cases[] = {
      {Json::array(), "invalid length 0, expected struct LoginRequest with 2 elements"},
      {Json::array({"a", "b", "c"}), "invalid length 3, expected fewer elements in array"},
      {5, "invalid type: integer `5`, expected struct LoginRequest"},
      {"abc", "invalid type: string \"abc\", expected struct LoginRequest"},
      {nullptr, "invalid type: null, expected struct LoginRequest"},
      // A wrong value is reported before a missing field.
      {Json{{"password", 5}}, "invalid type: integer `5`, expected a string"},
      // Of two missing fields, the one declared first.
      {Json::object(), "missing field `username`"},
      {Json{{"username", "u"}, {"password", "p"}, {"extra", Json::array({1})}}, ""},
      {Json::array({"u", "p"}), ""},
  };
  for (const Case& c : pair_cases) EXPECT_EQ(read_error<Pair>(c.value), c.error) << c.value.dump();

  const Json good = {{"name", "n"}, {"quantity", 1}, {"sort", 2}, {"active", true}, {"tags", Json::array()}};
  auto with = [&](const char* key, Json v) {
    Json j = good;
    j[key] = std::move(v);
    return j;
  };
  const Case item_cases[] = {
      {good, ""},
      {with("sort", 2.5), "invalid type: floating point `2.5`, expected i32"},
      {with("sort", 7.0), "invalid type: floating point `7.0`, expected i32"},
      {with("sort", 2147483648LL), "invalid value: integer `2147483648`, expected i32"},
      {with("sort", -2147483648LL), ""},
      {with("quantity", "5"), "invalid type: string \"5\", expected f64"},
      {with("active", "true"), "invalid type: string \"true\", expected a boolean"},
      {with("tags", Json::object()), "invalid type: map, expected a sequence"},
      {with("tags", Json::array({1})), "invalid type: integer `1`, expected a string"},
      {with("remark", nullptr), ""},
      {with("remark", 3), "invalid type: integer `3`, expected a string"},
      // Of two wrong values, the one under the smaller key.
      {[&] {
         Json j = with("active", 1);
         j["tags"] = 1;
         return j;
       }(),
       "invalid type: integer `1`, expected a boolean"},
      // An optional field still needs its element in the array form.
      {Json::array({"n", 1, 2}), "invalid length 3, expected struct Item with 6 elements"},
  };
  for (const Case& c : item_cases) EXPECT_EQ(read_error<Item>(c.value), c.error) << c.value.dump();
}

TEST(RecordReader, DefaultsAndRoundTrip) {
  std::string error;
  auto d = read_record<WithDefault>(Json{{"id", "x"}}, error);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->count, 7);
  auto short_array = read_record<WithDefault>(Json::array({"x"}), error);
  ASSERT_TRUE(short_array);
  EXPECT_EQ(short_array->count, 7);

  Item item{"n", 1.5, 3, std::nullopt, true, {"a"}};
  EXPECT_EQ(json::write(to_json_value(item)),
            R"({"active":true,"name":"n","quantity":1.5,"remark":null,"sort":3,"tags":["a"]})");
  item.quantity = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(to_json_value(item)["quantity"].is_null());
}

TEST(RecordReader, RequiredNumber) {
  EXPECT_EQ(read_error<RequiredNumber>(5), "");
  EXPECT_EQ(read_error<RequiredNumber>("5"), "invalid type: string \"5\", expected f64");
  EXPECT_EQ(read_error<RequiredNumber>(nullptr), "invalid type: null, expected f64");
  EXPECT_EQ(read_error<std::vector<std::string>>(nullptr), "invalid type: null, expected a sequence");
}

// Handlers that echo what they were given.
Result<Json> echo_named(std::string text, std::optional<std::string> opt, bool flag, double number,
                        std::string username) {
  return Json{{"text", text}, {"opt", opt ? Json(*opt) : Json(nullptr)}, {"flag", flag}, {"number", number},
              {"user", username}};
}
Result<Pair> echo_record(Pair p, std::string username, std::string real_name) {
  p.password = username + "/" + real_name;
  return p;
}
Result<Unit> nothing() { return Unit{}; }
Result<std::string> refuse(RequiredNumber amount, std::string after) {
  if (amount.value == 100.0) return Error{"权限不足：" + after};
  return std::string("ok");
}

const Command kRows[] = {
    command<echo_named, "text", "opt", "flag", "number">("echo_named"),
    command<echo_record, "request">("echo_record"),
    command<nothing>("nothing"),
    command<refuse, "amount", "after">("refuse"),
};

Result<Json> call(const Command& row, const Json& args) {
  const std::string user = "u", real = "名";
  return row.run(args, Caller{user, real});
}

TEST(Dispatcher, NamedArgumentsNeverFail) {
  for (const Json& args : {Json(nullptr), Json::array({1}), Json("s"), Json::object()}) {
    auto r = call(kRows[0], args);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(json::write(*r), R"({"flag":false,"number":0.0,"opt":null,"text":"","user":"u"})");
  }
  auto mistyped = call(kRows[0], Json{{"text", 1}, {"opt", ""}, {"flag", "true"}, {"number", "12"}});
  EXPECT_EQ(json::write(*mistyped), R"({"flag":false,"number":0.0,"opt":null,"text":"","user":"u"})");
  auto given = call(kRows[0], Json{{"text", "t"}, {"opt", "o"}, {"flag", true}, {"number", 12}});
  EXPECT_EQ(json::write(*given), R"({"flag":true,"number":12.0,"opt":"o","text":"t","user":"u"})");
}

TEST(Dispatcher, RecordsAndResults) {
  auto r = call(kRows[1], Json{{"request", {{"username", "a"}, {"password", "b"}}}});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(json::write(*r), R"({"password":"u/名","username":"a"})");
  auto missing = call(kRows[1], Json::object());
  EXPECT_EQ(missing.error(), "invalid type: null, expected struct LoginRequest");
  EXPECT_TRUE(call(kRows[2], nullptr)->is_null());
  EXPECT_EQ(call(kRows[3], Json{{"amount", "100"}}).error(), "invalid type: string \"100\", expected f64");
  EXPECT_EQ(call(kRows[3], Json{{"amount", 100}, {"after", "x"}}).error(), "权限不足：x");
  EXPECT_EQ(*call(kRows[3], Json{{"amount", 1.5}}), "ok");
}

TEST(Dispatcher, BuiltInNames) {
  struct Case {
    std::string cmd;
    std::string error;  // empty: success
  };
  const Case cases[] = {
      {"ping", ""},
      {"Ping", "Unknown command: Ping"},
      {" ping", "Unknown command:  ping"},
      {"ping ", "Unknown command: ping "},
      {"", "Unknown command: "},
      {"restore_database_from", "此操作仅在单机版可用"},
      {"restart_app", "此操作仅在单机版可用"},
      {"generate_billing_pdf", "此操作仅在单机版可用"},
  };
  for (const Case& c : cases) {
    auto r = dispatch_command(c.cmd, nullptr, "u", "r");
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(json::write(*r), R"({"ok":true})");
    } else {
      EXPECT_EQ(r.error(), c.error);
    }
    EXPECT_TRUE(answers_at_once(c.cmd));
  }
}

TEST(Dispatcher, TableHasOneRowPerName) {
  std::set<std::string_view> names;
  for (const Command& c : command_table()) {
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
    EXPECT_FALSE(answers_at_once(c.name)) << c.name;
  }
}

}  // namespace
