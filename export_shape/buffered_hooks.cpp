#include "export_shape/buffered_hooks.h"

#include <cstdio>

#include "convert/buffered_file.h"

namespace quellmark {

namespace {

BufferedFile* File(SAFile file) { return reinterpret_cast<BufferedFile*>(file); }

SAFile Open(const char* name, const char* access) {
  return reinterpret_cast<SAFile>(BufferedFile::Open(name, access).release());
}

SAOffset Read(void* data, SAOffset size, SAOffset count, SAFile file) {
  if (size == 0) return 0;
  return File(file)->Read(data, size * count) / size;
}

SAOffset Write(void* data, SAOffset size, SAOffset count, SAFile file) {
  if (size == 0) return 0;
  return File(file)->Write(data, size * count) / size;
}

SAOffset Seek(SAFile file, SAOffset offset, int whence) {
  // The offset is unsigned in the interface; SEEK_CUR may carry a negative one.
  return File(file)->Seek(static_cast<std::int64_t>(offset), whence) ? 0 : -1;
}

SAOffset Tell(SAFile file) { return File(file)->Tell(); }

int Flush(SAFile file) { return File(file)->Flush() ? 0 : EOF; }

int Close(SAFile file) {
  BufferedFile* buffered = File(file);
  const bool closed = buffered->Close();
  delete buffered;
  return closed ? 0 : EOF;
}

int Remove(const char* name) { return std::remove(name); }

}  // namespace

SAHooks BufferedFileHooks() {
  SAHooks hooks;
  SASetupDefaultHooks(&hooks);
  hooks.FOpen = &Open;
  hooks.FRead = &Read;
  hooks.FWrite = &Write;
  hooks.FSeek = &Seek;
  hooks.FTell = &Tell;
  hooks.FFlush = &Flush;
  hooks.FClose = &Close;
  hooks.Remove = &Remove;
  return hooks;
}

}  // namespace quellmark
