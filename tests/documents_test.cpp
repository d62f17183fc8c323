// Product documents and read_file_base64: which files are read (regular
// files up to the size limit, never the database or its backups through
// read_file_base64), the Base64 text, file names and MIME types, the stored
// and listed rows with their reader, deleting, and the permission check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "documents.h"
#include "server.h"
#include "support/test_db.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kLimit = 20 * 1024 * 1024;

class DocumentsTest : public testing_support::CommandTest {
 protected:
  static void write_file(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  // A file of `size` zero bytes, without writing them.
  static void sized_file(const fs::path& path, int64_t size) {
    write_file(path, "");
    fs::resize_file(path, static_cast<uintmax_t>(size));
  }
  static Result<Json> save(const std::string& product, const std::string& path, const std::string& user = "admin") {
    return call("save_product_document", {{"request", {{"product_id", product}, {"source_path", path}}}}, user);
  }
  static Result<Json> read(const std::string& path) { return call("read_file_base64", {{"sourcePath", path}}); }
};

TEST_F(DocumentsTest, SaveStoresTheFileAsBase64AndListsIt) {
  write_file("docs/manual.pdf", "hello");
  auto saved = save("no-such-product", "docs/manual.pdf");  // the product is not looked at
  ASSERT_TRUE(saved.ok()) << saved.error();
  const std::string id = (*saved)["id"], created = (*saved)["created_at"];
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(json::write(*saved), R"({"created_at":")" + created +
                                     R"(","file_data":"aGVsbG8=","file_name":"manual.pdf","file_size":5,)"
                                     R"("file_type":"application/pdf","id":")" +
                                     id + R"(","product_id":"no-such-product"})");
  EXPECT_EQ(json::write(ok("get_product_documents", {{"productId", "no-such-product"}})),
            "[" + json::write(*saved) + "]");
  EXPECT_EQ(scalar("SELECT typeof(file_size) FROM product_documents"), "integer");

  // No log entry, no change event.
  EXPECT_EQ(log_entries(), Json::array());
  for (const char* cmd : {"save_product_document", "get_product_documents", "delete_product_document",
                          "read_file_base64"}) {
    EXPECT_FALSE(is_write_command(cmd)) << cmd;
  }
}

TEST_F(DocumentsTest, SaveReadsTheRequestByTheRecordRules) {
  write_file("a.txt", "a");
  EXPECT_EQ(ok("save_product_document", {{"request", {"p1", "a.txt"}}})["file_type"], "text/plain");
  EXPECT_EQ(error("save_product_document", {{"request", {"p1"}}}),
            "invalid length 1, expected struct SaveDocumentRequest with 2 elements");
  EXPECT_EQ(error("save_product_document", Json::object()), "invalid type: null, expected struct SaveDocumentRequest");
  EXPECT_EQ(error("save_product_document", {{"request", {{"product_id", "p1"}}}}), "missing field `source_path`");
  EXPECT_EQ(count_rows("product_documents"), 1);
}

TEST_F(DocumentsTest, FileNameAndTypeFromThePath) {
  struct Case {
    std::string path, name, type;
  };
  const std::vector<Case> cases = {
      {R"(D:\docs\Plan.PDF)", "Plan.PDF", "application/pdf"},
      {"a/b/photo.jpeg", "photo.jpeg", "image/jpeg"},
      {R"(C:report.DocX)", "report.DocX", "application/msword"},
      {R"(x\y/sheet.xlsx\)", "sheet.xlsx", "application/vnd.ms-excel"},
      {"slides.ppt/.", "slides.ppt", "application/vnd.ms-powerpoint"},
      {"plan.dxf", "plan.dxf", "application/acad"},
      {"p.PNG", "p.PNG", "image/png"},
      {"backup.tar.gz", "backup.tar.gz", "application/octet-stream"},
      {"README", "README", "application/octet-stream"},
      {"notes.", "notes.", "application/octet-stream"},
      {".pdf", ".pdf", "application/octet-stream"},
      {"..pdf", "..pdf", "application/pdf"},
      {"/", "unknown", "application/octet-stream"},
      {R"(C:\)", "unknown", "application/octet-stream"},
      {"a/..", "unknown", "application/octet-stream"},
      {"", "unknown", "application/octet-stream"},
  };
  for (const Case& c : cases) {
    const std::string name = document_file_name(c.path);
    EXPECT_EQ(name, c.name) << c.path;
    EXPECT_EQ(document_mime_type(name), c.type) << c.path;
  }
}

TEST_F(DocumentsTest, Base64OfTheWholeFile) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {std::string("\xfb\xff\xbf\x00", 4), "+/+/AA=="},
  };
  for (const auto& [bytes, text] : cases) {
    write_file("f.bin", bytes);
    auto r = read("f.bin");
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(*r, text);
  }
  // An empty file is stored with size 0 and empty data.
  Json saved = ok("save_product_document", {{"request", {"p1", "f.bin"}}});
  EXPECT_EQ(saved["file_size"], 4);
  write_file("empty.txt", "");
  saved = ok("save_product_document", {{"request", {"p1", "empty.txt"}}});
  EXPECT_EQ(saved["file_size"], 0);
  EXPECT_EQ(saved["file_data"], "");
}

TEST_F(DocumentsTest, SizeLimitOfBothCommands) {
  sized_file("at_limit.bin", kLimit);
  sized_file("over_limit.bin", kLimit + 1);

  EXPECT_EQ(error("save_product_document", {{"request", {"p1", "over_limit.bin"}}}), "文件大小超过20MB限制");
  EXPECT_EQ(error("read_file_base64", {{"sourcePath", "over_limit.bin"}}), "文件大小超过20MB限制");
  EXPECT_EQ(count_rows("product_documents"), 0);

  Json saved = ok("save_product_document", {{"request", {"p1", "at_limit.bin"}}});
  EXPECT_EQ(saved["file_size"], kLimit);
  EXPECT_EQ(saved["file_data"].get<std::string>().size(), static_cast<size_t>(kLimit / 3 * 4 + 4));
  EXPECT_EQ(scalar("SELECT file_size FROM product_documents"), kLimit);
  auto read_back = read("at_limit.bin");
  ASSERT_TRUE(read_back.ok()) << read_back.error();
  EXPECT_EQ(*read_back, saved["file_data"]);
}

TEST_F(DocumentsTest, OnlyRegularFilesAreRead) {
  fs::create_directories("folder");
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);  // opening it for reading would wait for a writer
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"missing.pdf", "读取文件失败: No such file or directory"},
      {"", "读取文件失败: No such file or directory"},
      {"folder", "读取文件失败: 不是普通文件"},
      {"pipe", "读取文件失败: 不是普通文件"},
      {"/dev/null", "读取文件失败: 不是普通文件"},
      {std::string("inventory.db\0.txt", 17), "读取文件失败: Invalid argument"},
  };
  for (const auto& [path, text] : cases) {
    EXPECT_EQ(error("save_product_document", {{"request", {"p1", path}}}), text) << path;
    EXPECT_EQ(error("read_file_base64", {{"sourcePath", path}}), text) << path;
  }
  EXPECT_EQ(count_rows("product_documents"), 0);
}

TEST_F(DocumentsTest, ReadFileRefusesTheDatabaseAndItsBackups) {
  write_file("inventory_before_restore.db", "old");
  write_file("backups/inventory_backup_20240101_120000.db", "copy");
  write_file("backups/nested/auto_backup_20240101_120000.db", "copy");
  write_file("inventory.db-wal.txt", "not the database");
  fs::create_symlink(fs::absolute("inventory.db"), "link.db");
  fs::create_hard_link("backups/inventory_backup_20240101_120000.db", "hard.db");
  fs::create_directories("sub");

  // The engine's -wal and -shm files, made here when it has not opened them yet.
  for (const char* name : {"inventory.db-wal", "inventory.db-shm"}) {
    if (!fs::exists(name)) write_file(name, "");
  }
  const std::vector<std::string> refused = {"inventory.db",
                                      "inventory.db-wal",
                                      "inventory.db-shm",
                                      "./inventory.db",
                                      "sub/../inventory.db",
                                      fs::absolute("inventory.db").string(),
                                      "inventory_before_restore.db",
                                      "backups/inventory_backup_20240101_120000.db",
                                      "backups/nested/auto_backup_20240101_120000.db",
                                      "link.db",
                                      "hard.db"};
  for (const std::string& path : refused) {
    EXPECT_EQ(error("read_file_base64", {{"sourcePath", path}}), "读取文件失败: 不允许读取数据库或备份文件") << path;
  }
  auto neighbour = read("inventory.db-wal.txt");
  ASSERT_TRUE(neighbour.ok()) << neighbour.error();
  EXPECT_EQ(*neighbour, "bm90IHRoZSBkYXRhYmFzZQ==");
}

TEST_F(DocumentsTest, ListingIsNewestFirstForTheOneProduct) {
  const std::string insert =
      "INSERT INTO product_documents (id, product_id, file_name, file_type, file_size, file_data, created_at) "
      "VALUES ";
  exec(insert + "('d1', 'p1', 'old.txt', 'text/plain', 1, 'YQ==', '2024-01-01 10:00:00')");
  exec(insert + "('d2', 'p1', 'new.txt', 'text/plain', 1, 'Yg==', '2024-03-01 10:00:00')");
  exec(insert + "('d3', 'p2', 'other.txt', 'text/plain', 1, 'Yw==', '2024-02-01 10:00:00')");
  Json listed = ok("get_product_documents", {{"productId", "p1"}});
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["id"], "d2");
  EXPECT_EQ(listed[1]["id"], "d1");
  EXPECT_EQ(ok("get_product_documents", Json::object()), Json::array());
}

TEST_F(DocumentsTest, ListingFailsOnAMistypedColumnWithTheEngineText) {
  const std::string insert =
      "INSERT INTO product_documents (id, product_id, file_name, file_type, file_size, file_data, created_at) "
      "VALUES ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"(NULL, 'p1', 'a', 't', 1, 'YQ==', 'c')", "Invalid column type Null at index: 0, name: id"},
      {"('d1', 'p1', 'a', NULL, 1, 'YQ==', 'c')", "Invalid column type Null at index: 3, name: file_type"},
      {"('d1', 'p1', 'a', 't', NULL, 'YQ==', 'c')", "Invalid column type Null at index: 4, name: file_size"},
      {"('d1', 'p1', 'a', 't', 'big', 'YQ==', 'c')", "Invalid column type Text at index: 4, name: file_size"},
      {"('d1', 'p1', 'a', 't', 1, X'00', 'c')", "Invalid column type Blob at index: 5, name: file_data"},
      {"('d1', 'p1', 'a', 't', 1, 'YQ==', NULL)", "Invalid column type Null at index: 6, name: created_at"},
  };
  for (const auto& [values, text] : cases) {
    exec("DELETE FROM product_documents");
    exec(insert + values);
    EXPECT_EQ(error("get_product_documents", {{"productId", "p1"}}), text) << values;
  }
}

TEST_F(DocumentsTest, DeleteRemovesTheDocument) {
  write_file("a.txt", "a");
  const std::string id = ok("save_product_document", {{"request", {"p1", "a.txt"}}})["id"];
  ok("save_product_document", {{"request", {"p1", "a.txt"}}});
  EXPECT_EQ(ok("delete_product_document", {{"docId", id}}), "删除成功");
  EXPECT_EQ(ok("delete_product_document", {{"docId", "no-such-id"}}), "删除成功");
  EXPECT_EQ(count_rows("product_documents"), 1);
  EXPECT_EQ(log_entries(), Json::array());
}

TEST_F(DocumentsTest, WritesNeedTheEditKeyAndReadingNone) {
  write_file("a.txt", "a");
  const std::string id = ok("save_product_document", {{"request", {"p1", "a.txt"}}})["id"];
  auto denied = save("p1", "a.txt", "nobody");
  ASSERT_FALSE(denied.ok());
  EXPECT_EQ(denied.error(), "权限不足：没有保存商品附件的权限");
  EXPECT_EQ(error("delete_product_document", {{"docId", id}}, "nobody"), "权限不足：没有删除商品附件的权限");
  EXPECT_EQ(count_rows("product_documents"), 1);

  auto r = call("read_file_base64", {{"sourcePath", "a.txt"}}, "nobody");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, "YQ==");
  EXPECT_EQ(call("get_product_documents", {{"productId", "p1"}}, "nobody")->size(), 1u);
}

TEST_F(DocumentsTest, BrokenConnectionTexts) {
  write_file("a.txt", "a");
  poison_connection();
  EXPECT_EQ(error("get_product_documents", {{"productId", "p1"}}), "poisoned lock: another task failed inside");
  EXPECT_EQ(error("save_product_document", {{"request", {"p1", "a.txt"}}}), "权限不足：没有保存商品附件的权限");
  testing_support::reset_shared_connection();
  EXPECT_EQ(error("get_product_documents", {{"productId", "p1"}}), "Database not initialized");
  // read_file_base64 needs no database.
  auto r = read("a.txt");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, "YQ==");
}

}  // namespace
