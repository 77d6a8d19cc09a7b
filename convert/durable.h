// Putting an output on disk before it is renamed into place. A rename is
// recorded on disk apart from the data of the file it names: after a power
// cut the new name may stand for a file whose data never reached the disk
// (empty, or holding zeros). Flushing each file before its rename, and the
// folder after the renames, leaves after a power cut either the earlier
// file or the new one, whole.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quellmark {

// Writes the data of the file at `path` to the disk, and waits until it is
// there. The file must be complete: closed, or its buffers written out.
// Errors name `name_in_messages`, the name the file is known by (the one it
// is renamed to, not a hidden staging name). Throws OutputError.
void FlushFile(const std::string& path, const std::string& name_in_messages);

// A file for FlushFiles, and the name its errors give it.
struct FileToFlush {
  std::string path;
  std::string name_in_messages;
};

// FlushFile for each of `files`, several at a time: on a disk busy with
// other work, a hundred files take about the time of a few rather than a
// hundred. Throws OutputError for the first in `files` that failed, once
// every flush has ended.
void FlushFiles(std::span<const FileToFlush> files);

// Starts writing the complete file at `path` out to the disk and returns
// without waiting, so that a FlushFile later has little left to wait for:
// the disk writes a file finished early while the program goes on with
// other work. A hint only: what fails here is left for FlushFile to report.
void StartFlush(const std::string& path);

// rename(2) for the renames that put outputs in place: false, with errno
// set, when it failed.
bool RenameFile(const std::string& from, const std::string& to);

// A second name `to` for the file (or link) at `from`: false, with errno
// set, when the file system has no such names or it failed.
bool LinkFile(const std::string& from, const std::string& to);

// For tests of a file system without second names (FAT): while set, every
// LinkFile fails with `error` (0: none fails).
void FailLinks(int error);

// For tests of a rename failing midway: the RenameFile calls of the
// process, counted from the program's start; the `n`-th one (n > 0) fails
// once with `error` (0: none fails).
std::uint64_t RenamesSoFar();
void FailRenameAt(std::uint64_t n, int error);

// Writes the folder holding `path` to the disk, so that the renames into it
// and the removals from it done so far stay after a power cut. Errors name
// that folder ("." for a bare name). Throws OutputError.
void FlushFolderOf(const std::string& path);

}  // namespace quellmark
