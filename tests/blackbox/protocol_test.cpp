// The HTTP protocol of the real executable: routes, refusals, the envelope,
// built-in commands and the cross-origin layer.
#include <gtest/gtest.h>

#include "blackbox/server_process.h"

namespace {

using blackbox::HttpClient;
using blackbox::ServerProcess;

class Protocol : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new ServerProcess(); }
  static void TearDownTestSuite() { delete server; }
  static ServerProcess* server;
};
ServerProcess* Protocol::server = nullptr;

TEST_F(Protocol, Routes) {
  struct Case {
    std::string method, target;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {"POST", "/ping", 200, R"({"ok":true})"},
      {"GET", "/ping", 405, ""},
      {"GET", "/rpc", 405, ""},
      {"POST", "/events", 405, ""},
      {"POST", "/nowhere", 404, ""},
      {"GET", "/", 404, ""},
  };
  HttpClient client(server->port());
  for (const Case& c : cases) {
    auto reply = client.request(c.method, c.target, "anything", "text/plain");
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target;
    EXPECT_EQ(reply.body, c.body) << c.method << " " << c.target;
    EXPECT_EQ(reply.headers["access-control-allow-origin"], "*");
    EXPECT_EQ(reply.headers["vary"], "origin, access-control-request-method, access-control-request-headers");
  }
  auto ping = client.request("POST", "/ping", "", "");
  EXPECT_EQ(ping.headers["content-type"], "application/json");
}

TEST_F(Protocol, PreflightOnAnyPath) {
  HttpClient client(server->port());
  for (const char* target : {"/rpc", "/events", "/nowhere"}) {
    auto reply = client.request("OPTIONS", target, "", "");
    EXPECT_EQ(reply.status, 200) << target;
    EXPECT_EQ(reply.body, "");
    EXPECT_EQ(reply.headers["access-control-allow-methods"], "POST,GET");
    EXPECT_EQ(reply.headers["access-control-allow-headers"], "*");
    EXPECT_EQ(reply.headers["access-control-allow-origin"], "*");
  }
}

TEST_F(Protocol, Refusals) {
  struct Case {
    std::string content_type, body;
    int status;
    std::string reply;
  };
  const std::string ok_envelope = R"({"cmd":"ping","args":{},"username":"","realName":""})";
  const Case cases[] = {
      {"text/plain", ok_envelope, 415, "Expected request with `Content-Type: application/json`"},
      {"", ok_envelope, 415, "Expected request with `Content-Type: application/json`"},
      {"application/jsonx", ok_envelope, 415, "Expected request with `Content-Type: application/json`"},
      {"application/json", "", 400, "Failed to parse the request body as JSON: EOF while parsing a value at line 1 column 0"},
      {"application/json", "{", 400, "Failed to parse the request body as JSON: EOF while parsing an object at line 1 column 1"},
      {"application/json", R"({"cmd":"ping","args":{},"username":""})", 422,
       "Failed to deserialize the JSON body into the target type: missing field `realName` at line 1 column 38"},
      {"application/json", R"({"cmd":"ping","args":{},"username":null,"realName":""})", 422,
       "Failed to deserialize the JSON body into the target type: username: invalid type: null, expected a string "
       "at line 1 column 39"},
  };
  HttpClient client(server->port());
  for (const Case& c : cases) {
    auto reply = client.request("POST", "/rpc", c.body, c.content_type);
    EXPECT_EQ(reply.status, c.status) << c.content_type << " " << c.body;
    EXPECT_EQ(reply.body, c.reply);
    EXPECT_EQ(reply.headers["content-type"], "text/plain; charset=utf-8");
  }
  // The connection stays usable after a refusal.
  EXPECT_EQ(client.post("/rpc", ok_envelope).body, R"({"ok":true,"data":{"ok":true}})");
}

TEST_F(Protocol, JsonContentTypes) {
  HttpClient client(server->port());
  const std::string envelope = R"(["ping",null,"",""])";
  for (const char* type : {"application/json", "application/json; charset=utf-8", "Application/JSON",
                           "application/vnd.shop+json"}) {
    auto reply = client.request("POST", "/rpc", envelope, type);
    EXPECT_EQ(reply.status, 200) << type;
    EXPECT_EQ(reply.body, R"({"ok":true,"data":{"ok":true}})") << type;
  }
}

TEST_F(Protocol, BodyOverTheLimit) {
  HttpClient client(server->port());
  auto reply = client.request("POST", "/rpc", std::string(3 * 1024 * 1024, ' '), "application/json");
  EXPECT_EQ(reply.status, 413);
  EXPECT_EQ(reply.body, "Failed to buffer the request body: length limit exceeded");
  // Just under the limit is read.
  HttpClient again(server->port());
  std::string body = R"({"cmd":"ping","args":{},"username":"","realName":""})";
  body += std::string(2 * 1024 * 1024 - body.size(), ' ');
  EXPECT_EQ(again.post("/rpc", body).status, 200);
}

TEST_F(Protocol, BuiltInCommands) {
  struct Case {
    std::string cmd, args, reply;
  };
  const Case cases[] = {
      {"ping", "null", R"({"ok":true,"data":{"ok":true}})"},
      {"Ping", "{}", R"({"ok":false,"error":"Unknown command: Ping"})"},
      {"ping ", "{}", R"({"ok":false,"error":"Unknown command: ping "})"},
      {"restore_database_from", R"({"path":"x"})", R"({"ok":false,"error":"此操作仅在单机版可用"})"},
      {"save_product_image", "{}", R"({"ok":false,"error":"此操作仅在单机版可用"})"},
  };
  HttpClient client(server->port());
  for (const Case& c : cases) EXPECT_EQ(client.rpc(c.cmd, c.args), c.reply) << c.cmd;
}

TEST_F(Protocol, ExtraEnvelopeKeysAndTrailingBytes) {
  HttpClient client(server->port());
  auto reply = client.post("/rpc", R"({"token":[1,{"a":2}],"cmd":"ping","args":{},"username":"","realName":""} tail)");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, R"({"ok":true,"data":{"ok":true}})");
}

}  // namespace
