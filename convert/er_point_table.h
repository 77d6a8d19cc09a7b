// Station placement table: for station number k (0..4001), the first point
// number of the railway line of the current sheet whose ER reference names
// it. The railway layer fills it, the station layer reads it.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string_view>

#include "sal/tokenizer.h"

namespace quellmark {

class ErPointTable {
 public:
  static constexpr std::int32_t kSize = 4002;

  // Forgets every registration; called at the start of each sheet.
  void Clear() { registered_.reset(); }

  // Registers point n for station k; false (and nothing stored) when k lies
  // outside the table.
  bool Set(std::int32_t k, std::int32_t n) {
    if (k < 0 || k >= kSize) return false;
    points_[static_cast<std::size_t>(k)] = n;
    registered_.set(static_cast<std::size_t>(k));
    return true;
  }

  // The point registered for station k; false when none was registered on
  // this sheet or k lies outside the table.
  bool Get(std::int32_t k, std::int32_t& n) const {
    if (k < 0 || k >= kSize || !registered_.test(static_cast<std::size_t>(k))) return false;
    n = points_[static_cast<std::size_t>(k)];
    return true;
  }

 private:
  std::array<std::int32_t, kSize> points_{};
  std::bitset<kSize> registered_;
};

// The station number a station's id carries from its third character on
// ("EK000012"), and the one a railway line's ER reference carries from its
// eighth character on ("ER28204000012"); 0 when there is nothing there.
inline std::int32_t StationNumberOfId(std::string_view id) {
  return StrToIntOr(id.size() > 2 ? id.substr(2) : std::string_view(), 0);
}
inline std::int32_t StationNumberOfReference(std::string_view erir) {
  return StrToIntOr(erir.size() > 7 ? erir.substr(7) : std::string_view(), 0);
}

}  // namespace quellmark
