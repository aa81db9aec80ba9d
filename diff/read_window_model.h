// The applier's old-file read window, replayed in memory: which reads it serves from what it
// holds and which cost it a load from the file (a system call). It follows the window of
// patch/file_stream.c step by step, with the geometry of patch/file_window_geometry.h, so that
// the patch creator can count the loads a cover list will cost before it writes the patch.
#ifndef DIFF_READ_WINDOW_MODEL_H
#define DIFF_READ_WINDOW_MODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/file_window_geometry.h"

namespace hldiff {

class ReadWindowModel {
 public:
  explicit ReadWindowModel(uint64_t fileSize);

  // Reads [position, position + size) as the applier would; returns the loads it costs.
  unsigned read(uint64_t position, uint64_t size);
  // Whether every byte of [position, position + size) is held now; changes nothing.
  bool holds(uint64_t position, uint64_t size) const;
  uint64_t loads() const { return loads_; }

 private:
  struct Run {
    uint64_t position = 0;
    uint32_t length = 0;
    uint32_t lastUse = 0;
  };
  struct Tag {
    uint64_t piece = 0;  // piece number plus one; 0: empty
    uint32_t lastUse = 0;
  };
  static constexpr uint64_t kPiece = FILE_IN_WINDOW_PIECE_SIZE;
  static constexpr unsigned kSets = FILE_IN_WINDOW_PIECES / FILE_IN_WINDOW_PIECE_WAYS;

  int find_run(uint64_t position) const;
  int find_piece(uint64_t piece) const;
  int fill_run(uint64_t position, uint64_t end);
  int fill_piece(uint64_t piece);
  bool continues(uint64_t position, uint64_t end);

  uint64_t fileSize_;
  std::array<Run, FILE_IN_WINDOW_RUNS> runs_{};
  std::vector<Tag> tags_;
  std::array<uint64_t, FILE_IN_WINDOW_TRACKS> recentEnds_;
  unsigned nextTrack_ = 0;
  uint32_t useClock_ = 0;
  uint64_t loads_ = 0;
};

}  // namespace hldiff

#endif
