/* The layout of the driver's memory block. */
#include "patch/hpatchi_plan.h"

#include "patch/file_window_geometry.h"
#include "patch/file_stream.h"

#define HPATCHI_READ_AHEAD_MAX ((size_t)1 << 18)

uint32_t hpatchi_read_ahead_size(uint64_t patchSize, uint32_t inputSize) {
  size_t ahead = file_scaled_buffer_size(patchSize, FILE_STREAM_SCALED_MIN, HPATCHI_READ_AHEAD_MAX);
  return ahead >= (size_t)inputSize * 4 ? (uint32_t)ahead : 0;
}

static uint64_t hpatchi_aligned(uint64_t offset) { return (offset + 7u) & ~(uint64_t)7u; }

hpatchi_TBlockPlan hpatchi_plan_block(uint64_t cachesEnd, size_t windowSize, uint32_t aheadSize) {
  hpatchi_TBlockPlan plan;
  uint64_t total = cachesEnd;
  plan.windowAt = hpatchi_aligned(total);
  if (windowSize != 0) {
    total = plan.windowAt + windowSize;
  }
  plan.aheadAt = hpatchi_aligned(total);
  if (aheadSize != 0) {
    total = plan.aheadAt + aheadSize;
  }
  plan.total = total == 0 ? 1 : total;
  return plan;
}
