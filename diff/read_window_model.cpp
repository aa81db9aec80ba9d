#include "diff/read_window_model.h"

#include <algorithm>

namespace hldiff {

ReadWindowModel::ReadWindowModel(uint64_t fileSize)
    : fileSize_(fileSize), tags_(FILE_IN_WINDOW_PIECES) {
  recentEnds_.fill(~uint64_t(0));
}

int ReadWindowModel::find_run(uint64_t position) const {
  for (size_t i = 0; i < runs_.size(); ++i)
    if (position - runs_[i].position < runs_[i].length) return static_cast<int>(i);
  return -1;
}

int ReadWindowModel::find_piece(uint64_t piece) const {
  const unsigned first = static_cast<unsigned>(piece % kSets) * FILE_IN_WINDOW_PIECE_WAYS;
  for (unsigned way = 0; way < FILE_IN_WINDOW_PIECE_WAYS; ++way)
    if (tags_[first + way].piece == piece + 1) return static_cast<int>(first + way);
  return -1;
}

int ReadWindowModel::fill_run(uint64_t position, uint64_t end) {
  const uint64_t start = position & ~(kPiece - 1);
  const uint64_t runSize = file_in_window_run_size(fileSize_);
  uint64_t length = FILE_IN_WINDOW_RUN_START;
  size_t victim = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    if (runs_[i].length != 0 && runs_[i].position + runs_[i].length == position)
      length = uint64_t(runs_[i].length) * 2;
    if (runs_[i].lastUse < runs_[victim].lastUse) victim = i;
  }
  length = std::min<uint64_t>({std::max(length, end - start), runSize, fileSize_ - start});
  ++loads_;
  runs_[victim].position = start;
  runs_[victim].length = static_cast<uint32_t>(length);
  return static_cast<int>(victim);
}

int ReadWindowModel::fill_piece(uint64_t piece) {
  const unsigned first = static_cast<unsigned>(piece % kSets) * FILE_IN_WINDOW_PIECE_WAYS;
  unsigned victim = first;
  for (unsigned way = 1; way < FILE_IN_WINDOW_PIECE_WAYS; ++way)
    if (tags_[first + way].lastUse < tags_[victim].lastUse) victim = first + way;
  ++loads_;
  tags_[victim].piece = piece + 1;
  return static_cast<int>(victim);
}

bool ReadWindowModel::continues(uint64_t position, uint64_t end) {
  const bool found =
      std::find(recentEnds_.begin(), recentEnds_.end(), position) != recentEnds_.end();
  recentEnds_[nextTrack_] = end;
  nextTrack_ = (nextTrack_ + 1) % FILE_IN_WINDOW_TRACKS;
  return found;
}

unsigned ReadWindowModel::read(uint64_t position, uint64_t size) {
  const uint64_t before = loads_;
  const uint64_t end = position + size;
  if (size == 0) return 0;
  const bool goesOn = continues(position, end);
  while (position < end) {
    const uint64_t piece = position / kPiece;
    const bool loadRun = goesOn || end - position >= kPiece;
    int run = find_run(position);
    int slot = run < 0 ? find_piece(piece) : -1;
    if (run < 0 && slot < 0) {
      if (loadRun)
        run = fill_run(position, end);
      else
        slot = fill_piece(piece);
    }
    uint64_t avail;
    if (run >= 0) {
      runs_[run].lastUse = ++useClock_;
      avail = runs_[run].position + runs_[run].length - position;
    } else {
      tags_[slot].lastUse = ++useClock_;
      avail = std::min(kPiece, fileSize_ - piece * kPiece) - (position - piece * kPiece);
    }
    position += std::min(avail, end - position);
  }
  return static_cast<unsigned>(loads_ - before);
}

bool ReadWindowModel::holds(uint64_t position, uint64_t size) const {
  const uint64_t end = position + size;
  while (position < end) {
    const int run = find_run(position);
    if (run >= 0) {
      position = runs_[run].position + runs_[run].length;
      continue;
    }
    const uint64_t piece = position / kPiece;
    if (find_piece(piece) < 0) return false;
    position = (piece + 1) * kPiece;
  }
  return true;
}

}  // namespace hldiff
