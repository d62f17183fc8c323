// Product documents (drawings, manuals, sheets, pictures): the client names a
// file by its path on the server machine; the server reads it and keeps its
// bytes as Base64 text with its name, MIME type and size. read_file_base64
// hands any such file back as Base64 without storing it.
//
// Only regular files of at most 20 MiB are read. read_file_base64 checks no
// permission, so it also refuses the live database, its -wal and -shm files,
// the copy kept during a restore and everything in the backups folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json.h"
#include "record.h"
#include "result.h"

struct SaveDocumentRequest {
  std::string product_id;
  std::string source_path;  // on the server machine
};

template <>
inline const Record<SaveDocumentRequest> record_of<SaveDocumentRequest>{
    "SaveDocumentRequest",
    {field<&SaveDocumentRequest::product_id>("product_id"),
     field<&SaveDocumentRequest::source_path>("source_path")}};

// One product_documents row; file_data is the file's Base64 text.
struct ProductDocument {
  std::string id;
  std::string product_id;
  std::string file_name;
  std::string file_type;
  int64_t file_size = 0;
  std::string file_data;
  std::string created_at;
};

template <>
inline const Record<ProductDocument> record_of<ProductDocument>{
    "ProductDocument",
    {field<&ProductDocument::id>("id"), field<&ProductDocument::product_id>("product_id"),
     field<&ProductDocument::file_name>("file_name"), field<&ProductDocument::file_type>("file_type"),
     field<&ProductDocument::file_size>("file_size"), field<&ProductDocument::file_data>("file_data"),
     field<&ProductDocument::created_at>("created_at")}};

// The largest file either command reads, in bytes.
inline constexpr int64_t kMaxDocumentBytes = 20 * 1024 * 1024;

// Whether the product exists is not looked at.
Result<ProductDocument> save_product_document(const SaveDocumentRequest& request, const std::string& username);
// The product's documents with their data, newest first.
Result<Json> get_product_documents(const std::string& product_id);
Result<std::string> delete_product_document(const std::string& doc_id, const std::string& username);
Result<std::string> read_file_base64(const std::string& source_path);

// The last component of a Windows or POSIX path ("\" and "/" both separate,
// a drive prefix such as "C:" is no component); "unknown" when there is none.
std::string document_file_name(std::string_view path);
// The MIME type chosen by the file name's extension.
std::string_view document_mime_type(std::string_view file_name);
