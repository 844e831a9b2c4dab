#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// Which bytes of a file are in place and who fetches the rest: the pieces a
// download's connections hold, how an idle connection gets work (a piece
// nobody holds, part of a slow one's, or a duplicate near the end), and the
// byte ranges written so far. Knows nothing of HTTP or files.
namespace wuqu::download {

// Half-open byte ranges [first, end), kept merged and sorted.
class IntervalSet {
 public:
  void Add(std::uint64_t first, std::uint64_t end);
  void Clear() { ranges_.clear(); }
  std::uint64_t Bytes() const;
  bool Covers(std::uint64_t first, std::uint64_t end) const;
  // Bytes from `at` on that are in the set (0 when `at` is not).
  std::uint64_t RunFrom(std::uint64_t at) const;
  // Bytes from `at` on, up to `limit`, that are not in the set.
  std::uint64_t GapFrom(std::uint64_t at, std::uint64_t limit) const;
  // The stretches of [0, size) not in the set, ascending.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Gaps(std::uint64_t size) const;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges() const;

 private:
  std::map<std::uint64_t, std::uint64_t> ranges_;  // first -> end
};

// Names the connection holding a piece; 0 for none.
using HolderId = int;

// A stretch still to fetch, [pos, end). Its owner writes it front to back; a
// thief takes its back part by moving `end` down. Near the end a helper may
// fetch the same bytes, and whichever gets there first moves `pos`. Only its
// plan changes it.
class Piece {
 public:
  std::uint64_t pos() const { return pos_; }
  std::uint64_t end() const { return end_; }
  HolderId owner() const { return owner_; }
  HolderId helper() const { return helper_; }
  // Given back by a connection the server asked to wait: nobody asks for it
  // again before then.
  std::chrono::steady_clock::time_point not_before() const { return not_before_; }
  std::uint64_t Left() const { return end_ > pos_ ? end_ - pos_ : 0; }

 private:
  friend class PiecePlan;
  std::uint64_t pos_ = 0;
  std::uint64_t end_ = 0;
  HolderId owner_ = 0;
  HolderId helper_ = 0;
  std::chrono::steady_clock::time_point not_before_{};
};

// How fast a holder is going: bytes per second over its recent past, and
// whether it has run long enough for that figure to count.
struct Pace {
  double rate = 0;
  bool judged = false;
};

// What an idle connection does when no piece is free.
struct Steal {
  enum class Kind {
    kSplit,      // the victim keeps [pos, cut); the thief takes [cut, end)
    kTakeAll,    // the victim is far below the others: the thief takes all it has left
    kDuplicate,  // too small to split: the thief fetches the same bytes, first one wins
  };
  Kind kind = Kind::kSplit;
  Piece* victim = nullptr;
  std::uint64_t cut = 0;
};

struct StealRules {
  // No piece is ever cut smaller than this.
  std::uint64_t min_segment = 256 * 1024;
  // A holder under typical_rate / slow_fraction is far below the others.
  double slow_fraction = 10;
  // A piece too small to split is duplicated when its holder would need
  // more than twice as long as a fresh connection plus this many seconds.
  double duplicate_margin_seconds = 0.5;
};

class PiecePlan {
 public:
  // A file of `size` bytes of which `done` is in place; the rest becomes
  // pieces nobody holds yet.
  void Reset(std::uint64_t size, std::vector<std::pair<std::uint64_t, std::uint64_t>> done = {});
  std::uint64_t size() const { return size_; }
  // The bytes in place.
  const IntervalSet& done() const { return done_; }
  bool Complete() const { return done_.Covers(0, size_); }
  const std::vector<std::unique_ptr<Piece>>& pieces() const { return pieces_; }

  // Bytes [first, end) are in place.
  void AddDone(std::uint64_t first, std::uint64_t end) { done_.Add(first, end); }
  // A new piece [pos, end) that nobody holds.
  Piece* Add(std::uint64_t pos, std::uint64_t end);
  // Every piece goes; the bytes in place stay.
  void Clear() { pieces_.clear(); }
  // Pieces with nothing left and nobody holding them go; when no piece is
  // left but bytes are still missing, the gaps become pieces again.
  void Tidy();

  // ---- what a holder (a connection) does with pieces ----

  // `holder` takes the free piece with the most bytes left that may be asked
  // for at `now` (LargestFree); null when there is none.
  Piece* CheckOut(HolderId holder, std::chrono::steady_clock::time_point now);
  // `holder` takes `piece`, which nobody holds.
  void Hold(Piece& piece, HolderId holder);
  // `holder` lets go of `piece`; a helper that fetched the same bytes becomes
  // their owner.
  void Release(Piece& piece, HolderId holder);
  // `holder` has fetched all of `piece`: the piece goes, and the other
  // holder of it (a duplicate's, to be stopped) is returned, 0 for none.
  HolderId Finish(Piece& piece, HolderId holder);
  // `holder` has fetched all of `piece` and its reply goes on into `next`,
  // which nobody holds.
  void RunOn(Piece& piece, Piece& next, HolderId holder);
  // Nobody holds any piece any more (every transfer stopped).
  void ReleaseAll();
  // The bytes of `piece` before `at` are fetched: it begins at `at` (never
  // past its end).
  void Advance(Piece& piece, std::uint64_t at);
  // Its holder reads `piece` from `at`, inside it: the stretch before `at`
  // becomes a piece of its own that nobody holds.
  void SkipTo(Piece& piece, std::uint64_t at);
  // Its holder reads `piece` from `at` when that is before its start (to
  // compare the bytes in place before it).
  void ReachBack(Piece& piece, std::uint64_t at);
  // Nobody asks for `piece` again before `until`.
  void Defer(Piece& piece, std::chrono::steady_clock::time_point until);

  // The free piece with the most bytes left that may be asked for at `now`, or
  // null; of equal ones the last in the file, so that the piece after one
  // being read stays free the longest for its reader to run on into.
  Piece* LargestFree(std::chrono::steady_clock::time_point now =
                         std::chrono::steady_clock::time_point::max());
  // The free piece that begins at `pos` with bytes left, or null.
  Piece* FreeAt(std::uint64_t pos);
  // Cuts what is left of `piece` into `parts` about equal pieces; the owner
  // keeps the first, the others are free.
  void SplitEven(Piece& piece, std::uint64_t parts);

  // The best use of one idle connection: the piece whose holder needs the
  // longest to finish loses part or all of it, or, near the end, gets a
  // duplicate. `typical_rate` is what a connection of this download usually
  // reaches (0 while unknown).
  std::optional<Steal> ChooseSteal(const std::function<Pace(HolderId)>& pace_of,
                                   double typical_rate, const StealRules& rules);
  // Carries out `steal` for `thief`; returns the piece the thief now holds.
  Piece* Apply(const Steal& steal, HolderId thief);

 private:
  std::uint64_t size_ = 0;
  void Remove(const Piece* piece);

  IntervalSet done_;
  std::vector<std::unique_ptr<Piece>> pieces_;
};

// The median of `rates` (0 for none).
double MedianRate(std::vector<double> rates);

}  // namespace wuqu::download
