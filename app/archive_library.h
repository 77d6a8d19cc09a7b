// Binding of the LHA archive library. The library is loaded by file name at
// program start and its entry points are bound by name; an entry point that
// cannot be bound gets a fallback that reports "<name>: LHA.DLL not loaded."
// (caption "PANIC!!") and returns 0. Unlha, whose 0 means "extracted", fails
// instead after that report: nothing was extracted.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quellmark {

class Notifier;

// The archive library's one entry point the batch calls.
class ArchiveLibrary {
 public:
  virtual ~ArchiveLibrary() = default;
  // Runs one archive command; 0 means success. `window` is passed through.
  virtual std::int32_t Unlha(void* window, const char* command_line, char* output,
                             std::uint32_t output_size) const = 0;
};

class Unlha32 : public ArchiveLibrary {
 public:
  static constexpr const char* kDefaultLibrary = "libunlha32.so";
  static constexpr std::size_t kEntryPointCount = 43;
  // The library's entry points, in binding order.
  static const std::array<const char*, kEntryPointCount> kEntryPointNames;

  // Loads `library` (searched as the platform searches for libraries: beside
  // the program through its run path, then the system's folders) and binds
  // every entry point. Reports nothing when the library is missing.
  explicit Unlha32(Notifier* notifier, const std::string& library = kDefaultLibrary);
  ~Unlha32() override;
  Unlha32(const Unlha32&) = delete;
  Unlha32& operator=(const Unlha32&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  bool bound(std::string_view entry_point) const;
  // Why loading failed (the loader's message); empty when loaded.
  const std::string& load_error() const { return load_error_; }

  // Without the library's Unlha: its report, then kNotExtracted, with the
  // reason in `output` (cut to output_size bytes with its NUL).
  std::int32_t Unlha(void* window, const char* command_line, char* output,
                     std::uint32_t output_size) const override;
  static constexpr std::int32_t kNotExtracted = -1;

  // The fallback that stands in for an entry point that is not bound.
  std::int32_t NotLoaded(std::string_view entry_point) const;

 private:
  Notifier* notifier_;
  void* handle_ = nullptr;
  std::string load_error_;
  std::array<void*, kEntryPointCount> entry_points_{};
};

}  // namespace quellmark
