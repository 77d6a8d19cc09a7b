// The record parser: one SAL line in, one SalRecord, the feature name and the
// point list out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "sal/cp932.h"

namespace quellmark {

class Reporter;

// Every value whole, as a view into the line it was parsed from: valid as
// long as that line's bytes are, and never copied.
struct SalRecord {
  std::string_view id, ptid, cvid, egid, ndid, pdid, dhid;
  std::string_view bdir1, bdir2, gmir, hrir, dtir, ktir, ndir, knir, kair, trir, erir, yrir, dhir,
      khir, thir, ttir, dyir;
  std::string_view jt, sb, fi, yu, sr;
  std::string_view hk;
  std::string_view js;
  // The "KB" number as read; -1 when its text is not an integer.
  std::int32_t kb = 0;
  std::string_view pd;

  // Every value empty, kb 0.
  void Clear();
};

// Parses one SAL line into `record`, whose values then view `line`.
// `feature_name` and `point_list` are copied, and replaced only when the line
// holds an "NM" value or a point list; otherwise they keep what the caller
// passed in. Tokens the parser cannot place are reported as "non " + token
// through `reporter`, and parsing goes on. A line whose delimiters do not
// pair up ("(" with ")", "{" with "}", innermost first) is reported once, as
// "unbalanced delimiters: " and the first fault; its values are taken all
// the same.
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

// The record's string fields in RecordField order.
inline constexpr std::string_view SalRecord::*kRecordFields[] = {
    &SalRecord::id,   &SalRecord::ptid, &SalRecord::cvid,  &SalRecord::egid,  &SalRecord::ndid,
    &SalRecord::pdid, &SalRecord::dhid, &SalRecord::bdir1, &SalRecord::bdir2, &SalRecord::gmir,
    &SalRecord::hrir, &SalRecord::dtir, &SalRecord::ktir,  &SalRecord::ndir,  &SalRecord::knir,
    &SalRecord::kair, &SalRecord::trir, &SalRecord::erir,  &SalRecord::yrir,  &SalRecord::dhir,
    &SalRecord::khir, &SalRecord::thir, &SalRecord::ttir,  &SalRecord::dyir,  &SalRecord::jt,
    &SalRecord::sb,   &SalRecord::fi,   &SalRecord::yu,    &SalRecord::sr,    &SalRecord::hk,
    &SalRecord::js,   &SalRecord::pd,
};
static_assert(std::size(kRecordFields) == static_cast<std::size_t>(RecordField::kPd) + 1);

inline std::string_view FieldText(const SalRecord& record, RecordField field) {
  return record.*kRecordFields[static_cast<std::size_t>(field)];
}

// How much of each value the shapefile and TAB tables keep, in bytes, cut at
// a character boundary: 8 for IDs and the PD value, 14 for references, 2 for
// codes, 9 for hk and 60 for js. And kb in 16 bits, read as signed.
constexpr std::size_t LegacyWidth(RecordField field) {
  switch (field) {
    case RecordField::kId:
    case RecordField::kPtid:
    case RecordField::kCvid:
    case RecordField::kEgid:
    case RecordField::kNdid:
    case RecordField::kPdid:
    case RecordField::kDhid:
    case RecordField::kPd:
      return 8;
    case RecordField::kBdir1:
    case RecordField::kBdir2:
    case RecordField::kGmir:
    case RecordField::kHrir:
    case RecordField::kDtir:
    case RecordField::kKtir:
    case RecordField::kNdir:
    case RecordField::kKnir:
    case RecordField::kKair:
    case RecordField::kTrir:
    case RecordField::kErir:
    case RecordField::kYrir:
    case RecordField::kDhir:
    case RecordField::kKhir:
    case RecordField::kThir:
    case RecordField::kTtir:
    case RecordField::kDyir:
      return 14;
    case RecordField::kJt:
    case RecordField::kSb:
    case RecordField::kFi:
    case RecordField::kYu:
    case RecordField::kSr:
      return 2;
    case RecordField::kHk:
      return 9;
    case RecordField::kJs:
      return 60;
  }
  return 8;
}
// A value as those tables keep it; `whole` being the value of `field`.
inline std::string_view LegacyCut(std::string_view whole, RecordField field) {
  return CutToWidth(whole, LegacyWidth(field));
}
inline std::string_view LegacyFieldText(const SalRecord& record, RecordField field) {
  return LegacyCut(FieldText(record, field), field);
}
constexpr std::int16_t LegacyKb(std::int32_t kb) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(kb)));
}

}  // namespace quellmark
