// The state of one resumable download: which 100 KiB blocks are on disk,
// which are being fetched, and what the server said the file is.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "network_run.h"
#include "setup/common/handles.h"

namespace zan {

class CFileBlockInfo {
 public:
  static constexpr unsigned kNoBlock = 0xFFFFFFFFu;
  static constexpr unsigned kDefaultBlockSize = 102400;

  explicit CFileBlockInfo(unsigned bytesPerBlock = kDefaultBlockSize) : blockSize(bytesPerBlock) {}
  CFileBlockInfo(const CFileBlockInfo&) = delete;
  CFileBlockInfo& operator=(const CFileBlockInfo&) = delete;

  // A zero bitmap of (blocks / 8) + 1 bytes for a file of `size` bytes.
  void ResetForSize(unsigned long long size);
  void ClearBitmap();
  // False when the bitmap is too short for the block count of `size`: such a
  // bitmap would let the download end with blocks missing.
  bool BitmapCoversBlocks() const;

  // Hands out the next block that is neither on disk nor in flight, or
  // kNoBlock when none is left. Under the lock.
  unsigned NextBlock();
  // Hands out the longest run of consecutive blocks, `most` at the most,
  // that are neither on disk nor in flight, beginning at the first such
  // block; false when none is left. Under the lock.
  bool NextRun(unsigned most, unsigned* first, unsigned* count);
  // Puts the blocks of a handed-out run that are not on disk back, to be
  // handed out again. Under the lock.
  void ReleaseRun(unsigned first, unsigned count);
  // From now on the done count is the blocks on disk, counted as they are
  // marked (runs come back in any order). Under the lock.
  void CountMarks();
  // Under the lock.
  void MarkBlockDone(unsigned index);
  bool IsComplete();
  bool IsBlockDone(unsigned index) const;
  int done_count();

  // The state file: url, date, size and the bitmap in Base64.
  bool SaveState(const std::wstring& path);
  // Nothing changes when the file cannot be read or parsed; a bitmap that
  // does not decode drops url and size, so the download starts from nothing.
  // A date with a line break in it reads as no date.
  void LoadState(const std::wstring& path);

  static unsigned BlockCount(unsigned long long size, unsigned blockSize);

  // Whether any block is on disk. Under the lock.
  bool AnyBlockDone();
  // A block arrived from the download's address `address`. Under the lock.
  void NoteSource(size_t address);
  // Blocks came from more than one address, or from this run and an
  // earlier one (`resumed`). Under the lock.
  bool MixedSources();

  ScopedHandle event;
  std::wstring temporaryPath;
  std::wstring url;
  std::wstring date;
  std::wstring headerBlock;
  // The header block without the validator, for the other addresses.
  std::wstring mirrorBlock;
  std::vector<unsigned char> bitmap;
  std::set<unsigned> inFlight;
  unsigned cursor = 0;
  unsigned blockSize;
  unsigned blockCount = 0;
  int doneCount = 0;
  bool countMarks = false;
  unsigned long long size = 0;
  volatile LONG failed = 0;
  CriticalSection lock;

  // The run the download's connections try again under: a copy whose
  // cancel event is a handle of this state's own, since workers may outlive
  // the call that started them.
  NetworkRun run;
  bool hasRun = false;
  ScopedHandle cancel;
  // Signalled once the download has returned: workers still at it stop.
  ScopedHandle stop;
  // Blocks that landed in this run, counted as they do: every arrival is
  // progress for each connection's retries.
  volatile LONG arrivals = 0;
  volatile LONG64 received = 0;
  bool resumed = false;
  std::set<size_t> sources;
};

std::string EncodeBase64(const std::vector<unsigned char>& bytes);
bool DecodeBase64(const std::string& text, std::vector<unsigned char>* bytes);

}  // namespace zan
