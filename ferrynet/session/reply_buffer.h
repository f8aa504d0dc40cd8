// The text a site (or the client) sent that is not handled yet, with its
// length kept beside it: bytes are never re-measured, and a zero byte in
// the text is just a byte.
#pragma once

#include <cerrno>
#include <cstring>
#include <string_view>

#include "ferrynet/core/connection.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/core/net.h"

namespace ferrynet {

// A reply line whose fourth character is a blank ends its reply.
inline bool is_final_line(const char* line, int len) { return len > 3 && line[3] == ' '; }

class Slice {
 public:
  // At most this much text is held, as it always was.
  static constexpr int kCapacity = kSliceSize - 1;

  const char* data() const { return text_; }
  int size() const { return len_; }
  bool empty() const { return len_ == 0; }
  bool full() const { return len_ >= kCapacity; }
  std::string_view text() const { return {text_, static_cast<size_t>(len_)}; }

  // Length of the first line with its LF, -1 when it has none.
  int line_length() const { return ferrynet::line_length(text_, len_); }
  // The first line without its LF (a CR before it stays); empty when there is none.
  std::string_view first_line() const {
    int l = line_length();
    return l > 0 ? std::string_view(text_, static_cast<size_t>(l - 1)) : std::string_view();
  }
  // True when the text ends in the final line of a reply.
  bool ends_in_complete_reply() const {
    if (len_ == 0 || text_[len_ - 1] != '\n') return false;
    int start = len_ - 1;
    while (start > 0 && text_[start - 1] != '\n') --start;
    return is_final_line(text_ + start, len_ - start);
  }

  // True when some whole line of the text is the final line of a reply.
  bool holds_final_line() const {
    int pos = 0;
    while (pos < len_) {
      const int l = ferrynet::line_length(text_ + pos, len_ - pos);
      if (l <= 0) return false;
      if (is_final_line(text_ + pos, l)) return true;
      pos += l;
    }
    return false;
  }
  // Length of the whole lines at the front, up to the last LF.
  int whole_lines_length() const {
    for (int i = len_; i > 0; --i)
      if (text_[i - 1] == '\n') return i;
    return 0;
  }

  // Shifts the first `n` bytes out.
  void drop_front(int n) { erase(0, n); }
  // Removes `n` bytes at `pos`, staying inside the text.
  void erase(int pos, int n) {
    if (pos < 0 || pos >= len_ || n <= 0) return;
    if (n > len_ - pos) n = len_ - pos;
    std::memmove(text_ + pos, text_ + pos + n, static_cast<size_t>(len_ - pos - n));
    len_ -= n;
  }
  // Puts `s` in at `pos`; false (nothing changed) when it would not fit.
  bool insert(int pos, std::string_view s) {
    const int n = static_cast<int>(s.size());
    if (pos < 0 || pos > len_ || n > kCapacity - len_) return false;
    std::memmove(text_ + pos + n, text_ + pos, static_cast<size_t>(len_ - pos));
    std::memcpy(text_ + pos, s.data(), s.size());
    len_ += n;
    return true;
  }
  // Replaces the text, cut to what a slice holds.
  void assign(std::string_view s) {
    len_ = static_cast<int>(s.size() > static_cast<size_t>(kCapacity) ? kCapacity : s.size());
    std::memcpy(text_, s.data(), static_cast<size_t>(len_));
  }
  void clear() { len_ = 0; }
  static constexpr int kNothingYet = -3;
  // One read appended: -2 when full, -1 on error, kNothingYet when nothing
  // came within the limit, 0 at end of stream, else the new text length.
  int append_read(Connection& from, int limit_ms = 0) {
    return append_read(from, [](char*, size_t n) { return n; }, limit_ms);
  }
  // The same, with `keep(bytes, n)` returning how many of the new bytes it
  // left in place (a filter that takes some out); kNothingYet when none.
  template <class Keep>
  int append_read(Connection& from, Keep&& keep, int limit_ms = 0) {
    if (full()) return -2;
    long n = from.read_some(text_ + len_, static_cast<size_t>(kCapacity - len_), limit_ms);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingYet;
    if (n <= 0) return static_cast<int>(n);
    const size_t kept = keep(text_ + len_, static_cast<size_t>(n));
    std::memset(text_ + len_ + kept, 0, static_cast<size_t>(n) - kept);
    len_ += static_cast<int>(kept);
    return kept == 0 ? kNothingYet : len_;
  }

 private:
  char text_[kSliceSize];
  int len_ = 0;
};

// One slice per site, each holding that site's reply text not yet handled.
struct ReplyBuffer {
  Slice slice[kMaxSites];
};

}  // namespace ferrynet
