// Arbitrary site slices through the statinfo merge.
#include "ferrynet/rewrite/reply_merge.h"
#include "tests/rewrite/merge_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return rewrite_fuzz::run_merge(ferrynet::statinfo_merge, ferrynet::ReplyResult::kDrop, data, size);
}
