// Shared body of the merge fuzz targets. The input is decoded as
//   byte 0: site count (1 + b % 3) and current site ((b / 3) % 4, maybe out of range);
//   byte 1: odd = a logged-in session exists, shown on site (byte 2 % 3), with
//           session ids bytes 3, 4, 5;
//   the rest: the sites' slices, separated by zero bytes.
// Every merge must answer with exactly one reply whose last line is final.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ferrynet/core/limits.h"
#include "ferrynet/session/handler_types.h"
#include "tests/rewrite/rewrite_test_support.h"

namespace rewrite_fuzz {

inline bool is_final(const std::string& line) {
  return line.size() >= 4 && line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' && line[2] >= '0' &&
         line[2] <= '9' && line[3] == ' ';
}

inline void check(bool ok) {
  if (!ok) std::abort();
}

inline int run_merge(ferrynet::ReplyHandler handler, ferrynet::ReplyResult want_result, const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  static rewrite_test::Replies rb;  // 48 KiB: kept off the stack
  rb = rewrite_test::Replies();
  rb.sites = 1 + data[0] % 3;
  const int current = (data[0] / 3) % 4;
  ferrynet::PresenceEntry* me = nullptr;
  if (data[1] & 1) {
    me = new ferrynet::PresenceEntry();
    me->shown_site = data[2] % 3;
    for (int i = 0; i < 3; ++i) me->session_ids[i] = data[3 + i];
    ferrynet::presence_insert(me);
  }
  size_t pos = 6;
  for (int i = 0; i < rb.sites && pos <= size; ++i) {
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + pos, 0, size - pos));
    size_t len = (end ? static_cast<size_t>(end - data) : size) - pos;
    rb.slice[i].assign(std::string_view(reinterpret_cast<const char*>(data) + pos, len));
    pos += len + 1;
  }
  auto run = rewrite_test::run_on(handler, rb, current);
  ferrynet::presence_unlink(me);

  check(run.result == want_result);
  check(!run.lines.empty());
  for (size_t k = 0; k < run.lines.size(); ++k) {
    check(run.lines[k].back() == '\n');
    check(is_final(run.lines[k]) == (k + 1 == run.lines.size()));
  }
  for (int i = 0; i < ferrynet::kMaxSites; ++i) check(rb.slice[i].size() <= ferrynet::Slice::kCapacity);
  return 0;
}

}  // namespace rewrite_fuzz
