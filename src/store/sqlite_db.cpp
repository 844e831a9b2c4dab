#include "store/sqlite_db.h"

#include <utility>

namespace wuqu::store {

Statement::Statement(sqlite3* db, std::string_view sql) {
  if (db == nullptr ||
      sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
          SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
  if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::BindBytes(int index, std::string_view bytes) {
  // An empty blob, not NULL, for empty bytes: a non-null pointer.
  if (stmt_ != nullptr) {
    sqlite3_bind_blob64(stmt_, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                        SQLITE_TRANSIENT);
  }
  return *this;
}

Statement& Statement::BindText(int index, std::string_view text) {
  if (stmt_ != nullptr) {
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  }
  return *this;
}

int Statement::Step() {
  return stmt_ == nullptr ? SQLITE_MISUSE : sqlite3_step(stmt_);
}

void Statement::Reset() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::Int(int column) const {
  return stmt_ == nullptr ? 0 : sqlite3_column_int64(stmt_, column);
}

std::string Statement::Bytes(int column) const {
  if (stmt_ == nullptr) return {};
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), size);
}

Database::~Database() {
  Close();
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    Close();
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

int Database::Open(const std::string& path, bool create) {
  Close();
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (db_ != nullptr) sqlite3_extended_result_codes(db_, 1);
  return rc;
}

void Database::Close() {
  // Statements are finalised by their owners first; v2 closes once they are.
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

int Database::Execute(std::string_view sql) {
  if (db_ == nullptr) return SQLITE_MISUSE;
  const std::string text(sql);
  return sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
}

std::optional<std::int64_t> Database::QueryInt(std::string_view sql) {
  Statement statement(db_, sql);
  if (statement.Step() != SQLITE_ROW) return std::nullopt;
  return statement.Int(0);
}

std::string Database::LastError() const {
  return db_ == nullptr ? std::string("no connection") : std::string(sqlite3_errmsg(db_));
}

int Database::ExtendedErrorCode() const {
  return db_ == nullptr ? SQLITE_MISUSE : sqlite3_extended_errcode(db_);
}

Transaction::Transaction(Database& db) : db_(db) {
  began_ = db_.Execute("BEGIN IMMEDIATE") == SQLITE_OK;
}

Transaction::~Transaction() {
  if (began_ && !done_) db_.Execute("ROLLBACK");
}

bool Transaction::Commit() {
  if (!began_ || done_) return false;
  done_ = db_.Execute("COMMIT") == SQLITE_OK;
  return done_;
}

}  // namespace wuqu::store
