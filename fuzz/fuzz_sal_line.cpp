// Fuzzes the SAL tokenizer and record parser with arbitrary lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sal/cp932.h"
#include "sal/geometry.h"
#include "sal/sal_record.h"
#include "sal/tokenizer.h"

using namespace quellmark;

namespace {

class CountingNotifier : public Notifier {
 public:
  void Notify(const Notice& notice) override { total += notice.text.size(); }
  std::size_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  CountingNotifier notifier;
  Reporter reporter(&notifier);
  SalRecord record;
  std::string name;
  std::string points;
  ParseSalLine(line, name, points, record, reporter);

  // Every value is whole: it stands in the line as it is; and its legacy cut
  // is a whole number of characters of it.
  for (const std::string_view* value :
       {&record.id, &record.js, &record.hk, &record.gmir, &record.pd}) {
    if (line.find(*value) == std::string_view::npos) __builtin_trap();
  }
  const std::string_view js = CutToWidth(record.js, LegacyWidth(RecordField::kJs));
  if (js.size() > 60 || Cp932PrefixLength(js, 60) != js.size()) __builtin_trap();

  std::string_view list = points;
  std::int32_t n;
  while (TakePointNumber(list, n)) {
  }
  for (std::size_t p = 1; p <= line.size() && p < 64; ++p) IsTrailBytePos(line, p);
  FindCharMbcs('}', line);
  std::string_view rest = line;
  std::string_view token;
  int kind;
  while (!rest.empty()) SplitBraceToken(rest, kind, token);
  StrToIntOr(line, 0);
  DecodeCp932ForDisplay(line.substr(0, 256));
  return 0;
}
