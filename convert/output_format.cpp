#include "convert/output_format.h"

namespace quellmark {

std::string FormatNames(std::span<const OutputFormat* const> formats) {
  std::string names;
  for (std::size_t i = 0; i < formats.size(); ++i) {
    if (i > 0) names += i + 1 == formats.size() ? " or " : ", ";
    names += formats[i]->label();
  }
  return names;
}

const OutputFormat* FindOutputFormat(std::span<const OutputFormat* const> formats,
                                     std::string_view id) {
  for (const OutputFormat* format : formats) {
    if (format->id() == id) return format;
  }
  return nullptr;
}

std::string FormatNamesJa(std::span<const OutputFormat* const> formats) {
  std::string names;
  for (std::size_t i = 0; i < formats.size(); ++i) {
    if (i > 0) names += "、";
    names += formats[i]->label_ja();
  }
  return names;
}

}  // namespace quellmark
