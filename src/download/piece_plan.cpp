#include "download/piece_plan.h"

#include <algorithm>
#include <limits>

namespace wuqu::download {

void IntervalSet::Add(std::uint64_t first, std::uint64_t end) {
  if (first >= end) return;
  auto it = ranges_.upper_bound(first);
  if (it != ranges_.begin()) {
    auto before = std::prev(it);
    if (before->second >= first) {
      first = before->first;
      end = std::max(end, before->second);
      it = ranges_.erase(before);
    }
  }
  while (it != ranges_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = ranges_.erase(it);
  }
  ranges_.emplace(first, end);
}

std::uint64_t IntervalSet::Bytes() const {
  std::uint64_t n = 0;
  for (const auto& [first, end] : ranges_) n += end - first;
  return n;
}

bool IntervalSet::Covers(std::uint64_t first, std::uint64_t end) const {
  if (first >= end) return true;
  return RunFrom(first) >= end - first;
}

std::uint64_t IntervalSet::RunFrom(std::uint64_t at) const {
  auto it = ranges_.upper_bound(at);
  if (it == ranges_.begin()) return 0;
  --it;
  return it->second > at ? it->second - at : 0;
}

std::uint64_t IntervalSet::GapFrom(std::uint64_t at, std::uint64_t limit) const {
  if (at >= limit || RunFrom(at) > 0) return 0;
  const auto next = ranges_.upper_bound(at);
  const std::uint64_t stop = next == ranges_.end() ? limit : std::min(limit, next->first);
  return stop - at;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> IntervalSet::Gaps(std::uint64_t size) const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps;
  std::uint64_t pos = 0;
  for (const auto& [first, end] : ranges_) {
    if (first >= size) break;
    if (first > pos) gaps.emplace_back(pos, first);
    pos = std::max(pos, end);
  }
  if (pos < size) gaps.emplace_back(pos, size);
  return gaps;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> IntervalSet::Ranges() const {
  return {ranges_.begin(), ranges_.end()};
}

void PiecePlan::Reset(std::uint64_t size,
                      std::vector<std::pair<std::uint64_t, std::uint64_t>> done) {
  size_ = size;
  done_.Clear();
  for (const auto& [first, end] : done) done_.Add(first, std::min(end, size));
  pieces_.clear();
  for (const auto& [first, end] : done_.Gaps(size)) Add(first, end);
}

Piece* PiecePlan::Add(std::uint64_t pos, std::uint64_t end) {
  auto piece = std::make_unique<Piece>();
  piece->pos_ = pos;
  piece->end_ = end;
  pieces_.push_back(std::move(piece));
  return pieces_.back().get();
}

void PiecePlan::Remove(const Piece* piece) {
  std::erase_if(pieces_, [&](const auto& p) { return p.get() == piece; });
}

void PiecePlan::Tidy() {
  std::erase_if(pieces_, [](const auto& p) {
    return p->Left() == 0 && p->owner_ == 0 && p->helper_ == 0;
  });
  if (pieces_.empty())
    for (const auto& [first, end] : done_.Gaps(size_)) Add(first, end);
}

Piece* PiecePlan::LargestFree(std::chrono::steady_clock::time_point now) {
  Piece* best = nullptr;
  for (auto& p : pieces_)
    if (p->owner_ == 0 && p->helper_ == 0 && p->Left() > 0 && p->not_before_ <= now &&
        (!best || p->Left() > best->Left() ||
         (p->Left() == best->Left() && p->pos_ > best->pos_)))
      best = p.get();
  return best;
}

Piece* PiecePlan::CheckOut(HolderId holder, std::chrono::steady_clock::time_point now) {
  Piece* piece = LargestFree(now);
  if (piece != nullptr) piece->owner_ = holder;
  return piece;
}

void PiecePlan::Hold(Piece& piece, HolderId holder) {
  piece.owner_ = holder;
}

void PiecePlan::Release(Piece& piece, HolderId holder) {
  if (piece.owner_ == holder) {
    piece.owner_ = piece.helper_;
    piece.helper_ = 0;
  } else if (piece.helper_ == holder) {
    piece.helper_ = 0;
  }
}

HolderId PiecePlan::Finish(Piece& piece, HolderId holder) {
  const HolderId other = piece.owner_ == holder ? piece.helper_ : piece.owner_;
  Remove(&piece);
  return other;
}

void PiecePlan::RunOn(Piece& piece, Piece& next, HolderId holder) {
  Release(piece, holder);  // nothing left and nobody holding it: tidied away
  next.owner_ = holder;
}

void PiecePlan::ReleaseAll() {
  for (auto& p : pieces_) p->owner_ = p->helper_ = 0;
}

void PiecePlan::Advance(Piece& piece, std::uint64_t at) {
  if (at > piece.pos_) piece.pos_ = std::min(at, piece.end_);
}

void PiecePlan::SkipTo(Piece& piece, std::uint64_t at) {
  if (at <= piece.pos_ || at >= piece.end_) return;
  Add(piece.pos_, at);
  piece.pos_ = at;
}

void PiecePlan::ReachBack(Piece& piece, std::uint64_t at) {
  piece.pos_ = std::min(piece.pos_, at);
}

void PiecePlan::Defer(Piece& piece, std::chrono::steady_clock::time_point until) {
  piece.not_before_ = until;
}

Piece* PiecePlan::FreeAt(std::uint64_t pos) {
  for (auto& p : pieces_)
    if (p->owner_ == 0 && p->helper_ == 0 && p->pos_ == pos && p->Left() > 0) return p.get();
  return nullptr;
}

void PiecePlan::SplitEven(Piece& piece, std::uint64_t parts) {
  if (parts < 2) return;
  const std::uint64_t base = piece.pos_;
  const std::uint64_t end = piece.end_;
  const std::uint64_t left = end - base;
  piece.end_ = base + left / parts;
  for (std::uint64_t i = 1; i < parts; ++i)
    Add(base + left * i / parts, i + 1 == parts ? end : base + left * (i + 1) / parts);
}

std::optional<Steal> PiecePlan::ChooseSteal(const std::function<Pace(HolderId)>& pace_of,
                                            double typical_rate, const StealRules& rules) {
  constexpr double kForever = std::numeric_limits<double>::infinity();
  struct Candidate {
    Piece* piece;
    Pace pace;
    double seconds;  // what its holder still needs, by its own pace
  };
  std::vector<Candidate> candidates;
  for (auto& p : pieces_) {
    if (p->owner_ == 0 || p->helper_ != 0 || p->Left() == 0) continue;
    const Pace pace = pace_of(p->owner_);
    double seconds = static_cast<double>(p->Left());  // by bytes while no pace is known
    if (typical_rate > 0) {
      const double rate = pace.judged ? pace.rate : typical_rate;
      seconds = rate > 0 ? static_cast<double>(p->Left()) / rate : kForever;
    }
    candidates.push_back({p.get(), pace, seconds});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.seconds > b.seconds; });
  const std::uint64_t min_segment = std::max<std::uint64_t>(rules.min_segment, 1);
  for (const Candidate& c : candidates) {
    Piece& p = *c.piece;
    const std::uint64_t left = p.Left();
    const bool known = c.pace.judged && typical_rate > 0;
    if (known && c.pace.rate * rules.slow_fraction < typical_rate)
      return Steal{Steal::Kind::kTakeAll, &p, p.pos_};
    if (left >= 2 * min_segment) {
      // Shared so that both should end about together.
      double keep_share = 0.5;
      if (known) keep_share = c.pace.rate / (c.pace.rate + typical_rate);
      auto keep = static_cast<std::uint64_t>(static_cast<double>(left) * keep_share);
      keep = std::clamp(keep, min_segment, left - min_segment);
      return Steal{Steal::Kind::kSplit, &p, p.pos_ + keep};
    }
    if (known) {
      const double fresh = static_cast<double>(left) / typical_rate + rules.duplicate_margin_seconds;
      if (c.seconds > 2 * fresh) return Steal{Steal::Kind::kDuplicate, &p, p.pos_};
    }
  }
  return std::nullopt;
}

Piece* PiecePlan::Apply(const Steal& steal, HolderId thief) {
  Piece& victim = *steal.victim;
  if (steal.kind == Steal::Kind::kDuplicate) {
    victim.helper_ = thief;
    return &victim;
  }
  Piece* taken = Add(steal.cut, victim.end_);
  victim.end_ = steal.cut;
  taken->owner_ = thief;
  return taken;
}

double MedianRate(std::vector<double> rates) {
  if (rates.empty()) return 0;
  const auto mid = rates.begin() + static_cast<std::ptrdiff_t>(rates.size() / 2);
  std::nth_element(rates.begin(), mid, rates.end());
  return *mid;
}

}  // namespace wuqu::download
