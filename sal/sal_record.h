// The record parser: one SAL line in, one SalRecord, the feature name and the
// point list out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "sal/cp932.h"

namespace quellmark {

class Reporter;

// A string of at most N bytes, stored in place. Assigning a longer value keeps
// its first N bytes, never half a double-byte character.
template <std::size_t N>
class FixedText {
 public:
  static constexpr std::size_t kWidth = N;

  void assign(std::string_view value) {
    size_ = static_cast<std::uint8_t>(Cp932PrefixLength(value, N));
    std::memcpy(data_, value.data(), size_);
  }
  void clear() { size_ = 0; }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  std::string_view view() const { return std::string_view(data_, size_); }
  operator std::string_view() const { return view(); }
  bool operator==(std::string_view other) const { return view() == other; }

 private:
  char data_[N];
  std::uint8_t size_ = 0;
};

struct SalRecord {
  FixedText<8> id, ptid, cvid, egid, ndid, pdid, dhid;
  FixedText<14> bdir1, bdir2, gmir, hrir, dtir, ktir, ndir, knir, kair, trir, erir, yrir, dhir,
      khir, thir, ttir, dyir;
  FixedText<2> jt, sb, fi, yu, sr;
  FixedText<9> hk;
  FixedText<60> js;
  std::int16_t kb = 0;
  FixedText<8> pd;

  void Clear();
};

// Parses one SAL line. `feature_name` and `point_list` are replaced only when
// the line holds an "NM" value or a point list; otherwise they keep what the
// caller passed in. Tokens the parser cannot place are reported as
// "non " + token through `reporter`, and parsing goes on.
void ParseSalLine(std::string_view line, std::string& feature_name, std::string& point_list,
                  SalRecord& record, const Reporter& reporter);

// The record's string fields by name, for the export schemas.
enum class RecordField : std::uint8_t {
  kId,
  kPtid,
  kCvid,
  kEgid,
  kNdid,
  kPdid,
  kDhid,
  kBdir1,
  kBdir2,
  kGmir,
  kHrir,
  kDtir,
  kKtir,
  kNdir,
  kKnir,
  kKair,
  kTrir,
  kErir,
  kYrir,
  kDhir,
  kKhir,
  kThir,
  kTtir,
  kDyir,
  kJt,
  kSb,
  kFi,
  kYu,
  kSr,
  kHk,
  kJs,
  kPd,
};

std::string_view FieldText(const SalRecord& record, RecordField field);

}  // namespace quellmark
