#include "app/archive_library.h"

#include <dlfcn.h>

#include <cstdio>

#include "sal/notify.h"

namespace quellmark {

const std::array<const char*, Unlha32::kEntryPointCount> Unlha32::kEntryPointNames = {
    "UnlhaGetVersion",
    "UnlhaGetSubVersion",
    "UnlhaGetRunning",
    "UnlhaGetBackGroundMode",
    "UnlhaSetBackGroundMode",
    "UnlhaGetCursorMode",
    "UnlhaSetCursorMode",
    "UnlhaGetCursorInterval",
    "UnlhaSetCursorInterval",
    "Unlha",
    "UnlhaExtractMem",
    "UnlhaCompressMem",
    "UnlhaCheckArchive",
    "UnlhaConfigDialog",
    "UnlhaGetFileCount",
    "UnlhaOpenArchive",
    "UnlhaCloseArchive",
    "UnlhaFindFirst",
    "UnlhaFindNext",
    "UnlhaGetArcFileName",
    "UnlhaGetArcFileSize",
    "UnlhaGetArcOriginalSize",
    "UnlhaGetArcCompessedSize",
    "UnlhaGetArcRatio",
    "UnlhaGetArcDate",
    "UnlhaGetArcTime",
    "UnlhaGetArcOSType",
    "UnlhaGetFileName",
    "UnlhaGetMethod",
    "UnlhaGetOriginalSize",
    "UnlhaGetCompressedSize",
    "UnlhaGetRatio",
    "UnlhaGetDate",
    "UnlhaGetTime",
    "UnlhaGetWriteTime",
    "UnlhaGetAccessTime",
    "UnlhaGetCreateTime",
    "UnlhaGetCRC",
    "UnlhaGetAttribute",
    "UnlhaGetOSType",
    "UnlhaQueryFunctionList",
    "UnlhaSetOwnerWindow",
    "UnlhaClearOwnerWindow",
};

namespace {

constexpr std::size_t kUnlhaIndex = 9;
using UnlhaFunction = int (*)(void*, const char*, char*, std::uint32_t);

std::size_t IndexOf(std::string_view name) {
  for (std::size_t i = 0; i < Unlha32::kEntryPointCount; ++i) {
    if (name == Unlha32::kEntryPointNames[i]) return i;
  }
  return Unlha32::kEntryPointCount;
}

}  // namespace

Unlha32::Unlha32(Notifier* notifier, const std::string& library) : notifier_(notifier) {
  handle_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* error = dlerror();
    load_error_ = error ? error : "cannot load " + library;
    return;
  }
  for (std::size_t i = 0; i < kEntryPointCount; ++i) {
    entry_points_[i] = dlsym(handle_, kEntryPointNames[i]);
  }
}

Unlha32::~Unlha32() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool Unlha32::bound(std::string_view entry_point) const {
  const std::size_t i = IndexOf(entry_point);
  return i < kEntryPointCount && entry_points_[i] != nullptr;
}

std::int32_t Unlha32::Unlha(void* window, const char* command_line, char* output,
                            std::uint32_t output_size) const {
  void* address = entry_points_[kUnlhaIndex];
  if (address == nullptr) {
    NotLoaded("Unlha");
    // Success would have the batch convert whatever an earlier run left in
    // the extraction folder as if it were this archive's.
    if (output != nullptr && output_size > 0) {
      const std::string reason = handle_ == nullptr
                                     ? "the archive library is not loaded: " + load_error_
                                     : std::string("the archive library has no entry point Unlha");
      std::snprintf(output, output_size, "%s", reason.c_str());
    }
    return kNotExtracted;
  }
  auto function = reinterpret_cast<UnlhaFunction>(address);
  return function(window, command_line, output, output_size);
}

std::int32_t Unlha32::NotLoaded(std::string_view entry_point) const {
  if (notifier_ != nullptr) {
    Notice notice;
    notice.caption = "PANIC!!";
    notice.text = std::string(entry_point) + ": LHA.DLL not loaded" + ".";
    notifier_->Notify(notice);
  }
  return 0;
}

}  // namespace quellmark
