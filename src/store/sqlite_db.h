#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A thin hold on one SQLite connection and its prepared statements: each
// owns its handle and finalises it, and every call gives SQLite's result
// code back rather than throwing.
namespace wuqu::store {

class Statement {
 public:
  Statement() = default;
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return stmt_ != nullptr; }
  // Parameters count from 1, as SQLite counts them. Bytes are bound as a
  // blob, kept exactly as given.
  Statement& Bind(int index, std::int64_t value);
  Statement& BindBytes(int index, std::string_view bytes);
  Statement& BindText(int index, std::string_view text);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  // Ready for new parameters and a new run.
  void Reset();

  std::int64_t Int(int column) const;
  std::string Bytes(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

class Database {
 public:
  Database() = default;
  ~Database();
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens (and, with `create`, makes) the file at the UTF-8 path; the
  // result code, and the connection in *this whatever it is (SQLite hands
  // one out even on failure, for its message).
  int Open(const std::string& path, bool create);
  void Close();
  sqlite3* Handle() const { return db_; }

  // Runs statements that give no rows; the result code of the first that fails.
  int Execute(std::string_view sql);
  // The first column of the first row of `sql`, as a number; nullopt on error.
  std::optional<std::int64_t> QueryInt(std::string_view sql);
  std::string LastError() const;
  int ExtendedErrorCode() const;

 private:
  sqlite3* db_ = nullptr;
};

// Rolls back at the end of its scope unless Commit has succeeded.
class Transaction {
 public:
  // BEGIN IMMEDIATE: the write lock is taken now, not at the first write.
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  bool Began() const { return began_; }
  bool Commit();

 private:
  Database& db_;
  bool began_ = false;
  bool done_ = false;
};

}  // namespace wuqu::store
