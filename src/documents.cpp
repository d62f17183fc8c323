// Reading a file of the server machine (regular files only, size checked
// before a byte is read), the Base64 encoder, and the four document commands.
// The document commands run each statement on their own on the shared
// connection; get_product_documents answers with the engine's own texts, the
// others map them through friendly_error.
#include "documents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "database.h"
#include "permissions.h"

namespace {

constexpr std::string_view kTooLarge = "文件大小超过20MB限制";

std::string read_failure(std::string_view why) { return "读取文件失败: " + std::string(why); }
std::string os_failure(int err) { return read_failure(std::generic_category().message(err)); }

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { if (fd_ >= 0) ::close(fd_); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The database files in the working directory and everything in backups/:
// the same file by any path (link, "..", another spelling) is refused.
bool is_database_file(const struct stat& file) {
  auto same = [&](const std::filesystem::path& p) {
    struct stat other {};
    return ::stat(p.c_str(), &other) == 0 && other.st_dev == file.st_dev && other.st_ino == file.st_ino;
  };
  const std::string live = db::kDatabaseFile;
  for (const std::string& name : {live, live + "-wal", live + "-shm", std::string("inventory_before_restore.db")}) {
    if (same(name)) return true;
  }
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it("backups", ec), end; !ec && it != end; it.increment(ec)) {
    if (same(it->path())) return true;
  }
  return false;
}

enum class Guard { AnyFile, NotDatabase };

// The whole of a regular file of at most kMaxDocumentBytes.
Result<std::string> read_whole_file(const std::string& path, Guard guard) {
  if (path.find('\0') != std::string::npos) return fail(os_failure(EINVAL));
  // Refuse a FIFO or device before opening it: opening one may block or act.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail(os_failure(errno));
  if (!S_ISREG(st.st_mode)) return fail(read_failure("不是普通文件"));
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return fail(os_failure(errno));
  // What was opened is what counts (the path may have changed meanwhile).
  if (::fstat(fd.get(), &st) != 0) return fail(os_failure(errno));
  if (!S_ISREG(st.st_mode)) return fail(read_failure("不是普通文件"));
  if (guard == Guard::NotDatabase && is_database_file(st)) return fail(read_failure("不允许读取数据库或备份文件"));
  if (st.st_size > kMaxDocumentBytes) return fail(std::string(kTooLarge));

  // Never more than the size seen: a file that grows meanwhile is cut there.
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(os_failure(errno));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// Standard alphabet, padded with "=", no line breaks.
std::string base64(std::string_view in) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(in[i])); };
  size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const uint32_t n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += {kAlphabet[n >> 18], kAlphabet[n >> 12 & 63], kAlphabet[n >> 6 & 63], kAlphabet[n & 63]};
  }
  if (const size_t rest = in.size() - i; rest > 0) {
    const uint32_t n = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += {kAlphabet[n >> 18], kAlphabet[n >> 12 & 63], rest == 2 ? kAlphabet[n >> 6 & 63] : '=', '='};
  }
  return out;
}

constexpr std::pair<std::string_view, std::string_view> kMimeTypes[] = {
    {"pdf", "application/pdf"},
    {"doc", "application/msword"},
    {"docx", "application/msword"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.ms-excel"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.ms-powerpoint"},
    {"dwg", "application/acad"},
    {"dxf", "application/acad"},
    {"txt", "text/plain"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
};

constexpr db::Column kDocumentColumns[] = {
    {"id", db::ColumnKind::Text},         {"product_id", db::ColumnKind::Text},
    {"file_name", db::ColumnKind::Text},  {"file_type", db::ColumnKind::Text},
    {"file_size", db::ColumnKind::Integer}, {"file_data", db::ColumnKind::Text},
    {"created_at", db::ColumnKind::Text},
};

}  // namespace

std::string document_file_name(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
    path.remove_prefix(2);
  }
  // The last component that is neither empty nor ".".
  std::string_view last;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") last = part;
    start = end + 1;
  }
  if (last.empty() || last == "..") return "unknown";
  return std::string(last);
}

std::string_view document_mime_type(std::string_view file_name) {
  const size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return "application/octet-stream";
  std::string ext(file_name.substr(dot + 1));
  for (char& ch : ext) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  for (const auto& [extension, type] : kMimeTypes) {
    if (extension == ext) return type;
  }
  return "application/octet-stream";
}

Result<ProductDocument> save_product_document(const SaveDocumentRequest& request, const std::string& username) {
  if (!check_permission(username, "products_edit")) return fail("权限不足：没有保存商品附件的权限");
  return db::with_connection<ProductDocument>(
      db::kFriendlyTexts, [&](db::Connection& c) -> Result<ProductDocument> {
        auto bytes = read_whole_file(request.source_path, Guard::AnyFile);
        if (!bytes) return bytes.take_error();
        ProductDocument d;
        d.id = db::new_record_id();
        d.product_id = request.product_id;
        d.file_name = document_file_name(request.source_path);
        d.file_type = document_mime_type(d.file_name);
        d.file_size = static_cast<int64_t>(bytes->size());
        d.file_data = base64(*bytes);
        d.created_at = db::local_timestamp();
        c.execute(
            "INSERT INTO product_documents (id, product_id, file_name, file_type, file_size, file_data, "
            "created_at) \n         VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
            d.id, d.product_id, d.file_name, d.file_type, d.file_size, d.file_data, d.created_at);
        return d;
      });
}

Result<Json> get_product_documents(const std::string& product_id) {
  return db::with_connection<Json>(db::kPlainTexts, [&](db::Connection& c) -> Result<Json> {
    return db::read_rows(c,
                         "SELECT id, product_id, file_name, file_type, file_size, file_data, created_at \n"
                         "         FROM product_documents WHERE product_id=?1 ORDER BY created_at DESC",
                         kDocumentColumns, db::Strictness::Strict, product_id);
  });
}

Result<std::string> delete_product_document(const std::string& doc_id, const std::string& username) {
  if (!check_permission(username, "products_edit")) return fail("权限不足：没有删除商品附件的权限");
  return db::with_connection<std::string>(db::kFriendlyTexts, [&](db::Connection& c) -> Result<std::string> {
    c.execute("DELETE FROM product_documents WHERE id=?1", doc_id);
    return std::string("删除成功");
  });
}

Result<std::string> read_file_base64(const std::string& source_path) {
  auto bytes = read_whole_file(source_path, Guard::NotDatabase);
  if (!bytes) return bytes.take_error();
  return base64(*bytes);
}
