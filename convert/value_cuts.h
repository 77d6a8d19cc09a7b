// The values a table keeps shorter than the layer set holds them: counted
// per field as the table is written, and told once, when it is complete, so
// that no value is cut silently.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "convert/output_format.h"
#include "sal/notify.h"

namespace quellmark {

class ValueCuts {
 public:
  // `value`: the value as the table is given it, which it cuts further to
  // the field's width. Lengths only: a value is cut when the table is given
  // less than the whole, or the whole is wider than the field.
  void Check(const Feature& feature, const FieldSpec& field, const LegacyValue& value) {
    if (field.source == ValueSource::kCodeName) return;  // follows its code
    const std::size_t whole = value.whole_size;
    const std::size_t width = static_cast<std::size_t>(field.width);
    if (whole <= value.text.size() && whole <= width) return;
    if (reporter_ == nullptr) reporter_ = &feature.reporter();
    for (auto& [name, count] : counts_) {
      if (name == field.name) {
        ++count;
        return;
      }
    }
    counts_.emplace_back(field.name, 1);
  }

  // One notice naming each field cut and how many of its values were.
  void Report() const {
    if (counts_.empty() || reporter_ == nullptr) return;
    std::string text = "values longer than their field were cut:";
    for (const auto& [name, count] : counts_) {
      text += " " + std::string(name) + " " + std::to_string(count) + ",";
    }
    text.back() = ';';
    text += " a GeoPackage keeps them whole";
    Reporter reporter(*reporter_);
    reporter.SetLine(0);
    reporter.Report(std::move(text));
  }

 private:
  std::vector<std::pair<std::string_view, long>> counts_;
  const Reporter* reporter_ = nullptr;
};

}  // namespace quellmark
